'use strict';
// Conversions into the formats beside the classic CSV: the plain CSV, Parquet
// and, for a synchronised set, OpenSim's orientation table.
const fs = require('node:fs');
const path = require('node:path');
const native = require('./native');
const { checkRecording, conversionOptions, formatOf } = require('./checks');
const { syncFailure, reportOf, filesOf } = require('./outcomes');
const { load, loadSet, layoutKey } = require('./data');
const { parquetBytes } = require('./parquet');
const { writeAtomically } = require('./output');
const { KinovarError, codes } = require('./errors');
const { SET_FORMATS, EXTENSIONS } = require('./schema');

const ERROR_DOCUMENT = '{"error":"Error during data loading."}';
const fileStem = (file) => native.fileStem(file);

function notWritten(target, recording, cause) {
  return new KinovarError(`could not write ${target}${cause ? `: ${cause.message}` : ''}`, codes.CSV_NOT_WRITTEN,
    { path: target, recording, ...(cause ? { cause } : {}) });
}

/**
 * Converts one recording into `target` in the format asked for (default:
 * by the target's extension, else the classic CSV).
 * @returns {object} the recording's description, as readRecording answers
 */
function convertRecording(recordingPath, target, options = {}) {
  const format = formatOf(options, target, 'readRecording');
  const conversion = conversionOptions('readRecording', options);
  checkRecording(recordingPath);
  let info;
  writeAtomically([target], ([temporary]) => {
    if (format === 'parquet') {
      const recording = load(recordingPath, conversion);
      try {
        fs.writeFileSync(temporary, parquetBytes(recording));
      } catch (error) {
        throw notWritten(target, recordingPath, error);
      }
      info = recording.info;
      return;
    }
    const answer = native.convertRecording(recordingPath, temporary, { ...conversion, format, inPlace: true });
    if (answer === ERROR_DOCUMENT) throw notWritten(target, recordingPath);
    const { info: description, quality } = JSON.parse(answer);
    info = { ...description, quality };
  }, { overwrite: options.overwrite, inputs: [recordingPath], what: `the ${format} file` });
  return info;
}

/** Cells of OpenSim's table: shortest text that reads back as the same double. */
const cell = (value) => String(value);

/**
 * OpenSim's orientation table (.sto) of a synchronised set: a column per
 * sensor, a row per sample where every sensor has an estimate.
 * @param {Array<{path: string, streams: object}>} recordings from loadSet()
 * @param {string[]} names the column names
 */
function openSenseTable(recordings, names) {
  const streams = recordings.map((r, i) => {
    const stream = r.streams.orientation;
    if (!stream) {
      throw new KinovarError(`${r.path}: has no orientation estimate (it needs accelerometer and gyroscope at one rate)`,
        codes.NO_ORIENTATION, { path: r.path });
    }
    return { stream, rate: r[layoutKey].rates.orientation, name: names[i] };
  });
  const rate = streams[0].rate;
  const other = streams.find((s) => s.rate !== rate);
  if (other) {
    throw new KinovarError(`the sensors estimate orientation at different rates (${rate} and ${other.rate} Hz); ` +
      'an OpenSim table has one rate for all', codes.FORMAT);
  }
  const count = Math.min(...streams.map((s) => s.stream.w.length));
  const lines = [`DataRate=${rate}`, 'DataType=Quaternion', 'version=3', 'OpenSimVersion=4.5', 'endheader',
    ['time', ...names].join('\t')];
  for (let i = 0; i < count; i++) {
    // An all-zero quaternion is a sample the estimator had nothing for yet.
    if (streams.some(({ stream: q }) => q.w[i] === 0 && q.x[i] === 0 && q.y[i] === 0 && q.z[i] === 0)) continue;
    const row = [cell(i / rate)];
    for (const { stream: q } of streams) row.push(`${cell(q.w[i])},${cell(q.x[i])},${cell(q.y[i])},${cell(q.z[i])}`);
    lines.push(row.join('\t'));
  }
  return `${lines.join('\n')}\n`;
}

function imuNamesOf(options, recordingPaths) {
  const names = options.imuNames ?? recordingPaths.map((p) => `${fileStem(p)}_imu`);
  if (!Array.isArray(names) || names.length !== recordingPaths.length || !names.every((n) => typeof n === 'string')) {
    throw new TypeError(`syncRecordings: imuNames must be ${recordingPaths.length} names, one per recording`);
  }
  const bad = names.find((n) => n === '' || /[\s,]/.test(n));
  if (bad !== undefined) throw new RangeError(`syncRecordings: IMU name ${JSON.stringify(bad)} must be non-empty, without blanks or commas`);
  if (new Set(names).size !== names.length) throw new RangeError('syncRecordings: two sensors have the same IMU name');
  return names;
}

/**
 * Converts a synchronised set into the folder in the format asked for.
 * @returns {string[]} the files written
 */
function convertSet(recordingPaths, outputFolder, options = {}) {
  const format = formatOf(options, undefined, 'syncRecordings', SET_FORMATS);
  const conversion = conversionOptions('syncRecordings', options);
  if (!fs.statSync(outputFolder).isDirectory()) {
    throw new KinovarError(`${outputFolder} is not a folder`, codes.CSV_NOT_WRITTEN, { path: outputFolder });
  }
  if (format === 'opensense') {
    const names = imuNamesOf(options, recordingPaths);
    const target = path.join(outputFolder, options.fileName ?? 'orientations.sto');
    const set = loadSet(recordingPaths, conversion);
    const text = openSenseTable(set.recordings, names);
    writeAtomically([target], ([temporary]) => fs.writeFileSync(temporary, text),
      { overwrite: options.overwrite, inputs: recordingPaths, what: 'the OpenSim table' });
    return filesOf({ ...set.report, files: [target] });
  }
  const targets = recordingPaths.map((p) => path.join(outputFolder, `${fileStem(p)}${EXTENSIONS[format]}`));
  const unique = new Set(targets.map((t) => path.resolve(t)));
  if (unique.size !== targets.length) throw syncFailure('-12', recordingPaths, outputFolder);
  let report;
  writeAtomically(targets, (temporary) => {
    if (format === 'parquet') {
      const set = loadSet(recordingPaths, conversion);
      set.recordings.forEach((recording, i) => fs.writeFileSync(temporary[i], parquetBytes(recording)));
      report = set.report;
      return;
    }
    const outcome = native.convertSetInto(recordingPaths, temporary, { ...conversion, format, inPlace: true });
    if (outcome.status !== 'OK') throw outcome.systemError ?? syncFailure(outcome, recordingPaths, outputFolder);
    report = reportOf(outcome, recordingPaths, []);
  }, { overwrite: options.overwrite, inputs: recordingPaths, what: `the ${format} file` });
  return filesOf({ ...report, files: targets });
}

module.exports = { convertRecording, convertSet, openSenseTable };
