// How values read in cells: JSON's spelling, dates in UTC, numbers short.

export const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);

export function formatDate(iso) {
  const when = new Date(iso);
  if (Number.isNaN(when.getTime())) return String(iso);
  return when.toISOString().replace('T', ' ').slice(0, 19);
}

export function formatNumber(v) {
  if (Number.isInteger(v)) return String(v);
  const text = String(v);
  return text.length > 12 ? v.toPrecision(8).replace(/\.?0+(e|$)/, '$1') : text;
}

export function formatValue(path, value) {
  if (value === undefined) return '-';
  if (path === 'simulation_date' && typeof value === 'string') return formatDate(value);
  if (typeof value === 'string') return value;
  if (isNumber(value)) return formatNumber(value);
  return JSON.stringify(value);
}

export function formatAge(seconds) {
  if (seconds === null || seconds === undefined) return '?';
  if (seconds < 0) return 'future';
  const s = Math.floor(seconds);
  if (s < 120) return `${s} s`;
  if (s < 7200) return `${Math.floor(s / 60)} min`;
  if (s < 2 * 86400) return `${Math.floor(s / 3600)} h`;
  return `${Math.floor(s / 86400)} d`;
}

export function lastPart(path) {
  const i = path.lastIndexOf('.');
  return i < 0 ? path : path.slice(i + 1);
}

// Leaves of nested objects by dotted path; lists stay values.
export function flatten(prefix, value, into = []) {
  if (value && typeof value === 'object' && !Array.isArray(value) && Object.keys(value).length) {
    for (const [key, item] of Object.entries(value)) flatten(prefix ? `${prefix}.${key}` : key, item, into);
  } else {
    into.push([prefix, value]);
  }
  return into;
}

export function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value === true ? '' : value);
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

export function statusChip(status) {
  return el('span', { class: `chip ${status}`, text: status });
}

// Marks a paint for the benchmark: the callback of a frame runs before it
// is painted, a task queued from there after.
export function markPainted(name, start) {
  requestAnimationFrame(() => setTimeout(() => {
    if (start === undefined) performance.mark(name);
    else performance.measure(name, { start, end: performance.now() });
  }, 0));
}
