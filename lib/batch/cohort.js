'use strict';
// Cohorts: a work list that every node sorts and cuts alike (plan.js), a
// ledger per shard of what each output was made from (ledgers.js), and one
// summary joined from the ledgers (summary.js). Here a shard's units are
// converted, on worker threads or this one, each recorded as it finishes.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const native = require('../native/entry');
const { WorkerPool, COMPLETED } = require('../workers/pool');
const { cores: coreCount } = require('../workers/cores');
const { runRecording, runSet } = require('../pipeline/convert');
const { epochs: writeEpochs, epochRequest } = require('../pipeline/epochs');
const { recordingRequest, setRequest, batchRequest } = require('../checks/request');
const { outputOptions, formatOf } = require('../checks/options');
const { ensureFolder } = require('../output/files');
const { abortError } = require('../errors');
const { SET_FORMATS, BIDS } = require('../model/schema');
const { LABEL_COLUMNS, PlanError, checkedShard, parseManifest, parseShard, planUnits, shardOf } = require('./plan');
const { LASTING, LEDGERS, drive, driveSync, hashFile, hashFileSync, hashOrNull, homeOf, ledgerFolder, readLedgers, recipeOf, shardName, staleness, statOf, writeLedger } = require('./ledgers');
const { COLUMNS, countsOf, mergeLedgers } = require('./summary');

// ---------------------------------------------------------------- running

/** The figures of a converted recording or set that the summary gives. */
function figures(unit, value) {
  if (unit.kind === 'set') {
    const { report } = value;
    const kept = (stream) => report.samples.reduce((sum, s) => sum + (s[stream] ?? 0), 0);
    return {
      duration: report.window.end - report.window.start, accelSamples: kept('accel'), gyroSamples: kept('gyro'), baroSamples: kept('baro'),
      syncMethod: report.method, clockPpm: Math.max(...report.clocks.map((c) => Math.abs(c.ppm))),
    };
  }
  const { streams, outOfOrder, shorterThanSettings } = value.quality;
  const each = (key) => Object.values(streams).reduce((sum, s) => sum + s[key], 0);
  return {
    duration: Math.max(...Object.values(streams).map((s) => s.last - s.first)),
    accelHz: streams.accel?.rate, gyroHz: streams.gyro?.rate, baroHz: streams.baro?.rate,
    accelSamples: streams.accel?.samples, gyroSamples: streams.gyro?.samples, baroSamples: streams.baro?.samples,
    missing: Object.values(streams).reduce((sum, s) => sum + s.gaps.missing, 0), duplicates: each('duplicates'), saturated: each('saturated'),
    outOfOrder, shortOfSettings: shorterThanSettings?.settings, calibrationErrorMg: calibrationError(value.calibration),
  };
}

/** The accelerometer's error at rest once calibrated, in mg; none without a still moment to measure it on. */
const calibrationError = (calibration) => (calibration?.accel?.windows > 0 ? calibration.accel.errorAfterMg : undefined);

/** Each recording's start (its settings' creation time) and device, from its settings block; null where none is read. */
function identities(inputs) {
  return inputs.map((input) => {
    let settings = '';
    try {
      settings = native.readConfig(input);
    } catch { /* a file that cannot be read names no device */ }
    if (!settings) return { start: null, deviceId: null };
    const { createdAt, deviceId } = JSON.parse(settings);
    return { start: createdAt ?? null, deviceId: deviceId ?? null };
  });
}

/**
 * The epoch options of a batch that writes each recording's epochs (and
 * days, for the summary's valid days), checked as epochs() checks them;
 * null when it writes none.
 */
function epochOptionsOf(fn, { epochs, epoch, nonwear, validHours }) {
  const chosen = Object.fromEntries(Object.entries({ epoch, nonwear, validHours }).filter(([, value]) => value !== undefined));
  if (epochs === undefined || epochs === false) {
    if (Object.keys(chosen).length) throw new TypeError(`${fn}: options.${Object.keys(chosen)[0]} goes with options.epochs: true`);
    return null;
  }
  if (epochs !== true) throw new TypeError(`${fn}: options.epochs must be true or false, not ${JSON.stringify(epochs)}`);
  epochRequest(fn, { ...chosen, days: 'days.csv' });
  return chosen;
}

/**
 * A shard's run, whichever way its units are converted: the records it
 * starts from, the rows it makes, the journal each finished unit goes to at
 * once, and the ledger written whole at the end.
 */
class ShardRun {
  constructor(units, { outDir, shard, rehash = false, retryFailed = false }, options) {
    // By the format's own name, so that an old name of it is the same recipe.
    const format = options.format === BIDS ? BIDS : formatOf(options, undefined, 'batch', SET_FORMATS);
    // Refused here, before any unit: each unit's request is made as it starts.
    batchRequest('batch', { ...options, format });
    this.conversion = outputOptions('batch', { ...options, format });
    this.epochs = epochOptionsOf('batch', options);
    // Epochs asked for or not, and how, decide the outputs as the options do.
    this.recipes = { recording: { ...recipeOf(this.conversion, 'recording'), ...(this.epochs ? { epochs: this.epochs } : {}) },
      set: recipeOf(this.conversion, 'set') };
    Object.assign(this, { units, outDir, shard, how: { rehash, retryFailed } });
    this.previous = readLedgers(outDir);
    this.rows = new Array(units.length);
    this.done = 0;
    this.journal = null;
  }

  /** The checks of unit k (see staleness), for a driver to run. */
  staleness(k) {
    return staleness(this.units[k], this.previous.get(this.units[k].key), this.recipes[this.units[k].kind], this.how);
  }

  /** Unit k's last record stands: a success stays current, a lasting failure stays failed. */
  stands(k) {
    const record = this.previous.get(this.units[k].key);
    this.rows[k] = { ...record, status: record.status === 'failed' ? 'failed' : 'current', shard: this.where(),
      redone: undefined, checked: new Date().toISOString() };
    this.done += 1;
    return this.rows[k];
  }

  where() {
    return `${this.shard.index}/${this.shard.count}`;
  }

  /**
   * What a conversion of unit k is handed: its recordings, where it writes
   * and its request, checked here, which the worker runs as it is.
   */
  task(k, budget) {
    const unit = this.units[k];
    // A BIDS run goes into the dataset's root with its labels; one this batch wrote before is replaced.
    const record = this.previous.get(unit.key);
    const [target, options] = unit.root === undefined ? [unit.output, budget]
      : [unit.root, { ...budget, ...unit.labels, ...(record?.outputs?.length ? { overwrite: true } : {}) }];
    if (unit.kind === 'set') return ['runSet', [unit.inputs, target, setRequest('syncRecordings', unit.inputs, target, options)]];
    const request = recordingRequest('readRecording', unit.inputs[0], target, options);
    if (unit.root === undefined) ensureFolder(path.dirname(unit.output));
    return ['runRecording', [unit.inputs[0], target, request]];
  }

  /** What makes unit k's epochs and days once its table is written; null when the batch writes none. */
  epochTask(k, budget) {
    const unit = this.units[k];
    if (!unit.epochs) return null;
    const { calibrate, time, timezone, durable, overwrite, threads } = budget;
    const options = Object.fromEntries(Object.entries({ calibrate, time, timezone, durable, overwrite, threads })
      .filter(([, value]) => value !== undefined));
    return ['epochs', [unit.inputs[0], unit.epochs.table, { ...this.epochs, ...options, days: unit.epochs.days }]];
  }

  /**
   * The record of unit k converted, from the conversion's value or error
   * (and its epochs' report) and its recordings' hashes.
   */
  record(k, why, started, inputs, hashes, { value, error, epochs }) {
    const unit = this.units[k];
    inputs.forEach((input, i) => { input.sha256 = hashes[i]; });
    let result;
    if (error) {
      const code = error.code ?? error.name;
      result = { status: 'failed', outputs: [], errorCode: code, error: error.message, lasting: LASTING.includes(code) && hashes.every(Boolean) };
    } else {
      const files = [...(unit.kind === 'set' ? [...value] : value.files ?? [unit.output]),
        ...(epochs ? [unit.epochs.table, unit.epochs.days] : [])];
      result = { status: 'converted', outputs: files.map((file) => ({ path: path.resolve(file), size: statOf(file)?.size })) };
      // A figure the report lacks leaves its cell empty; it never makes a written output a failure.
      try {
        Object.assign(result, figures(unit, value));
        // The epochs calibrate by default where a classic table stays raw.
        if (epochs) {
          Object.assign(result, { wornHours: epochs.wornHours, validDays: epochs.validDays });
          result.calibrationErrorMg ??= calibrationError(epochs.calibration);
        }
      } catch { /* left empty */ }
    }
    const finished = new Date().toISOString();
    const row = {
      key: unit.key, kind: unit.kind, shard: this.where(), node: os.hostname(), recipe: this.recipes[unit.kind], redone: why, inputs,
      identities: identities(unit.inputs), ...result, seconds: Number(process.hrtime.bigint() - started) / 1e9, finished, checked: finished,
    };
    this.journal ??= (ensureFolder(ledgerFolder(this.outDir)),
    fs.openSync(path.join(ledgerFolder(this.outDir), `${shardName(this.shard)}.journal`), 'a'));
    fs.writeSync(this.journal, `${JSON.stringify(row)}\n`);
    this.rows[k] = row;
    this.done += 1;
    return row;
  }

  /**
   * Writes the shard's ledger: the rows made, and for units a cancel left
   * unreached the records they had, so that a rerun takes them up.
   * @returns {object[]} the rows, in the order of the units
   */
  finish() {
    if (this.journal !== null) fs.closeSync(this.journal);
    const rows = Array.from(this.rows, (row, k) => row ?? this.previous.get(this.units[k].key)).filter(Boolean);
    if (rows.length) {
      ensureFolder(ledgerFolder(this.outDir));
      writeLedger(this.outDir, this.shard, rows);
    }
    // The ledger holds what the journal did; a journal left by a kill stays until then.
    fs.rmSync(path.join(ledgerFolder(this.outDir), `${shardName(this.shard)}.journal`), { force: true });
    return this.rows.filter(Boolean);
  }
}

const inputsOf = (unit) => unit.inputs.map((input) => ({ path: input, ...statOf(input) }));

/**
 * Converts the units of a shard that are not current, several at once on
 * worker threads; one that fails does not stop the others. Each finished
 * unit is journalled at once, and the shard's ledger written whole at the end.
 * @param {object[]} units the shard's, from planUnits
 * @param {{outDir: string, shard: {index: number, count: number}, jobs?: number, rehash?: boolean, retryFailed?: boolean,
 *   signal?: AbortSignal, onUnit?: (row: object, done: number, total: number) => void}} how
 *   an abort stops the units under way (their outputs as they were), starts no other, writes the ledger of
 *   what was done and rejects with an AbortError whose `rows` holds it
 * @param {object} options the conversion options, as readRecordings takes them
 * @returns {Promise<object[]>} the ledger's rows, in the order of the units
 */
async function runShard(units, how, options = {}) {
  const { jobs, signal, onUnit } = how;
  const run = new ShardRun(units, how, options);
  const todo = [];
  for (let k = 0; k < units.length && !signal?.aborted; k++) {
    const why = await drive(run.staleness(k));
    if (why) todo.push({ k, why });
    else {
      const row = run.stands(k);
      onUnit?.(row, run.done, units.length);
    }
  }
  if (todo.length && !signal?.aborted) {
    const cores = coreCount();
    const workers = new WorkerPool(Math.min(jobs ?? cores, todo.length));
    const budget = { ...run.conversion, threads: Math.max(1, Math.floor(cores / workers.size)) };
    let next = 0;
    const lane = async () => {
      while (next < todo.length && !signal?.aborted) {
        const { k, why } = todo[next++];
        const started = process.hrtime.bigint();
        const inputs = inputsOf(units[k]);
        // The hash is read beside the conversion, not before it.
        const hashes = Promise.all(units[k].inputs.map((input) => hashFile(input).catch(() => null)));
        // null: stopped, no record, its outputs as they were. The task is
        // made inside: making a unit's request may refuse it.
        const attempt = async (task) => {
          try {
            return { value: await workers.run(...task(), signal) };
          } catch (error) {
            if (signal?.aborted && !(COMPLETED in error)) return null;
            return COMPLETED in error ? { value: error[COMPLETED] } : { error };
          }
        };
        let outcome = await attempt(() => run.task(k, budget));
        const epochTask = outcome && !outcome.error && run.epochTask(k, budget);
        if (epochTask) {
          const made = await attempt(() => epochTask);
          outcome = made && (made.error ? made : { ...outcome, epochs: made.value });
        }
        if (!outcome) return;
        const row = run.record(k, why, started, inputs, await hashes, outcome);
        onUnit?.(row, run.done, units.length);
      }
    };
    try {
      await Promise.all(Array.from({ length: workers.size }, lane));
    } finally {
      await workers.close();
    }
  }
  const rows = run.finish();
  if (signal?.aborted) {
    throw Object.assign(abortError(signal, `${rows.length} of ${units.length} units done and in the ledger, the others ` +
      'left as they were for a rerun'), { rows });
  }
  return rows;
}

// The conversions a worker runs by name, run on this thread.
const HERE = { runRecording, runSet, epochs: writeEpochs };

/** runShard on this thread, a unit at a time. */
function runShardSync(units, how, options = {}) {
  const run = new ShardRun(units, how, options);
  for (let k = 0; k < units.length; k++) {
    const why = driveSync(run.staleness(k));
    if (!why) {
      const row = run.stands(k);
      how.onUnit?.(row, run.done, units.length);
      continue;
    }
    const started = process.hrtime.bigint();
    const inputs = inputsOf(units[k]);
    const attempt = (task) => {
      try {
        const [op, args] = task();
        return { value: HERE[op](...args) };
      } catch (error) {
        return { error };
      }
    };
    let outcome = attempt(() => run.task(k, run.conversion));
    const epochTask = !outcome.error && run.epochTask(k, run.conversion);
    if (epochTask) {
      const made = attempt(() => epochTask);
      outcome = made.error ? made : { ...outcome, epochs: made.value };
    }
    const hashes = units[k].inputs.map((input) => hashOrNull(hashFileSync, input));
    const row = run.record(k, why, started, inputs, hashes, outcome);
    how.onUnit?.(row, run.done, units.length);
  }
  return run.finish();
}


// ---------------------------------------------------------------- API

/**
 * The shard a caller of batch() asks for, planned, with how to run it.
 * @returns {{units: object[], total: number, how: object}}
 */
function planned(fn, inputs, outDir, options) {
  if (inputs !== undefined && (!Array.isArray(inputs) || !inputs.every((p) => typeof p === 'string'))) {
    throw new TypeError(`${fn}: inputs must be an array of recordings and folders`);
  }
  if (typeof outDir !== 'string') throw new TypeError(`${fn}: outDir must be a string, not ${typeof outDir}`);
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  const { manifest, shard, shards, jobs, rehash = false, retryFailed = false } = options;
  if (!inputs?.length && manifest === undefined) {
    throw new PlanError(`${fn}: no recording, folder or manifest given; give the study's recordings or folders, or options.manifest`);
  }
  if (jobs !== undefined && !(Number.isInteger(jobs) && jobs >= 1)) throw new TypeError(`${fn}: options.jobs must be a whole number above 0, not ${jobs}`);
  for (const [name, value] of Object.entries({ rehash, retryFailed })) {
    if (typeof value !== 'boolean') throw new TypeError(`${fn}: options.${name} must be true or false`);
  }
  const labels = Object.fromEntries(LABEL_COLUMNS.filter((name) => options[name] !== undefined).map((name) => [name, options[name]]));
  const epochs = epochOptionsOf(fn, options) !== null;
  const units = planUnits({ inputs, manifest, outDir, format: options.format, labels, epochs });
  let where = { index: 0, count: 1 };
  if (typeof shard === 'string') where = parseShard(shard, process.env, shards);
  else if (shard !== undefined) where = checkedShard(shard?.index, shard?.count, `${fn}: options.shard`);
  return { units: shardOf(units, where), total: units.length, how: { outDir: homeOf(outDir, options.format), shard: where, jobs, rehash, retryFailed } };
}

const progressOf = (onProgress, total) => onProgress && ((row, done) => onProgress({ done, total, row }));

/**
 * Converts a study into `outDir` as `kinovar batch` does, on this thread:
 * the shard asked for of the sorted work list, skipping what its ledger
 * says is current or failed for good, journalling each unit.
 * @returns {{rows: object[], counts: {converted: number, current: number, failed: number}}}
 */
function batch(inputs, outDir, options = {}) {
  const { units, how } = planned('batch', inputs, outDir, options);
  const rows = runShardSync(units, { ...how, onUnit: progressOf(options.onProgress, units.length) }, options);
  return { rows, counts: countsOf(rows) };
}

/** batch() with the units converted on worker threads, several at once; options.signal cancels it. */
async function batchAsync(inputs, outDir, options = {}) {
  const { units, how } = planned('batch', inputs, outDir, options);
  const rows = await runShard(units, { ...how, signal: options.signal, onUnit: progressOf(options.onProgress, units.length) }, options);
  return { rows, counts: countsOf(rows) };
}

module.exports = {
  PlanError, parseManifest, planUnits, homeOf, shardOf, parseShard, recipeOf, runShard, runShardSync, readLedgers, mergeLedgers, hashFile,
  countsOf, batch, batchAsync, COLUMNS, LEDGERS,
};
