// The viewer page's own script: it runs in the browser, not in Node. The
// page builder (page.js) inlines it after decodeViewData and calls
// viewPage(); `app` carries what the plots share: the decoded data, the
// window shown (range) and the charts.
/* eslint-disable no-undef */

const COLOURS = ['#d62728', '#2ca02c', '#1f77b4', '#9467bd'];
const pageWidth = (app) => Math.max(400, app.holder.clientWidth || 900);
const decimals = (v) => (v == null ? '--' : String(Math.round(v * 1000) / 1000));
const seconds = (s) => (s >= 3600 ? (s / 3600).toFixed(2) + ' h' : s >= 60 ? (s / 60).toFixed(1) + ' min' : s.toFixed(2) + ' s');

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

// A wrapping channel's bins first..last as the pieces of one column, each
// put on one of its two lines (see place).
function wrappedColumn(app, plot, c, [mins, maxs], first, last, previous) {
  let arc = null;
  for (let b = first; b <= last; b++) {
    if (mins[b] > maxs[b]) continue;
    arc = joinArcs(arc, app.view.value(plot, c, mins[b]), app.view.value(plot, c, maxs[b]));
  }
  const pieces = !arc ? [] : arc[1] - arc[0] >= 360 ? [[-180, 180]]
    : arc[1] > 180 ? [[arc[0], 180], [-180, arc[1] - 360]] : [arc];
  return place(pieces, previous);
}

// The highest and lowest code of bins first..last, or null where none holds a sample.
function extremes([mins, maxs], first, last) {
  let low = 65535;
  let high = -1;
  for (let b = first; b <= last; b++) {
    if (mins[b] > maxs[b]) continue;  // no sample in this bin
    if (mins[b] < low) low = mins[b];
    if (maxs[b] > high) high = maxs[b];
  }
  return high < 0 ? null : [low, high];
}

// Per pixel column, the extremes of the bins it covers, from the coarsest
// level whose bins are no wider than a column. A channel gives a line pair
// (highs, lows) per column, a wrapping channel two pairs.
function columns(app, plot, W) {
  const { header, view } = app;
  const [x0, x1] = app.range;
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
      if (plot.channels[c].wraps) {
        previous[c] = wrappedColumn(app, plot, c, levels[c], first, last, previous[c]);
        previous[c].forEach((p, s) => {
          if (p) [series[c][2 * s][col], series[c][2 * s + 1][col]] = [p[1], p[0]];
        });
        continue;
      }
      const found = extremes(levels[c], first, last);
      if (!found) continue;
      series[c][0][col] = view.value(plot, c, found[1]);
      series[c][1][col] = view.value(plot, c, found[0]);
    }
  }
  return [xs].concat(series.flat());
}

// The events' labels that fit, in the order of their rank, each given the
// room of the longest, so that evenly spaced events get evenly spaced labels.
function drawLabels(app, u, shown) {
  const { ctx } = u;
  const { header, range } = app;
  const top = u.bbox.top;
  const left = u.bbox.left;
  const right = left + u.bbox.width;
  const widest = shown.reduce((most, [, value]) => Math.max(most, ctx.measureText(String(value)).width), 0);
  const taken = new Uint8Array(Math.ceil(u.bbox.width) + 1);
  const room = 6 * devicePixelRatio;
  const labels = [];
  for (const i of app.labelOrder) {
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
  return labels;
}

function drawEvents(app, u) {
  const { ctx } = u;
  const top = u.bbox.top;
  const bottom = top + u.bbox.height;
  ctx.save();
  ctx.strokeStyle = 'rgba(255,127,14,0.8)';
  ctx.fillStyle = '#b35900';
  ctx.font = Math.round(11 * devicePixelRatio) + 'px sans-serif';
  ctx.setLineDash([4, 4]);
  const shown = app.header.events.filter(([t]) => t >= app.range[0] && t <= app.range[1]);
  // Too many to draw across the plot: a short mark at its top each.
  const foot = shown.length > u.bbox.width / (12 * devicePixelRatio) ? top + 6 * devicePixelRatio : bottom;
  for (const [t] of shown) {
    const x = u.valToPos(t, 'x', true);
    ctx.beginPath(); ctx.moveTo(x, top); ctx.lineTo(x, foot); ctx.stroke();
  }
  u.eventLabels = drawLabels(app, u, shown);
  ctx.restore();
}

function zoomTo(app, min, max) {
  if (!(max > min)) return;
  app.range = [min, max];
  for (const entry of app.charts) {
    entry.chart.setData(entry.data ? entry.data() : columns(app, entry.plot, entry.chart.bbox.width / devicePixelRatio | 0 || pageWidth(app)));
  }
}

// Where the sensor was not worn, shaded in every plot.
function shadeNonwear(app, u) {
  const nonwear = app.header.activity ? app.header.activity.nonwear : [];
  if (!nonwear.length) return;
  const { ctx } = u;
  const { left, top, width: w, height: h } = u.bbox;
  ctx.save();
  ctx.fillStyle = 'rgba(120, 120, 120, 0.2)';
  for (const [a, b] of nonwear) {
    if (b < app.range[0] || a > app.range[1]) continue;
    const x0 = Math.max(left, u.valToPos(a, 'x', true));
    const x1 = Math.min(left + w, u.valToPos(b, 'x', true));
    if (x1 > x0) ctx.fillRect(x0, top, x1 - x0, h);
  }
  ctx.restore();
}

// Selecting a span zooms every plot to it.
function selectZoom(app, u) {
  if (u.select.width < 3) return;
  const min = u.posToVal(u.select.left, 'x');
  const max = u.posToVal(u.select.left + u.select.width, 'x');
  u.setSelect({ left: 0, top: 0, width: 0, height: 0 }, false);
  zoomTo(app, min, max);
}

// What every chart shares: one time scale, the cursor, the zoom and the shading.
function chartOptions(app, entry) {
  return {
    width: pageWidth(app), height: entry.height,
    scales: { x: { time: false, range: () => [app.range[0], app.range[1]] } },
    cursor: { sync: { key: 'kinovar' }, drag: { x: true, y: false, setScale: false }, bind: { dblclick: () => null } },
  };
}

// Every axis has the same room in every plot, and every plot a right-hand
// axis (blank where it has no second unit), so all plot areas line up.
const ROOM = { size: 70, labelSize: 20 };
const BLANK_AXIS = { ...ROOM, label: ' ', side: 1, grid: { show: false }, ticks: { show: false }, values: (u, splits) => splits.map(() => '') };

// ENMO per epoch, in mg, as steps: the activity a study summarises.
function makeActivityChart(app, entry) {
  const a = app.header.activity;
  const xs = a.enmo.map((_, k) => a.start + k * a.epoch);
  entry.data = () => [xs, a.enmo];
  entry.pairs = [];
  entry.chart = new uPlot({
    ...chartOptions(app, entry),
    series: [{ label: 'Time [s]', value: (u, v) => (v == null ? '' : v.toFixed(1)) },
      { label: 'ENMO [mg], ' + a.epoch + ' s epochs', stroke: '#ff7f0e', fill: '#ff7f0e40', width: 1,
        paths: uPlot.paths.stepped({ align: 1 }) }],
    axes: [{ label: 'time [s]', size: 40, labelSize: 20 }, { ...ROOM, label: '[mg]' }, BLANK_AXIS],
    hooks: { drawClear: [(u) => shadeNonwear(app, u)], setSelect: [(u) => selectZoom(app, u)] },
  }, entry.data(), entry.body);
  entry.chart.over.addEventListener('dblclick', () => zoomTo(app, app.header.start, app.header.end));
}

// A plot's series: time, then per channel its line pairs (highs, lows; two
// pairs for an angle that wraps) as one legend entry, the first highs'
// entry showing every piece and toggling every line (`companions`).
function channelSeries(plot, entry) {
  const series = [{ label: 'Time [s]', value: (u, v) => (v == null ? '' : v.toFixed(3)) }];
  const bands = [];
  const companions = {};
  plot.channels.forEach((channel, c) => {
    const scale = plot.id === 'baro' && c === 1 ? 'second' : 'y';
    const unit = channel.unit ? ' [' + channel.unit + ']' : '';
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
  return { series, bands, companions };
}

function makeChart(app, entry) {
  const plot = entry.plot;
  entry.pairs = [];
  const { series, bands, companions } = channelSeries(plot, entry);
  const unit = plot.channels[0].unit;
  const second = plot.id === 'baro' ? plot.channels[1] : null;
  const axes = [
    { label: 'time [s]', size: 40, labelSize: 20 },
    { ...ROOM, label: unit ? '[' + unit + ']' : ' ', scale: 'y' },
    second ? { ...ROOM, label: '[' + second.unit + ']', scale: 'second', side: 1, grid: { show: false } } : { ...BLANK_AXIS, scale: 'y' },
  ];
  const options = chartOptions(app, entry);
  entry.chart = new uPlot({
    ...options, series, axes, bands,
    hooks: {
      draw: [(u) => drawEvents(app, u)],
      drawClear: [(u) => shadeNonwear(app, u)],
      setSeries: [(u, s, { show }) => {
        if (show == null || !companions[s]) return;
        for (const k of companions[s]) if (u.series[k].show !== show) u.setSeries(k, { show }, false);
      }],
      setSelect: [(u) => selectZoom(app, u)],
    },
  }, columns(app, plot, options.width - 180), entry.body);
  entry.chart.over.addEventListener('dblclick', () => zoomTo(app, app.header.start, app.header.end));
}

// The orientation's plot shows roll, pitch and yaw; its quaternion is a click away.
function quaternionToggle(app, entry, label) {
  const toggle = document.createElement('button');
  toggle.textContent = 'show quaternion';
  toggle.addEventListener('click', () => {
    const quaternion = entry.plot.id === 'orientation';
    entry.plot = quaternion ? app.byId.quaternion : app.byId.orientation;
    toggle.textContent = quaternion ? 'show roll, pitch, yaw' : 'show quaternion';
    entry.chart.destroy();
    makeChart(app, entry);
    label();
    zoomTo(app, app.range[0], app.range[1]);
  });
  return toggle;
}

// A section for the plot `id`, when the data holds it.
function addPlot(app, id) {
  const plot = id === 'activity' ? app.header.activity && { id, title: 'Activity (ENMO), non-wear shaded' } : app.byId[id];
  if (!plot) return;
  const section = document.createElement('section');
  section.dataset.plot = id;
  const heading = document.createElement('h2');
  const name = document.createElement('span');
  heading.append(name);
  const body = document.createElement('div');
  section.append(heading, body);
  app.holder.append(section);
  const entry = { plot, body, height: id === 'activity' ? 140 : 240 };
  const label = () => {
    name.textContent = entry.plot.title + (id === 'orientation' && entry.plot.id === 'orientation' ? ' (roll, pitch, yaw)' : '');
  };
  label();
  if (id === 'orientation' && app.byId.quaternion) heading.append(quaternionToggle(app, entry, label));
  if (id === 'activity') makeActivityChart(app, entry);
  else makeChart(app, entry);
  app.charts.push(entry);
}

// Counts the drawn pixels of each plot, so a headless check can tell a
// drawn plot from an empty frame, and says where each plot area stands
// and what its legend shows.
function reportStatus(app) {
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
  requestAnimationFrame(() => {
    const status = {
      problems: window.__problems,
      plots: app.charts.map((e) => ({ id: e.plot.id, columns: e.chart.data[0].length, inked: inked(e.chart), left: e.chart.bbox.left, width: e.chart.bbox.width, legend: legend(e.chart), widest: widest(e), labels: e.chart.eventLabels })),
    };
    const node = document.getElementById('status');
    node.textContent = JSON.stringify(status);
    node.dataset.ready = 'true';
  });
}

// The page's data decoded, what it says of the recording shown above the plots.
function openData() {
  const binary = atob(document.getElementById('data').textContent);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  const view = decodeViewData(bytes);
  const { header } = view;
  const settings = JSON.parse(document.getElementById('settings').textContent);
  document.getElementById('meta').textContent = 'Created on ' + header.created + ' \u00b7 ' + seconds(header.end - header.start) +
    ' \u00b7 ' + header.events.length + ' events';
  document.getElementById('calibration').textContent = settings.calibration;
  if (settings.problems.length) {
    const warn = document.getElementById('warn');
    warn.textContent = 'In this recording: ' + settings.problems.join('; ');
    warn.hidden = false;
  }
  return view;
}

function viewPage() {
  const view = openData();
  const { header } = view;
  // Labels are thinned the same way at every zoom: events are labelled in
  // the order of their rank (how many times two divides their index), each
  // where its text has room, so zooming in adds labels and keeps those shown.
  const rank = (i) => (i === 0 ? 64 : Math.log2(i & -i));
  const labelOrder = header.events.map((_, i) => i).sort((a, b) => rank(b) - rank(a) || a - b);
  const app = {
    view, header, labelOrder, range: [header.start, header.end], charts: [], holder: document.getElementById('plots'),
    byId: Object.fromEntries(header.plots.map((p) => [p.id, p])),
  };
  for (const id of ['accel', 'gyro', 'baro', 'orientation', 'activity']) addPlot(app, id);
  // The page may have grown a scroll bar while the plots were added.
  for (const entry of app.charts) entry.chart.setSize({ width: pageWidth(app), height: entry.height });
  if (!app.charts.length) app.holder.append(Object.assign(document.createElement('p'), { className: 'note', textContent: 'no samples to draw' }));
  addEventListener('resize', () => {
    for (const entry of app.charts) entry.chart.setSize({ width: pageWidth(app), height: entry.height });
    zoomTo(app, app.range[0], app.range[1]);
  });
  // A window that is not one (#t=5,2, #t=1.2.3,4) leaves the whole recording.
  const opened = /^#t=(-?[\d.]+),(-?[\d.]+)$/.exec(location.hash);
  if (opened && Number(opened[2]) > Number(opened[1])) app.range = [Number(opened[1]), Number(opened[2])];
  zoomTo(app, app.range[0], app.range[1]);
  window.__view = { zoomTo: (min, max) => zoomTo(app, min, max), charts: app.charts, columns: (plot, W) => columns(app, plot, W) };
  reportStatus(app);
}
