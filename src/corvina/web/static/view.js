// The address is the view: query, sort, columns, selection and page are
// readable parameters of it, so a link shows a colleague the same table.

export const PAGE_SIZE = 50;

function list(text) {
  return text ? text.split(',').map((s) => s.trim()).filter(Boolean) : [];
}

export function readView(search) {
  const p = new URLSearchParams(search);
  const page = Number.parseInt(p.get('page') ?? '1', 10);
  const columns = list(p.get('columns'));
  return {
    where: p.get('where') ?? '',
    sort: p.get('sort') ?? '',
    columns: columns.length ? columns : null,
    select: list(p.get('select')),
    page: Number.isFinite(page) && page > 0 ? page : 1,
  };
}

export function viewSearch(view) {
  const p = new URLSearchParams();
  if (view.where) p.set('where', view.where);
  if (view.sort) p.set('sort', view.sort);
  if (view.columns && view.columns.length) p.set('columns', view.columns.join(','));
  if (view.select.length) p.set('select', view.select.join(','));
  if (view.page > 1) p.set('page', String(view.page));
  const text = p.toString();
  return text ? `?${text}` : '';
}

// Sorting a column: ascending first, then descending, by the store's
// `-PATH` form.
export function nextSort(current, path) {
  if (current === path) return `-${path}`;
  return path;
}

export function sortState(current, path) {
  if (current === path) return 'ascending';
  if (current === `-${path}`) return 'descending';
  return 'none';
}
