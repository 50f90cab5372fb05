'use strict';
// What each output was made from: a ledger per shard records every unit's
// inputs (size, time, SHA-256), recipe and outcome, so that a rerun redoes
// only what is missing, failed or out of date.
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { setOptions } = require('../checks/options');
const { writeFileAtomic } = require('../output/files');
const { inspect: inspectFile } = require('../output/recognise');
const { KinovarError, codes } = require('../errors');
const { BIDS } = require('../model/schema');
const { version } = require('../../package.json');

const LEDGERS = 'ledgers';
const LEDGER_VERSION = 'kinovar ledger 1';

const STATUSES = ['converted', 'current', 'failed'];

// (or when asked), since nothing else can mend them. A failure to write, or
// of the system, may pass and is always tried again.
const LASTING = [codes.FORMAT, codes.NO_SAMPLES, codes.NO_ORIENTATION, codes.NOT_SYNCHRONISABLE, codes.UNREADABLE, codes.NO_ACCELEROMETER];

// ---------------------------------------------------------------- provenance

/** The SHA-256 of a file's content, read in pieces. */
function hashFile(file) {
  return new Promise((resolve, reject) => {
    const hash = crypto.createHash('sha256');
    fs.createReadStream(file, { highWaterMark: 1 << 20 }).on('error', reject).on('data', (chunk) => hash.update(chunk))
      .on('end', () => resolve(hash.digest('hex')));
  });
}

/** hashFile on this thread, for the synchronous batch. */
function hashFileSync(file) {
  const hash = crypto.createHash('sha256');
  const fd = fs.openSync(file, 'r');
  try {
    const piece = Buffer.alloc(1 << 20);
    for (let n; (n = fs.readSync(fd, piece)) > 0;) hash.update(piece.subarray(0, n));
  } finally {
    fs.closeSync(fd);
  }
  return hash.digest('hex');
}

// The checks below yield each file whose hash they need and go on with it:
// one logic, driven on this thread or with the hashes read beside other work.
function driveSync(steps) {
  let step = steps.next();
  while (!step.done) step = steps.next(hashOrNull(hashFileSync, step.value));
  return step.value;
}
async function drive(steps) {
  let step = steps.next();
  while (!step.done) step = steps.next(await hashFile(step.value).catch(() => null));
  return step.value;
}
function hashOrNull(hash, file) {
  try {
    return hash(file);
  } catch {
    return null;
  }
}

function statOf(file) {
  try {
    const { size, mtimeMs } = fs.statSync(file);
    return { size, mtimeMs };
  } catch {
    return null;
  }
}

/**
 * What an output is made from besides its recordings: the options that
 * change its bytes, and the kinovar that wrote it. Threads, jobs, overwrite,
 * durable and the sizes of pieces change no byte; the clock changes a set's
 * only, whose default is named so that a new default redoes it.
 */
function recipeOf(options, kind) {
  const { threads, overwrite, durable, rowGroupRows, chunkSamples, clock, ...kept } = options;
  if (kind === 'set') kept.clock = setOptions(options).clock;
  return { ...Object.fromEntries(Object.keys(kept).sort().map((key) => [key, kept[key]])), kinovar: version };
}

/**
 * Why a unit must be converted again, or '' when its last record stands:
 * the same recordings (same size and time, else the same content), the same
 * recipe, a success or a lasting failure, and every output still there at
 * its size. Yields the files to hash.
 */
function* staleness(unit, record, recipe, { rehash, retryFailed }) {
  if (!record) return 'not converted yet';
  if (record.status === 'failed' && (retryFailed || !record.lasting)) return 'failed before';
  if (JSON.stringify(record.recipe) !== JSON.stringify(recipe)) return 'other options';
  if (record.inputs.length !== unit.inputs.length || record.inputs.some((input, i) => input.path !== unit.inputs[i])) return 'other recordings';
  for (const input of record.inputs) {
    const now = statOf(input.path);
    if (!now) return 'recording missing';
    if (now.size !== input.size || !input.sha256) return 'recording changed';
    // A copy or a touch changes the time only: the content says whether it changed.
    if (rehash || now.mtimeMs !== input.mtimeMs) {
      if ((yield input.path) !== input.sha256) return 'recording changed';
      input.mtimeMs = now.mtimeMs;
    }
  }
  for (const output of record.outputs) if (statOf(output.path)?.size !== output.size) return 'output missing';
  return '';
}

// ---------------------------------------------------------------- ledgers

const ledgerFolder = (outDir) => path.join(outDir, LEDGERS);

/**
 * Where a batch keeps its ledgers and summary: its output folder, or in a
 * BIDS dataset a hidden folder of it, which the dataset's validator passes over.
 */
const homeOf = (outDir, format) => (format === BIDS || fs.existsSync(ledgerFolder(path.join(outDir, HIDDEN_HOME)))
  ? path.join(outDir, HIDDEN_HOME) : outDir);
const HIDDEN_HOME = '.kinovar';
const shardName = ({ index, count }) => `shard-${index}-of-${count}`;

/**
 * Every record in the ledgers of a folder, the one last checked of each unit: a
 * ledger per shard of every run, and the journal of a shard cut off before
 * it wrote its ledger.
 * @returns {Map<string, object>} by unit key
 */
function readLedgers(outDir) {
  const folder = ledgerFolder(outDir);
  let names;
  try {
    names = fs.readdirSync(folder).sort();
  } catch {
    return new Map();
  }
  const latest = new Map();
  const take = (row) => {
    const held = latest.get(row?.key);
    if (row?.key && STATUSES.includes(row.status) && (!held || held.checked <= row.checked)) latest.set(row.key, row);
  };
  for (const name of names) {
    const file = path.join(folder, name);
    if (name.endsWith('.json')) {
      let ledger;
      try {
        ledger = JSON.parse(fs.readFileSync(file, 'utf8'));
      } catch {
        continue;  // not a ledger (or half of one a copy tool left): its units are redone
      }
      if (ledger?.format === LEDGER_VERSION && Array.isArray(ledger.rows)) ledger.rows.forEach(take);
    } else if (name.endsWith('.journal')) {
      // A line cut by a kill is no record.
      for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
        try { take(JSON.parse(line)); } catch { /* cut */ }
      }
    }
  }
  return latest;
}

function writeLedger(outDir, shard, rows) {
  const file = path.join(ledgerFolder(outDir), `${shardName(shard)}.json`);
  const found = inspectFile(file);
  if (found.kind !== 'missing' && !isLedger(file)) {
    throw new KinovarError(`${file} is not a ledger of kinovar batch: it will not replace it; move it out of ${ledgerFolder(outDir)}`,
      codes.NOT_OURS, { path: file });
  }
  const ledger = { format: LEDGER_VERSION, shard: `${shard.index}/${shard.count}`, rows };
  writeFileAtomic(file, `${JSON.stringify(ledger, null, 1)}\n`, 'the ledger');
}

function isLedger(file) {
  try {
    const fd = fs.openSync(file, 'r');
    try {
      const head = Buffer.alloc(64);
      return /^\{\s*"format":\s*"kinovar ledger 1"/.test(head.subarray(0, fs.readSync(fd, head, 0, 64, 0)).toString('latin1'));
    } finally {
      fs.closeSync(fd);
    }
  } catch {
    return false;
  }
}

module.exports = { LASTING, LEDGERS, STATUSES, drive, driveSync, hashFile, hashFileSync, hashOrNull, homeOf, ledgerFolder, readLedgers, recipeOf, shardName, staleness, statOf, writeLedger };
