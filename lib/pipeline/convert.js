'use strict';
// The one conversion path: a recording, or recordings made together, into
// any format, written by the native side: a file appears complete or not
// at all.
const path = require('node:path');
const native = require('../native/entry');
const { progressOf } = require('../checks/options');
const { recordingRequest, setRequest, FILE_OF } = require('../checks/request');
const {
  notWritten, notWrittenCode, syncFailure, setFailure, checkMembers, checkRecording, checkSamples, reportOf, filesOf, calibrationReport,
  calibrationAsked,
} = require('../checks/outcomes');
const { checkSetOpens, damaged } = require('../data/tables');
const { absoluteTime } = require('../model/time');
const output = require('../output/files');
const { convertBids } = require('./bids');
const { EXTENSIONS, SET_FILE, BIDS } = require('../model/schema');

/**
 * Converts one recording into `target` in the format asked for (default:
 * by the target's extension, else the plain CSV).
 * @returns {object} the recording's description with its quality, as readRecording answers
 */
function convertRecording(recordingPath, target, options) {
  const request = recordingRequest('readRecording', recordingPath, target, options);
  return runRecording(recordingPath, target, { ...request, onProgress: options?.onProgress });
}

/**
 * convertRecording() of a checked request (see recordingRequest), with its
 * onProgress: what a worker runs, trusting the request.
 */
function runRecording(recordingPath, target, request) {
  if (request.format === BIDS) return convertBids([recordingPath], target, request);
  const { format } = request;
  const conversion = timeOf(request.conversion, recordingPath);
  const progress = progressOf(request);
  const what = FILE_OF[format];
  checkRecording(recordingPath);
  output.checkTarget(target, {
    kind: format === 'parquet' ? 'parquet' : 'csv', what, inputs: [recordingPath], overwrite: conversion.overwrite === true,
    itself: `${target} is the recording itself: ${what.replace('the', 'a')} must not replace it`,
    details: { recording: recordingPath },
  });
  const written = (write) => {
    try {
      return write();
    } catch (error) {
      if (!error.syscall) throw error;
      throw Object.assign(output.systemError(error, target, `write ${what}`), { recording: recordingPath });
    }
  };
  if (format === 'parquet') {
    // The core streams the rows from the recording into the file, so memory does not grow with its length.
    const answer = written(() => native.convertParquet(recordingPath, target, { ...conversion, progress }, calibrationAsked(conversion)));
    if (!answer.parsed) throw damaged(recordingPath);
    checkSamples(recordingPath, answer.quality);
    progress?.(1);
    return { ...answer.info, quality: answer.quality, ...calibrationReport(conversion, answer.calibration) };
  }
  const answer = written(() => native.convertRecording(recordingPath, target, { ...conversion, format, progress }));
  if (answer === null) throw notWritten(target, what, notWrittenCode(format), { recording: recordingPath });
  // Blocks without a sample are told only by the parse: the native side then leaves the target as it was.
  checkSamples(recordingPath, answer.quality);
  return { ...answer.info, quality: answer.quality, ...calibrationReport(conversion, answer.calibration) };
}

/**
 * The conversion with absolute time made native: the zone's offset found
 * from the creation time of the recording whose time the others stand on.
 */
function timeOf(conversion, firstRecording) {
  if (conversion.time !== 'absolute') return conversion;
  checkRecording(firstRecording);
  const settings = native.readConfig(firstRecording);
  return absoluteTime(conversion, settings ? JSON.parse(settings).createdAt : '', firstRecording);
}

/**
 * The CSV or Parquet files of a set, written by the native conversion: it
 * refuses outputs that clash after the synchronisation, before writing any,
 * and the files take their names together once all are complete, a plain
 * set's set.json with them.
 * @returns {object} the set's report
 */
function writeNativeSet(recordingPaths, outputFolder, targets, conversion, format) {
  // The native conversion folds names as the file system does but cannot
  // normalise Unicode; when only that makes two outputs one, the set is
  // refused here, after what the conversion would have refused first.
  const clash = output.outputClash(targets);
  if (clash) {
    checkSetOpens(recordingPaths, conversion);
    throw syncFailure({ failure: 'output', output: 'same-name', recordings: clash }, recordingPaths, outputFolder, format);
  }
  const outcome = format === 'parquet'
    // Every file carries the set's report, so all stay open until the last table is read.
    ? native.convertParquetSet(recordingPaths, outputFolder, conversion, calibrationAsked(conversion))
    : native.convertSet(recordingPaths, outputFolder, { ...conversion, format });
  return nativeReport(outcome, recordingPaths, outputFolder, targets, conversion, format);
}

/** The report of a native set conversion's outcome, or its failure thrown. */
function nativeReport(outcome, recordingPaths, outputFolder, targets, conversion, format) {
  if (outcome.failure) {
    const failure = setFailure(outcome, recordingPaths, outputFolder, format);
    const cause = outcome.systemError;
    // A file the system refused: its code and path, with the set's status and cause.
    throw cause ? Object.assign(output.systemError(cause, cause.path, `write ${FILE_OF[format]}`),
      { status: failure.status, cause: failure.cause }) : failure;
  }
  return reportOf(outcome, recordingPaths, targets, conversion);
}

/**
 * OpenSim's table of a set, written by the native side from the sensors'
 * orientations read a piece at a time, with set.json beside it, both taking
 * their names together once the table's last row is made.
 * @returns {object} the set's report
 */
function writeOpenSenseSet(recordingPaths, outputFolder, targets, conversion, names) {
  const outcome = native.convertOpenSim(recordingPaths, outputFolder, { ...conversion, names });
  return nativeReport(outcome, recordingPaths, outputFolder, targets, conversion, 'opensense');
}

/**
 * Converts recordings made together into the folder, in the format asked
 * for: a file per recording named after it, or one OpenSim table.
 * @returns {string[]} the files written, with the set's report as their `report`
 */
function convertSet(recordingPaths, outputFolder, options) {
  const request = setRequest('syncRecordings', recordingPaths, outputFolder, options);
  return runSet(recordingPaths, outputFolder, { ...request, onProgress: options?.onProgress });
}

/** convertSet() of a checked request (see setRequest), with its onProgress: what a worker runs. */
function runSet(recordingPaths, outputFolder, request) {
  if (request.format === BIDS) return convertBids(recordingPaths, outputFolder, request);
  const { format, names } = request;
  checkMembers(recordingPaths, outputFolder);
  // The first recording's creation time stands at its first sample.
  const conversion = { ...timeOf(request.conversion, recordingPaths[0]), progress: progressOf(request) };
  const targets = format === 'opensense' ? [path.join(outputFolder, 'orientations.sto')]
    : recordingPaths.map((p) => path.join(outputFolder, `${native.fileStem(p)}${EXTENSIONS[format]}`));
  const created = output.ensureFolder(outputFolder);
  try {
    const besides = format === 'plain' || format === 'opensense' ? [path.join(outputFolder, SET_FILE)] : [];
    for (const target of [...targets, ...besides]) {
      // A target that is one of the recordings or a device name is refused in the set's order, after the synchronisation.
      if (output.namesInput(recordingPaths, target)) continue;
      output.checkExisting(target, path.extname(target).slice(1), { overwrite: conversion.overwrite === true });
    }
    const report = format === 'opensense' ? writeOpenSenseSet(recordingPaths, outputFolder, targets, conversion, names)
      : writeNativeSet(recordingPaths, outputFolder, targets, conversion, format);
    conversion.progress?.(1);
    return filesOf({ ...report, files: targets });
  } catch (error) {
    // A failed set leaves no folder behind that it made itself.
    output.removeFolders(created);
    throw error;
  }
}

module.exports = { convertRecording, convertSet, runRecording, runSet };
