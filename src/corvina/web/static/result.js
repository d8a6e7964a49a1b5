// The page of one result: outcome, identity and metadata as tables, every
// spectrum against wavelength, the record's JSON and how to get it from Python.

import { getJSON, getText, query } from './api.js';
import { chartsReady, drawChart, palette } from './charts.js';
import { el, flatten, formatDate, formatValue, isNumber, markPainted, statusChip } from './format.js';

let shown = [];

function table(caption, rows) {
  return el('table', { class: 'kv' }, el('caption', { class: 'muted', text: caption }),
    el('tbody', {}, ...rows.map(([key, value]) => el('tr', {}, el('th', { scope: 'row', class: 'mono', text: key }),
      el('td', {}, value instanceof Node ? value : formatValue(key, value))))));
}

function seriesNote(value, length) {
  if (Array.isArray(value) && value.length === length && value.every(isNumber)) return `a spectrum of ${length} values (plotted below)`;
  const text = JSON.stringify(value);
  return text.length > 300 ? `${text.slice(0, 300)}…` : text;
}

export async function showResult(id, host, goBack) {
  for (const chart of shown) chart.destroy();
  shown = [];
  const start = performance.now();
  host.replaceChildren(el('p', { class: 'muted', text: `loading ${id}…` }));
  let record;
  let spectra;
  let snippet;
  try {
    [record, spectra, snippet] = await Promise.all([
      getJSON(`/api/results/${id}`),
      getJSON('/api/spectra', query({ select: id })),
      getText(`/api/results/${id}/python`),
      chartsReady(),
    ]);
  } catch (error) {
    host.replaceChildren(el('p', {}, el('a', { href: '/', text: '← results' })),
      el('p', { class: 'error-box', id: 'result-error', text: error.message }));
    return;
  }
  const back = el('a', { href: '/', text: '← results' });
  back.addEventListener('click', (event) => {
    if (event.ctrlKey || event.metaKey || event.shiftKey) return;
    event.preventDefault();
    goBack();
  });
  const n = record.wavelengths.length;
  const band = n ? `${n} points, ${formatValue('', Math.min(...record.wavelengths))}–${formatValue('', Math.max(...record.wavelengths))} µm` : 'none';
  const outcome = [
    ['status', statusChip(record.status)],
    ['error_message', record.error_message || '-'],
    ['execution_time_seconds', record.execution_time_seconds],
    ['simulation_date', `${formatDate(record.simulation_date)} UTC`],
    ['wavelengths', band],
    ['pdk_name', record.pdk_name],
    ['pdk_version', record.pdk_version || '-'],
    ['corvina_version', record.corvina_version],
  ];
  const identity = [
    ['simulation_id', record.simulation_id],
    ['component_name', record.component_name],
    ['factory_name', record.factory_name],
    ['simulation_type', record.simulation_type],
    ...flatten('component_settings', record.component_settings),
    ...flatten('model_parameters', record.model_parameters),
    ...flatten('hyperparameters', record.hyperparameters),
  ];
  const result = flatten('result', record.result).map(([k, v]) => [k, seriesNote(v, n)]);

  const dbBox = el('input', { type: 'checkbox', id: 'result-db' });
  const charts = el('div', { id: 'result-charts' });
  const copy = el('button', { type: 'button', text: 'Copy' });
  copy.addEventListener('click', async () => {
    try {
      await navigator.clipboard.writeText(snippet);
      copy.textContent = 'Copied';
    } catch {
      copy.textContent = 'Select the text to copy';
    }
  });
  const json = JSON.stringify(record, null, 2);
  host.replaceChildren(...[
    el('p', {}, back),
    el('div', { class: 'result-head' },
      el('h2', { text: `${record.component_name} · ${record.simulation_type}` }),
      el('span', { class: 'mono muted', text: record.simulation_id }),
      statusChip(record.status)),
    record.status === 'error' && record.error_message ? el('p', { class: 'error-box', text: record.error_message }) : null,
    el('h2', { text: 'Spectra' }),
    el('div', { class: 'chart-controls' }, el('label', {}, dbBox, ' dB (10·log10)')),
    charts,
    el('div', { class: 'tables' }, table('outcome', outcome), table('identity', identity),
      result.length ? table('result', result) : null),
    el('h2', { text: 'Use it from Python' }),
    el('div', {}, copy),
    el('pre', { class: 'code', id: 'python-snippet', text: snippet }),
    el('h2', { text: 'The record' }),
    el('p', {}, el('a', { href: `/api/results/${record.simulation_id}?download=1`, download: `${record.simulation_id}.json`, id: 'download-json', text: `Download ${record.simulation_id}.json` }),
      el('span', { class: 'muted', text: ` (${(json.length / 1024).toFixed(1)} KiB)` })),
    el('details', {}, el('summary', { text: 'show the JSON' }), el('pre', { class: 'code', text: json.length > 400000 ? `${json.slice(0, 400000)}\n…` : json })),
  ].filter(Boolean));

  const draw = () => {
    for (const chart of shown) chart.destroy();
    shown = [];
    charts.replaceChildren();
    const data = spectra.results[0];
    if (!data || !data.series.length) {
      charts.append(el('p', { class: 'muted', text: 'no spectrum: the result holds no series with one value per wavelength' }));
      return;
    }
    const curves = data.series.map((s, i) => ({ id: s.name, label: s.name, colour: palette(i), wavelengths: data.wavelengths ?? spectra.wavelengths, values: s.values }));
    const chart = drawChart(charts, curves, { title: `${record.component_name} ${record.simulation_id}`, db: dbBox.checked });
    const legend = el('ul', { class: 'legend' }, ...curves.map((c) => {
      const li = el('li', {}, el('span', { class: 'swatch' }), c.label);
      li.querySelector('.swatch').style.background = c.colour;
      return li;
    }));
    charts.append(legend);
    shown.push(chart);
  };
  dbBox.addEventListener('change', draw);
  draw();
  markPainted('corvina:result', start);
}
