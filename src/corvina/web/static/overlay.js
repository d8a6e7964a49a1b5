// The selected results together: their spectra overlaid, one chart per
// series, coloured by a parameter the sweep varies; and their identities
// side by side, differences first.

import { getJSON, query } from './api.js';
import { chartsReady, colourBar, drawChart, palette, scaleColour } from './charts.js';
import { el, formatValue, isNumber, lastPart, markPainted } from './format.js';
import { $, MAX_OVERLAY, state } from './state.js';

const overlay = { charts: [], data: null, colourBy: null };

// --- overlay ---------------------------------------------------------------------------------

let overlayTimer = null;
export function scheduleOverlay() {
  clearTimeout(overlayTimer);
  overlayTimer = setTimeout(drawOverlay, 250);
}

export function showOverlay() {
  $('overlay').hidden = false;
  return drawOverlay();
}

$('overlay-selected').addEventListener('click', showOverlay);
$('overlay-close').addEventListener('click', () => {
  $('overlay').hidden = true;
  for (const c of overlay.charts) c.destroy();
  overlay.charts = [];
});
$('overlay-db').addEventListener('change', () => renderOverlay());
$('color-by').addEventListener('change', () => {
  overlay.colourBy = $('color-by').value;
  renderOverlay();
});

let overlayRequest = 0;
async function drawOverlay() {
  const ids = [...state.selected];
  const number = ++overlayRequest;
  const start = performance.now();
  if (!ids.length) {
    renderOverlay({ results: [], varying: [], total: 0, capped: false });
    return;
  }
  let answer;
  try {
    [answer] = await Promise.all([getJSON('/api/spectra', query({ select: ids.slice(0, MAX_OVERLAY) })), chartsReady()]);
  } catch (error) {
    $('overlay-note').textContent = error.message;
    return;
  }
  if (number !== overlayRequest) return;
  const drawn = performance.now();
  renderOverlay(answer);
  markPainted('corvina:overlay-draw', drawn);
  markPainted('corvina:overlay', start);
}

function colourings(answer) {
  const { varying, results } = answer;
  const chosen = overlay.colourBy && (varying.includes(overlay.colourBy) || overlay.colourBy === 'simulation_id')
    ? overlay.colourBy : (varying[0] ?? 'simulation_id');
  const select = $('color-by');
  select.replaceChildren(...['simulation_id', ...varying].map((p) => el('option', { value: p, selected: p === chosen, text: p === 'simulation_id' ? 'each result' : p })));
  const values = results.map((r) => (chosen === 'simulation_id' ? r.simulation_id : r.parameters[chosen]));
  const numbers = values.filter(isNumber);
  if (chosen !== 'simulation_id' && numbers.length === values.length && numbers.length > 1) {
    const min = Math.min(...numbers);
    const max = Math.max(...numbers);
    colourBar($('colorbar'), chosen, min, max);
    return values.map((v) => scaleColour(max > min ? (v - min) / (max - min) : 0.5));
  }
  $('colorbar').hidden = true;
  const keys = [...new Set(values.map((v) => JSON.stringify(v)))];
  return values.map((v) => palette(keys.indexOf(JSON.stringify(v))));
}

function labelOf(result) {
  const parts = Object.entries(result.parameters).map(([p, v]) => `${lastPart(p)}=${formatValue(p, v)}`);
  return [result.component_name, ...parts].join(' ') || result.simulation_id;
}

function highlightRow(id) {
  for (const tr of document.querySelectorAll('tr.highlight')) tr.classList.remove('highlight');
  for (const li of document.querySelectorAll('#overlay-legend li.focus')) li.classList.remove('focus');
  if (!id) return;
  document.querySelector(`tr[data-simulation-id="${id}"]`)?.classList.add('highlight');
  document.querySelector(`#overlay-legend li[data-simulation-id="${id}"]`)?.classList.add('focus');
}

function renderOverlay(answer = overlay.data) {
  if (!answer) return;
  overlay.data = answer;
  const zooms = new Map(overlay.charts.map((c) => [c.options.title, c.zoomRange()]));
  for (const c of overlay.charts) c.destroy();
  overlay.charts = [];
  const host = $('overlay-charts');
  host.replaceChildren();
  // The charts' width, measured once before anything is added: measuring
  // after each addition would lay the whole page (the table too) out again.
  const width = host.clientWidth;
  const db = $('overlay-db').checked;
  const colours = colourings(answer);
  const results = answer.results;
  const labels = results.map(labelOf);
  const notes = [];
  if (answer.capped) notes.push(`showing the first ${results.length} of ${answer.total.toLocaleString('en')} matches`);
  const nothing = results.filter((r) => !r.series.length);
  if (nothing.length) notes.push(`${nothing.length} selected result${nothing.length === 1 ? ' has' : 's have'} no spectrum (failed runs)`);
  $('overlay-note').textContent = notes.join('; ');
  const names = [...new Set(results.flatMap((r) => r.series.map((s) => s.name)))];
  for (const name of names) {
    const curves = [];
    results.forEach((r, i) => {
      const series = r.series.find((s) => s.name === name);
      if (series) curves.push({ id: r.simulation_id, label: labels[i], colour: colours[i], wavelengths: r.wavelengths ?? answer.wavelengths, values: series.values });
    });
    const chart = drawChart(host, curves, {
      title: name,
      db,
      width,
      keepZoom: zooms.get(name),
      onFocus: (index) => highlightRow(index === null ? null : curves[index]?.id),
    });
    overlay.charts.push(chart);
  }
  if (!names.length) host.append(el('p', { class: 'muted', text: 'nothing to draw: the selected results hold no spectra' }));
  $('overlay-legend').replaceChildren(...results.map((r, i) => {
    const swatch = el('span', { class: 'swatch' });
    swatch.style.background = colours[i];
    return el('li', { 'data-simulation-id': r.simulation_id, tabindex: '0', title: r.simulation_id }, swatch, labels[i]);
  }));
}

// A legend entry pointed at or focused highlights its row and its curves
// (one listener for the whole legend, however many entries it holds).
function focusLegend(li, on) {
  const id = li.dataset.simulationId;
  highlightRow(on ? id : null);
  for (const chart of overlay.charts) {
    const index = chart.curves.findIndex((c) => c.id === id);
    if (index >= 0) chart.focus(on ? index : null);
  }
}

for (const [type, on] of [['mouseover', true], ['mouseout', false], ['focusin', true], ['focusout', false]]) {
  $('overlay-legend').addEventListener(type, (event) => {
    const li = event.target.closest?.('#overlay-legend li[data-simulation-id]');
    // Moving within one entry (onto its swatch) neither leaves nor enters it.
    const other = event.relatedTarget?.closest?.('#overlay-legend li[data-simulation-id]');
    if (li && li !== other) focusLegend(li, on);
  });
}

// --- differences side by side -------------------------------------------------------------

$('compare-selected').addEventListener('click', () => {
  $('compare').hidden = false;
  loadCompare();
});
$('compare-close').addEventListener('click', () => { $('compare').hidden = true; });
$('differences-only').addEventListener('change', () => renderCompare());

let compared = null;
export async function loadCompare() {
  const ids = [...state.selected];
  if (ids.length < 1) { $('compare-table').replaceChildren(); return; }
  compared = await getJSON('/api/compare', query({ select: ids.slice(0, MAX_OVERLAY) }));
  renderCompare();
}

function renderCompare() {
  if (!compared) return;
  const only = $('differences-only').checked;
  const differ = new Set(compared.differ);
  const paths = only ? compared.paths.filter((p) => differ.has(p)) : compared.paths;
  const head = el('tr', {}, el('th', { scope: 'col', text: 'field' }),
    ...compared.ids.map((id) => el('th', { scope: 'col' }, el('a', { href: `/result/${id}`, class: 'mono', text: id.slice(0, 8) }))));
  const rows = paths.map((p) => el('tr', { 'data-path': p }, el('th', { scope: 'row', class: 'mono', text: p }),
    ...compared.values.map((v) => el('td', { class: differ.has(p) ? 'differs' : undefined }, formatValue(p, v[p])))));
  if (!rows.length) rows.push(el('tr', {}, el('td', { class: 'empty', colspan: String(compared.ids.length + 1), text: 'the selected results differ in nothing shown here' })));
  $('compare-table').replaceChildren(el('thead', {}, head), el('tbody', {}, ...rows));
}
