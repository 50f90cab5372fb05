'use strict';
// The idiomatic, synchronous layer over the native functions: parsed results
// and thrown errors instead of answer texts. The worker threads run these
// very functions, so the promise versions behave byte for byte the same.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const native = require('./addon');
const { settingsText } = require('./settings');
const { KinovarError, codes } = require('./errors');
const outputs = require('./output');
const { writeObstacle, sameExistingFile } = outputs;
const records = require('./records');

const BLOCK = 512;
const ERROR_DOCUMENT = '{"error":"Error during data loading."}';

function requireString(value, fn, name) {
  if (typeof value !== 'string') throw new TypeError(`${fn}: ${name} must be a string, not ${typeof value}`);
}

function requirePaths(value, fn) {
  if (!Array.isArray(value) || !value.every((p) => typeof p === 'string')) {
    throw new TypeError(`${fn}: recordingPaths must be an array of strings`);
  }
}

/**
 * Throws unless the file starts like a recording: at least one block, with
 * a settings record in it. The native reader accepts anything and answers a
 * default document, which tells an API caller nothing.
 * @param {string} file
 */
function checkRecording(file) {
  const head = outputs.inputHead(file, BLOCK);
  if (head.length < BLOCK) {
    throw new KinovarError(`${file}: not a recording (${head.length} bytes, shorter than one ${BLOCK}-byte block)`,
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
 * @param {{orientation?: 'classic'|'accurate'|'none', threads?: number, overwrite?: boolean}} [options]
 */
function conversionOptions(fn, options) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  const { orientation, threads, overwrite } = options;
  const checked = {};
  if (threads !== undefined) {
    if (!Number.isInteger(threads) || threads < 1 || threads > 1024) {
      throw new TypeError(`${fn}: options.threads must be a whole number from 1 to 1024, not ${threads}`);
    }
    checked.threads = threads;
  }
  if (overwrite !== undefined) {
    if (typeof overwrite !== 'boolean') throw new TypeError(`${fn}: options.overwrite must be true or false`);
    checked.overwrite = overwrite;
  }
  if (orientation === undefined) return checked;
  if (!ESTIMATORS.includes(orientation)) {
    throw new TypeError(`${fn}: options.orientation must be one of ${ESTIMATORS.map((e) => `'${e}'`).join(', ')}, ` +
      `not ${typeof orientation === 'string' ? `'${orientation}'` : typeof orientation}`);
  }
  return { orientation, ...checked };
}

/**
 * The name a recording's CSV gets from the synchronised conversion: the
 * native rule itself, so that the two never differ.
 * @param {string} file
 */
function fileStem(file) {
  return native.fileStem(file);
}

// Options that ask for another output than the classic CSV.
const beyondClassic = (options) =>
  Boolean(options) && ((options.format !== undefined && options.format !== 'csv') || options.imuNames !== undefined);

/** Every option of a conversion, checked, as a worker is handed them. */
function outputOptions(fn, options) {
  const checked = conversionOptions(fn, options);
  for (const key of ['format', 'overwrite', 'imuNames']) if (options?.[key] !== undefined) checked[key] = options[key];
  return checked;
}

/** The error for an output the native side could not write. */
function notWritten(file, what, fallbackCode, details = {}) {
  const cause = writeObstacle(file);
  if (cause) return Object.assign(outputs.systemError(cause, file, `write ${what}`), details);
  return new KinovarError(`could not write ${what} ${file}; check the disk (full, removed, or failing)`, fallbackCode,
    { path: file, ...details });
}

/**
 * Converts one recording into a CSV file with its estimated orientation.
 * The file is written under a temporary name and moved into place when
 * complete; an existing file that is not an output of ours is refused
 * unless `overwrite` is set.
 * @param {string} recordingPath
 * @param {string} csvPath created or replaced
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'csv'|'plain'|'parquet', overwrite?: boolean}} [options]
 *   orientation: 'classic' (default) the sensor software's filter, 'accurate' the offline
 *   estimator with gyroscope bias estimation, 'none' no quaternion columns. format: 'csv'
 *   (default; 'parquet' for a path ending in .parquet). Every format is written whole or not
 *   at all, and never over a file kinovar did not write unless overwrite is set
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
  if (sameExistingFile(recordingPath, csvPath)) {
    throw new KinovarError(`${csvPath} is the recording itself: a CSV file must not replace it`, codes.NOT_OURS,
      { path: csvPath, found: 'recording' });
  }
  outputs.checkReplaceable(csvPath, 'csv', { overwrite: conversion.overwrite === true });
  // What the folder already forbids is said before the recording is read.
  const obstacle = writeObstacle(csvPath);
  if (obstacle) throw Object.assign(outputs.systemError(obstacle, csvPath, 'write the CSV file'), { recording: recordingPath });
  let answer;
  try {
    answer = native.readWithOptions(recordingPath, csvPath, conversion);
  } catch (error) {
    if (!error.syscall) throw error;
    throw Object.assign(outputs.systemError(error, csvPath, 'write the CSV file'), { recording: recordingPath });
  }
  if (answer === ERROR_DOCUMENT) {
    throw notWritten(csvPath, 'the CSV file', codes.CSV_NOT_WRITTEN, { recording: recordingPath });
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
  if (Object.values(quality.streams).every((s) => s.samples === 0)) {
    problems.push('no samples at all (the sensor recorded nothing, or the file ends after its settings)');
  }
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
  '-11': [codes.NOT_SYNCHRONISABLE, 'the recordings could not be put on one time base'],
  '-12': [codes.CSV_NOT_WRITTEN, 'not every CSV file could be written'],
};

const unparsedWords = {
  'not-a-recording': 'is not a recording (no settings block at its start)',
  'cut-short': `is cut short (a settings block, but not one whole ${BLOCK}-byte block of it can be read)`,
  unknown: 'could not be parsed',
};

/** The system's name for an errno the native side gives (ENOENT, EACCES, ...). */
function errnoName(errno) {
  return Object.entries(os.constants.errno).find(([, value]) => value === errno)?.[0] ?? `errno ${errno}`;
}

/** Words for the cause of a failed set, and the cause as data. */
function syncCause(outcome, recordingPaths, outputFolder) {
  const named = (indices = []) => indices.map((i) => recordingPaths[i]);
  const list = (paths) => paths.join(', ');
  switch (outcome.status) {
    case '-10': {
      // Told only the status: the files that do not even look like recordings.
      const unparsed = outcome.unparsed ?? recordingPaths.flatMap((file, recording) => {
        try { checkRecording(file); return []; } catch { return [{ recording, reason: 'unknown' }]; }
      });
      const recordings = unparsed.map(({ recording, reason, errno }) => {
        const entry = { path: recordingPaths[recording], reason };
        if (reason === 'unreadable') {
          entry.code = errnoName(errno);
          if (entry.code === 'ENOENT') entry.reason = 'missing';
        }
        return entry;
      });
      const words = recordings.map(({ path: file, reason, code }) => (reason === 'missing' ? `${file} is missing`
        : reason === 'unreadable' ? `${file} cannot be read (${code})` : `${file} ${unparsedWords[reason]}`));
      return [words.join('; ') || 'a recording could not be parsed', { reason: 'unreadable-recordings', recordings }];
    }
    case '-13': {
      const recordings = named(outcome.noOrientation);
      return [list(recordings) || 'each needs accelerometer and gyroscope samples', { reason: 'no-orientation', recordings }];
    }
    case '-11': {
      const recordings = named(outcome.recordings);
      const cause = { reason: outcome.refusal, method: outcome.method, recordings };
      switch (outcome.refusal) {
        case 'too-few-recordings':
          return [`a set needs at least two recordings, ${recordingPaths.length} given`,
            { reason: outcome.refusal, count: recordingPaths.length }];
        case 'no-master':
          return ['no recording is the radio master; exactly one of the set must be (radio mode 0)', cause];
        case 'several-masters':
          return [`${list(recordings)} all claim to be the radio master; exactly one of the set may be`, cause];
        case 'other-channel': {
          cause.channel = outcome.channel;
          cause.channels = outcome.channels;
          const which = recordings.map((file, i) => `${file} is on radio channel ${outcome.channels[i]}`);
          return [`${which.join(', ')}, not on channel ${outcome.channel} like ${recordingPaths[0]}; ` +
            'a set records on one channel', cause];
        }
        case 'no-radio-data':
          return [`${list(recordings)} holds no radio time samples, which the radio-stream method needs from every slave`,
            cause];
        case 'no-clock':
          return [`${list(recordings)} has a clock rate of 0, so its times cannot be placed`, cause];
        case 'no-common-streams':
          return ['the recordings share no motion stream with samples at a known rate', cause];
        default:  // told only the status
          return ['not exactly one radio master on one channel, no radio data, or fewer than two recordings',
            { reason: 'unknown' }];
      }
    }
    case '-12': {
      const recordings = named(outcome.recordings);
      const cause = { reason: outcome.output, recordings, path: outputFolder };
      if (outcome.output === 'same-name') {
        return [`${list(recordings)} would both be written to ${path.join(outputFolder, `${fileStem(recordings[0])}.csv`)}; ` +
          'rename one of them', cause];
      }
      if (outcome.output === 'replaces-recording') {
        return [`a CSV file would replace the recording ${recordings[0]}; choose another output folder`, cause];
      }
      if (outcome.output === 'device-name') {
        const csv = `${fileStem(recordings[0])}.csv`;
        return [`the CSV file of ${recordings[0]} would be ${csv}${outputs.deviceNameReason(csv)}; rename that recording`, cause];
      }
      if (outcome.output === 'not-written') {
        return [`the CSV files of ${list(recordings)} could not be written into ${outputFolder}`, cause];
      }
      return [`some were not written into ${outputFolder}`, { reason: 'unknown', path: outputFolder }];
    }
    default:
      return [`unexpected status ${outcome.status}`, { reason: 'unknown-status' }];
  }
}

/**
 * The error for a failed synchronised conversion, its cause named as far as
 * `outcome` (the native report, or only its status) tells it.
 */
function syncFailure(outcome, recordingPaths, outputFolder) {
  if (typeof outcome === 'string') outcome = { status: outcome };
  const [code, words] = syncFailures[outcome.status] ?? [codes.UNKNOWN_STATUS, 'the synchronised conversion failed'];
  const [detail, cause] = syncCause(outcome, recordingPaths, outputFolder);
  const details = { status: outcome.status, cause };
  if (outcome.status === '-10') details.files = cause.recordings.map((r) => r.path);
  if (outcome.status === '-12') details.path = outputFolder;
  return new KinovarError(`${words}: ${detail}`, code, details);
}

/**
 * What a synchronised conversion did: the method, each recording's offset,
 * the common window, and what each recording kept. Throws as syncRecordings.
 * @param {string[]} recordingPaths
 * @param {string} outputFolder
 * @param {{orientation?: 'classic'|'accurate'|'none'}} [options]
 * @returns {object} see SyncReport in index.d.ts
 */
function syncReport(recordingPaths, outputFolder, options) {
  requirePaths(recordingPaths, 'syncRecordings');
  requireString(outputFolder, 'syncRecordings', 'outputFolder');
  const conversion = conversionOptions('syncRecordings', options);
  const created = outputs.ensureFolder(outputFolder);
  let outcome;
  try {
    for (const p of recordingPaths) {
      const target = path.join(outputFolder, `${fileStem(p)}.csv`);
      // A target that is one of the recordings is refused by the conversion itself, after the sync.
      if (!recordingPaths.some((r) => sameExistingFile(r, target))) {
        outputs.checkReplaceable(target, 'csv', { overwrite: conversion.overwrite === true });
      }
    }
    outcome = native.readAndSyncReport(recordingPaths, outputFolder, conversion);
    if (outcome.status !== 'OK') {
      const failure = syncFailure(outcome, recordingPaths, outputFolder);
      const cause = outcome.systemError;
      // A file the system refused: its code and path, with the set's status and cause.
      throw cause ? Object.assign(outputs.systemError(cause, cause.path, 'write the CSV file'),
        { status: failure.status, cause: failure.cause }) : failure;
    }
  } catch (error) {
    // A failed sync leaves no folder behind that it made itself.
    outputs.removeFolders(created);
    throw error;
  }
  return reportOf(outcome, recordingPaths, recordingPaths.map((p) => path.join(outputFolder, `${fileStem(p)}.csv`)));
}

/** The report of a native outcome whose status is "OK", naming the files written. */
function reportOf(outcome, recordingPaths, files) {
  if (outcome.method === undefined) {
    return { method: 'none', recordings: [], files, offsets: [], window: { start: 0, end: 0 }, samples: [], events: [] };
  }
  const { method, offsets, window, samples, events } = outcome;
  return { method, recordings: [...recordingPaths], files, offsets, window, samples, events };
}

/** The files of a report, as syncRecordings has always answered, with the report beside them. */
function filesOf(report) {
  return Object.defineProperty([...report.files], 'report', { value: report, enumerable: false });
}

/**
 * Converts recordings made together into one CSV file each, on one time base
 * and cut to their common time window.
 * @param {string[]} recordingPaths
 * @param {string} outputFolder created when missing; files are named after the recordings
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'csv'|'plain'|'parquet'|'opensense',
 *   imuNames?: string[], overwrite?: boolean}} [options] as readRecording; 'opensense' writes
 *   one OpenSim orientation table, orientations.sto, with a column per recording
 * @returns {string[]} the files written, in the order of the recordings; their `report`
 *   property says what the synchronisation did
 */
function syncRecordings(recordingPaths, outputFolder, options) {
  if (beyondClassic(options)) {
    requirePaths(recordingPaths, 'syncRecordings');
    requireString(outputFolder, 'syncRecordings', 'outputFolder');
    conversionOptions('syncRecordings', options);
    const created = outputs.ensureFolder(outputFolder);
    try {
      return require('./formats').convertSet(recordingPaths, outputFolder, options);
    } catch (error) {
      outputs.removeFolders(created);
      throw error;
    }
  }
  return filesOf(syncReport(recordingPaths, outputFolder, options));
}

function readSettingsText(fn, file) {
  requireString(file, fn, 'path');
  const answer = native[fn === 'readSettings' ? 'readConfig' : 'readConfigDeviceId'](file);
  if (answer !== '') {
    const settings = JSON.parse(answer);
    if (fn !== 'readSettings') return settings;
    // The native document cuts calibration to integers; the records hold it exactly.
    for (const [group, exact] of Object.entries(records.exactCalibration(outputs.head(file, records.BLOCK)))) {
      if (settings[group]) Object.assign(settings[group], exact);
    }
    return settings;
  }
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
  const found = outputs.inspect(file);
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
  const source = options?.from === undefined ? current : outputs.head(options.from, records.BLOCK);
  let bytes;
  if (source && records.walkRecords(source)) {
    const wanted = records.flatten(settings);
    // Base64 of unknown records is not a field: they stay as the file has them.
    const unknownFrames = records.unknownRecords(source).toString('base64');
    if (wanted.has('unknownFrames') && wanted.get('unknownFrames') !== unknownFrames) {
      throw new RangeError('unknownFrames cannot be changed in an existing settings file; its unknown records are kept as they are');
    }
    wanted.delete('unknownFrames');
    // Fields left at what the file reads as (defaults included) are not edits.
    const now = records.flatten(readSettings(options?.from ?? file));
    for (const [name, value] of wanted) if (now.has(name) && now.get(name) === value) wanted.delete(name);
    bytes = records.editRecords(source, wanted);
  } else {
    const text = settingsText(settings);
    if (native.writeConfig(file, text) !== 'OK') {
      throw notWritten(file, 'the settings file', codes.SETTINGS_NOT_WRITTEN);
    }
    return;
  }
  outputs.writeFileAtomic(file, bytes, 'the settings file');
}

module.exports = {
  readRecording, inspect, qualityProblems, syncRecordings, syncReport, reportOf, filesOf, readSettings, readDeviceId, writeSettings,
  checkRecording, fileStem, syncFailure, conversionOptions, outputOptions, requirePaths, ESTIMATORS,
};
