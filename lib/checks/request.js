'use strict';
// A conversion's request, checked once where it enters (a call of the
// library, or the command line in its own words): what is asked, every
// default chosen, in plain values. The worker and the native side take it
// as it is.
const { requireString, requirePaths, conversionOptions, calibrationOf, setOptions, formatOf, libraryWords } = require('./options');
const { imuNamesOf, entitiesOf, placementsOf } = require('./names');
const { FORMATS, SET_FORMATS, BIDS } = require('../model/schema');

// What each format's file is called in messages.
const FILE_OF = { classic: 'the CSV file', plain: 'the CSV file', parquet: 'the Parquet file', opensense: 'the OpenSim table' };

// A BIDS dataset's tracked points: the file name alone, in a table's channel names.
const BIDS_NAMES = { suffix: '', holder: 'a BIDS channel name' };

/**
 * The native conversion of a format, its defaults chosen, refused where the
 * format cannot hold what is asked: the classic CSV keeps its rows, and only
 * the plain CSV and Parquet have a datetime column.
 */
function formatConversion(checked, format, words) {
  const conversion = calibrationOf(checked, format);
  if (conversion.resample !== undefined && format === 'classic') {
    throw new RangeError(`${words.about()}the classic CSV keeps its rows; resample the plain CSV, Parquet or OpenSim table ` +
      '(format \'plain\', \'parquet\' or \'opensense\')');
  }
  if (conversion.time === 'absolute' && format !== 'plain' && format !== 'parquet') {
    throw new RangeError(`${words.about()}time 'absolute' adds a datetime column to the plain CSV and Parquet, not to ` +
      `${format === 'classic' ? 'the classic CSV' : FILE_OF[format]}; choose format 'plain' or 'parquet'`);
  }
  return conversion;
}

/** A BIDS run's request: its tracked points, labels and conversion (a set's when there are several recordings). */
function bidsRequest(fn, recordingPaths, options, words) {
  const names = imuNamesOf(options, recordingPaths, words, BIDS_NAMES);
  const entities = entitiesOf(words, options);
  const placements = placementsOf(words, options.placements, names);
  const checked = calibrationOf(conversionOptions(fn, options, words), BIDS);
  const conversion = recordingPaths.length > 1 ? setOptions(checked) : checked;
  return { fn, format: BIDS, conversion, names, entities, placements };
}

/**
 * One recording converted into `target`, in the format asked for (default:
 * by the target's extension, else the plain CSV).
 * @returns {{fn: string, format: string, conversion: object}} with a BIDS run's names, entities and placements
 */
function recordingRequest(fn, recordingPath, target, options, words = libraryWords(fn)) {
  requireString(recordingPath, fn, 'recordingPath');
  requireString(target, fn, 'csvPath');
  if (options?.format === BIDS) return bidsRequest(fn, [recordingPath], options, words);
  const format = formatOf(options, target, fn, FORMATS, words, [...FORMATS, BIDS]);
  return { fn, format, conversion: formatConversion(conversionOptions(fn, options, words), format, words) };
}

/**
 * Recordings made together converted into a folder: a file each, or one
 * OpenSim table with a column per sensor (`names`).
 * @returns {{fn: string, format: string, conversion: object, names?: string[]}}
 */
function setRequest(fn, recordingPaths, folder, options, words = libraryWords(fn)) {
  requirePaths(recordingPaths, fn);
  requireString(folder, fn, 'outputFolder');
  if (options?.format === BIDS) return bidsRequest(fn, recordingPaths, options, words);
  const checked = setOptions(conversionOptions(fn, options, words));
  const format = formatOf(options, undefined, fn, SET_FORMATS, words, [...SET_FORMATS, BIDS]);
  const names = format === 'opensense' ? imuNamesOf(options, recordingPaths, words) : undefined;
  return { fn, format, conversion: formatConversion(checked, format, words), ...(names ? { names } : {}) };
}

/**
 * A batch's options, checked before its units are planned: each unit's
 * request is made as it starts, a BIDS run's labels with it.
 */
function batchRequest(fn, options, words = libraryWords(fn)) {
  if (options?.format === BIDS) return { fn, format: BIDS, conversion: conversionOptions(fn, options, words) };
  return setRequest(fn, [], '', options, words);
}

/** The request with the threads a pool grants it, unless the caller chose a number. */
const withThreads = (request, threads) => ({ ...request, conversion: { threads: Math.min(threads, 1024), ...request.conversion } });

module.exports = { recordingRequest, setRequest, batchRequest, withThreads, FILE_OF };
