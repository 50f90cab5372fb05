'use strict';
// The viewer: a CSV export turned into one self-contained HTML page with
// interactive plots (uPlot, inlined, so the page works offline).
const fs = require('node:fs');
const path = require('node:path');

const BANNER = 'Quandrel - Kinovar data export';

// Plots by the CSV columns they draw; the first column of a group tells
// whether the row holds a sample of it.
const PLOTS = [
  { id: 'accel', title: 'Accelerometer', unit: 'g', columns: ['Accel X', 'Accel Y', 'Accel Z'] },
  { id: 'gyro', title: 'Gyroscope', unit: 'deg/s', columns: ['Gyro X', 'Gyro Y', 'Gyro Z'] },
  { id: 'baro', title: 'Pressure', unit: 'mBar', columns: ['Pressure', 'Temperature'], secondUnit: 'degree C' },
  { id: 'quat', title: 'Orientation (quaternion)', unit: '', columns: ['Quat W', 'Quat X', 'Quat Y', 'Quat Z'] },
];

const SENSOR_GROUPS = [['Gyro X', 'Gyro Y', 'Gyro Z'], ['Accel X', 'Accel Y', 'Accel Z'], ['Pressure', 'Temperature']];

// A sensor that its settings declare but that never sampled keeps its names
// in the header while its cells are left out of the rows: drop such groups
// until the names fit the rows' width.
function columnNames(names, width) {
  if (width <= 1 || names.length === width) return names;
  const named = SENSOR_GROUPS.filter((group) => names.includes(group[0]));
  for (let mask = 1; mask < 1 << named.length; mask++) {
    const dropped = named.filter((_, i) => mask & (1 << i)).flat();
    const kept = names.filter((name) => !dropped.includes(name));
    if (kept.length === width) return kept;
  }
  return names;
}

/**
 * Reads a CSV export into columns per plot.
 * @param {string} text the whole file
 * @param {{maxPoints?: number}} [options] longer series keep every k-th sample
 */
function parseExport(text, { maxPoints = 200000 } = {}) {
  const lines = text.split(/\r?\n/);
  if (lines[0] !== BANNER) throw new Error('not a kinovar CSV export (its first line is not the export banner)');
  const created = lines[1].replace(/^Created on: /, '');
  const rates = lines[4] ?? '';
  const names = columnNames((lines[5] ?? '').split(','), (lines[7] ?? '').split(',').length);
  const index = (name) => names.indexOf(name);
  const time = index('Time');
  const event = index('Event');
  const all = PLOTS.map((plot) => ({ ...plot, at: plot.columns.map(index), x: [], y: plot.columns.map(() => []) }));
  const plots = all.filter((plot) => plot.at[0] >= 0);
  const missing = all.filter((plot) => plot.at[0] < 0).map((plot) => plot.title);
  const events = [];
  let rows = 0;
  for (let r = 7; r < lines.length; r++) {
    if (lines[r] === '') continue;
    rows += 1;
    const cells = lines[r].split(',');
    const t = Number(cells[time]);
    for (const plot of plots) {
      if (cells[plot.at[0]] === '') continue;
      plot.x.push(t);
      plot.at.forEach((at, c) => plot.y[c].push(Number(cells[at])));
    }
    if (event >= 0 && cells[event] !== '') events.push([t, Number(cells[event])]);
  }
  for (const plot of plots) {
    plot.samples = plot.x.length;
    const step = Math.ceil(plot.samples / maxPoints);
    if (step > 1) {
      const keep = (series) => series.filter((_, i) => i % step === 0);
      plot.x = keep(plot.x);
      plot.y = plot.y.map(keep);
    }
    plot.step = Math.max(1, step);
    delete plot.at;
  }
  return { created, rates, plots, missing, events, rows };
}

const asset = (file) => fs.readFileSync(path.join(path.dirname(require.resolve('uplot')), file), 'utf8');
// Inline scripts end at the first "</script", wherever it stands.
const inlineSafe = (text) => text.replace(/<\/(script)/gi, '<\\/$1');

const COLOURS = ['#d62728', '#2ca02c', '#1f77b4', '#9467bd'];

/**
 * Builds the page.
 * @param {ReturnType<typeof parseExport>} data
 * @param {{title?: string}} [options]
 * @returns {string} HTML
 */
function buildPage(data, { title = 'kinovar recording' } = {}) {
  const escape = (s) => String(s).replace(/[&<>"]/g, (c) => `&#${c.charCodeAt(0)};`);
  const payload = inlineSafe(JSON.stringify({ ...data, colours: COLOURS }));
  return `<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>${escape(title)}</title>
<script>
// Collected before anything else runs, so a checker can read them from the page.
window.__problems = [];
addEventListener('error', (e) => __problems.push(String(e.message)));
</script>
<style>${asset('uPlot.min.css')}
body { font-family: system-ui, sans-serif; margin: 1rem 2rem; color: #222; }
h1 { font-size: 1.3rem; margin-bottom: 0.2rem; }
.meta { color: #555; margin: 0 0 1rem; }
section { margin-bottom: 1.5rem; }
h2 { font-size: 1rem; margin: 0.5rem 0; }
.note { color: #777; font-size: 0.85rem; }
</style></head>
<body>
<h1>${escape(title)}</h1>
<p class="meta" id="meta"></p>
<div id="plots"></div>
<p class="note">Drag to zoom (all plots follow), double-click to zoom out; click a legend entry to hide a series.</p>
<pre id="status" hidden></pre>
<script id="data" type="application/json">${payload}</script>
<script>${inlineSafe(asset('uPlot.iife.min.js'))}</script>
<script>
(function () {
  const data = JSON.parse(document.getElementById('data').textContent);
  const meta = document.getElementById('meta');
  meta.textContent = 'Created on ' + data.created + ' \\u00b7 ' + data.rows + ' rows \\u00b7 ' + data.events.length + ' events';
  const holder = document.getElementById('plots');
  const width = () => Math.max(400, holder.clientWidth || 900);
  const charts = [];
  let syncing = false;
  const eventLines = (u) => {
    const { ctx } = u;
    ctx.save();
    ctx.strokeStyle = 'rgba(255,127,14,0.8)';
    ctx.setLineDash([4, 4]);
    for (const [t] of data.events) {
      const x = u.valToPos(t, 'x', true);
      if (x < u.bbox.left || x > u.bbox.left + u.bbox.width) continue;
      ctx.beginPath(); ctx.moveTo(x, u.bbox.top); ctx.lineTo(x, u.bbox.top + u.bbox.height); ctx.stroke();
    }
    ctx.restore();
  };
  const follow = (u, key) => {
    if (key !== 'x' || syncing) return;
    syncing = true;
    const { min, max } = u.scales.x;
    for (const other of charts) if (other !== u) other.setScale('x', { min, max });
    syncing = false;
  };
  const plotted = [];
  for (const plot of data.plots) {
    const section = document.createElement('section');
    section.dataset.plot = plot.id;
    const heading = document.createElement('h2');
    heading.textContent = plot.title + (plot.step > 1 ? ' (every ' + plot.step + 'th of ' + plot.samples + ' samples)' : '');
    section.append(heading);
    holder.append(section);
    if (plot.x.length === 0) {
      section.append(Object.assign(document.createElement('p'), { className: 'note', textContent: 'no samples' }));
      plotted.push({ id: plot.id, points: 0, inked: 0 });
      continue;
    }
    const second = plot.secondUnit !== undefined;
    const series = [{ label: 'Time [s]' }].concat(plot.columns.map((name, i) => ({
      label: name, stroke: data.colours[i], width: 1, scale: second && i === 1 ? 'second' : 'y',
    })));
    const axes = [{ label: 'time [s]' }, { label: plot.unit ? '[' + plot.unit + ']' : '', scale: 'y', size: 80 }];
    if (second) axes.push({ label: '[' + plot.secondUnit + ']', scale: 'second', side: 1, size: 70, grid: { show: false } });
    const chart = new uPlot({
      width: width(), height: 260, series, axes,
      scales: { x: { time: false } },
      cursor: { sync: { key: 'kinovar' } },
      hooks: { draw: [eventLines], setScale: [follow] },
    }, [plot.x].concat(plot.y), section);
    charts.push(chart);
    plotted.push({ id: plot.id, points: plot.x.length, chart });
  }
  for (const title of data.missing || []) {
    holder.append(Object.assign(document.createElement('p'), { className: 'note', textContent: title + ': not in this file' }));
  }
  addEventListener('resize', () => charts.forEach((c) => c.setSize({ width: width(), height: 260 })));
  // Counts the drawn pixels of each plot, so a headless check can tell a
  // drawn plot from an empty frame.
  const inked = (chart) => {
    const canvas = chart.root.querySelector('canvas');
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let count = 0;
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) count++;
    return count;
  };
  requestAnimationFrame(() => {
    const status = { problems: window.__problems, plots: plotted.map((p) => ({ id: p.id, points: p.points, inked: p.chart ? inked(p.chart) : 0 })) };
    const node = document.getElementById('status');
    node.textContent = JSON.stringify(status);
    node.dataset.ready = 'true';
  });
})();
</script>
</body></html>
`;
}

module.exports = { parseExport, buildPage, BANNER };
