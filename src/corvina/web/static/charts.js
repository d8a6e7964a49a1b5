// Spectra against wavelength on canvases (uPlot, vendored). Every chart
// element carries data-series: the number of curves it draws.

import { el, isNumber } from './format.js';

const LIGHT = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#7f7f7f', '#bcbd22', '#17becf'];
const DARK = ['#6cb4ff', '#ff7b72', '#7ee787', '#ffa657', '#d2a8ff', '#e3b48f', '#ff9bd2', '#c9d1d9', '#e3e36b', '#56d4dd'];
const VIRIDIS = ['#440154', '#482878', '#3e4989', '#31688e', '#26828e', '#1f9e89', '#35b779', '#6ece58', '#b5de2b', '#fde725'];

// The drawing library is loaded when a chart is first to be drawn, beside
// the request for its data (or once the page is idle): setting itself up
// takes longer than the table's first paint can spare, and the table does
// not draw. Once loaded it draws one small chart out of sight: its drawing
// code is compiled on first use, and that first use would otherwise be the
// chart the user waits for (it cost as much again as drawing it).
let library = null;
export function chartsReady() {
  if (!library) {
    library = (window.uPlot ? Promise.resolve() : new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = new URL('./vendored/uPlot.iife.min.js', import.meta.url).pathname;
      script.onload = () => resolve();
      script.onerror = () => {
        library = null;
        script.remove();
        reject(new Error('the chart library did not load: reload the page'));
      };
      document.head.append(script);
    })).then(warmUp);
  }
  return library;
}

async function warmUp() {
  // As many curves as an overlay of many draws (the same code paths).
  const xs = [1, 2, 3, 4, 5, 6, 7, 8];
  const ys = Array.from({ length: 21 }, (_, k) => xs.map((x) => (x * (k + 1)) % 5));
  const host = el('div');
  let plot = null;
  try {
    plot = new uPlot(chartOptions({
      width: 200,
      height: 120,
      curves: ys.map((_, i) => ({ label: String(i), colour: palette(i) })),
      colours: theme(),
      db: false,
      onFocus: null,
      chart: { zoomed: false },
      xs,
    }), [xs, ...ys], host);
    // The chart draws in a microtask queued by its constructor: let it.
    await Promise.resolve();
  } catch {
    // A chart that cannot be drawn here will say so where it is drawn.
  } finally {
    plot?.destroy();
  }
}

const dark = window.matchMedia('(prefers-color-scheme: dark)');
const charts = new Set();

// Dark mode recolours every chart drawn.
dark.addEventListener('change', () => {
  themeColours = null;
  for (const chart of charts) chart.redraw();
});

export function isDark() {
  return dark.matches;
}

export function palette(i) {
  const colours = isDark() ? DARK : LIGHT;
  return colours[i % colours.length];
}

function hex(c) {
  return [1, 3, 5].map((i) => Number.parseInt(c.slice(i, i + 2), 16));
}

// A number in [0, 1] as a colour of the viridis scale; on a dark
// background its darkest end is left out.
export function scaleColour(t) {
  let x = Math.min(1, Math.max(0, Number.isFinite(t) ? t : 0));
  if (isDark()) x = 0.15 + 0.85 * x;
  const pos = x * (VIRIDIS.length - 1);
  const i = Math.min(VIRIDIS.length - 2, Math.floor(pos));
  const f = pos - i;
  const [a, b] = [hex(VIRIDIS[i]), hex(VIRIDIS[i + 1])];
  const mix = a.map((v, k) => Math.round(v + (b[k] - v) * f));
  return `rgb(${mix.join(',')})`;
}

// The page's colours for charts, read once per colour scheme (reading
// them makes the browser work out every style first).
let themeColours = null;
function theme() {
  if (!themeColours) {
    const style = getComputedStyle(document.documentElement);
    const get = (name) => style.getPropertyValue(name).trim();
    themeColours = { axis: get('--axis'), grid: get('--grid'), bg: get('--bg'), fg: get('--fg') };
  }
  return themeColours;
}

// The curves on one wavelength axis: one shared, ascending x array (uPlot's
// form), each curve null where it has no value.
export function align(curves) {
  const first = curves[0]?.wavelengths ?? [];
  // One axis sent once for all (a sweep's): nothing to compare.
  const same = curves.every((c) => c.wavelengths === first) || curves.every((c) => c.wavelengths.length === first.length
    && c.wavelengths.every((w, i) => w === first[i]));
  const ascending = first.every((w, i) => i === 0 || first[i - 1] < w);
  if (same && ascending) return { xs: first, ys: curves.map((c) => c.values) };
  const xs = [...new Set(curves.flatMap((c) => c.wavelengths))].sort((a, b) => a - b);
  const index = new Map(xs.map((w, i) => [w, i]));
  const ys = curves.map((c) => {
    const out = new Array(xs.length).fill(null);
    c.wavelengths.forEach((w, i) => { out[index.get(w)] = c.values[i]; });
    return out;
  });
  return { xs, ys };
}

export function decibels(values) {
  return values.map((v) => (isNumber(v) && v > 0 ? 10 * Math.log10(v) : null));
}

// The lines of a chart's curves, as uPlot asks for them (`series.paths`).
// Its own builder calls several small functions per coordinate; here each
// line is one loop, and the pixel column of every wavelength is worked out
// once per drawing for all the curves of the chart (they share one axis).
// A curve with more points than the plot has pixel columns is drawn
// through each column's first, lowest, highest and last values, which is
// all a column can show. Only the line is thinned: hover, zoom and export
// read the data, which stay whole. Missing values are spanned, as before.
export function lineBuilder() {
  let columnsOf = { key: null, xs: null, px: null };
  return (u, seriesIndex, first, last) => {
    const xs = u.data[0];
    const ys = u.data[seriesIndex];
    const { left, top, width, height } = u.bbox;
    const sx = u.scales.x;
    const sy = u.scales[u.series[seriesIndex].scale ?? 'y'];
    const key = `${sx.min} ${sx.max} ${left} ${width}`;
    if (columnsOf.key !== key || columnsOf.xs !== xs) {
      const px = new Float64Array(xs.length);
      const kx = sx.max > sx.min ? width / (sx.max - sx.min) : 0;
      for (let i = 0; i < xs.length; i += 1) px[i] = left + (xs[i] - sx.min) * kx;
      columnsOf = { key, xs, px };
    }
    const { px } = columnsOf;
    const ky = sy.max > sy.min ? height / (sy.max - sy.min) : 0;
    const base = top + height + sy.min * ky;
    const path = new Path2D();
    let started = false;
    if (last - first <= 4 * width) {
      for (let i = first; i <= last; i += 1) {
        const v = ys[i];
        if (v === null || v === undefined) continue;
        if (started) path.lineTo(px[i], base - v * ky);
        else { path.moveTo(px[i], base - v * ky); started = true; }
      }
    } else {
      let column = NaN;
      let low = 0;
      let high = 0;
      let end = 0;
      for (let i = first; i <= last; i += 1) {
        const v = ys[i];
        if (v === null || v === undefined) continue;
        const x = Math.round(px[i]);
        const y = base - v * ky;
        if (x === column) {
          if (y < low) low = y;
          if (y > high) high = y;
          end = y;
          continue;
        }
        if (started) {
          path.lineTo(column, low);
          path.lineTo(column, high);
          path.lineTo(column, end);
          path.lineTo(x, y);
        } else {
          path.moveTo(x, y);
          started = true;
        }
        column = x;
        low = y;
        high = y;
        end = y;
      }
      if (started) {
        path.lineTo(column, low);
        path.lineTo(column, high);
        path.lineTo(column, end);
      }
    }
    return { stroke: path, fill: null, clip: null, band: null, gaps: null, flags: 1 };
  };
}

// uPlot's options for one chart of `curves` over the ascending `xs`.
function chartOptions({ width, height, curves, colours, db, onFocus, chart, xs }) {
  const many = curves.length > 20;
  const paths = lineBuilder();
  const axis = { stroke: colours.axis, grid: { stroke: colours.grid, width: 1 }, ticks: { stroke: colours.grid, width: 1 } };
  return {
    width,
    height,
    pxAlign: 0,
    scales: { x: { time: false }, y: { auto: true } },
    legend: { show: false },
    cursor: { points: { show: !many }, focus: { prox: 12 }, drag: { x: true, y: false, setScale: true } },
    focus: { alpha: 0.25 },
    series: [
      { label: 'wavelength (µm)' },
      ...curves.map((c) => ({ label: c.label, stroke: c.colour, width: many ? 1 : 1.5, spanGaps: true, paths, points: { show: false } })),
    ],
    axes: [
      { ...axis, label: 'wavelength (µm)', labelSize: 20 },
      { ...axis, label: db ? 'dB' : 'value', size: 60, labelSize: 20 },
    ],
    hooks: {
      setSeries: [(u, index) => onFocus?.(index === null || index === undefined ? null : index - 1)],
      setScale: [(u, key) => { if (key === 'x') chart.zoomed = u.scales.x.min > xs[0] || u.scales.x.max < xs[xs.length - 1]; }],
    },
  };
}

// One chart: curves = [{label, colour, wavelengths, values, id}].
// options: title, db, onFocus(index|null), keepZoom, and width: the
// host's width when the caller measured it already (measuring again after
// adding a chart makes the browser lay the whole page out once per chart).
export function drawChart(host, curves, options = {}) {
  const wrapper = el('div', { class: 'chart', 'data-series': String(curves.length), 'data-title': options.title ?? '' });
  const pngButton = el('button', { type: 'button', text: 'PNG', title: 'save this chart as a PNG picture' });
  wrapper.append(el('h3', {}, el('span', { text: options.title ?? '' }), pngButton));
  const plotHost = el('div', { class: 'plot' });
  wrapper.append(plotHost);
  host.append(wrapper);

  const chart = { element: wrapper, plot: null, curves, options, zoom: options.keepZoom ?? null };
  let measured = options.width;
  const make = () => {
    if (chart.plot) {
      const x = chart.plot.scales.x;
      chart.plot.destroy();
      chart.zoom = chart.zoomed ? { min: x.min, max: x.max } : chart.zoom;
    }
    const { xs, ys } = align(curves);
    const data = [xs, ...ys.map((y) => (options.db ? decibels(y) : y))];
    const width = Math.max(320, measured || plotHost.clientWidth || host.clientWidth || 800);
    measured = undefined; // a redraw measures anew
    chart.plot = new uPlot(chartOptions({
      width, height: options.height ?? 300, curves, colours: theme(), db: options.db, onFocus: options.onFocus, chart, xs,
    }), data, plotHost);
    if (chart.zoom && Number.isFinite(chart.zoom.min)) {
      chart.plot.setScale('x', chart.zoom);
    }
  };
  chart.redraw = make;
  chart.focus = (index) => chart.plot?.setSeries(index === null ? null : index + 1, { focus: true });
  chart.destroy = () => { chart.plot?.destroy(); charts.delete(chart); wrapper.remove(); };
  chart.zoomRange = () => (chart.zoomed ? { min: chart.plot.scales.x.min, max: chart.plot.scales.x.max } : null);
  pngButton.addEventListener('click', () => savePNG(chart));
  make();
  charts.add(chart);
  return chart;
}

window.addEventListener('resize', () => {
  for (const chart of charts) {
    const host = chart.element.querySelector('.plot');
    if (chart.plot && host.clientWidth) chart.plot.setSize({ width: host.clientWidth, height: chart.plot.height });
  }
});

// The chart's canvas, its title and its legend (when short) as one PNG.
export function savePNG(chart) {
  const source = chart.plot.ctx.canvas;
  const ratio = source.width / chart.plot.width;
  const listed = chart.curves.length <= 24 ? chart.curves : [];
  const lineHeight = 18 * ratio;
  const titleHeight = 28 * ratio;
  const canvas = document.createElement('canvas');
  canvas.width = source.width;
  canvas.height = source.height + titleHeight + Math.ceil(listed.length / 2) * lineHeight + 8 * ratio;
  const ctx = canvas.getContext('2d');
  const colours = theme();
  ctx.fillStyle = colours.bg || '#fff';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  ctx.fillStyle = colours.fg || '#000';
  ctx.font = `${14 * ratio}px sans-serif`;
  ctx.fillText(chart.options.title ?? '', 8 * ratio, 19 * ratio);
  ctx.drawImage(source, 0, titleHeight);
  ctx.font = `${12 * ratio}px sans-serif`;
  listed.forEach((c, i) => {
    const x = (i % 2) * (canvas.width / 2) + 8 * ratio;
    const y = source.height + titleHeight + Math.floor(i / 2) * lineHeight + 14 * ratio;
    ctx.fillStyle = c.colour;
    ctx.fillRect(x, y - 5 * ratio, 14 * ratio, 3 * ratio);
    ctx.fillStyle = colours.fg || '#000';
    ctx.fillText(c.label, x + 20 * ratio, y);
  });
  canvas.toBlob((blob) => {
    const a = el('a', { href: URL.createObjectURL(blob), download: `${(chart.options.title || 'chart').replace(/[^\w.-]+/g, '_')}.png` });
    document.body.append(a);
    a.click();
    setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
  }, 'image/png');
}

// A horizontal colour bar for a numeric parameter.
export function colourBar(host, name, min, max) {
  host.replaceChildren();
  const canvas = el('canvas', { width: '180', height: '12', 'aria-hidden': 'true' });
  const ctx = canvas.getContext('2d');
  // The scale's colours as stops of one gradient: one fill, not one per pixel.
  const gradient = ctx.createLinearGradient(0, 0, 180, 0);
  for (let i = 0; i <= 20; i += 1) gradient.addColorStop(i / 20, scaleColour(i / 20));
  ctx.fillStyle = gradient;
  ctx.fillRect(0, 0, 180, 12);
  host.append(el('span', { text: name }), el('span', { text: String(min) }), canvas, el('span', { text: String(max) }));
  host.hidden = false;
}
