'use strict';
// Promise versions of the API, run on worker threads so that a long
// conversion never blocks the host's event loop.
const fs = require('node:fs');
const path = require('node:path');
const native = require('./native/entry');
const { WorkerPool, COMPLETED } = require('./workers/pool');
const { cores } = require('./workers/cores');
const { formatOf } = require('./checks/options');
const { loadRequest, loadSetRequest } = require('./data/tables');
const { recordingRequest, setRequest, withThreads } = require('./checks/request');
const { epochsCall } = require('./pipeline/epochs');
const { KinovarError, codes, abortError } = require('./errors');
const { ensureFolder, outputClash } = require('./output/files');
const { EXTENSIONS } = require('./model/schema');

let shared;
const pool = () => (shared ??= new WorkerPool(Math.min(4, cores()), cores()));

// The options a worker gets: plain values only (a signal stays here).
const passed = ({ overwrite, from } = {}) => ({ overwrite, from });
const budgetedRequest = (args, request) => (threads) => [...args, withThreads(request, threads)];

// What an abort leaves of one output: stopped, the target as it was; complete, the new one.
const leftOf = (target) => (complete) => (complete ? `${target} was complete before the abort took effect and stays`
  : `${target} ${fs.existsSync(target) ? 'left as it was' : 'not written'}, no unfinished copy kept`);
const setLeft = (folder) => (complete) => (complete ? `the set's files in ${folder} were complete before the abort took effect and stay`
  : `no file of the set written in ${folder}, no unfinished copy kept`);

/**
 * @param {string} recordingPath
 * @param {string} csvPath
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: string, overwrite?: boolean, signal?: AbortSignal}} [options]
 * @returns {Promise<object>} as readRecording
 */
async function readRecording(recordingPath, csvPath, options = {}) {
  const request = recordingRequest('readRecording', recordingPath, csvPath, options);
  return pool().run('runRecording', budgetedRequest([recordingPath, csvPath], request), options.signal, options.onProgress,
    leftOf(csvPath));
}

/**
 * @param {string[]} recordingPaths
 * @param {string} outputFolder
 * @param {{orientation?: 'classic'|'accurate'|'none', format?: string, imuNames?: string[], overwrite?: boolean,
 *   signal?: AbortSignal}} [options]
 * @returns {Promise<string[]>} as syncRecordings
 */
async function syncRecordings(recordingPaths, outputFolder, options = {}) {
  const request = setRequest('syncRecordings', recordingPaths, outputFolder, options);
  return pool().run('runSet', budgetedRequest([recordingPaths, outputFolder], request), options.signal, options.onProgress,
    setLeft(outputFolder));
}

/**
 * @param {string} recordingPath
 * @param {string} target .csv or .parquet
 * @param {object} [options] as epochs, with signal
 * @returns {Promise<object>} as epochs
 */
async function epochs(recordingPath, target, options = {}) {
  const call = epochsCall(recordingPath, target, options);
  return pool().run('runEpochs', budgetedRequest([recordingPath, target], call), options.signal, options.onProgress,
    leftOf(target));
}

/** @returns {Promise<object>} as inspect */
function inspect(recordingPath, options = {}) {
  return pool().run('inspect', [recordingPath], options.signal);
}

/** @returns {Promise<object>} as calibrate */
function calibrate(recordingPath, options = {}) {
  const { signal, ...rest } = options;
  return pool().run('calibrate', [recordingPath, rest], signal);
}

/** @returns {Promise<object>} as load, computed on a worker; the arrays move to this thread */
async function load(recordingPath, options = {}) {
  return pool().run('runLoad', budgetedRequest([recordingPath], loadRequest(recordingPath, options)), options.signal);
}

/** @returns {Promise<object>} as loadSet */
async function loadSet(recordingPaths, options = {}) {
  return pool().run('runLoadSet', budgetedRequest([recordingPaths], loadSetRequest(recordingPaths, options)), options.signal);
}

/** @returns {Promise<object>} as readSettings */
function readSettings(file, options = {}) {
  return pool().run('readSettings', [file], options.signal);
}

/** @returns {Promise<number>} as readDeviceId */
function readDeviceId(file, options = {}) {
  return pool().run('readDeviceId', [file], options.signal);
}

/** @returns {Promise<void>} as writeSettings */
function writeSettings(file, settings, options = {}) {
  return pool().run('writeSettings', [file, settings, passed(options)], options.signal);
}

// The options a worker can be handed: all but the signal and the callback, which stay here.
const plain = ({ signal, onProgress, ...rest } = {}) => rest;

/** @returns {Promise<{bytes: number, inputKind: string}>} as writeViewPage */
function writeViewPage(input, page, options = {}) {
  return pool().run('writeViewPage', [input, page, plain(options)], options.signal, options.onProgress, leftOf(page));
}

/** @returns {Promise<string>} as generateRecording */
function generateRecording(file, options = {}) {
  return pool().run('generateRecording', [file, plain(options)], options.signal);
}

/** @returns {Promise<string[]>} as generateSession */
function generateSession(folder, options = {}) {
  return pool().run('generateSession', [folder, plain(options)], options.signal);
}

// A job names its file `output`, and `csv` as well, the name it had when every output was one.
const job = (recording, output) => ({ recording, output, csv: output });

/**
 * Where each recording of a batch goes: items given as paths get
 * `<outDir or their own folder>/<name>.csv` (or their format's extension).
 */
function planBatch(items, outDir, extension = '.csv') {
  if (!Array.isArray(items)) throw new TypeError('readRecordings: expected an array of recordings');
  const jobs = items.map((item) => {
    if (typeof item === 'string') return job(item, path.join(outDir ?? path.dirname(item), `${native.fileStem(item)}${extension}`));
    const output = item?.output ?? item?.csv;
    if (item && typeof item.recording === 'string' && typeof output === 'string') return job(item.recording, output);
    throw new TypeError('readRecordings: each item must be a path or {recording, output}');
  });
  const clash = outputClash(jobs.map((j) => j.output));
  if (clash) {
    const [first, second] = clash.map((i) => jobs[i]);
    throw new KinovarError(`${first.recording} and ${second.recording} would both be written to ${second.output}; rename one of them`,
      codes.DUPLICATE_OUTPUT, { path: second.output });
  }
  return jobs;
}

/**
 * Converts many recordings, several at once. A failing file does not stop
 * the others: every result says whether its file was written.
 * @param {Array<string|{recording: string, output: string}>} items ({recording, csv} as well)
 * @param {{outDir?: string, jobs?: number, orientation?: 'classic'|'accurate'|'none', overwrite?: boolean,
 *   signal?: AbortSignal,
 *   onProgress?: (progress: {done: number, total: number, result?: object, recording?: string, fraction?: number}) => void}} [options]
 *   onProgress is called once a file is done, with its result, and while one converts, with its
 *   recording and the fraction of it converted
 *   outDir is created when missing, before any recording is read; overwrite
 *   replaces files that are not CSV files of ours
 *   an abort stops the files under way (their targets as they were), starts
 *   no other and rejects with an AbortError whose `results` holds what was finished
 * @returns {Promise<Array<{recording: string, output: string, csv: string, ok: boolean, info?: object, error?: Error}>>}
 *   in the order of the items; `csv` is `output` under its former name
 */
async function readRecordings(items, options = {}) {
  const { outDir, signal, onProgress } = options;
  const jobs = planBatch(items, outDir, EXTENSIONS[formatOf(options, undefined, 'readRecordings')]);
  const requests = jobs.map((j) => recordingRequest('readRecordings', j.recording, j.output, options));
  if (signal?.aborted) throw Object.assign(abortError(signal), { results: [] });
  if (outDir !== undefined && jobs.length) ensureFolder(outDir);
  const results = new Array(jobs.length);
  const workers = new WorkerPool(Math.min(options.jobs ?? cores(), Math.max(1, jobs.length)));
  // Conversions side by side share the cores: a batch never keeps more threads busy than there are.
  const threads = Math.max(1, Math.floor(cores() / workers.size));
  let next = 0;
  let done = 0;
  const lane = async () => {
    while (next < jobs.length && !signal?.aborted) {
      const index = next++;
      const planned = jobs[index];
      let result;
      try {
        const converting = onProgress && (({ fraction }) => onProgress({ done, total: jobs.length, recording: planned.recording, fraction }));
        result = { ...planned, ok: true, info: await workers.run('runRecording',
          [planned.recording, planned.output, withThreads(requests[index], threads)], signal, converting) };
      } catch (error) {
        if (signal?.aborted && !(COMPLETED in error)) return;  // stopped: not among the results, its target as it was
        result = COMPLETED in error ? { ...planned, ok: true, info: error[COMPLETED] } : { ...planned, ok: false, error };
      }
      results[index] = result;
      done += 1;
      onProgress?.({ done, total: jobs.length, result });
    }
  };
  try {
    await Promise.all(Array.from({ length: workers.size }, lane));
  } finally {
    await workers.close();
  }
  if (signal?.aborted) {
    const finished = results.filter(Boolean);
    const written = finished.filter((r) => r.ok).length;
    throw Object.assign(abortError(signal, `${written} of ${jobs.length} files written, the others left as they were, ` +
      'no unfinished copy kept'), { results: finished });
  }
  return results;
}

/**
 * batch() with several units converted at once on worker threads.
 * @param {string[]} inputs
 * @param {string} outDir
 * @param {object} [options] as batch(), with jobs (units at once; default: the cores) and signal: an abort
 *   stops the units under way (their outputs as they were), writes the ledger of what was done and
 *   rejects with an AbortError whose `rows` holds it
 * @returns {Promise<{rows: object[], counts: object}>}
 */
function batch(inputs, outDir, options = {}) {
  return require('./batch/cohort').batchAsync(inputs, outDir, options);
}

module.exports = {
  batch,
  readRecording, epochs, inspect, calibrate, syncRecordings, load, loadSet, readSettings, readDeviceId, writeSettings, readRecordings, writeViewPage,
  generateRecording, generateSession,
};
