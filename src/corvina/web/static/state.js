// What the page's parts share: the view the address holds, the selection,
// the table's last answer and the store versions the live updates compare.

import { query } from './api.js';
import { readView, viewSearch } from './view.js';

export const $ = (id) => document.getElementById(id);
// The most results one overlay draws (and "select all matches" selects).
export const MAX_OVERLAY = 500;

export const state = {
  view: readView(location.search),
  selected: new Set(),
  answer: null, // the last /api/results answer shown
  shownVersion: null, // the store version the table shows
  latestVersion: null, // the newest version a look saw
  request: 0, // the number of the newest table request; older answers are dropped
  controller: null,
  focusId: null,
  // While the overlay a page was opened with is being drawn: what the
  // table waits for before its first rows (see table.js).
  firstOverlay: null,
};
state.selected = new Set(state.view.select);

// --- the address -------------------------------------------------------------

export function writeAddress(push = false) {
  state.view.select = [...state.selected];
  const url = `/${viewSearch(state.view)}`;
  if (location.pathname + location.search === url) return;
  if (push) history.pushState(null, '', url);
  else history.replaceState(null, '', url);
}

export function tableParams(extra = {}) {
  return query({ where: state.view.where, sort: state.view.sort, ...extra });
}
