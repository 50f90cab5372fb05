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
const { inspect } = require('../output/recognise');
const { readParquetBytes } = require('../parquet/file');
const { progressOf, calibrationOf, viewOptions } = require('../checks/options');
const { checkRecording, checkSamples, qualityProblems } = require('../checks/outcomes');
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
  if (inspect(file).format === 'plain') return 'plain';
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
 * @param {{orientation?: string, calibrate?: string, budget?: number}} [options] budget: bytes of the pyramids
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
    // Its samples are as it was written: calibrated then, or raw.
    const { quality, calibration, createdAt = '' } = table.info;
    return native.viewSamples(estimatedOnly(table.streams), createdAt, { budget: options.budget,
      ...(quality ? { quality: JSON.stringify(quality) } : {}), ...(calibration ? { calibration: JSON.stringify(calibration) } : {}) });
  }
  // Our plain CSV names its columns and keeps no date: its rows are read here, as Parquet's are.
  if (kind === 'plain') return native.viewSamples(estimatedOnly(tableStreams(plainColumns(input))), '', { budget: options.budget });
  if (kind === 'recording') checkRecording(input);
  // The native side's own default is the classic filter; ours is named here.
  const orientation = options.orientation === undefined ? DEFAULT_ESTIMATOR : options.orientation;
  return native.viewData(input, kind, calibrationOf({ ...options, orientation }, 'view'));
}

/** Whether and how the samples drawn were calibrated, for the page. */
function calibrationStatement(calibration, kind) {
  if (calibration) return `Calibration${kind === 'parquet' ? ' (as the file was written)' : ''}: ${native.calibrationSummary(JSON.stringify(calibration))}.`;
  return kind === 'parquet' ? 'Calibration: raw: the Parquet file was written without it.'
    : 'Calibration: as the CSV file holds the samples (a CSV does not record whether they were calibrated).';
}

const asset = (file) => fs.readFileSync(path.join(path.dirname(require.resolve('uplot')), file), 'utf8');
// The page's own script, which runs in the browser (app.js).
let app;
const appScript = () => (app ??= fs.readFileSync(path.join(__dirname, 'app.js'), 'utf8'));
// Inline scripts end at the first "</script", wherever it stands.
const inlineSafe = (text) => text.replace(/<\/(script)/gi, '<\\/$1');
const escape = (s) => String(s).replace(/[&<>"]/g, (c) => `&#${c.charCodeAt(0)};`);

/**
 * Builds the page.
 * @param {Uint8Array} data as viewData returns it
 * @param {{title?: string, problems?: string[]}} [options] problems: the recording's quality warnings
 * @returns {string} HTML
 */
function buildPage(data, { title = 'kinovar recording', problems = [], calibration = '' } = {}) {
  const settings = inlineSafe(JSON.stringify({ problems, calibration }));
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
<p class="meta" id="calibration"></p>
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
${appScript()}
viewPage();
</script>
</body></html>
`;
}

/**
 * Writes the page, whole or not at all; refuses to replace a file that
 * kinovar did not write unless `overwrite` is set (`force`, its older name).
 * @param {string} input a recording, a classic CSV export or a Parquet file
 * @param {string} page
 * @param {{orientation?: string, calibrate?: string, budget?: number, overwrite?: boolean, force?: boolean, durable?: boolean}} [options]
 *   calibrate: for a recording, 'auto' (default), 'off' or a calibration file; the page states which
 *   durable: the page is forced to the disk before it takes its name
 */
function writeViewPage(input, page, options = {}) {
  viewOptions('writeViewPage', options);
  const { overwrite, force, durable, onProgress, ...drawn } = options;
  const progress = progressOf(options);
  const kind = inputKind(input);  // an input that cannot be read must not pass for a page that cannot be written
  if (kind === 'recording') checkRecording(input);  // before any folder is made for its page
  output.ensureFolder(path.dirname(page));
  output.checkTarget(page, { kind: 'html', what: 'the viewer page', inputs: [input],
    overwrite: overwrite === true || force === true });
  const data = viewData(input, { ...drawn, progress, overwrite: overwrite === true || force === true });
  const { quality, calibration } = decodeViewData(data).header;
  if (kind === 'recording' && quality) checkSamples(input, quality);  // an empty page tells nothing
  const problems = quality ? qualityProblems(quality) : [];
  const html = buildPage(data, { title: path.basename(input), problems, calibration: calibrationStatement(calibration, kind) });
  output.writeFileAtomic(page, html, 'the viewer page', durable === true);
  progress?.(1);
  return { bytes: Buffer.byteLength(html), inputKind: kind };
}

module.exports = { decodeViewData, viewData, buildPage, writeViewPage, inputKind };
