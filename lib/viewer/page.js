'use strict';
// The viewer: one self-contained HTML page (uPlot inlined, works offline) of
// a recording, a classic CSV export or a Parquet file, for any length.
//
// The native side bins every channel by time and keeps the minimum and the
// maximum of each bin, at the finest bin the size budget allows and at every
// coarser power of two (a pyramid). The page embeds the pyramid and, on
// every zoom, gives each pixel column the extremes of the bins it covers
// from the coarsest level still finer than a column: no peak is lost at any
// zoom, and the page needs no server. Below the finest bin (0.5 s for a day
// at 1000 Hz, 16 ms for an hour) the page shows that bin's band. Roll and
// yaw keep arcs instead (see view_data.cpp), and a column whose arc crosses
// ±180° is drawn as two pieces, the line broken there.
//
// A page opened as page.html#t=<from>,<to> (seconds) shows that window.
const fs = require('node:fs');
const path = require('node:path');
const native = require('../native/entry');
const output = require('../output/files');
const { readParquetBytes } = require('../parquet/file');
const { checkRecording, checkSamples, progressOf } = require('../checks/options');
const { qualityProblems } = require('../checks/outcomes');
const { KinovarError, codes } = require('../errors');
const { tableStreams } = require('../data/tables');
const { BLOCK, BANNER, VIEW_GENERATOR, PARQUET_MAGIC, DEFAULT_ESTIMATOR } = require('../model/schema');

/**
 * Reads the viewer data the native module builds: its header and the codes
 * of each level. Runs in Node and, as its own source, in the page.
 * @param {Uint8Array} bytes
 */
function decodeViewData(bytes) {
  const magic = String.fromCharCode(bytes[0], bytes[1], bytes[2], bytes[3]);
  if (magic !== 'KVW1') throw new Error('not kinovar viewer data');
  const length = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (bytes[7] << 24);
  const header = JSON.parse(new TextDecoder().decode(bytes.subarray(8, 8 + length)));
  const base = 8 + length + ((8 + length) % 2);
  // Its own buffer, aligned for 16-bit views (a Buffer's slice would be a view).
  const codes = Uint8Array.prototype.slice.call(bytes, base);
  /** [minima, maxima] of a channel at a level, as codes 0..65535. */
  const level = (plot, channel, l) => {
    const n = plot.levels[l];
    const at = plot.channels[channel].offsets[l];
    return [new Uint16Array(codes.buffer, at, n), new Uint16Array(codes.buffer, at + 2 * n, n)];
  };
  /** The value of a code of a channel. */
  const value = (plot, channel, code) => {
    const { low, high } = plot.channels[channel];
    return code === 65535 ? high : low + (code * (high - low)) / 65535;
  };
  return { header, level, value };
}

/** What kind of input a file is, by its first bytes. */
function inputKind(file) {
  const head = output.inputHead(file, BLOCK).toString('latin1');
  if (head.startsWith(BANNER)) return 'csv';
  if (head.startsWith(PARQUET_MAGIC)) return 'parquet';
  if (/\r?\n/.test(head) && output.isPlainHeader(head.split(/\r?\n/)[0])) return 'plain';
  return 'recording';
}

/**
 * The columns of our plain CSV by name, empty cells as NaN.
 * @param {string} file
 * @returns {Record<string, Float64Array>}
 */
function plainColumns(file) {
  const text = fs.readFileSync(file, 'latin1');
  let at = text.indexOf('\n');
  const names = text.slice(0, at).replace(/\r$/, '').split(',');
  let rows = 0;
  for (let i = at; i !== -1 && i + 1 < text.length; i = text.indexOf('\n', i + 1)) rows++;
  const columns = names.map(() => new Float64Array(rows));
  for (let r = 0; r < rows; r++) {
    const start = at + 1;
    at = text.indexOf('\n', start);
    const cells = text.slice(start, at === -1 ? text.length : at).replace(/\r$/, '').split(',');
    if (cells.length !== names.length) {
      throw new KinovarError(`${file}: row ${r + 2} has ${cells.length} cells under ${names.length} names; ` +
        'it is not a plain CSV as kinovar writes it: view its recording instead', codes.FORMAT, { path: file });
    }
    for (let c = 0; c < cells.length; c++) columns[c][r] = cells[c] === '' ? NaN : Number(cells[c]);
  }
  return Object.fromEntries(names.map((name, c) => [name, columns[c]]));
}

/**
 * A table's streams with only the orientation samples that have an estimate:
 * the viewer draws no point for one without, whatever file it reads.
 */
function estimatedOnly(streams) {
  const q = streams.orientation;
  if (!q || !q.w.some((w) => w !== w)) return streams;
  return { ...streams, orientation: Object.fromEntries(Object.entries(q).map(([key, values]) => [key, values.filter((_, k) => q.w[k] === q.w[k])])) };
}

/**
 * The viewer data of a recording, or of a classic CSV, plain CSV or Parquet file kinovar wrote.
 * @param {string} input
 * @param {{orientation?: string, budget?: number}} [options] budget: bytes of the pyramids
 * @returns {Buffer}
 */
function viewData(input, options = {}) {
  const kind = inputKind(input);
  if (kind === 'parquet') {
    let table;
    try {
      table = readParquetBytes(fs.readFileSync(input));
    } catch (error) {
      if (error.code) throw error;  // a system error: the file could not be read
      throw new KinovarError(`${input}: not a Parquet file kinovar wrote (${error.message}); view its recording instead`,
        codes.FORMAT, { path: input });
    }
    // The table's orientation is the one it was written with; a Parquet file
    // written with orientation 'none' has none to show.
    const { quality, createdAt = '' } = table.info;
    return native.viewSamples(estimatedOnly(table.streams), createdAt,
      { budget: options.budget, ...(quality ? { quality: JSON.stringify(quality) } : {}) });
  }
  // Our plain CSV names its columns and keeps no date: its rows are read here, as Parquet's are.
  if (kind === 'plain') return native.viewSamples(estimatedOnly(tableStreams(plainColumns(input))), '', { budget: options.budget });
  if (kind === 'recording') checkRecording(input);
  // The native side's own default is the classic filter; ours is named here.
  const orientation = options.orientation === undefined ? DEFAULT_ESTIMATOR : options.orientation;
  return native.viewData(input, kind, { ...options, orientation, calibrate: options.calibrate ?? 'off' });
}

const asset = (file) => fs.readFileSync(path.join(path.dirname(require.resolve('uplot')), file), 'utf8');
// Inline scripts end at the first "</script", wherever it stands.
const inlineSafe = (text) => text.replace(/<\/(script)/gi, '<\\/$1');
const escape = (s) => String(s).replace(/[&<>"]/g, (c) => `&#${c.charCodeAt(0)};`);

/**
 * Builds the page.
 * @param {Uint8Array} data as viewData returns it
 * @param {{title?: string, problems?: string[]}} [options] problems: the recording's quality warnings
 * @returns {string} HTML
 */
function buildPage(data, { title = 'kinovar recording', problems = [] } = {}) {
  const settings = inlineSafe(JSON.stringify({ problems }));
  return `<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
${VIEW_GENERATOR}
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
.meta { color: #555; margin: 0 0 0.5rem; }
.warn { color: #a04000; margin: 0 0 1rem; }
section { margin-bottom: 0.8rem; }
h2 { font-size: 1rem; margin: 0.3rem 0; display: flex; gap: 1rem; align-items: baseline; }
h2 button { font-size: 0.8rem; }
.note { color: #777; font-size: 0.85rem; }
.u-legend tr.lows { display: none; }
</style></head>
<body>
<h1>${escape(title)}</h1>
<p class="meta" id="meta"></p>
<p class="warn" id="warn" hidden></p>
<div id="plots"></div>
<p class="note">Drag across a plot to zoom (all plots follow), double-click to see everything. Each pixel column
shows the lowest and highest sample it covers, so no peak is lost; roll and yaw break their line where they
cross &plusmn;180&deg;. Dashed lines are events, labelled with their values where there is room. Grey spans:
the sensor was not worn (no movement for an hour; see docs/epochs.md).</p>
<pre id="status" hidden></pre>
<script id="data" type="application/octet-stream">${Buffer.from(data.buffer, data.byteOffset, data.byteLength).toString('base64')}</script>
<script id="settings" type="application/json">${settings}</script>
<script>${inlineSafe(asset('uPlot.iife.min.js'))}</script>
<script>
${decodeViewData.toString()}
(${pageScript.toString()})();
</script>
</body></html>
`;
}

// Runs in the page.
/* eslint-disable no-undef */
function pageScript() {
  const text = document.getElementById('data').textContent;
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  const view = decodeViewData(bytes);
  const header = view.header;
  const settings = JSON.parse(document.getElementById('settings').textContent);
  const COLOURS = ['#d62728', '#2ca02c', '#1f77b4', '#9467bd'];
  const holder = document.getElementById('plots');
  const byId = Object.fromEntries(header.plots.map((p) => [p.id, p]));
  const duration = header.end - header.start;
  const seconds = (s) => (s >= 3600 ? (s / 3600).toFixed(2) + ' h' : s >= 60 ? (s / 60).toFixed(1) + ' min' : s.toFixed(2) + ' s');
  document.getElementById('meta').textContent = 'Created on ' + header.created + ' \u00b7 ' + seconds(duration) +
    ' \u00b7 ' + header.events.length + ' events';
  if (settings.problems.length) {
    const warn = document.getElementById('warn');
    warn.textContent = 'In this recording: ' + settings.problems.join('; ');
    warn.hidden = false;
  }
  let range = [header.start, header.end];
  const width = () => Math.max(400, holder.clientWidth || 900);
  const decimals = (v) => (v == null ? '--' : String(Math.round(v * 1000) / 1000));

  // The shortest arc holding two arcs of a wrapping channel: as the native
  // pyramid joins its bins, low in [-180, 180), high - low at most 360.
  function joinArcs(a, lb, hb) {
    if (!a) return [lb, hb];
    let best = null;
    for (const shift of [-360, 0, 360]) {
      const l = Math.min(a[0], lb + shift);
      const h = Math.max(a[1], hb + shift);
      if (!best || h - l < best[1] - best[0]) best = [l, h];
    }
    if (best[1] - best[0] >= 360) return [-180, 180];
    return best[0] < -180 ? [best[0] + 360, best[1] + 360] : best;
  }

  // Which of a wrapping channel's two lines each piece of a column goes on:
  // the line whose last piece it meets without crossing ±180°. A piece that
  // meets none starts a line, on a slot left empty if there is one, so the
  // line it would otherwise join ends at the wrap.
  function place(pieces, previous) {
    const placed = [null, null];
    const unmet = [];
    for (const p of pieces) {
      let slot = -1;
      let nearest = Infinity;
      for (let s = 0; s < 2; s++) {
        const q = previous[s];
        if (!q || placed[s]) continue;
        const gap = Math.max(0, q[0] - p[1], p[0] - q[1]);
        const across = Math.max(0, Math.min(q[0] + 360 - p[1], p[0] + 360 - q[1]));
        if (gap <= across && gap < nearest) { slot = s; nearest = gap; }
      }
      if (slot >= 0) placed[slot] = p; else unmet.push(p);
    }
    for (const p of unmet) {
      const empty = [0, 1].filter((s) => !placed[s]);
      placed[empty.find((s) => !previous[s]) ?? empty[0]] = p;
    }
    return placed;
  }

  // Per pixel column, the extremes of the bins it covers, from the coarsest
  // level whose bins are no wider than a column. A channel gives a line pair
  // (highs, lows) per column, a wrapping channel two pairs.
  function columns(plot, W) {
    const [x0, x1] = range;
    const column = (x1 - x0) / W;
    let l = 0;
    while (l + 1 < plot.levels.length && plot.binSeconds * 2 ** (l + 1) <= column) l++;
    const bin = plot.binSeconds * 2 ** l;
    const n = plot.levels[l];
    const xs = new Array(W);
    const series = plot.channels.map((channel) =>
      Array.from({ length: channel.wraps ? 4 : 2 }, () => new Array(W).fill(null)));
    const levels = plot.channels.map((_, c) => view.level(plot, c, l));
    let previous = plot.channels.map(() => [null, null]);
    for (let col = 0; col < W; col++) {
      const a = x0 + col * column;
      xs[col] = a + column / 2;
      if (a + column < header.start || a > header.end) {
        previous = plot.channels.map(() => [null, null]);
        continue;
      }
      let first = Math.floor((a - header.start) / bin);
      let last = Math.ceil((a + column - header.start) / bin) - 1;
      first = Math.max(0, Math.min(n - 1, first));
      last = Math.max(first, Math.min(n - 1, last));
      for (let c = 0; c < levels.length; c++) {
        const [mins, maxs] = levels[c];
        if (plot.channels[c].wraps) {
          let arc = null;
          for (let b = first; b <= last; b++) {
            if (mins[b] > maxs[b]) continue;
            arc = joinArcs(arc, view.value(plot, c, mins[b]), view.value(plot, c, maxs[b]));
          }
          const pieces = !arc ? [] : arc[1] - arc[0] >= 360 ? [[-180, 180]]
            : arc[1] > 180 ? [[arc[0], 180], [-180, arc[1] - 360]] : [arc];
          previous[c] = place(pieces, previous[c]);
          previous[c].forEach((p, s) => {
            if (p) [series[c][2 * s][col], series[c][2 * s + 1][col]] = [p[1], p[0]];
          });
          continue;
        }
        let low = 65535;
        let high = -1;
        for (let b = first; b <= last; b++) {
          if (mins[b] > maxs[b]) continue;  // no sample in this bin
          if (mins[b] < low) low = mins[b];
          if (maxs[b] > high) high = maxs[b];
        }
        if (high < 0) continue;
        series[c][0][col] = view.value(plot, c, high);
        series[c][1][col] = view.value(plot, c, low);
      }
    }
    return [xs].concat(series.flat());
  }

  // Labels are thinned the same way at every zoom: events are labelled in
  // the order of their rank (how many times two divides their index), each
  // where its text has room, so zooming in adds labels and keeps those shown.
  const labelOrder = header.events.map((_, i) => i);
  const rank = (i) => (i === 0 ? 64 : Math.log2(i & -i));
  labelOrder.sort((a, b) => rank(b) - rank(a) || a - b);

  function drawEvents(u) {
    const { ctx } = u;
    const top = u.bbox.top;
    const bottom = top + u.bbox.height;
    const left = u.bbox.left;
    const right = left + u.bbox.width;
    ctx.save();
    ctx.strokeStyle = 'rgba(255,127,14,0.8)';
    ctx.fillStyle = '#b35900';
    ctx.font = Math.round(11 * devicePixelRatio) + 'px sans-serif';
    ctx.setLineDash([4, 4]);
    const shown = header.events.filter(([t]) => t >= range[0] && t <= range[1]);
    // Too many to draw across the plot: a short mark at its top each.
    const foot = shown.length > u.bbox.width / (12 * devicePixelRatio) ? top + 6 * devicePixelRatio : bottom;
    for (const [t] of shown) {
      const x = u.valToPos(t, 'x', true);
      ctx.beginPath(); ctx.moveTo(x, top); ctx.lineTo(x, foot); ctx.stroke();
    }
    // Every label is given the room of the longest, so that evenly spaced
    // events get evenly spaced labels.
    const widest = shown.reduce((most, [, value]) => Math.max(most, ctx.measureText(String(value)).width), 0);
    const taken = new Uint8Array(Math.ceil(u.bbox.width) + 1);
    const room = 6 * devicePixelRatio;
    const labels = [];
    for (const i of labelOrder) {
      const [t, value] = header.events[i];
      if (t < range[0] || t > range[1]) continue;
      const text = String(value);
      const from = u.valToPos(t, 'x', true) + 3;
      const to = from + widest;
      if (to > right) continue;
      const a = Math.max(0, Math.floor(from - room - left));
      const b = Math.min(taken.length - 1, Math.ceil(to + room - left));
      if (taken.subarray(a, b + 1).some((v) => v)) continue;
      taken.fill(1, a, b + 1);
      ctx.fillText(text, from, top + 16 * devicePixelRatio);
      labels.push([i, Math.round(from), Math.round(to)]);
    }
    u.eventLabels = labels;
    ctx.restore();
  }

  const charts = [];
  let redrawing = false;
  function zoomTo(min, max) {
    if (!(max > min)) return;
    range = [min, max];
    redrawing = true;
    for (const entry of charts) entry.chart.setData(entry.data ? entry.data() : columns(entry.plot, entry.chart.bbox.width / devicePixelRatio | 0 || width()));
    redrawing = false;
  }

  // Where the sensor was not worn, shaded in every plot.
  const nonwear = header.activity ? header.activity.nonwear : [];
  function shadeNonwear(u) {
    if (!nonwear.length) return;
    const { ctx } = u;
    const { left, top, width: w, height: h } = u.bbox;
    ctx.save();
    ctx.fillStyle = 'rgba(120, 120, 120, 0.2)';
    for (const [a, b] of nonwear) {
      if (b < range[0] || a > range[1]) continue;
      const x0 = Math.max(left, u.valToPos(a, 'x', true));
      const x1 = Math.min(left + w, u.valToPos(b, 'x', true));
      if (x1 > x0) ctx.fillRect(x0, top, x1 - x0, h);
    }
    ctx.restore();
  }

  // Selecting a span zooms every plot to it.
  function selectZoom(u) {
    if (u.select.width < 3) return;
    const min = u.posToVal(u.select.left, 'x');
    const max = u.posToVal(u.select.left + u.select.width, 'x');
    u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
    zoomTo(min, max);
  }

  // ENMO per epoch, in mg, as steps: the activity a study summarises.
  function makeActivityChart(entry) {
    const a = header.activity;
    const xs = a.enmo.map((_, k) => a.start + k * a.epoch);
    entry.data = () => [xs, a.enmo];
    entry.pairs = [];
    const room = { size: 70, labelSize: 20 };
    entry.chart = new uPlot({
      width: width(), height: entry.height,
      series: [{ label: 'Time [s]', value: (u, v) => (v == null ? '' : v.toFixed(1)) },
        { label: 'ENMO [mg], ' + a.epoch + ' s epochs', stroke: '#ff7f0e', fill: '#ff7f0e40', width: 1,
          paths: uPlot.paths.stepped({ align: 1 }) }],
      axes: [{ label: 'time [s]', size: 40, labelSize: 20 }, { ...room, label: '[mg]' },
        { ...room, label: ' ', side: 1, grid: { show: false }, ticks: { show: false }, values: (u, splits) => splits.map(() => '') }],
      scales: { x: { time: false, range: () => [range[0], range[1]] } },
      cursor: { sync: { key: 'kinovar' }, drag: { x: true, y: false, setScale: false }, bind: { dblclick: () => null } },
      hooks: { drawClear: [shadeNonwear], setSelect: [selectZoom] },
    }, entry.data(), entry.body);
    entry.chart.over.addEventListener('dblclick', () => zoomTo(header.start, header.end));
  }

  function makeChart(entry) {
    const plot = entry.plot;
    const W = width();
    const series = [{ label: 'Time [s]', value: (u, v) => (v == null ? '' : v.toFixed(3)) }];
    const bands = [];
    const companions = {};
    entry.pairs = [];
    plot.channels.forEach((channel, c) => {
      const scale = plot.id === 'baro' && c === 1 ? 'second' : 'y';
      const unit = channel.unit ? ' [' + channel.unit + ']' : '';
      // A channel is drawn as line pairs, its highs and its lows (two pairs
      // for an angle that wraps), but is one entry of the legend: the first
      // highs' entry shows every piece and toggles every line.
      const first = series.length;
      const count = channel.wraps ? 4 : 2;
      series.push({ label: channel.name + unit, stroke: COLOURS[c], width: 1, scale,
        value: (u, v, s, i) => {
          if (i == null) return '--';
          const pieces = [];
          for (let k = s; k < s + count; k += 2) if (u.data[k][i] != null) pieces.push([u.data[k + 1][i], u.data[k][i]]);
          pieces.sort((p, q) => q[1] - p[1]);
          return pieces.length ? pieces.map(([lo, hi]) => decimals(lo) + ' to ' + decimals(hi)).join(', ') : '--';
        } });
      for (let k = 1; k < count; k++) series.push({ label: channel.name + unit + ['', ' min', ' past 180', ' past 180 min'][k], class: 'lows', stroke: COLOURS[c], width: 1, scale });
      for (let k = first; k < first + count; k += 2) {
        bands.push({ series: [k, k + 1], fill: COLOURS[c] + '55' });
        entry.pairs.push([k, k + 1]);
      }
      companions[first] = Array.from({ length: count - 1 }, (_, k) => first + 1 + k);
    });
    const unit = plot.channels[0].unit;
    const second = plot.id === 'baro' ? plot.channels[1] : null;
    // Every axis has the same room in every plot, and every plot a right-hand
    // axis (blank where it has no second unit), so all plot areas line up.
    const room = { size: 70, labelSize: 20 };
    const axes = [
      { label: 'time [s]', size: 40, labelSize: 20 },
      { ...room, label: unit ? '[' + unit + ']' : ' ', scale: 'y' },
      second ? { ...room, label: '[' + second.unit + ']', scale: 'second', side: 1, grid: { show: false } }
        : { ...room, label: ' ', scale: 'y', side: 1, grid: { show: false }, ticks: { show: false }, values: (u, splits) => splits.map(() => '') },
    ];
    const scales = { x: { time: false, range: () => [range[0], range[1]] } };
    entry.chart = new uPlot({
      width: W, height: entry.height, series, axes, scales, bands,
      cursor: { sync: { key: 'kinovar' }, drag: { x: true, y: false, setScale: false }, bind: { dblclick: () => null } },
      hooks: {
        draw: [drawEvents],
        drawClear: [shadeNonwear],
        setSeries: [(u, s, { show }) => {
          if (show == null || !companions[s]) return;
          for (const k of companions[s]) if (u.series[k].show !== show) u.setSeries(k, { show }, false);
        }],
        setSelect: [selectZoom],
      },
    }, columns(plot, W - 180), entry.body);
    entry.chart.over.addEventListener('dblclick', () => zoomTo(header.start, header.end));
  }

  const order = ['accel', 'gyro', 'baro', 'orientation', 'activity'];
  for (const id of order) {
    const plot = id === 'activity' ? header.activity && { id, title: 'Activity (ENMO), non-wear shaded' } : byId[id];
    if (!plot) continue;
    const section = document.createElement('section');
    section.dataset.plot = id;
    const heading = document.createElement('h2');
    const name = document.createElement('span');
    heading.append(name);
    const body = document.createElement('div');
    section.append(heading, body);
    holder.append(section);
    const entry = { plot, body, height: id === 'activity' ? 140 : 240 };
    const label = () => {
      name.textContent = entry.plot.title + (id === 'orientation' && entry.plot.id === 'orientation' ? ' (roll, pitch, yaw)' : '');
    };
    label();
    if (id === 'orientation' && byId.quaternion) {
      // The quaternion is a click away.
      const toggle = document.createElement('button');
      toggle.textContent = 'show quaternion';
      toggle.addEventListener('click', () => {
        const quaternion = entry.plot.id === 'orientation';
        entry.plot = quaternion ? byId.quaternion : byId.orientation;
        toggle.textContent = quaternion ? 'show roll, pitch, yaw' : 'show quaternion';
        entry.chart.destroy();
        makeChart(entry);
        label();
        zoomTo(range[0], range[1]);
      });
      heading.append(toggle);
    }
    if (id === 'activity') makeActivityChart(entry);
    else makeChart(entry);
    charts.push(entry);
  }
  // The page may have grown a scroll bar while the plots were added.
  for (const entry of charts) entry.chart.setSize({ width: width(), height: entry.height });
  if (!charts.length) holder.append(Object.assign(document.createElement('p'), { className: 'note', textContent: 'no samples to draw' }));
  addEventListener('resize', () => {
    for (const entry of charts) entry.chart.setSize({ width: width(), height: entry.height });
    zoomTo(range[0], range[1]);
  });
  // A window that is not one (#t=5,2, #t=1.2.3,4) leaves the whole recording.
  const opened = /^#t=(-?[\d.]+),(-?[\d.]+)$/.exec(location.hash);
  if (opened && Number(opened[2]) > Number(opened[1])) range = [Number(opened[1]), Number(opened[2])];
  zoomTo(range[0], range[1]);

  // Counts the drawn pixels of each plot, so a headless check can tell a
  // drawn plot from an empty frame, and says where each plot area stands
  // and what its legend shows.
  const inked = (chart) => {
    const canvas = chart.root.querySelector('canvas');
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let count = 0;
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i] !== 0) count++;
    return count;
  };
  // The widest piece any column draws, in the plot's unit.
  const widest = (entry) => {
    let most = 0;
    for (const [hi, lo] of entry.pairs) {
      entry.chart.data[hi].forEach((v, col) => { if (v != null) most = Math.max(most, v - entry.chart.data[lo][col]); });
    }
    return most;
  };
  const legend = (chart) => [...chart.root.querySelectorAll('.u-legend .u-series')]
    .filter((row) => getComputedStyle(row).display !== 'none').map((row) => row.querySelector('.u-label').textContent);
  window.__view = { zoomTo, charts, columns };
  requestAnimationFrame(() => {
    const status = {
      problems: window.__problems,
      plots: charts.map((e) => ({ id: e.plot.id, columns: e.chart.data[0].length, inked: inked(e.chart), left: e.chart.bbox.left, width: e.chart.bbox.width, legend: legend(e.chart), widest: widest(e), labels: e.chart.eventLabels })),
    };
    const node = document.getElementById('status');
    node.textContent = JSON.stringify(status);
    node.dataset.ready = 'true';
  });
}
/* eslint-enable no-undef */

/**
 * Writes the page, whole or not at all; refuses to replace a file that
 * kinovar did not write unless `overwrite` is set (`force`, its older name).
 * @param {string} input a recording, a classic CSV export or a Parquet file
 * @param {string} page
 * @param {{orientation?: string, budget?: number, overwrite?: boolean, force?: boolean, durable?: boolean}} [options]
 *   durable: the page is forced to the disk before it takes its name
 */
function writeViewPage(input, page, options = {}) {
  const { overwrite, force, durable, onProgress, ...viewOptions } = options;
  const progress = progressOf(options);
  const kind = inputKind(input);  // an input that cannot be read must not pass for a page that cannot be written
  if (kind === 'recording') checkRecording(input);  // before any folder is made for its page
  output.ensureFolder(path.dirname(page));
  output.checkTarget(page, { kind: 'html', what: 'the viewer page', inputs: [input],
    overwrite: overwrite === true || force === true });
  const data = viewData(input, { ...viewOptions, progress, overwrite: overwrite === true || force === true });
  const { quality } = decodeViewData(data).header;
  if (kind === 'recording' && quality) checkSamples(input, quality);  // an empty page tells nothing
  const problems = quality ? qualityProblems(quality) : [];
  const html = buildPage(data, { title: path.basename(input), problems });
  output.writeFileAtomic(page, html, 'the viewer page', durable === true);
  progress?.(1);
  return { bytes: Buffer.byteLength(html), inputKind: kind };
}

module.exports = { decodeViewData, viewData, buildPage, writeViewPage, inputKind };
