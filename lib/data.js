'use strict';
// Recordings as data: the samples in typed arrays, and the table of the
// classic CSV (one row per clock tick) as columns for the other formats.
const native = require('./native');
const { checkRecording, checkSamples, conversionOptions, requirePaths } = require('./checks');
const { setFailure, checkMembers, reportOf } = require('./outcomes');
const { KinovarError, codes } = require('./errors');
const { STREAMS, COLUMNS } = require('./schema');

// The table layout of a loaded recording, kept off its enumerable fields.
const layoutKey = Symbol('kinovar.layout');

function fromNative(raw, file) {
  const streams = {};
  const divisors = {};
  const rates = {};
  for (const [name, channels] of Object.entries(STREAMS)) {
    const stream = raw.streams[name];
    if (!stream) continue;
    divisors[name] = stream.divisor;
    rates[name] = stream.rate;
    streams[name] = { time: stream.time };
    for (const channel of channels) streams[name][channel] = stream[channel];
  }
  const recording = { info: { ...raw.info, quality: raw.quality }, streams };
  if (file !== undefined) recording.path = file;
  Object.defineProperty(recording, layoutKey, { value: { rows: raw.rows, frequency: raw.frequency, divisors, rates } });
  return recording;
}

/**
 * Parses a recording and estimates its orientation, keeping the samples in memory.
 * @param {string} recordingPath
 * @param {{orientation?: 'classic'|'accurate'|'none'}} [options]
 * @returns {{info: object, streams: object}} `info` as readRecording answers; `streams` holds
 *   accel, gyro, baro, events and orientation, each when the recording has it, each with `time`
 *   (seconds on the device clock) and one Float64Array per channel
 */
function load(recordingPath, options) {
  if (typeof recordingPath !== 'string') throw new TypeError('load: recordingPath must be a string');
  const conversion = conversionOptions('load', options);
  checkRecording(recordingPath);
  return loadRecording(recordingPath, conversion);
}

/** load() of a recording already checked, with checked options. */
function loadRecording(recordingPath, conversion) {
  const raw = native.loadRecording(recordingPath, conversion);
  if (!raw.parsed) {
    throw new KinovarError(`${recordingPath}: damaged recording (a data block could not be read); ` +
      'readRecording still converts what it holds', codes.FORMAT, { path: recordingPath });
  }
  const recording = fromNative(raw);
  checkSamples(recordingPath, recording.info.quality);
  return recording;
}

/**
 * Loads recordings made together, on one time base and cut to their common window.
 * @param {string[]} recordingPaths
 * @param {{orientation?: 'classic'|'accurate'|'none'}} [options]
 * @returns {{recordings: Array<{path: string, info: object, streams: object}>, report: object}}
 *   `report` says what the synchronisation did, as syncRecordings' report (no files)
 */
function loadSet(recordingPaths, options) {
  requirePaths(recordingPaths, 'loadSet');
  const conversion = conversionOptions('loadSet', options);
  checkMembers(recordingPaths);
  return loadRecordingSet(recordingPaths, conversion);
}

/** loadSet() with checked arguments. */
function loadRecordingSet(recordingPaths, conversion) {
  const raw = native.loadRecordingSet(recordingPaths, conversion);
  if (raw.status !== 'OK') throw setFailure(raw, recordingPaths);
  return {
    recordings: raw.recordings.map((recording, i) => fromNative(recording, recordingPaths[i])),
    report: reportOf(raw, recordingPaths, []),
  };
}

/**
 * The classic CSV's table as typed columns: one row per CSV row, a clear bit
 * in `valid` where the CSV cell is empty (no bitmap: every cell has a value).
 * @returns {{rows: number, columns: Array<{name: string, unit: string, type: 'double'|'int32',
 *   values: Float64Array|Int32Array, valid: Uint8Array|null}>}}
 */
function csvTable(recording) {
  const layout = recording[layoutKey];
  if (!layout) throw new TypeError('csvTable: expected a recording from load() or loadSet()');
  const { rows, frequency, divisors } = layout;
  const { streams } = recording;
  const time = new Float64Array(rows);
  const period = 1.0 / frequency;
  // The CSV's time is a running sum of periods; events are placed on it.
  const events = streams.events;
  let eventRows;
  if (events) {
    eventRows = new Int32Array(rows).fill(-1);
    let next = 0;
    let t = period;
    for (let r = 0; r < rows; r++) {
      time[r] = t;
      if (next < events.time.length && t >= events.time[next]) eventRows[r] = next++;
      t += period;
    }
  } else {
    let t = period;
    for (let r = 0; r < rows; r++) { time[r] = t; t += period; }
  }
  const columns = [{ name: 'time', unit: 's', type: 'double', values: time, valid: null }];
  for (const [name, unit, stream, channel] of COLUMNS) {
    const source = streams[stream]?.[channel];
    if (!source) continue;
    const valid = new Uint8Array(Math.ceil(rows / 8));
    let values;
    if (stream === 'events') {
      values = new Int32Array(rows);
      for (let r = 0; r < rows; r++) {
        if (eventRows[r] < 0) continue;
        values[r] = source[eventRows[r]];
        valid[r >> 3] |= 1 << (r & 7);
      }
    } else {
      const divisor = divisors[stream];
      const n = source.length;
      if (divisor === 1 && n === rows) {
        columns.push({ name, unit, type: 'double', values: source, valid: null });
        continue;
      }
      values = new Float64Array(rows);
      for (let k = 0; k < n; k++) {
        const r = k * divisor;
        values[r] = source[k];
        valid[r >> 3] |= 1 << (r & 7);
      }
    }
    columns.push({ name, unit, type: stream === 'events' ? 'int32' : 'double', values, valid });
  }
  return { rows, columns };
}

/**
 * A table's columns (by name, empty cells as NaN) as streams shaped as load()
 * gives them: the rows that have a sample of each stream, timed by the
 * table's time column.
 * @param {Record<string, Float64Array>} columns
 */
function tableStreams(columns) {
  const streams = {};
  for (const group of Object.keys(STREAMS)) {
    const members = COLUMNS.filter(([name, , stream]) => stream === group && columns[name]);
    if (!members.length) continue;
    const first = columns[members[0][0]];
    let count = 0;
    for (let r = 0; r < first.length; r++) if (first[r] === first[r]) count++;
    const picked = [['time', columns.time], ...members.map(([name, , , channel]) => [channel, columns[name]])];
    const stream = Object.fromEntries(picked.map(([key]) => [key, new Float64Array(count)]));
    for (const [key, column] of picked) {
      const out = stream[key];
      for (let r = 0, k = 0; r < first.length; r++) if (first[r] === first[r]) out[k++] = column[r];
    }
    streams[group] = stream;
  }
  return streams;
}

module.exports = { load, loadSet, loadRecording, loadRecordingSet, csvTable, tableStreams, layoutKey };
