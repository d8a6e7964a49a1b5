// The results browser: the table, the overlay and comparison of selected
// results, the running panel, and the page of one result. This file holds
// the running panel with the live updates and the routing between the two
// views; the table (table.js) and the selected results (overlay.js) are
// modules of their own. Queries, sorting and export are the server's (the
// store's own); the page only shows them.

import { getJSON } from './api.js';
import { chartsReady } from './charts.js';
import { el, formatAge, statusChip } from './format.js';
import { showOverlay } from './overlay.js';
import { showResult } from './result.js';
import { $, state } from './state.js';
import { loadTable, selectionChanged, setOpenResult, setRunningSeen } from './table.js';
import { readView, viewSearch } from './view.js';

const POLL_VISIBLE_MS = 2000;
const POLL_HIDDEN_MS = 30000;

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

function showRunning(answer) {
  renderRunning(answer);
  state.latestVersion = answer.store_version;
  $('live-status').textContent = `live · ${answer.claims.length} running`;
}

function scheduleNextPoll() {
  clearTimeout(pollTimer);
  const base = document.hidden ? POLL_HIDDEN_MS : POLL_VISIBLE_MS;
  pollTimer = setTimeout(poll, Math.min(60000, base * 2 ** Math.min(failures, 4)));
}

// One look at a time: the next is scheduled only when this one is done.
async function poll() {
  if (polling) return;
  polling = true;
  clearTimeout(pollTimer);
  try {
    const answer = await getJSON('/api/running');
    failures = 0;
    showRunning(answer);
    if (state.shownVersion && answer.store_version !== state.shownVersion && !$('table-view').hidden) {
      await loadTable({ live: true });
    }
  } catch (error) {
    failures += 1;
    $('live-status').textContent = `not live: ${error.message}`;
  } finally {
    polling = false;
    scheduleNextPoll();
  }
}

// The first table's answer carries the running panel's, from the same look
// at the store: the panel is shown from it and the next look is a poll away.
setRunningSeen((answer) => {
  if (polling) return;
  showRunning(answer);
  scheduleNextPoll();
});

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
setOpenResult(openResult);

// Returns the table's load when it starts one (`running`: ask for the
// running panel's answer with it).
function route({ running = false } = {}) {
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
  let load = null;
  if (!state.answer || !same || state.shownVersion !== state.latestVersion) {
    load = loadTable({ start: state.answer ? performance.now() : 0, running });
  } else {
    selectionChanged();
  }
  if (view.select.length && $('overlay').hidden) {
    const drawn = showOverlay();
    if (!state.answer) {
      // The table waits for the overlay's paint, and for at most a second.
      const painted = drawn.catch(() => {}).then(() => new Promise((done) => requestAnimationFrame(() => setTimeout(done, 0))));
      state.firstOverlay = Promise.race([painted, new Promise((done) => setTimeout(done, 1000))])
        .finally(() => { state.firstOverlay = null; });
    }
  }
  return load;
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

// The first look at the store comes with the first table (one look, not
// two at once); without a table, or if it did not come, the panel asks.
const first = route({ running: true });
if (first) first.then((seen) => { if (!seen) poll(); }, () => poll());
else poll();
// The chart library once the page is idle, so that a chart drawn later need
// not wait for it.
const whenIdle = window.requestIdleCallback ?? ((run) => setTimeout(run, 200));
Promise.resolve(first).finally(() => whenIdle(() => chartsReady().catch(() => {})));
