'use strict';
// The idiomatic, synchronous layer over the native functions: parsed results
// and thrown errors instead of answer texts. The worker threads run these
// very functions, so the promise versions behave byte for byte the same.
const fs = require('node:fs');
const path = require('node:path');
const native = require('./native/entry');
const { KinovarError, codes } = require('./errors');
const outputs = require('./output/files');
const recognise = require('./output/recognise');
const { settingsWrite } = require('./settings/records');
const { requireString, rangeOptions } = require('./checks/options');
const { checkRecording, notWritten, qualityProblems } = require('./checks/outcomes');
const formats = require('./pipeline/convert');
const { load, loadSet } = require('./data/tables');
const { readParquetFile } = require('./parquet/file');
const { BLOCK } = require('./model/schema');
const generator = require('./native/generator');
const cohorts = require('./batch/cohort');
const { epochs, checkEpochOptions } = require('./pipeline/epochs');

/**
 * Converts one recording into a table (the plain CSV by default) with its estimated orientation.
 * The file is written under a temporary name and moved into place when
 * complete; an existing file that is not an output of ours is refused
 * unless `overwrite` is set.
 * @param {string} recordingPath
 * @param {string} csvPath created or replaced
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'plain'|'classic'|'parquet', overwrite?: boolean}} [options]
 *   orientation: 'accurate' (default) the offline estimator with gyroscope bias estimation,
 *   'classic' the sensor software's filter (the native read's file, byte for byte), 'none' no
 *   quaternion columns. format: 'plain'
 *   (default; 'parquet' for a path ending in .parquet; 'classic' the native read's CSV, also by its 0.1 name 'csv'). Every format is written whole or not
 *   at all, and never over a file kinovar did not write unless overwrite is set
 * @returns {object} the recording's description (dates, clock frequency, firmware, measure id),
 *   with `quality`: what happened in the recording (see inspect)
 */
function readRecording(recordingPath, csvPath, options) {
  return formats.convertRecording(recordingPath, csvPath, options);
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
  checkRecording(recordingPath, { samples: false });  // reporting a file without samples is inspect's job
  const report = native.inspect(recordingPath);
  if (report === null) {
    throw new KinovarError(`${recordingPath}: could not be read to its end`, codes.UNREADABLE, { path: recordingPath });
  }
  return report;
}

/**
 * The calibration a recording's own still moments give (accelerometer
 * offset, scale and temperature term per axis, the gyroscope's bias), and
 * why it was accepted or refused; nothing is converted. With `out`, the
 * report is also written there as a calibration file, which a conversion's
 * `calibrate` option applies to other recordings of the same device.
 * @param {string} recordingPath
 * @param {{out?: string, overwrite?: boolean, durable?: boolean}} [options]
 * @returns {object}
 */
function calibrate(recordingPath, options = {}) {
  requireString(recordingPath, 'calibrate', 'recordingPath');
  if (options === null || typeof options !== 'object') throw new TypeError('calibrate: options must be an object');
  const { out } = options;
  if (out !== undefined) requireString(out, 'calibrate', 'options.out');
  checkRecording(recordingPath);
  if (out !== undefined) {
    outputs.checkTarget(out, { kind: 'json', what: 'the calibration file', inputs: [recordingPath],
      overwrite: options.overwrite === true, itself: `${out} is the recording itself: the calibration file must not replace it` });
  }
  let report;
  try {
    report = native.calibrate(recordingPath, undefined, out, options.durable === true);
  } catch (error) {
    if (!error.syscall) throw error;
    throw outputs.systemError(error, out, 'write the calibration file');
  }
  if (report === null) {
    throw new KinovarError(`${recordingPath}: could not be read to its end`, codes.UNREADABLE, { path: recordingPath });
  }
  return report;
}

/**
 * Converts recordings made together into one table each, on one time base
 * and cut to their common time window.
 * @param {string[]} recordingPaths
 * @param {string} outputFolder created when missing; files are named after the recordings
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'plain'|'classic'|'parquet'|'opensense',
 *   imuNames?: string[], overwrite?: boolean}} [options] as readRecording; 'opensense' writes
 *   one OpenSim orientation table, orientations.sto, with a column per recording
 * @returns {string[]} the files written, in the order of the recordings; their `report`
 *   property says what the synchronisation did
 */
function syncRecordings(recordingPaths, outputFolder, options) {
  return formats.convertSet(recordingPaths, outputFolder, options);
}

function readSettingsText(fn, file) {
  requireString(file, fn, 'path');
  // readSettings takes the core's exact calibration; readConfig's document cuts it to integers.
  const answer = native[fn === 'readSettings' ? 'readSettings' : 'readConfigDeviceId'](file);
  if (answer !== '') return JSON.parse(answer);
  try {
    fs.statSync(file);
  } catch (error) {
    throw outputs.inputError(error, file);
  }
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
 * What may be written at `file` as a settings file: throws when it is a
 * recording (always) or another file that is not a settings file (unless
 * `overwrite`). Returns the current bytes when it is a settings file.
 * @returns {Buffer|null}
 */
function settingsTarget(file, overwrite) {
  outputs.refuseDeviceName(file);
  const found = recognise.inspect(file);
  if (found.kind === 'folder') {
    throw new KinovarError(`${file} is a folder, not a settings file; give a file name`, 'EISDIR', { path: file });
  }
  if (found.kind === 'recording') {
    throw new KinovarError(`${file} is a recording (${found.size} bytes: data follow its settings block), not a ` +
      'settings file: kinovar never writes settings into a recording. Write them to a new file instead.',
    codes.IS_RECORDING, { path: file });
  }
  if (found.kind === 'settings') return fs.readFileSync(file);
  if (!['missing', 'empty', 'device'].includes(found.kind) && !overwrite) {
    const what = found.kind === 'other' ? 'holds no settings record' : `is a ${found.kind.toUpperCase()} file`;
    throw new KinovarError(`${file} is not a settings file (it ${what}): kinovar will not replace it. ` +
      'Choose another name, or replace it on purpose with --force (overwrite: true in the API).', codes.NOT_OURS,
    { path: file, found: found.kind });
  }
  return null;
}

/**
 * Writes a settings file from an object shaped like the one readSettings
 * returns. An existing settings file is edited: the fields whose values
 * differ from the file's are changed, each in the record (and the form)
 * that holds it, and every other byte stays; members left out keep their
 * values. A new file is made of the native writer's records.
 * @param {string} file created or edited; never a recording
 * @param {object|string} settings the object, or its JSON text
 * @param {{overwrite?: boolean, from?: string}} [options] overwrite: replace a file that is not a
 *   settings file; from: edit the records of that file (a settings file or recording) instead
 */
function writeSettings(file, settings, options = {}) {
  requireString(file, 'writeSettings', 'path');
  if (typeof settings === 'string') settings = JSON.parse(settings);
  if (settings === null || typeof settings !== 'object') throw new TypeError('writeSettings: expected a settings object');
  const current = settingsTarget(file, options?.overwrite === true);
  const source = options?.from === undefined ? current : recognise.head(options.from, BLOCK);
  const made = settingsWrite(source, settings);
  if (made.edit) {
    outputs.writeFileAtomic(file, made.bytes, 'the settings file');
  } else if (native.writeConfig(file, made.text) !== 'OK') {
    throw notWritten(file, 'the settings file', codes.SETTINGS_NOT_WRITTEN);
  }
}

/**
 * Reads a Parquet file that kinovar wrote, or a range of its time: only the
 * row groups that hold rows of the range are read.
 * @param {string} file
 * @param {{from?: number, to?: number, streams?: string[]}} [options] rows with from <= time < to (seconds);
 *   only the named streams' columns (time and datetime always)
 */
function readParquet(file, options) {
  requireString(file, 'readParquet', 'file');
  const range = rangeOptions('readParquet', options);
  const fd = fs.openSync(file, 'r');
  try {
    const read = (position, length) => {
      const bytes = Buffer.alloc(length);
      const got = fs.readSync(fd, bytes, 0, length, position);
      return got === length ? bytes : bytes.subarray(0, got);
    };
    return readParquetFile(read, fs.fstatSync(fd).size, range);
  } catch (error) {
    if (error.code) throw error;  // a system error: the file could not be read
    // The decoder's WebAssembly memory has a ceiling, which a row group far larger than ours can reach.
    if (error instanceof WebAssembly.RuntimeError) {
      throw new KinovarError(`${file}: the Parquet decoder ran out of memory (${error.message}); read a part of it ` +
        'with { from, to, streams }', codes.OUT_OF_MEMORY, { path: file });
    }
    throw new KinovarError(`${file}: ${error.message}; read its recording with load() instead`, codes.FORMAT, { path: file });
  } finally {
    fs.closeSync(fd);
  }
}

/**
 * Writes what the generator made aside into the targets it names, as every
 * output of ours is written: whole, together, and never over a file kinovar
 * did not write unless `overwrite`.
 * @param {(aside: string) => string[]} generate writes the files into `aside`
 * @param {(made: string) => string} targetOf
 */
function writeGenerated(generate, targetOf, overwrite) {
  const aside = native.temporaryFolder();
  try {
    const made = generate(aside);
    const targets = made.map(targetOf);
    for (const target of targets) {
      outputs.checkTarget(target, { kind: path.extname(target).slice(1) || 'output', what: 'the recording', overwrite });
    }
    try {
      native.replaceFiles(targets, made.map((file) => fs.readFileSync(file)));
    } catch (error) {
      if (!error.syscall) throw error;
      throw outputs.systemError(error, error.path ?? targets[0], 'write the recording');
    }
    return targets;
  } finally {
    native.discardTemporary(aside);
  }
}

/**
 * A synthetic recording, written whole; an existing file that is not an
 * output of ours (a recording there may be a real one) stays unless `overwrite`.
 */
function generateRecording(file, { overwrite = false, ...options } = {}) {
  writeGenerated((aside) => [generator.generateRecording(path.join(aside, 'recording.bin'), options)], () => file, overwrite);
  return file;
}

/**
 * A session of sensors that recorded together, written into an existing
 * folder as generateRecording writes one recording.
 */
function generateSession(folder, { overwrite = false, ...options } = {}) {
  return writeGenerated((aside) => generator.generateSession(aside, options), (made) => path.join(folder, path.basename(made)),
    overwrite);
}

/**
 * Converts a study into a folder, resuming: see docs/cohorts.md. Every
 * recording given, every recording (*.bin) under the folders given, or the
 * rows of options.manifest; the shard asked for of the sorted work list.
 * A unit is skipped while its ledger says it is current, or failed and its
 * recordings' bytes are unchanged (options.retryFailed tries it again).
 * @param {string[]} inputs recordings and folders
 * @param {string} outDir the outputs, and the ledgers in outDir/ledgers
 * @param {object} [options] the conversion options, with manifest, shard ('i/n' or {index, count}),
 *   rehash, retryFailed, onProgress({done, total, row})
 * @returns {{rows: object[], counts: {converted: number, current: number, failed: number}}} a ledger row per unit
 */
function batch(inputs, outDir, options) {
  return cohorts.batch(inputs, outDir, options);
}

/**
 * Joins the ledgers of a batch's folder into summary.csv and summary.parquet there.
 * @param {string} outDir
 * @param {{overwrite?: boolean}} [options] overwrite: replace summary files kinovar did not write
 * @returns {{rows: object[], files: string[]}}
 */
function mergeBatch(outDir, options) {
  requireString(outDir, 'mergeBatch', 'outDir');
  return cohorts.mergeLedgers(cohorts.homeOf(outDir), options);
}

module.exports = {
  batch, mergeBatch,
  readRecording, inspect, calibrate, syncRecordings, epochs, checkEpochOptions, readSettings, readDeviceId, writeSettings, load, loadSet, readParquet,
  qualityProblems, generateRecording, generateSession,
};
