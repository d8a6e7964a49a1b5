// The table of results: one page of the query's matches, sorted and with the
// columns the address names; the keyboard on it, the selection, the query
// box, paging and columns. Queries, sorting and export are the server's (the
// store's own); this file only shows them.

import { ApiError, getJSON } from './api.js';
import { el, formatValue, isNumber, markPainted, statusChip } from './format.js';
import { loadCompare, scheduleOverlay, showOverlay } from './overlay.js';
import { $, MAX_OVERLAY, state, tableParams, writeAddress } from './state.js';
import { PAGE_SIZE, nextSort, sortState } from './view.js';

// What opening a result does (the page's router sets it).
let openResult = () => {};

export function setOpenResult(open) {
  openResult = open;
}

// What the running panel does with a look at the store that came with the
// table's answer (the page's first load asks for both at once).
let runningSeen = () => {};

export function setRunningSeen(seen) {
  runningSeen = seen;
}

function showWhereError(message) {
  $('where-error').textContent = message ?? '';
  $('where').setAttribute('aria-invalid', message ? 'true' : 'false');
}

// Resolves to whether the answer came with the running panel's (`running`).
export async function loadTable({ live = false, start = performance.now(), running = false } = {}) {
  const number = ++state.request;
  state.controller?.abort();
  state.controller = new AbortController();
  const { view } = state;
  const params = tableParams({
    limit: PAGE_SIZE,
    offset: (view.page - 1) * PAGE_SIZE,
    fields: view.columns ? view.columns.join(',') : '',
    running: running ? 1 : '',
  });
  let answer;
  try {
    answer = await getJSON('/api/results', params, { signal: state.controller.signal });
  } catch (error) {
    if (error.name === 'AbortError' || number !== state.request) return false;
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
      return false;
    }
    $('live-status').textContent = `the server did not answer: ${error.message}`;
    return false;
  }
  if (state.firstOverlay && !state.answer) {
    // A page opened with a selection draws its overlay first: what the
    // address asked to see. Drawn before the table, it need not wait for
    // the table's rows to be built and laid out on the page's one thread.
    await state.firstOverlay;
  }
  if (number !== state.request) return false;
  showWhereError(null);
  const pages = Math.max(1, Math.ceil(answer.total / PAGE_SIZE));
  if (view.page > pages) {
    view.page = pages;
    writeAddress();
    return loadTable({ start, running });
  }
  renderTable(answer, live);
  state.shownVersion = answer.store_version;
  markPainted(live ? 'corvina:table-live' : 'corvina:table', start);
  if (!answer.running) return false;
  runningSeen(answer.running);
  return true;
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

export function selectionChanged() {
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
