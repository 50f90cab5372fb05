'use strict';
// What a conversion's outcome means to a caller: a file the core finds is
// no recording, the native outcome of a set as a report or as an error
// naming its cause, a recording's quality in words, and the error of an
// output that could not be written.
const fs = require('node:fs');
const path = require('node:path');
const native = require('../native/entry');
const { KinovarError, codes } = require('../errors');
const { writeObstacle, systemError, deviceNameReason, inputError, systemCause } = require('../output/files');
const { BLOCK, EXTENSIONS } = require('../model/schema');

/** The error for an output the native side could not write. */
function notWritten(file, what, fallbackCode, details = {}) {
  const cause = writeObstacle(file);
  if (cause) return Object.assign(systemError(cause, file, `write ${what}`), details);
  return new KinovarError(`could not write ${what} ${file}; check the disk (full, removed, or failing)`, fallbackCode,
    { path: file, ...details });
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
    if (s.ticksPerSample) problems.push(clockWords(name, s));
  }
  if (quality.outOfOrder) problems.push(`${plural(quality.outOfOrder, 'block')} out of order`);
  if (quality.corruptBlocks) {
    problems.push(`${plural(quality.corruptBlocks, 'corrupt block')} left out (a base tick far off both ` +
      "neighbours', as from a flipped bit)");
  }
  const short = quality.shorterThanSettings;
  if (short) {
    problems.push(`shorter than its settings say (${short.seconds.toFixed(1)} of ${short.settings} s): ` +
      'the recording was cut, or stopped before its end date');
  }
  return problems;
}

// What keeps the samples' own times where the classic CSV's Time column does not.
const TRUE_TIME = 'the plain CSV, Parquet, OpenSense and load() keep the true times';

// A rate that does not divide the clock: the classic CSV's rows are whole ticks apart, so that sensor's time drifts.
function clockWords(name, { rate, ticksPerSample: ticks, rowsPerSample: rows }) {
  const clock = Math.round(ticks * rate);
  const pace = rows / ticks;
  return `${name}: ${rate} Hz does not divide the ${clock} Hz clock, so the classic CSV puts its samples ` +
    `${rows} row${rows === 1 ? '' : 's'} apart instead of ${ticks.toFixed(2)} ticks and its Time column runs ` +
    `${(Math.abs(1 - pace) * 100).toFixed(1)}% ${pace < 1 ? 'slow' : 'fast'}`;
}

/**
 * The sensors (accel, gyro, baro) whose rate does not divide the clock, which
 * the classic CSV places a whole number of rows apart.
 * @param {number} clock ticks per second
 * @param {Record<string, number|undefined>} rates by sensor
 * @returns {string[]}
 */
function ratesOffClock(clock, rates) {
  return Object.entries(rates).filter(([, rate]) => typeof clock === 'number' && typeof rate === 'number' &&
    native.ticksOffClock(clock, rate) > 0).map(([name]) => name);
}

/**
 * Why the classic CSV's Time column (rows counted at the clock's period)
 * does not give a recording's samples their times, in words, or ''.
 * @param {object} quality the recording's quality report (inspect's tells the rates that do not divide the clock)
 * @param {number} [clock] its clock rate, for a report that does not
 */
function classicTimeWarning(quality, clock) {
  const sensors = ['accel', 'gyro', 'baro'].filter((name) => quality.streams[name]);
  const gaps = sensors.filter((name) => quality.streams[name].gaps.missing > 0);
  const off = clock === undefined ? sensors.filter((name) => quality.streams[name].ticksPerSample)
    : ratesOffClock(clock, Object.fromEntries(sensors.map((name) => [name, quality.streams[name].rate])));
  const reasons = [];
  if (gaps.length) reasons.push(`after a gap (${gaps.join(', ')}) every later row stands early`);
  if (off.length) reasons.push(`the rows of ${off.join(', ')} (a rate that does not divide the clock) run slow`);
  if (quality.signedWrapAt !== undefined) {
    reasons.push(`the device's tick counter passes 2^31 at ${quality.signedWrapAt.toFixed(3)} s, where its ticks ` +
      'turn negative: the rows after it stand 2^32 ticks earlier, before the rest');
  }
  if (quality.corruptBlocks) reasons.push('it keeps the corrupt blocks at their wrong times');
  if (!reasons.length) return '';
  return `the classic CSV's Time column counts rows, not the samples' times: ${reasons.join('; ')}; ${TRUE_TIME} ` +
    '(--format plain or parquet)';
}

// A failed set's code and words, by the core's name for its failure.
const SET_FAILURES = {
  unparsed: [codes.UNREADABLE, 'not every recording could be read'],
  'no-orientation': [codes.NO_ORIENTATION,
    'the orientation could not be estimated for every recording (each needs accelerometer and gyroscope samples at one rate)'],
  'not-synchronised': [codes.NOT_SYNCHRONISABLE, 'the recordings could not be put on one time base'],
  output: [codes.CSV_NOT_WRITTEN, 'not every CSV file could be written'],
};

/** readAndSync2's status of each failure, by its name, as the core gives them. */
const statuses = () => require('../model/schema').SET_STATUSES;
/** The name of a set's failure: the core's, or for an outcome told only its status, found by it. */
const failureOf = (outcome) => outcome.failure ?? Object.keys(statuses()).find((name) => statuses()[name] === outcome.status);

/** The code of an output of `format` not written: classic CSV files keep theirs. */
const notWrittenCode = (format) => (format === 'classic' ? codes.CSV_NOT_WRITTEN : codes.OUTPUT_NOT_WRITTEN);

// What a file the core finds is no recording is, by the core's name for it:
// the code, the words when its first bytes tell it (`found`, from their
// count) and when a set's parse did (`parsed`).
const NOTHING = (file) => `: there is nothing to convert or draw; "kinovar config show ${file}" lists its settings`;
const shorter = (bytes) => `(${bytes} bytes, shorter than one ${BLOCK}-byte block)`;
const NOT_RECORDINGS = {
  'not-a-recording': {
    code: codes.FORMAT, parsed: 'is not a recording (no settings block at its start)',
    found: (file, bytes) => `${file}: not a recording ${bytes < BLOCK ? shorter(bytes) : '(no settings block at its start)'}`,
  },
  'cut-short': {
    code: codes.FORMAT, parsed: `is cut short (a settings block, but not one whole ${BLOCK}-byte block of it can be read)`,
    found: (file, bytes) => `${file}: cut short ${shorter(bytes)}`,
  },
  'settings-file': { code: codes.NO_SAMPLES, found: (file) => `${file} is a settings file (settings and no samples)${NOTHING(file)}` },
  'no-samples': {
    code: codes.NO_SAMPLES,
    found: (file) => `${file} is a recording with no samples (the sensor recorded nothing, or the file ends after its settings)${NOTHING(file)}`,
  },
  unknown: { parsed: 'could not be parsed' },
};

/**
 * Why a file cannot be converted as a recording, as the core finds it, in
 * the words every entry gives for it (read, sync, load, view): an error
 * with its code, path and `reason` ('missing', 'unreadable',
 * 'not-a-recording', 'cut-short', 'settings-file', 'no-samples'), or null.
 * The native reader accepts anything and answers a default document, which
 * tells a caller nothing.
 * @param {string} file
 * @param {{samples?: boolean}} [options] samples: false for an entry that reports a file without samples (inspect)
 */
function recordingFailure(file, { samples = true } = {}) {
  const found = native.checkRecordingFile(file);
  if (!found) return null;
  const { reason, bytes } = found;
  if (found.syscall) return Object.assign(inputError(systemCause(found), file), { reason });
  const { code } = NOT_RECORDINGS[reason];
  if (code === codes.NO_SAMPLES && !samples) return null;
  return new KinovarError(NOT_RECORDINGS[reason].found(file, bytes), code, { path: file, reason });
}

/** Throws recordingFailure's error, if any. */
function checkRecording(file, options) {
  const failure = recordingFailure(file, options);
  if (failure) throw failure;
}

/** The error of a recording that holds blocks but no sample (a file of one block is a settings file). */
function noSamples(file) {
  const reason = fs.statSync(file).size <= BLOCK ? 'settings-file' : 'no-samples';
  return new KinovarError(NOT_RECORDINGS[reason].found(file), codes.NO_SAMPLES, { path: file, reason });
}

/** Throws noSamples' error when a quality report (of a file read whole) counts no sample at all. */
function checkSamples(file, quality) {
  if (Object.values(quality.streams).every((s) => s.samples === 0)) throw noSamples(file);
}

/** The set's members that read would refuse, each with read's reason and words. */
function inputFailures(recordingPaths, options) {
  return recordingPaths.flatMap((file, recording) => {
    const failure = recordingFailure(file, options);
    return failure ? [{ recording, reason: failure.reason, code: failure.syscall ? failure.code : undefined,
      message: failure.message, error: failure }] : [];
  });
}

/**
 * Throws before any work when a member of a set is a file read refuses, in
 * read's words: the unreadable ones as the set's first failure (unparsed),
 * else one that holds no samples with that error itself.
 */
function checkMembers(recordingPaths, outputFolder) {
  const failures = inputFailures(recordingPaths);
  const unreadable = failures.filter(({ error }) => error.code !== codes.NO_SAMPLES);
  if (unreadable.length) throw syncFailure({ failure: 'unparsed', unparsed: unreadable }, recordingPaths, outputFolder);
  if (failures.length) throw failures[0].error;
}

/**
 * The error of a set the native side refused: a member that holds blocks but
 * no sample (the core names them) is told as read tells it, for the set
 * would name it for what it lacks; else the set's own cause.
 */
function setFailure(outcome, recordingPaths, outputFolder, format) {
  if (outcome.empty?.length) {
    return noSamples(recordingPaths[outcome.empty[0]]);
  }
  return syncFailure(outcome, recordingPaths, outputFolder, format);
}

/** Words for a set the synchronisation refused, and the cause as data. */
function refusalCause(outcome, recordingPaths) {
  const recordings = (outcome.recordings ?? []).map((i) => recordingPaths[i]);
  const list = (paths) => paths.join(', ');
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

/** Words for the cause of a failed set, and the cause as data. */
function syncCause(outcome, recordingPaths, outputFolder, extension) {
  const named = (indices = []) => indices.map((i) => recordingPaths[i]);
  const list = (paths) => paths.join(', ');
  switch (failureOf(outcome)) {
    case 'unparsed': {
      // Told only the status: the files that do not even look like recordings.
      const unparsed = outcome.unparsed ?? inputFailures(recordingPaths, { samples: false });
      const recordings = unparsed.map(({ recording, reason, code }) => {
        const entry = { path: recordingPaths[recording], reason };
        if (reason === 'unreadable' || reason === 'missing') {
          entry.code = code;
          if (entry.code === 'ENOENT') entry.reason = 'missing';
        }
        return entry;
      });
      // A file read refuses is told in read's words; the others as the native parse found them.
      const words = unparsed.map(({ message }, i) => {
        const { path: file, reason, code } = recordings[i];
        return message ?? (reason === 'missing' ? `${file} is missing`
          : reason === 'unreadable' ? `${file} cannot be read (${code})` : `${file} ${NOT_RECORDINGS[reason]?.parsed ?? NOT_RECORDINGS.unknown.parsed}`);
      });
      return [words.join('; ') || 'a recording could not be parsed', { reason: 'unreadable-recordings', recordings }];
    }
    case 'no-orientation': {
      const recordings = named(outcome.noOrientation);
      return [list(recordings) || 'each needs accelerometer and gyroscope samples', { reason: 'no-orientation', recordings }];
    }
    case 'not-synchronised':
      return refusalCause(outcome, recordingPaths);
    case 'output': {
      const recordings = named(outcome.recordings);
      const cause = { reason: outcome.output, recordings, path: outputFolder };
      if (outcome.output === 'same-name') {
        return [`${list(recordings)} would both be written to ${path.join(outputFolder, `${native.fileStem(recordings[0])}${extension}`)}; ` +
          'rename one of them', cause];
      }
      if (outcome.output === 'replaces-recording') {
        return [`${extension === '.csv' ? 'a CSV file' : `a ${extension} file`} would replace the recording ${recordings[0]}; choose another output folder`, cause];
      }
      if (outcome.output === 'device-name') {
        const file = `${native.fileStem(recordings[0])}${extension}`;
        const what = extension === '.csv' ? 'CSV file' : `${extension} file`;
        return [`the ${what} of ${recordings[0]} would be ${file}${deviceNameReason(file)}; rename that recording`, cause];
      }
      if (outcome.output === 'not-written') {
        return [`the CSV files of ${list(recordings)} could not be written into ${outputFolder}`, cause];
      }
      return [`some were not written into ${outputFolder}`, { reason: 'unknown', path: outputFolder }];
    }
    default:
      // A native module newer or older than this library: its status stays on the error for programs.
      return ['the native module gave an answer this version of kinovar does not know; reinstall kinovar so that ' +
        'its native module and library match ("npm rebuild kinovar")', { reason: 'unknown-status' }];
  }
}

/**
 * The error for a failed synchronised conversion, its cause named as far as
 * `outcome` (the native report, or the failure found before it) tells it.
 * @param {string} [format] of the set's files, for their code and the names they would have
 */
function syncFailure(outcome, recordingPaths, outputFolder, format = 'classic') {
  const extension = EXTENSIONS[format];
  if (typeof outcome === 'string') outcome = { status: outcome };
  const failure = failureOf(outcome);
  let [code, words] = SET_FAILURES[failure] ?? [codes.UNKNOWN_STATUS, 'the synchronised conversion failed'];
  if (failure === 'output') code = notWrittenCode(format);
  if (failure === 'output' && extension !== '.csv') words = `not every ${extension} file could be written`;
  const [detail, cause] = syncCause(outcome, recordingPaths, outputFolder, extension);
  // The status readAndSync2 gives, which errors have always carried (hosts compare it): the core's.
  const details = { status: outcome.status ?? statuses()[failure], cause };
  if (failure === 'unparsed') details.files = cause.recordings.map((r) => r.path);
  if (failure === 'output') details.path = outputFolder;
  return new KinovarError(`${words}: ${detail}`, code, details);
}

// How a resampled set's files were made, in the native resampler's words.
const resampled = (rate) => {
  const words = require('../model/schema').SET_WORDS;
  return { resample: { rate, grid: words.resampleGrid, method: words.resampleMethod } };
};

/**
 * The report of a native outcome whose status is "OK", naming the files
 * written (samples: those of the recordings kept in the window), and the
 * resampling when the conversion asked for it.
 */
function reportOf(outcome, recordingPaths, files, conversion) {
  if (outcome.method === undefined) {
    return { method: 'none', recordings: [], files, offsets: [], window: { start: 0, end: 0 }, samples: [], events: [], clocks: [] };
  }
  const { method, offsets, window, samples, events, clocks, clock } = outcome;
  // 'drift' only where the clocks' models placed the samples: a set aligned by offset reads as it always has.
  return { method, recordings: [...recordingPaths], files, ...(clock ? { clock } : {}), offsets, window, samples, events, clocks,
    ...(conversion?.resample ? resampled(conversion.resample) : {}),
    ...(calibrationAsked(conversion) ? { calibration: outcome.calibrations ?? [] } : {}) };
}

// Where calibration was asked for, the reports say what it did; a conversion
// that keeps the raw samples reads as it always has.
const calibrationAsked = (conversion) => conversion?.calibrate !== undefined && conversion.calibrate !== 'off';

/** { calibration } of a recording's report, when the conversion calibrated. */
function calibrationReport(conversion, calibration) {
  return calibrationAsked(conversion) && calibration ? { calibration } : {};
}

/** The files of a report, as syncRecordings has always answered, with the report beside them. */
function filesOf(report) {
  return Object.defineProperty([...report.files], 'report', { value: report, enumerable: false });
}

module.exports = {
  recordingFailure, checkRecording, noSamples, checkSamples, notWritten, notWrittenCode, qualityProblems, classicTimeWarning,
  ratesOffClock, syncFailure, setFailure, checkMembers, reportOf, filesOf, calibrationReport,
  calibrationAsked,
};
