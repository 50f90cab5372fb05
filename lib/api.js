'use strict';
// The idiomatic, synchronous layer over the native functions: parsed results
// and thrown errors instead of answer texts. The worker threads run these
// very functions, so the promise versions behave byte for byte the same.
const fs = require('node:fs');
const path = require('node:path');
const native = require('./addon');
const { settingsText } = require('./settings');
const { KinovarError, codes } = require('./errors');

const BLOCK = 512;
const ERROR_DOCUMENT = '{"error":"Error during data loading."}';

function requireString(value, fn, name) {
  if (typeof value !== 'string') throw new TypeError(`${fn}: ${name} must be a string, not ${typeof value}`);
}

/**
 * Throws unless the file starts like a recording: at least one block, with
 * a settings record in it. The native reader accepts anything and answers a
 * default document, which tells an API caller nothing.
 * @param {string} file
 */
function checkRecording(file) {
  const head = Buffer.alloc(BLOCK);
  const fd = fs.openSync(file, 'r');
  let size;
  try {
    size = fs.readSync(fd, head, 0, BLOCK, 0);
  } finally {
    fs.closeSync(fd);
  }
  if (size < BLOCK) {
    throw new KinovarError(`${file}: not a recording (${size} bytes, shorter than one ${BLOCK}-byte block)`,
      codes.FORMAT, { path: file });
  }
  if (native.hasSettingsRecord(head)) return;
  throw new KinovarError(`${file}: not a recording (no settings block at its start)`, codes.FORMAT, { path: file });
}

const ESTIMATORS = ['classic', 'accurate', 'none'];

/**
 * The conversion options the native layer takes, checked: only the fields
 * it knows, so that a worker can be handed them as they are.
 * @param {string} fn
 * @param {{orientation?: 'classic'|'accurate'|'none'}} [options]
 */
function conversionOptions(fn, options) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  const { orientation } = options;
  if (orientation === undefined) return {};
  if (!ESTIMATORS.includes(orientation)) {
    throw new TypeError(`${fn}: options.orientation must be one of ${ESTIMATORS.map((e) => `'${e}'`).join(', ')}, ` +
      `not ${typeof orientation === 'string' ? `'${orientation}'` : typeof orientation}`);
  }
  return { orientation };
}

/**
 * The name a recording's CSV gets from the synchronised conversion: the
 * native rule itself, so that the two never differ.
 * @param {string} file
 */
function fileStem(file) {
  return native.fileStem(file);
}

// Options that ask for another output than the classic CSV, or for its safeguards.
const beyondClassic = (options) =>
  Boolean(options) && ((options.format !== undefined && options.format !== 'csv') ||
    options.overwrite !== undefined || options.imuNames !== undefined);

/** Every option of a conversion, checked, as a worker is handed them. */
function outputOptions(fn, options) {
  const checked = conversionOptions(fn, options);
  for (const key of ['format', 'overwrite', 'imuNames']) if (options?.[key] !== undefined) checked[key] = options[key];
  return checked;
}

/**
 * Converts one recording into a CSV file with its estimated orientation.
 * @param {string} recordingPath
 * @param {string} csvPath created or overwritten
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'csv'|'plain'|'parquet', overwrite?: boolean}} [options]
 *   orientation: 'classic' (default) the sensor software's filter, 'accurate' the offline
 *   estimator with gyroscope bias estimation, 'none' no quaternion columns. format: 'csv'
 *   (default; 'parquet' for a path ending in .parquet); formats other than the classic CSV
 *   are written whole or not at all, and never over a file kinovar did not write
 * @returns {object} the recording's description (dates, clock frequency, firmware, measure id),
 *   with `quality`: what happened in the recording (see inspect)
 */
function readRecording(recordingPath, csvPath, options) {
  requireString(recordingPath, 'readRecording', 'recordingPath');
  requireString(csvPath, 'readRecording', 'csvPath');
  const conversion = conversionOptions('readRecording', options);
  if (beyondClassic(options) || /\.parquet$/i.test(csvPath)) {
    return require('./formats').convertRecording(recordingPath, csvPath, options);
  }
  checkRecording(recordingPath);
  const answer = native.readWithOptions(recordingPath, csvPath, conversion);
  if (answer === ERROR_DOCUMENT) {
    throw new KinovarError(`could not write the CSV file ${csvPath}`, codes.CSV_NOT_WRITTEN,
      { path: csvPath, recording: recordingPath });
  }
  const { info, quality } = JSON.parse(answer);
  return { ...info, quality };
}

/**
 * What happened in a recording: per stream the samples, rates, first and
 * last time, duplicate frames dropped, gaps and saturated samples; for the
 * file the blocks out of order, the unread tail and the settings records
 * that could not be used.
 * @param {string} recordingPath
 * @returns {object}
 */
function inspect(recordingPath) {
  requireString(recordingPath, 'inspect', 'recordingPath');
  checkRecording(recordingPath);
  const answer = native.inspect(recordingPath);
  if (answer === '') {
    throw new KinovarError(`${recordingPath}: could not be read to its end`, codes.UNREADABLE, { path: recordingPath });
  }
  return JSON.parse(answer);
}

/**
 * The problems of a quality report, in words; empty when there are none.
 * @param {object} quality as inspect returns it
 * @returns {string[]}
 */
function qualityProblems(quality) {
  const problems = [];
  const plural = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;
  for (const [name, s] of Object.entries(quality.streams)) {
    if (s.gaps.missing) {
      problems.push(`${name}: ${plural(s.gaps.missing, 'sample')} missing in ${plural(s.gaps.count, 'gap')} (longest ${s.gaps.longest.toFixed(3)} s)`);
    }
    if (s.duplicates) problems.push(`${name}: ${plural(s.duplicates, 'duplicate frame')} dropped`);
    if (s.saturated) problems.push(`${name}: ${plural(s.saturated, 'saturated sample')}`);
  }
  if (quality.outOfOrder) problems.push(`${plural(quality.outOfOrder, 'block')} out of order`);
  return problems;
}

const syncFailures = {
  '-10': [codes.UNREADABLE, 'not every recording could be read'],
  '-13': [codes.NO_ORIENTATION,
    'the orientation could not be estimated for every recording (each needs accelerometer and gyroscope samples at one rate)'],
  '-11': [codes.NOT_SYNCHRONISABLE,
    'the recordings could not be put on one time base (fewer than two, no single radio master, ' +
      'differing radio channels or missing radio data)'],
  '-12': [codes.CSV_NOT_WRITTEN,
    'not every CSV file could be written (two recordings of one name, or a CSV file that would replace ' +
      'one of the recordings, are refused before anything is written)'],
};

/**
 * Converts recordings made together into one CSV file each, on one time base
 * and cut to their common time window.
 * @param {string[]} recordingPaths
 * @param {string} outputFolder must exist; files are named after the recordings
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'csv'|'plain'|'parquet'|'opensense',
 *   imuNames?: string[], overwrite?: boolean}} [options] as readRecording; 'opensense' writes
 *   one OpenSim orientation table, orientations.sto, with a column per recording
 * @returns {string[]} the files written, in the order of the recordings
 */
function syncRecordings(recordingPaths, outputFolder, options) {
  if (!Array.isArray(recordingPaths) || !recordingPaths.every((p) => typeof p === 'string')) {
    throw new TypeError('syncRecordings: recordingPaths must be an array of strings');
  }
  requireString(outputFolder, 'syncRecordings', 'outputFolder');
  const conversion = conversionOptions('syncRecordings', options);
  if (beyondClassic(options)) return require('./formats').convertSet(recordingPaths, outputFolder, options);
  const status = native.readAndSyncWithOptions(recordingPaths, outputFolder, conversion);
  if (status === 'OK') {
    return [...new Set(recordingPaths.map((p) => path.join(outputFolder, `${fileStem(p)}.csv`)))];
  }
  throw syncFailure(status, recordingPaths, outputFolder);
}

/** The error for a failure status of the synchronised conversion. */
function syncFailure(status, recordingPaths, outputFolder) {
  const [code, words] = syncFailures[status] ?? [codes.UNKNOWN_STATUS, `unexpected status ${status}`];
  const details = { status };
  let message = words;
  if (status === '-10') {
    details.files = recordingPaths.filter((file) => {
      try { checkRecording(file); return false; } catch { return true; }
    });
    if (details.files.length) message += `: ${details.files.join(', ')}`;
  } else if (status === '-12') {
    details.path = outputFolder;
    message += ` into ${outputFolder}`;
  }
  return new KinovarError(message, code, details);
}

function readSettingsText(fn, file) {
  requireString(file, fn, 'path');
  const answer = native[fn === 'readSettings' ? 'readConfig' : 'readConfigDeviceId'](file);
  if (answer !== '') return JSON.parse(answer);
  fs.statSync(file);  // a missing or unreachable file throws its own fs error
  throw new KinovarError(`${file}: holds no settings record`, codes.NO_SETTINGS, { path: file });
}

/**
 * Reads a settings file (or the settings block of a recording).
 * @param {string} file
 * @returns {object} the settings; `unknownFrames` carries the records not interpreted, as Base64
 */
function readSettings(file) {
  return readSettingsText('readSettings', file);
}

/**
 * @param {string} file a settings file or a recording
 * @returns {number} the device identifier, -1 when the file names none
 */
function readDeviceId(file) {
  return readSettingsText('readDeviceId', file).deviceId;
}

/**
 * Writes a settings file from an object shaped like the one readSettings returns.
 * @param {string} file created or replaced
 * @param {object|string} settings the object, or its JSON text
 */
function writeSettings(file, settings) {
  requireString(file, 'writeSettings', 'path');
  const text = settingsText(settings);
  if (native.writeConfig(file, text) !== 'OK') {
    throw new KinovarError(`could not write the settings file ${file}`, codes.SETTINGS_NOT_WRITTEN, { path: file });
  }
}

module.exports = {
  readRecording, inspect, qualityProblems, syncRecordings, readSettings, readDeviceId, writeSettings, checkRecording,
  fileStem, syncFailure, conversionOptions, outputOptions,
};
