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
 * @param {{orientation?: 'classic'|'accurate'|'none', threads?: number}} [options]
 */
function conversionOptions(fn, options) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  const { orientation, threads } = options;
  const checked = {};
  if (threads !== undefined) {
    if (!Number.isInteger(threads) || threads < 1 || threads > 1024) {
      throw new TypeError(`${fn}: options.threads must be a whole number from 1 to 1024, not ${threads}`);
    }
    checked.threads = threads;
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
  if (!Array.isArray(recordingPaths) || !recordingPaths.every((p) => typeof p === 'string')) {
    throw new TypeError('syncRecordings: recordingPaths must be an array of strings');
  }
  requireString(outputFolder, 'syncRecordings', 'outputFolder');
  const conversion = conversionOptions('syncRecordings', options);
  const outcome = native.readAndSyncReport(recordingPaths, outputFolder, conversion);
  if (outcome.status !== 'OK') throw syncFailure(outcome, recordingPaths, outputFolder);
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
 * @param {string} outputFolder must exist; files are named after the recordings
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: 'csv'|'plain'|'parquet'|'opensense',
 *   imuNames?: string[], overwrite?: boolean}} [options] as readRecording; 'opensense' writes
 *   one OpenSim orientation table, orientations.sto, with a column per recording
 * @returns {string[]} the files written, in the order of the recordings; their `report`
 *   property says what the synchronisation did
 */
function syncRecordings(recordingPaths, outputFolder, options) {
  if (beyondClassic(options)) {
    if (!Array.isArray(recordingPaths) || !recordingPaths.every((p) => typeof p === 'string')) {
      throw new TypeError('syncRecordings: recordingPaths must be an array of strings');
    }
    requireString(outputFolder, 'syncRecordings', 'outputFolder');
    conversionOptions('syncRecordings', options);
    return require('./formats').convertSet(recordingPaths, outputFolder, options);
  }
  return filesOf(syncReport(recordingPaths, outputFolder, options));
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
  readRecording, inspect, qualityProblems, syncRecordings, syncReport, reportOf, filesOf, readSettings, readDeviceId, writeSettings,
  checkRecording, fileStem, syncFailure, conversionOptions, outputOptions,
};
