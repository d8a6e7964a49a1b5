// The results browser: the table, the overlay and comparison of selected
// results, the running panel, and the page of one result. Queries, sorting
// and export are the server's (the store's own); this file only shows them.

import { ApiError, getJSON, query } from './api.js';
import { colourBar, drawChart, palette, scaleColour } from './charts.js';
import { el, formatAge, formatValue, isNumber, lastPart, markPainted, statusChip } from './format.js';
import { showResult } from './result.js';
import { PAGE_SIZE, nextSort, readView, sortState, viewSearch } from './view.js';

const $ = (id) => document.getElementById(id);
const MAX_OVERLAY = 500;
const POLL_VISIBLE_MS = 2000;
const POLL_HIDDEN_MS = 30000;

const state = {
  view: readView(location.search),
  selected: new Set(),
  answer: null, // the last /api/results answer shown
  shownVersion: null, // the store version the table shows
  latestVersion: null, // the newest version a look saw
  request: 0, // the number of the newest table request; older answers are dropped
  controller: null,
  overlay: { charts: [], data: null, colourBy: null, ids: [] },
  focusId: null,
};
state.selected = new Set(state.view.select);

// --- the address -------------------------------------------------------------

function writeAddress(push = false) {
  state.view.select = [...state.selected];
  const url = `/${viewSearch(state.view)}`;
  if (location.pathname + location.search === url) return;
  if (push) history.pushState(null, '', url);
  else history.replaceState(null, '', url);
}

function tableParams(extra = {}) {
  return query({ where: state.view.where, sort: state.view.sort, ...extra });
}

// --- the table ------------------------------------------------------------------

function showWhereError(message) {
  $('where-error').textContent = message ?? '';
  $('where').setAttribute('aria-invalid', message ? 'true' : 'false');
}

async function loadTable({ live = false, start = performance.now() } = {}) {
  const number = ++state.request;
  state.controller?.abort();
  state.controller = new AbortController();
  const { view } = state;
  const params = tableParams({
    limit: PAGE_SIZE,
    offset: (view.page - 1) * PAGE_SIZE,
    fields: view.columns ? view.columns.join(',') : '',
  });
  let answer;
  try {
    answer = await getJSON('/api/results', params, { signal: state.controller.signal });
  } catch (error) {
    if (error.name === 'AbortError' || number !== state.request) return;
    if (error instanceof ApiError && error.status === 400) {
      // The store's own words beside the box; the table keeps what it
      // showed (or, on a first load, shows every result).
      showWhereError(error.message);
      if (!state.answer && view.where) {
        const saved = view.where;
        view.where = '';
        await loadTable({ start });
        view.where = saved;
        showWhereError(error.message);
      }
      return;
    }
    $('live-status').textContent = `the server did not answer: ${error.message}`;
    return;
  }
  if (number !== state.request) return;
  showWhereError(null);
  const pages = Math.max(1, Math.ceil(answer.total / PAGE_SIZE));
  if (view.page > pages) {
    view.page = pages;
    writeAddress();
    loadTable({ start });
    return;
  }
  renderTable(answer, live);
  state.shownVersion = answer.store_version;
  markPainted(live ? 'corvina:table-live' : 'corvina:table', start);
}

function headerCell(path) {
  const sorted = sortState(state.view.sort, path);
  const dot = path.lastIndexOf('.');
  const label = dot < 0 ? [el('span', { text: path })]
    : [el('span', { class: 'prefix', text: path.slice(0, dot + 1) }), el('span', { text: path.slice(dot + 1) })];
  const button = el('button', {
    type: 'button', class: 'sort', 'data-path': path, title: `sort by ${path}`,
    onclick: () => {
      state.view.sort = nextSort(state.view.sort, path);
      state.view.page = 1;
      writeAddress(true);
      loadTable();
    },
  }, ...label);
  return el('th', { scope: 'col', 'aria-sort': sorted }, button);
}

function cell(path, row) {
  const value = row[path];
  if (path === 'status') {
    const td = el('td', { class: 'status' }, statusChip(value ?? '?'));
    if (row.status === 'error' && row.error_message) {
      td.append(el('span', { class: 'error-message', title: row.error_message, text: row.error_message.length > 160 ? `${row.error_message.slice(0, 160)}…` : row.error_message }));
    }
    return td;
  }
  return el('td', { class: isNumber(value) ? 'num' : undefined, title: typeof value === 'string' && value.length > 60 ? value : undefined }, formatValue(path, value));
}

function renderTable(answer, live) {
  const previous = state.answer;
  const before = new Map((previous?.results ?? []).map((r) => [r.simulation_id, r.simulation_date]));
  state.answer = answer;
  const fields = answer.fields;
  const table = $('results');
  const focusedId = document.activeElement?.closest?.('tr[data-simulation-id]')?.dataset.simulationId ?? null;

  const allOnPage = answer.results.length > 0 && answer.results.every((r) => state.selected.has(r.simulation_id));
  const pageBox = el('input', { type: 'checkbox', 'aria-label': 'select every result on this page', checked: allOnPage });
  pageBox.addEventListener('change', () => {
    for (const r of answer.results) {
      if (pageBox.checked) state.selected.add(r.simulation_id);
      else state.selected.delete(r.simulation_id);
    }
    selectionChanged();
  });
  table.tHead.replaceChildren(el('tr', {},
    el('th', { scope: 'col', class: 'select' }, pageBox),
    headerCell('simulation_id'),
    ...fields.filter((f) => f !== 'simulation_id').map(headerCell)));

  const body = el('tbody');
  if (!answer.results.length) {
    body.append(el('tr', {}, el('td', { class: 'empty', colspan: String(fields.length + 2), text: answer.total ? 'no results on this page' : 'no result matches' })));
  }
  answer.results.forEach((row, i) => {
    const id = row.simulation_id;
    const selected = state.selected.has(id);
    const box = el('input', { type: 'checkbox', 'aria-label': `select ${id}`, checked: selected, tabindex: '-1' });
    box.addEventListener('change', () => toggle(id, box.checked));
    const fresh = live && (!before.has(id) || before.get(id) !== row.simulation_date);
    const tr = el('tr', {
      'data-simulation-id': id,
      class: [selected ? 'selected' : '', fresh ? 'fresh' : ''].filter(Boolean).join(' ') || undefined,
      tabindex: '-1',
      'aria-selected': selected ? 'true' : 'false',
    },
    el('td', { class: 'select' }, box),
    el('td', { class: 'id' }, el('a', { href: `/result/${id}`, tabindex: '-1', 'data-result-link': id, text: id })),
    ...fields.filter((f) => f !== 'simulation_id').map((f) => cell(f, row)));
    body.append(tr);
    if (i === 0) tr.tabIndex = 0;
  });
  table.tBodies[0].replaceWith(body);
  // The row the keyboard was on stays focused through a refresh.
  const keep = focusedId ?? state.focusId;
  const again = keep && body.querySelector(`tr[data-simulation-id="${keep}"]`);
  if (again) {
    for (const tr of body.rows) tr.tabIndex = -1;
    again.tabIndex = 0;
    if (focusedId) again.focus({ preventScroll: true });
  }

  const start = answer.offset + 1;
  const end = answer.offset + answer.results.length;
  $('count').textContent = answer.total === 1 ? '1 result' : `${answer.total.toLocaleString('en')} results`;
  $('page-info').textContent = answer.total ? `${start.toLocaleString('en')}–${end.toLocaleString('en')} of ${answer.total.toLocaleString('en')} · page ${state.view.page} of ${Math.max(1, Math.ceil(answer.total / PAGE_SIZE))}` : '';
  $('prev').disabled = state.view.page <= 1;
  $('next').disabled = end >= answer.total;
  $('store-label').textContent = answer.store;
  renderColumnPicker(answer);
  updateExportLinks();
  updateSelectionControls();
}

function renderColumnPicker(answer) {
  const shown = new Set(answer.fields);
  const paths = [...new Set([...answer.fields, ...answer.varying, ...answer.paths])];
  const list = $('column-list');
  list.replaceChildren(...paths.map((path) => {
    const box = el('input', { type: 'checkbox', value: path, checked: shown.has(path) });
    box.addEventListener('change', () => {
      const chosen = [...list.querySelectorAll('input:checked')].map((b) => b.value);
      state.view.columns = chosen.length ? chosen : null;
      writeAddress(true);
      loadTable();
    });
    return el('label', {}, box, ' ', path, answer.varying.includes(path) ? el('span', { class: 'muted', text: ' (varies)' }) : null);
  }));
}

function updateExportLinks() {
  for (const fmt of ['csv', 'jsonl', 'parquet']) {
    $(`export-${fmt}`).href = `/api/export?${tableParams({ format: fmt })}`;
  }
}

// --- keyboard on the table ----------------------------------------------------------

$('results').addEventListener('keydown', (event) => {
  const tr = event.target.closest('tbody tr[data-simulation-id]');
  if (!tr || event.target.tagName === 'INPUT' && event.key !== 'Enter') return;
  const rows = [...tr.parentElement.rows];
  const at = rows.indexOf(tr);
  const move = (to) => {
    const next = rows[Math.max(0, Math.min(rows.length - 1, to))];
    for (const r of rows) r.tabIndex = -1;
    next.tabIndex = 0;
    next.focus();
    state.focusId = next.dataset.simulationId;
  };
  switch (event.key) {
    case 'ArrowDown': move(at + 1); break;
    case 'ArrowUp': move(at - 1); break;
    case 'Home': move(0); break;
    case 'End': move(rows.length - 1); break;
    case ' ': toggle(tr.dataset.simulationId, !state.selected.has(tr.dataset.simulationId)); break;
    case 'Enter': openResult(tr.dataset.simulationId); break;
    case 'PageDown': if (!$('next').disabled) $('next').click(); break;
    case 'PageUp': if (!$('prev').disabled) $('prev').click(); break;
    default: return;
  }
  event.preventDefault();
});

$('results').addEventListener('click', (event) => {
  const link = event.target.closest('a[data-result-link]');
  if (link && !event.ctrlKey && !event.metaKey && !event.shiftKey && event.button === 0) {
    event.preventDefault();
    openResult(link.dataset.resultLink);
  }
});

$('results').addEventListener('focusin', (event) => {
  const tr = event.target.closest('tbody tr[data-simulation-id]');
  if (tr) state.focusId = tr.dataset.simulationId;
});

// --- selection ---------------------------------------------------------------------------

function toggle(id, on) {
  if (on) state.selected.add(id);
  else state.selected.delete(id);
  selectionChanged();
}

function selectionChanged() {
  for (const tr of $('results').tBodies[0].rows) {
    const id = tr.dataset.simulationId;
    if (!id) continue;
    const on = state.selected.has(id);
    tr.classList.toggle('selected', on);
    tr.setAttribute('aria-selected', on ? 'true' : 'false');
    const box = tr.querySelector('input[type=checkbox]');
    if (box) box.checked = on;
  }
  writeAddress();
  updateSelectionControls();
  if (!$('overlay').hidden) scheduleOverlay();
  if (!$('compare').hidden) loadCompare();
}

function updateSelectionControls() {
  const n = state.selected.size;
  $('overlay-selected').disabled = n === 0;
  $('compare-selected').disabled = n < 2;
  $('clear-selection').disabled = n === 0;
  $('overlay-selected').textContent = n ? `Overlay selected (${n})` : 'Overlay selected';
}

$('clear-selection').addEventListener('click', () => {
  state.selected.clear();
  $('selection-note').hidden = true;
  selectionChanged();
});

$('select-all').addEventListener('click', async () => {
  try {
    const answer = await getJSON('/api/results', tableParams({ fields: 'simulation_id', limit: MAX_OVERLAY }));
    state.selected = new Set(answer.results.map((r) => r.simulation_id));
    const note = $('selection-note');
    note.hidden = answer.total <= MAX_OVERLAY;
    note.textContent = `The first ${MAX_OVERLAY} of ${answer.total.toLocaleString('en')} matches are selected: an overlay draws at most ${MAX_OVERLAY} results. Narrow the query to choose others.`;
    selectionChanged();
    showOverlay();
  } catch (error) {
    showWhereError(error.message);
  }
});

// --- overlay ---------------------------------------------------------------------------------

let overlayTimer = null;
function scheduleOverlay() {
  clearTimeout(overlayTimer);
  overlayTimer = setTimeout(drawOverlay, 250);
}

function showOverlay() {
  $('overlay').hidden = false;
  drawOverlay();
}

$('overlay-selected').addEventListener('click', showOverlay);
$('overlay-close').addEventListener('click', () => {
  $('overlay').hidden = true;
  for (const c of state.overlay.charts) c.destroy();
  state.overlay.charts = [];
});
$('overlay-db').addEventListener('change', () => renderOverlay());
$('color-by').addEventListener('change', () => {
  state.overlay.colourBy = $('color-by').value;
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
    answer = await getJSON('/api/spectra', query({ select: ids.slice(0, MAX_OVERLAY) }));
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
  const chosen = state.overlay.colourBy && (varying.includes(state.overlay.colourBy) || state.overlay.colourBy === 'simulation_id')
    ? state.overlay.colourBy : (varying[0] ?? 'simulation_id');
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

function renderOverlay(answer = state.overlay.data) {
  if (!answer) return;
  state.overlay.data = answer;
  const zooms = new Map(state.overlay.charts.map((c) => [c.options.title, c.zoomRange()]));
  for (const c of state.overlay.charts) c.destroy();
  state.overlay.charts = [];
  const host = $('overlay-charts');
  host.replaceChildren();
  const db = $('overlay-db').checked;
  const colours = colourings(answer);
  const results = answer.results;
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
      if (series) curves.push({ id: r.simulation_id, label: labelOf(r), colour: colours[i], wavelengths: r.wavelengths, values: series.values });
    });
    const chart = drawChart(host, curves, {
      title: name,
      db,
      keepZoom: zooms.get(name),
      onFocus: (index) => highlightRow(index === null ? null : curves[index]?.id),
    });
    state.overlay.charts.push(chart);
  }
  if (!names.length) host.append(el('p', { class: 'muted', text: 'nothing to draw: the selected results hold no spectra' }));
  const legend = $('overlay-legend');
  legend.replaceChildren(...results.map((r, i) => {
    const li = el('li', { 'data-simulation-id': r.simulation_id, tabindex: '0', title: r.simulation_id },
      el('span', { class: 'swatch' }), labelOf(r));
    li.querySelector('.swatch').style.background = colours[i];
    const focus = (on) => {
      highlightRow(on ? r.simulation_id : null);
      for (const chart of state.overlay.charts) {
        const index = chart.curves.findIndex((c) => c.id === r.simulation_id);
        if (index >= 0) chart.focus(on ? index : null);
      }
    };
    li.addEventListener('mouseenter', () => focus(true));
    li.addEventListener('mouseleave', () => focus(false));
    li.addEventListener('focus', () => focus(true));
    li.addEventListener('blur', () => focus(false));
    return li;
  }));
}

// --- differences side by side -------------------------------------------------------------

$('compare-selected').addEventListener('click', () => {
  $('compare').hidden = false;
  loadCompare();
});
$('compare-close').addEventListener('click', () => { $('compare').hidden = true; });
$('differences-only').addEventListener('change', () => renderCompare());

let compared = null;
async function loadCompare() {
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

// --- the query box, paging and columns -------------------------------------------------------

$('query-form').addEventListener('submit', (event) => {
  event.preventDefault();
  state.view.where = $('where').value.trim();
  state.view.page = 1;
  writeAddress(true);
  loadTable({ start: performance.now() });
});

$('prev').addEventListener('click', () => { state.view.page -= 1; writeAddress(true); loadTable(); });
$('next').addEventListener('click', () => { state.view.page += 1; writeAddress(true); loadTable(); });
$('columns-default').addEventListener('click', () => {
  state.view.columns = null;
  writeAddress(true);
  loadTable();
});

// --- the running panel and live updates --------------------------------------------------------

function renderRunning(answer) {
  const list = $('running-list');
  const items = answer.claims.map((c) => {
    const holder = `${c.host ?? '?'}:${c.pid ?? '?'}`;
    const beat = c.silent_seconds === null ? '?' : `${formatAge(c.silent_seconds)} ago`;
    const how = c.judged_by === 'takeover' ? ' (taken over)' : '';
    return el('li', { 'data-claim-id': c.simulation_id, class: c.state },
      el('div', { class: 'claim-head' }, el('a', { class: 'mono', href: `/result/${c.simulation_id}`, text: c.simulation_id }), statusChip(c.state)),
      el('div', { text: `${c.component_name} · ${c.simulation_type || '(no type)'} · generation ${c.generation}` }),
      el('div', { text: `holder ${holder}` }),
      el('div', { class: 'muted', text: `age ${formatAge(c.age_seconds)} · last heartbeat ${beat} · lease ${c.lease_seconds} s${how}` }));
  });
  if (!items.length) items.push(el('li', { class: 'empty', text: 'nothing is being computed' }));
  list.replaceChildren(...items);
  const cost = answer.cost;
  $('store-label').textContent = answer.store;
  const total = state.answer ? ` (${state.answer.total.toLocaleString('en')})` : '';
  const requests = answer.remote ? ` (${cost.requests} requests on object storage)` : '';
  $('running-cost').textContent = `Looks every ${POLL_VISIBLE_MS / 1000} s (every ${POLL_HIDDEN_MS / 1000} s while this tab is hidden): `
    + `${cost.listings} listing${cost.listings === 1 ? '' : 's'} and ${cost.claim_reads} claim read${cost.claim_reads === 1 ? '' : 's'} each${requests}. `
    + `A change in the store runs the table's query again: one read per stored result${total}.`;
}

let pollTimer = null;
let polling = false;
let failures = 0;

// One look at a time: the next is scheduled only when this one is done.
async function poll() {
  if (polling) return;
  polling = true;
  clearTimeout(pollTimer);
  try {
    const answer = await getJSON('/api/running');
    failures = 0;
    renderRunning(answer);
    state.latestVersion = answer.store_version;
    $('live-status').textContent = `live · ${answer.claims.length} running`;
    if (state.shownVersion && answer.store_version !== state.shownVersion && !$('table-view').hidden) {
      await loadTable({ live: true });
    }
  } catch (error) {
    failures += 1;
    $('live-status').textContent = `not live: ${error.message}`;
  } finally {
    polling = false;
    const base = document.hidden ? POLL_HIDDEN_MS : POLL_VISIBLE_MS;
    pollTimer = setTimeout(poll, Math.min(60000, base * 2 ** Math.min(failures, 4)));
  }
}

document.addEventListener('visibilitychange', () => {
  if (!document.hidden && !polling) poll();
});

// --- the two views ------------------------------------------------------------------------------

let fromTable = false;
function openResult(id) {
  fromTable = !$('table-view').hidden;
  history.pushState(null, '', `/result/${id}`);
  route();
}

function route() {
  const match = location.pathname.match(/^\/result\/([0-9a-f]{16})$/);
  if (match) {
    $('table-view').hidden = true;
    $('result-view').hidden = false;
    showResult(match[1], $('result-view'), goBack);
    return;
  }
  $('result-view').hidden = true;
  $('result-view').replaceChildren();
  $('table-view').hidden = false;
  const view = readView(location.search);
  const same = JSON.stringify({ ...view, select: [] }) === JSON.stringify({ ...state.view, select: [] });
  state.view = view;
  state.selected = new Set(view.select);
  $('where').value = view.where;
  if (!state.answer || !same || state.shownVersion !== state.latestVersion) {
    loadTable({ start: state.answer ? performance.now() : 0 });
  } else {
    selectionChanged();
  }
  if (view.select.length && $('overlay').hidden) showOverlay();
}

function goBack() {
  if (fromTable) {
    history.back();
    return;
  }
  history.pushState(null, '', `/${viewSearch(state.view)}`);
  route();
}

window.addEventListener('popstate', () => { fromTable = false; route(); });
$('home').addEventListener('click', (event) => {
  if (event.ctrlKey || event.metaKey || event.shiftKey) return;
  event.preventDefault();
  history.pushState(null, '', `/${viewSearch(state.view)}`);
  route();
});
document.addEventListener('click', (event) => {
  const link = event.target.closest('a[href^="/result/"]');
  if (!link || link.dataset.resultLink || event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0) return;
  event.preventDefault();
  openResult(link.getAttribute('href').slice('/result/'.length));
});

route();
poll();
