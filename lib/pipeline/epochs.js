'use strict';
// Epoch summaries of a recording (activity, clipping, non-wear) and its days,
// as a plain CSV or a Parquet file. The rows are made natively in one
// streaming pass; here the options are checked, the local days found (the
// zone rules are JavaScript's) and the files written, together, through the
// output layer.
const path = require('node:path');
const native = require('../native/entry');
const { requireString, conversionOptions, calibrationOf, progressOf, libraryWords } = require('../checks/options');
const { absoluteTime, offsetAt } = require('../model/time');
const { tableWriter, tablePieceRows } = require('../parquet/file');
const { datetimes } = require('../data/tables');
const output = require('../output/files');
const { calibrationReport, checkRecording, checkSamples } = require('../checks/outcomes');
const { KinovarError, codes } = require('../errors');

/** The epoch's length in seconds when none is asked for, and its bounds. */
const DEFAULT_EPOCH = 5;
const EPOCH_RANGE = [1, 3600];
/** Non-wear after van Hees et al. (2013): SD and range in mg, the window in minutes. */
const NONWEAR = Object.freeze({ sdMg: 13, rangeMg: 150, windowMinutes: 60 });
/** Hours worn that make a day valid. */
const VALID_HOURS = 16;
const DAY_SECONDS = 86400;

const FORMAT_OF = { '.csv': 'plain', '.parquet': 'parquet' };

/**
 * The epoch options checked, as the native side takes them.
 * @param {string} fn
 * @param {{epoch?: number, nonwear?: false | {sdMg?: number, rangeMg?: number, windowMinutes?: number},
 *   days?: string, validHours?: number}} [options]
 * @param {object} [words] how the entry names its options (libraryWords)
 */
function epochRequest(fn, options = {}, words = libraryWords(fn)) {
  const { epoch = DEFAULT_EPOCH, nonwear = {}, days, validHours = VALID_HOURS } = options;
  if (typeof epoch !== 'number' || !(epoch >= EPOCH_RANGE[0] && epoch <= EPOCH_RANGE[1])) {
    throw new RangeError(`${words.option('epoch')} must be seconds from ${EPOCH_RANGE[0]} to ${EPOCH_RANGE[1]}, not ` +
      `${words.shown(epoch, JSON.stringify(epoch))}; the field's usual epochs are 5, 30 and 60 s`);
  }
  const request = { epoch, align: options.time === 'absolute' };
  if (nonwear === false) {
    request.nonwear = { on: false };
  } else if (nonwear !== null && typeof nonwear === 'object') {
    const rule = { ...NONWEAR, ...nonwear };
    for (const [key, value] of Object.entries(rule)) {
      if (!(key in NONWEAR)) throw new TypeError(`${words.option('nonwear')} has no ${key}; it takes ${Object.keys(NONWEAR).join(', ')}`);
      if (typeof value !== 'number' || !(value > 0)) {
        throw new RangeError(`${words.option(`nonwear.${key}`)} must be a number above 0, not ${words.shown(value, JSON.stringify(value))}`);
      }
    }
    if (!Number.isInteger(rule.windowMinutes) || rule.windowMinutes > 1440) {
      throw new RangeError(`${words.option('nonwear.windowMinutes')} must be whole minutes from 1 to 1440, ` +
        `not ${words.shown(rule.windowMinutes, rule.windowMinutes)}`);
    }
    request.nonwear = { on: true, sd: rule.sdMg / 1000, range: rule.rangeMg / 1000, window: rule.windowMinutes };
  } else {
    throw new TypeError(`${words.option('nonwear')} must be false (no non-wear) or an object of thresholds, not ${JSON.stringify(nonwear)}`);
  }
  if (days !== undefined) {
    requireString(days, fn, 'options.days');
    if (!Number.isInteger(DAY_SECONDS / epoch)) {
      throw new RangeError(`${words.option('epoch')} (${epoch} s) must divide a day (86400 s) evenly when days are asked, ` +
        'so that no epoch straddles midnight; choose 5, 10, 15, 30 or 60 s, for instance');
    }
    if (typeof validHours !== 'number' || !(validHours >= 0 && validHours <= 25)) {
      throw new RangeError(`${words.option('validHours')} must be hours from 0 to 25, not ${words.shown(validHours, JSON.stringify(validHours))}`);
    }
    request.days = { validHours };
  }
  return request;
}

/** The output's format by its extension: a plain CSV or Parquet. */
function epochFormat(fn, target, name = 'target') {
  const format = FORMAT_OF[path.extname(target).toLowerCase()];
  if (!format) throw new RangeError(`${fn}: ${name} ${target} must end in .csv or .parquet, the formats epochs are written in`);
  return format;
}

function refusal(recordingPath, why) {
  if (why === 'noAccel') {
    return new KinovarError(`${recordingPath}: has no accelerometer samples, which every epoch metric is made from; ` +
      'epochs need a recording whose accelerometer was on', codes.NO_ACCELEROMETER, { path: recordingPath });
  }
  return new KinovarError(`${recordingPath}: damaged recording (a data block could not be read); ` +
    'readRecording still converts what it holds', codes.FORMAT, { path: recordingPath });
}

/**
 * An epochs call checked, as a worker takes it: the epoch rule, the output's
 * format, the conversion and the days' file.
 * @returns {{epoch: object, format: string, conversion: object, days?: string}}
 */
function epochsCall(recordingPath, target, options = {}, words = libraryWords('epochs')) {
  const fn = 'epochs';
  requireString(recordingPath, fn, 'recordingPath');
  requireString(target, fn, 'target');
  const epoch = epochRequest(fn, options, words);
  const format = epochFormat(fn, target);
  const conversion = calibrationOf(conversionOptions(fn, { ...options, epoch: undefined }, words));
  if (options.days !== undefined && epochFormat(fn, options.days, 'options.days') !== 'plain') {
    throw new RangeError(`${fn}: options.days ${options.days} must be a .csv file`);
  }
  return { epoch, format, conversion, ...(options.days === undefined ? {} : { days: options.days }) };
}

/**
 * Epoch summaries of a recording into `target` (.csv: a plain CSV; .parquet).
 * @param {string} recordingPath
 * @param {string} target
 * @param {object} [options] epoch (s, default 5), nonwear (false, or {sdMg, rangeMg, windowMinutes}), days (a
 *   .csv path for one row per day), validHours (16), time ('absolute': a datetime column and epochs at whole clock
 *   times), timezone (IANA: local days), overwrite, durable, onProgress
 * @returns {object} the recording's info and quality, `epochs` (count), worn and not-worn hours, valid days, `days`
 */
function epochs(recordingPath, target, options = {}) {
  return runEpochs(recordingPath, target, { ...epochsCall(recordingPath, target, options), onProgress: options.onProgress });
}

/** epochs() of a checked call (see epochsCall), with its onProgress: what a worker runs, trusting it. */
function runEpochs(recordingPath, target, { epoch: request, format, conversion, days, onProgress }) {
  const fn = 'epochs';
  const progress = progressOf({ onProgress });
  checkRecording(recordingPath);
  const targets = days === undefined ? [target] : [target, days];
  if (targets.length === 2 && output.outputClash(targets)) {
    throw new KinovarError(`${fn}: the epochs and the days would both be ${target}; give the days a name of their own`,
      codes.DUPLICATE_OUTPUT, { path: target });
  }
  for (const file of targets) {
    output.checkTarget(file, {
      kind: format === 'parquet' && file === target ? 'parquet' : 'csv', what: 'the epochs file', inputs: [recordingPath],
      overwrite: conversion.overwrite === true, details: { recording: recordingPath },
    });
  }
  let timing = conversion;
  if (conversion.time === 'absolute') {
    const settings = native.readConfig(recordingPath);
    timing = absoluteTime(conversion, settings ? JSON.parse(settings).createdAt : '', recordingPath);
  }
  const opened = native.openEpochs(recordingPath, timing, request);
  try {
    if (opened.refusal) throw refusal(recordingPath, opened.refusal);
    checkSamples(recordingPath, opened.quality);
    // Local days: the core finds them over the recording's span, the zone's offsets JavaScript's.
    if (days !== undefined && conversion.timezone !== undefined) {
      native.planDays(opened.handle, (seconds) => offsetAt(conversion.timezone, seconds * 1000));
    }
    const written = (write) => {
      try {
        return write();
      } catch (error) {
        if (!error.syscall) throw error;
        throw Object.assign(output.systemError(error, error.path ?? target, 'write the epochs file'), { recording: recordingPath });
      }
    };
    const datetime = timing.time === 'absolute';
    written(() => output.writeInPieces(targets, (append) => {
      if (format === 'plain') {
        for (let text, first = true; (text = native.nextEpochText(opened.handle, 1 << 12, first, timing)) !== null; first = false) {
          append(0, text);
          progress?.(native.epochProgress(opened.handle));
        }
      } else {
        writeParquet((bytes) => append(0, bytes),
          { ...opened, utcOffset: timing.utcOffset, calibrated: calibrationReport(conversion, opened.calibration) }, datetime, progress);
      }
      if (targets.length === 2) append(1, native.dayText(opened.handle));
    }, { durable: conversion.durable === true }));
    progress?.(1);
    const summary = native.epochSummary(opened.handle);
    const { days: dayRows, ...totals } = summary;
    return { ...opened.info, quality: opened.quality, ...calibrationReport(conversion, opened.calibration), ...totals,
      ...(days === undefined ? {} : { days: dayRows }) };
  } finally {
    native.closeEpochs(opened.handle);
  }
}

/** The epochs as Parquet: a row group at a time, the recording's description in the footer. */
function writeParquet(write, opened, datetime, progress) {
  const columns = [{ name: 'time', unit: 's', type: 'double' }];
  if (datetime) columns.push({ name: 'datetime', unit: '', type: 'timestamp' });
  for (const { name, unit, integer } of opened.columns) columns.push({ name, unit, type: integer ? 'int32' : 'double' });
  const writer = tableWriter(write, { columns, utcOffset: opened.utcOffset });
  const store = {};
  for (let piece; (piece = native.nextEpochs(opened.handle, tablePieceRows(writer.rowGroupRows), store));) {
    const values = [{ values: piece.time, valid: null }];
    if (datetime) values.push({ values: datetimes(piece.time, opened.timeBase), valid: null });
    piece.columns.forEach((column, c) => values.push(opened.columns[c].integer
      ? { values: Int32Array.from(column.values.subarray(0, piece.rows)), valid: column.valid } : column));
    writer.append({ from: 0, to: piece.rows, columns: values });
    progress?.(native.epochProgress(opened.handle));
  }
  writer.finish({ info: { ...opened.info, quality: opened.quality, ...opened.calibrated } });
}

/** Throws what epochs() would throw for these options, before any file is looked at. */
function checkEpochOptions(options, words = libraryWords('epochs')) {
  epochRequest('epochs', options, words);
  conversionOptions('epochs', { ...options, epoch: undefined }, words);
}

module.exports = { epochs, epochsCall, runEpochs, epochRequest, checkEpochOptions, DEFAULT_EPOCH, NONWEAR, VALID_HOURS };
