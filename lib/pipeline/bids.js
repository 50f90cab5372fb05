'use strict';
// A recording, or a set of recordings made together, as one tracking system
// of a BIDS motion dataset, written by the native side: every file of the
// run takes its name with the others once all are complete, so a failure
// leaves the dataset as it was. Here: the host's part, the zone the
// recording's creation time stands in.
const native = require('../native/entry');
const output = require('../output/files');
const { progressOf } = require('../checks/options');
const { checkMembers, checkRecording, setFailure, reportOf, filesOf, calibrationReport } = require('../checks/outcomes');
const { absoluteTime } = require('../model/time');
const { codes } = require('../errors');
const { version } = require('../../package.json');

/** The settings of a recording, for the device's identity, or null when it holds none. */
function settingsOf(file) {
  const text = native.readConfig(file);
  return text ? JSON.parse(text) : null;
}

/**
 * A system call the native side met, worded as Node's own: a file of the
 * dataset that could not be read, or one step of the writing.
 */
function systemFailure(failure, root) {
  const cause = { ...output.systemCause(failure), path: failure.path };
  let error = failure.reading ? output.inputError(cause, failure.path)
    : failure.action ? output.systemError(cause, failure.path, failure.action) : cause;
  if (failure.writing) error = output.systemError(error, error.path ?? root, 'write the BIDS dataset');
  return error;
}

/**
 * Writes recordings as a tracking system of the BIDS dataset at `root`.
 * @param {string[]} recordingPaths one recording, or a set made together
 * @param {string} root the dataset's root folder
 * @param {object} request checked (see recordingRequest): the conversion, the tracked points (`names`),
 *   the labels (`entities`) and `placements`, with the entry's name `fn` and its onProgress
 * @returns {string[]|object} a set's files, with its report as `report`; for one recording its
 *   description, as readRecording answers, with `files`
 */
function convertBids(recordingPaths, root, request) {
  const { fn, names, entities, placements, conversion } = request;
  const isSet = recordingPaths.length > 1;
  if (isSet) checkMembers(recordingPaths, root);
  else recordingPaths.forEach((file) => checkRecording(file));
  const createdAt = settingsOf(recordingPaths[0])?.createdAt ?? '';
  let timed;
  try {
    timed = absoluteTime(conversion, createdAt, recordingPaths[0]);
  } catch (error) {
    // Without a creation date the rows keep their times and acq_time is n/a.
    if (error.code !== codes.FORMAT) throw error;
    timed = { ...conversion, time: 'relative' };
  }
  const outcome = native.writeBids(recordingPaths, root, {
    ...timed, progress: progressOf(request), names, placements: names.map((name) => placements[name] ?? ''),
    entities, overwrite: conversion.overwrite === true, fn, version,
  });
  if (outcome.systemError) throw systemFailure(outcome.systemError, root);
  if (isSet && outcome.failure) throw setFailure(outcome, recordingPaths);
  if (isSet) return filesOf({ ...reportOf(outcome, recordingPaths, [], conversion), files: outcome.files });
  const info = { ...outcome.info, quality: outcome.quality, ...calibrationReport(conversion, outcome.calibration) };
  return { ...info, files: outcome.files };
}

/** The run's own files by kind ({motion, channels, ...}) under `root`. */
const ownFiles = (root, entities) => native.bidsLayout(root, entities);

module.exports = { convertBids, ownFiles };
