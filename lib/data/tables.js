'use strict';
// Recordings as data: the samples in typed arrays, each at its own time, and
// the table the other formats hold (a row per instant a sample was taken at)
// as columns.
const native = require('../native/entry');
const { conversionOptions, calibrationOf, rangeOptions, setOptions, requirePaths } = require('../checks/options');
const { setFailure, checkMembers, checkRecording, checkSamples, reportOf, calibrationReport } = require('../checks/outcomes');
const { KinovarError, codes } = require('../errors');
const { STREAMS, COLUMNS } = require('../model/schema');

// The rates of a loaded recording's streams, kept off its enumerable fields.
const layoutKey = Symbol('kinovar.layout');

function fromNative(raw, file, calibration) {
  const streams = {};
  const rates = {};
  for (const [name, channels] of Object.entries(STREAMS)) {
    const stream = raw.streams[name];
    if (!stream) continue;
    rates[name] = stream.rate;
    streams[name] = { time: stream.time };
    for (const channel of channels) streams[name][channel] = stream[channel];
  }
  const recording = { info: { ...raw.info, quality: raw.quality, ...calibration }, streams };
  if (file !== undefined) recording.path = file;
  Object.defineProperty(recording, layoutKey, { value: { rates, timeBase: raw.timeBase } });
  return recording;
}

/**
 * Parses a recording and estimates its orientation, keeping the samples in memory.
 * @param {string} recordingPath
 * @param {{orientation?: 'classic'|'accurate'|'none', from?: number, to?: number, streams?: string[]}} [options]
 *   from, to: only the samples with from <= time < to (seconds); streams: only those, by name
 * @returns {{info: object, streams: object}} `info` as readRecording answers; `streams` holds
 *   accel, gyro, baro, events and orientation, each when the recording has it, each with `time`
 *   (seconds from the recording's first sample, from its ticks) and one Float64Array per channel;
 *   an orientation without an estimate reads NaN
 */
function load(recordingPath, options) {
  return runLoad(recordingPath, loadRequest(recordingPath, options));
}

/** load()'s arguments checked: the conversion, its defaults chosen, and the range. */
function loadRequest(recordingPath, options) {
  if (typeof recordingPath !== 'string') throw new TypeError('load: recordingPath must be a string');
  return { conversion: calibrationOf(conversionOptions('load', options)), range: rangeOptions('load', options) };
}

/** load() of a checked request (see loadRequest): what a worker runs. */
function runLoad(recordingPath, { conversion, range }) {
  checkRecording(recordingPath);
  return loadRecording(recordingPath, conversion, range);
}

function damaged(recordingPath) {
  return new KinovarError(`${recordingPath}: damaged recording (a data block could not be read); ` +
    'readRecording still converts what it holds', codes.FORMAT, { path: recordingPath });
}

/**
 * load() of a recording already checked, with checked options; `range`
 * ({from, to, streams}: seconds on the table's time, from <= time < to) keeps
 * only those samples, and only they are read into memory.
 */
function loadRecording(recordingPath, conversion, range = {}) {
  const raw = native.loadRecording(recordingPath, { ...conversion, ...range });
  if (!raw.parsed) throw damaged(recordingPath);
  const recording = fromNative(raw, undefined, calibrationReport(conversion, raw.calibration));
  checkSamples(recordingPath, recording.info.quality);
  return recording;
}

/**
 * A recording's table read a piece of rows at a time, never whole: the rows
 * and columns of sampleTable(load()) with the same options.
 * @returns {{info: object, columns: Array<{name: string, unit: string, type: 'double'|'int32'|'timestamp'}>,
 *   chunks: (rows: number) => Iterable<{from: number, to: number, columns: Array<{values, valid}>}>}}
 *   each chunk's rows `from` to `to` of its own columns, whose arrays the next chunk overwrites (a
 *   conversion then allocates them once); the recording is let go when the chunks end;
 *   conversion.progress, when given, is told the fraction of the recording's time the rows have reached;
 *   `rows`, the size chunks() will be asked for, has the first piece made on a thread of its own at once;
 *   close() lets the recording go at once
 */
function streamTable(recordingPath, { progress, ...conversion }, { datetime = false, rows } = {}) {
  const table = native.openTable(recordingPath, conversion, rows);
  if (!table.parsed) {
    native.closeTable(table.handle);
    throw damaged(recordingPath);
  }
  const info = { ...table.info, quality: table.quality, ...calibrationReport(conversion, table.calibration) };
  try {
    checkSamples(recordingPath, info.quality);
  } catch (error) {
    native.closeTable(table.handle);
    throw error;
  }
  // How far the rows have come, by their time against the recording's span.
  const spans = Object.values(info.quality.streams).filter((s) => s.samples > 0);
  const first = Math.min(...spans.map((s) => s.first));
  const span = Math.max(...spans.map((s) => s.last)) - first || 1;
  return {
    info,
    columns: tableColumns(table.columns, datetime),
    * chunks(rows) {
      try {
        const store = {};
        for (const piece of pieces(() => native.nextRows(table.handle, rows, store), datetime, table.timeBase)) {
          yield piece;
          if (piece.to) progress?.((piece.columns[0].values[piece.to - 1] - first) / span);
        }
      } finally {
        native.closeTable(table.handle);
      }
    },
    // For a caller that stops before its chunks end, or never reads them.
    close: () => native.closeTable(table.handle),
  };
}

/** The columns of a table as streamTable gives them, from the native ones. */
function tableColumns(layouts, datetime) {
  const columns = [{ name: 'time', unit: 's', type: 'double' }];
  if (datetime) columns.push({ name: 'datetime', unit: '', type: 'timestamp' });
  for (const { name, unit, stream } of layouts) columns.push({ name, unit, type: stream === 'events' ? 'int32' : 'double' });
  return columns;
}

/** A native piece's columns, the time (and datetime) first. */
function pieceColumns(piece, datetime, timeBase) {
  const values = [{ values: piece.time, valid: null }];
  if (datetime) values.push({ values: datetimes(piece.time, timeBase), valid: null });
  return [...values, ...piece.columns];
}

function* pieces(next, datetime, timeBase) {
  for (let piece; (piece = next());) yield { from: 0, to: piece.rows, columns: pieceColumns(piece, datetime, timeBase) };
}

/**
 * Opens a set as its conversion would and lets it go, reading no stream:
 * throws the failure the conversion would meet first (a member that is no
 * recording, a set that cannot be aligned).
 */
function checkSetOpens(recordingPaths, { progress, ...conversion }) {
  const set = native.openSetTable(recordingPaths, conversion);
  if (set.failure) throw setFailure(set, recordingPaths);
  native.closeSetTable(set.handle);
}

/** Microseconds since 1970 of each time, as the core writes the datetime column. */
const datetimes = (time, timeBase) => native.datetimes(time, timeBase);

/**
 * Loads recordings made together, on one time base and cut to their common window.
 * @param {string[]} recordingPaths
 * @param {{orientation?: 'classic'|'accurate'|'none', from?: number, to?: number, streams?: string[]}} [options]
 *   from, to, streams: only those samples, as load() takes them, on the set's time
 * @returns {{recordings: Array<{path: string, info: object, streams: object}>, report: object}}
 *   `report` says what the synchronisation did, as syncRecordings' report (no files); every
 *   `time` counts from the set's window start, so one instant has one time in every recording
 */
function loadSet(recordingPaths, options) {
  return runLoadSet(recordingPaths, loadSetRequest(recordingPaths, options));
}

/** loadSet()'s arguments checked, as loadRequest's. */
function loadSetRequest(recordingPaths, options) {
  requirePaths(recordingPaths, 'loadSet');
  return { conversion: setOptions(calibrationOf(conversionOptions('loadSet', options))), range: rangeOptions('loadSet', options) };
}

/** loadSet() of a checked request: what a worker runs. */
function runLoadSet(recordingPaths, { conversion, range }) {
  checkMembers(recordingPaths);
  return loadRecordingSet(recordingPaths, conversion, range);
}

/** loadSet() with checked arguments; `range` as loadRecording's, on the set's time. */
function loadRecordingSet(recordingPaths, conversion, range = {}) {
  const raw = native.loadRecordingSet(recordingPaths, { ...conversion, ...range });
  if (raw.failure) throw setFailure(raw, recordingPaths);
  return {
    recordings: raw.recordings.map((recording, i) =>
      fromNative(recording, recordingPaths[i], calibrationReport(conversion, raw.calibrations?.[i]))),
    report: reportOf(raw, recordingPaths, [], conversion),
  };
}

/**
 * The table of a loaded recording as typed columns: a row per instant that
 * any stream has a sample at, a clear bit in `valid` where a stream has no
 * value on the row or the orientation no estimate (no bitmap: every cell has
 * a value).
 * @param {{datetime?: boolean}} [options] datetime: a column of the rows' dates (microseconds since 1970)
 * @returns {{rows: number, columns: Array<{name: string, unit: string, type: 'double'|'int32'|'timestamp',
 *   values: Float64Array|Int32Array|BigInt64Array, valid: Uint8Array|null}>}}
 */
function sampleTable(recording, { datetime = false } = {}) {
  if (!recording[layoutKey]) throw new TypeError('sampleTable: expected a recording from load() or loadSet()');
  const { streams } = recording;
  const present = COLUMNS.filter(([, , stream]) => streams[stream]);
  const piece = native.sampleRows(streams);
  // The rows' times and a column the rows give no values for are a stream's own arrays.
  piece.time ??= Object.values(streams).find(({ time }) => time.length === piece.rows).time;
  const values = pieceColumns(piece, datetime, recording[layoutKey].timeBase);
  const columns = tableColumns(present.map(([name, unit, stream]) => ({ name, unit, stream })), datetime)
    .map((column, c) => ({ ...column, ...values[c] }));
  const first = columns.length - present.length;
  for (const [c, [, , stream, channel]] of present.entries()) columns[first + c].values ??= streams[stream][channel];
  return { rows: piece.rows, columns };
}

/** The columns whose cells tell that an orientation sample stands on a row, estimated or not. */
const ESTIMATED_FROM = ['accel', 'gyro'].map((group) => COLUMNS.find(([, , stream]) => stream === group)[0]);

/**
 * A table's columns (by name, empty cells as NaN) as streams shaped as load()
 * gives them: the rows that have a sample of each stream, timed by the
 * table's time column. An empty quaternion is a sample without an estimate
 * (NaN) where the row has the accelerometer and gyroscope sample it is
 * estimated from, given their columns (ESTIMATED_FROM).
 * @param {Record<string, Float64Array>} columns
 */
function tableStreams(columns) {
  const streams = {};
  const [accel, gyro] = ESTIMATED_FROM.map((name) => columns[name]);
  for (const group of Object.keys(STREAMS)) {
    const members = COLUMNS.filter(([name, , stream]) => stream === group && columns[name]);
    if (!members.length) continue;
    const first = columns[members[0][0]];
    const has = group === 'orientation' && accel && gyro
      ? (r) => first[r] === first[r] || (accel[r] === accel[r] && gyro[r] === gyro[r]) : (r) => first[r] === first[r];
    let count = 0;
    for (let r = 0; r < first.length; r++) if (has(r)) count++;
    const picked = [['time', columns.time], ...members.map(([name, , , channel]) => [channel, columns[name]])];
    const stream = Object.fromEntries(picked.map(([key]) => [key, new Float64Array(count)]));
    for (const [key, column] of picked) {
      const out = stream[key];
      for (let r = 0, k = 0; r < first.length; r++) if (has(r)) out[k++] = column[r];
    }
    streams[group] = stream;
  }
  return streams;
}

module.exports = {
  load, loadSet, loadRequest, loadSetRequest, runLoad, runLoadSet, loadRecording, loadRecordingSet, sampleTable, streamTable, checkSetOpens, tableStreams, datetimes, damaged, ESTIMATED_FROM, layoutKey,
};
