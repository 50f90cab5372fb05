'use strict';
// Cohorts: a work list that every node sorts and cuts alike, so shards need
// not talk to each other; a ledger per shard that says what each output was
// made from, so a rerun redoes only what is missing, failed or out of date;
// and one summary joined from the ledgers.
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const native = require('../native/entry');
const { WorkerPool, COMPLETED } = require('../workers/pool');
const { cores: coreCount } = require('../workers/cores');
const { runRecording, runSet } = require('../pipeline/convert');
const { epochs: writeEpochs, epochRequest } = require('../pipeline/epochs');
const { recordingRequest, setRequest, batchRequest } = require('../checks/request');
const { outputOptions, setOptions, formatOf, libraryWords } = require('../checks/options');
const { writeFileAtomic, ensureFolder, outputClash, inputHead } = require('../output/files');
const { inspect: inspectFile } = require('../output/recognise');
const { KinovarError, codes, abortError } = require('../errors');
const { EXTENSIONS, SET_FORMATS, PARQUET_META, PARQUET_MAGIC, BIDS } = require('../model/schema');
const { layoutOf } = require('../pipeline/bids');
const { entitiesOf } = require('../checks/names');
const { version } = require('../../package.json');

const LEDGERS = 'ledgers';
const LEDGER_VERSION = 'kinovar ledger 1';
const SUMMARY_VERSION = 'kinovar batch summary 1';
const SUMMARY = 'summary';
const RECORDING = /\.bin$/i;
const STATUSES = ['converted', 'current', 'failed'];

/** A work list or manifest that cannot be planned: the caller's fault, not a conversion's. */
class PlanError extends KinovarError {
  constructor(message) {
    super(message, codes.WORK_LIST);
  }
}

// Failures the recordings' bytes decide: tried again only when those change
// (or when asked), since nothing else can mend them. A failure to write, or
// of the system, may pass and is always tried again.
const LASTING = [codes.FORMAT, codes.NO_SAMPLES, codes.NO_ORIENTATION, codes.NOT_SYNCHRONISABLE, codes.UNREADABLE, codes.NO_ACCELEROMETER];

// ---------------------------------------------------------------- manifest

/** The rows of a CSV text as arrays of cells, each with its line number; quoted cells may hold commas, quotes and line ends. */
function csvRows(text) {
  const rows = [];
  let row = [];
  let cell = '';
  let line = 1;
  let start = 1;
  let quoted = false;
  let i = text.charCodeAt(0) === 0xfeff ? 1 : 0;
  for (; i < text.length; i++) {
    const c = text[i];
    if (quoted) {
      if (c === '"' && text[i + 1] === '"') cell += text[++i];
      else if (c === '"') quoted = false;
      else {
        if (c === '\n') line++;
        cell += c;
      }
    } else if (c === '"' && cell === '') quoted = true;
    else if (c === ',') row.push(cell), cell = '';
    else if (c === '\n' || c === '\r') {
      if (c === '\r' && text[i + 1] === '\n') i++;
      row.push(cell);
      rows.push({ cells: row, line: start });
      row = [];
      cell = '';
      start = ++line;
    } else cell += c;
  }
  if (quoted) throw new PlanError(`line ${start}: a quoted cell is not closed`);
  if (cell !== '' || row.length) rows.push({ cells: [...row, cell], line: start });
  return rows.filter(({ cells }) => cells.some((c) => c.trim() !== ''));
}

/** A manifest's columns of a BIDS run's labels. */
const LABEL_COLUMNS = ['subject', 'session', 'task', 'run', 'acquisition', 'tracksys'];

/**
 * The entries of a manifest: a CSV with a `path` column and optional
 * `output` and `set` columns, and the labels of a BIDS run. Paths are read from the manifest's folder.
 * Every bad row is named at once, so that one pass fixes the file.
 * @returns {Array<{path: string, output?: string, set?: string, labels: object, line: number}>}
 */
function parseManifest(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (error) {
    throw new PlanError(`manifest ${file}: cannot be read (${error.code}); check the name`);
  }
  const where = `manifest ${file}`;
  let rows;
  try {
    rows = csvRows(text);
  } catch (error) {
    throw new PlanError(`${where}: ${error.message}`);
  }
  if (!rows.length) throw new PlanError(`${where} is empty; it needs a header row with a "path" column, then a row per recording`);
  const header = rows[0].cells.map((name) => name.trim().toLowerCase());
  const column = (name) => header.indexOf(name);
  if (column('path') < 0) {
    throw new PlanError(`${where} has no "path" column (its header is ${rows[0].cells.join(',')}); name the recordings' column "path"`);
  }
  const folder = path.dirname(file);
  const problems = [];
  const entries = [];
  for (const { cells, line } of rows.slice(1)) {
    // Trailing empty cells may be left out, as hand-written files do.
    if (cells.length > header.length) {
      problems.push(`line ${line}: ${cells.length} cells, the header has ${header.length}`);
      continue;
    }
    const [given, output, set] = ['path', 'output', 'set'].map((name) => (cells[column(name)] ?? '').trim());
    if (!given) {
      problems.push(`line ${line}: no path`);
      continue;
    }
    const labels = Object.fromEntries(LABEL_COLUMNS.map((name) => [name, (cells[column(name)] ?? '').trim()]).filter(([, value]) => value));
    entries.push({ path: path.resolve(folder, given), given, line, labels, ...(output ? { output } : {}), ...(set ? { set } : {}) });
  }
  if (problems.length) throw new PlanError(`${where}: ${problems.join('; ')}; fix these rows`);
  return entries;
}

// ---------------------------------------------------------------- planning

/** The recordings under a folder, at any depth, as paths relative to it. */
function recordingsUnder(folder, skip) {
  const found = [];
  const walk = (relative) => {
    for (const entry of fs.readdirSync(path.join(folder, relative), { withFileTypes: true })) {
      if (entry.name.startsWith('.')) continue;
      const name = path.join(relative, entry.name);
      if (entry.isDirectory()) {
        if (path.resolve(folder, name) !== skip) walk(name);
      } else if (RECORDING.test(entry.name)) found.push(name);
    }
  };
  walk('');
  return found;
}

// A unit's key is its output's path inside the output folder, with "/": the
// same on every node and system, and what the work list is sorted by.
const keyOf = (relative) => relative.split(path.sep).join('/');

function insideOutput(relative, what) {
  if (!relative || path.isAbsolute(relative) || relative.split(/[\\/]/).includes('..')) {
    throw new PlanError(`${what} must be a path inside the output folder, not "${relative}"`);
  }
  return relative;
}

/**
 * The sorted work list: a unit per recording, or per set of recordings
 * synchronised together.
 * @param {{inputs?: string[], manifest?: string, outDir: string, format?: string, epochs?: boolean}} plan
 *   epochs: each recording's epochs and days beside its table
 * @returns {Array<{key: string, kind: 'recording'|'set', inputs: string[], output: string,
 *   epochs?: {table: string, days: string}}>}
 */
function planUnits({ inputs = [], manifest, outDir, format: asked, labels = {}, epochs = false }) {
  if (asked === BIDS && epochs) {
    throw new PlanError('--epochs writes files beside each table, which a BIDS dataset has no place for; run kinovar batch --epochs into a folder of its own');
  }
  if (asked === BIDS) return planRuns({ inputs, manifest, outDir, labels });
  const format = formatOf({ format: asked }, undefined, 'batch', SET_FORMATS);
  const extension = EXTENSIONS[format];
  const units = [];
  const named = (stem, relativeDir) => path.join(relativeDir, `${native.fileStem(stem)}${extension}`);
  const addRecording = (input, relative) => units.push({ key: keyOf(relative), kind: 'recording', inputs: [input], output: path.join(outDir, relative) });
  if (manifest !== undefined) {
    const sets = new Map();
    for (const entry of parseManifest(manifest)) {
      if (entry.set === undefined) {
        const relative = entry.output === undefined ? named(entry.path, '') : withExtension(entry.output, extension, entry.line);
        addRecording(entry.path, insideOutput(relative, `line ${entry.line}: the output`));
      } else {
        const set = sets.get(entry.set) ?? sets.set(entry.set, { entries: [] }).get(entry.set);
        if (entry.output !== undefined && set.output !== undefined && entry.output !== set.output) {
          throw new PlanError(`manifest ${manifest}: line ${entry.line}: set ${entry.set} has two outputs, ${set.output} and ${entry.output}; give one, or none`);
        }
        set.output ??= entry.output;
        set.entries.push(entry);
      }
    }
    for (const [name, set] of sets) {
      if (set.entries.length < 2) {
        throw new PlanError(`manifest ${manifest}: line ${set.entries[0].line}: set ${name} has one recording; a set synchronises two or more`);
      }
      const relative = insideOutput(set.output ?? name, `line ${set.entries[0].line}: set ${name}'s folder`);
      units.push({ key: keyOf(relative), kind: 'set', inputs: set.entries.map((e) => e.path), output: path.join(outDir, relative) });
    }
  }
  for (const input of inputs) {
    let folder = false;
    try {
      folder = fs.statSync(input).isDirectory();
    } catch { /* a missing recording fails as its own unit */ }
    if (!folder) addRecording(path.resolve(input), named(input, ''));
    else for (const relative of recordingsUnder(input, path.resolve(outDir))) addRecording(path.resolve(input, relative), named(relative, path.dirname(relative)));
  }
  if (format === 'opensense' && units.some((u) => u.kind === 'recording')) {
    throw new PlanError(`--format opensense writes one table per set; ${units.find((u) => u.kind === 'recording').inputs[0]} is in no set`);
  }
  if (epochs) {
    const set = units.find((u) => u.kind === 'set');
    if (set) {
      throw new PlanError(`--epochs summarises single recordings, and ${set.key} is a set; run kinovar epochs on its recordings, ` +
        'or list them without a set');
    }
    for (const unit of units) {
      const stem = unit.output.slice(0, -extension.length);
      unit.epochs = { table: `${stem}.epochs${format === 'parquet' ? '.parquet' : '.csv'}`, days: `${stem}.days.csv` };
    }
  }
  checkUnique(units, outDir);
  return units.sort((a, b) => (a.key < b.key ? -1 : a.key > b.key ? 1 : 0));
}

/**
 * The work list of a BIDS dataset: a unit per run of the manifest, a
 * recording or a set, its labels from its rows over `labels`; its key the
 * run's files' name in the dataset.
 */
function planRuns({ inputs, manifest, outDir, labels }) {
  if (manifest === undefined || inputs.length) {
    throw new PlanError('--format bids takes a manifest (--manifest) whose rows give each run its subject (and task, ' +
      'session, run, acquisition where they differ): recordings or folders alone name no participant');
  }
  const runs = new Map();
  for (const entry of parseManifest(manifest)) {
    if (entry.output !== undefined) {
      throw new PlanError(`manifest ${manifest}: line ${entry.line}: a BIDS run's files are named by its labels; leave the output column empty`);
    }
    const name = entry.set ?? `line ${entry.line}`;
    const run = runs.get(name) ?? runs.set(name, { entries: [] }).get(name);
    if (run.entries.length && JSON.stringify(run.entries[0].labels) !== JSON.stringify(entry.labels)) {
      throw new PlanError(`manifest ${manifest}: line ${entry.line}: set ${entry.set} has other labels than on line ${run.entries[0].line}; give a set's rows the same`);
    }
    run.entries.push(entry);
  }
  const units = [];
  for (const [name, { entries }] of runs) {
    let entities;
    try {
      // The manifest's line names where the labels came from, not a call.
      entities = entitiesOf({ ...libraryWords('batch'), about: () => '' }, { ...labels, ...entries[0].labels });
    } catch (error) {
      throw new PlanError(`manifest ${manifest}: line ${entries[0].line}: ${error.message}`);
    }
    if (entries[0].set !== undefined && entries.length < 2) {
      throw new PlanError(`manifest ${manifest}: line ${entries[0].line}: set ${name} has one recording; a set synchronises two or more`);
    }
    const { motion } = layoutOf(outDir, entities).own;
    units.push({
      key: keyOf(path.relative(outDir, motion)).replace(/_motion\.tsv$/, ''), kind: entries.length > 1 ? 'set' : 'recording',
      inputs: entries.map((e) => e.path), output: motion, root: outDir, labels: entities,
    });
  }
  checkUnique(units, outDir);
  return units.sort((a, b) => (a.key < b.key ? -1 : a.key > b.key ? 1 : 0));
}

function withExtension(output, extension, line) {
  const given = path.extname(output).toLowerCase();
  if (!given) return `${output}${extension}`;
  if (given !== extension) throw new PlanError(`line ${line}: the output ${output} ends in ${given}, but the format writes ${extension} files`);
  return output;
}

// Two units writing one file, one recording converted twice, or an output
// where the ledgers or summary go would make shards overwrite each other.
function checkUnique(units, outDir) {
  const seen = new Map();
  for (const unit of units) {
    for (const input of unit.inputs) {
      if (seen.has(input)) throw new PlanError(`${input} is in the work list twice (${seen.get(input)} and ${unit.key}); convert each recording once`);
      seen.set(input, unit.key);
    }
    const top = unit.key.split('/')[0].toLowerCase();
    if (top === LEDGERS || top === `${SUMMARY}.csv` || top === `${SUMMARY}.parquet`) {
      throw new PlanError(`${unit.key} would be written where the batch keeps its ${top === LEDGERS ? 'ledgers' : 'summary'} in ${outDir}; rename it in a manifest`);
    }
  }
  const files = units.flatMap((unit) => [unit.output, ...(unit.epochs ? [unit.epochs.table, unit.epochs.days] : [])]
    .map((file) => ({ unit, file })));
  const clash = outputClash(files.map((f) => f.file));
  if (clash) {
    const [a, b] = clash.map((i) => files[i]);
    throw new PlanError(`${a.unit.inputs[0]} and ${b.unit.inputs[0]} would both be written to ${b.file}; rename one, or name the outputs in a manifest`);
  }
}

/**
 * The shard i of n (i from 0): every n-th unit of the sorted list from the
 * i-th, so that recordings sorted by participant or site spread evenly.
 */
const shardOf = (units, { index, count }) => units.filter((_, k) => k % count === index);

/**
 * "i/n", or "env": from SLURM's array variables (the task id as the shard of
 * `shards`, or without it the task's place in the array), or with `shards`
 * from a Kubernetes Indexed Job's index.
 */
function parseShard(text, env, shards) {
  if (text === 'env') {
    const whole = (name) => (/^\d+$/.test(env[name] ?? '') ? Number(env[name]) : undefined);
    if (whole('SLURM_ARRAY_TASK_ID') !== undefined && whole('SLURM_ARRAY_TASK_COUNT') !== undefined) {
      // With --shards the task id is the shard, so that one task resubmitted alone (--array=17) keeps its share.
      if (shards !== undefined) return checkedShard(whole('SLURM_ARRAY_TASK_ID'), shards, 'SLURM_ARRAY_TASK_ID');
      return checkedShard(whole('SLURM_ARRAY_TASK_ID') - (whole('SLURM_ARRAY_TASK_MIN') ?? 0), whole('SLURM_ARRAY_TASK_COUNT'), 'SLURM_ARRAY_TASK_ID');
    }
    if (whole('JOB_COMPLETION_INDEX') !== undefined) {
      if (shards === undefined) throw new PlanError('--shard env in a Kubernetes Indexed Job needs --shards <n>, the Job\'s completions');
      return checkedShard(whole('JOB_COMPLETION_INDEX'), shards, 'JOB_COMPLETION_INDEX');
    }
    throw new PlanError('--shard env: neither SLURM_ARRAY_TASK_ID and SLURM_ARRAY_TASK_COUNT (a SLURM job array) nor JOB_COMPLETION_INDEX ' +
      '(a Kubernetes Indexed Job) is set; give --shard i/n');
  }
  const match = /^(\d+)\/(\d+)$/.exec(text);
  if (!match) throw new PlanError(`--shard must be i/n (0/4 to 3/4 for four shards) or env, not "${text}"`);
  return checkedShard(Number(match[1]), Number(match[2]), '--shard');
}

function checkedShard(index, count, source) {
  if (!(count >= 1)) throw new PlanError(`${source}: there must be at least one shard`);
  if (!(index >= 0 && index < count)) throw new PlanError(`${source}: shard ${index} of ${count}; shards count from 0, so it must be 0 to ${count - 1}`);
  return { index, count };
}

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

// ---------------------------------------------------------------- summary

// The summary's columns: name, type, and how a ledger row gives it.
const COLUMNS = [
  ['unit', 'string', (r) => r.key], ['kind', 'string', (r) => r.kind],
  ['inputs', 'string', (r) => r.inputs.map((i) => i.path).join(';')],
  // Each recording's start and device, in the order of the inputs.
  ['start', 'string', (r) => r.identities?.map((i) => i.start ?? '').join(';')],
  ['device_id', 'string', (r) => r.identities?.map((i) => i.deviceId ?? '').join(';')],
  ['outputs', 'string', (r) => r.outputs.map((o) => o.path).join(';')],
  ['status', 'string', (r) => r.status], ['converted_because', 'string', (r) => r.redone], ['error_code', 'string', (r) => r.errorCode], ['error', 'string', (r) => r.error],
  ['duration_s', 'number', (r) => r.duration], ['accel_hz', 'number', (r) => r.accelHz], ['gyro_hz', 'number', (r) => r.gyroHz],
  ['baro_hz', 'number', (r) => r.baroHz], ['accel_samples', 'number', (r) => r.accelSamples],
  ['gyro_samples', 'number', (r) => r.gyroSamples], ['baro_samples', 'number', (r) => r.baroSamples],
  ['missing_samples', 'number', (r) => r.missing], ['duplicates', 'number', (r) => r.duplicates],
  ['saturated', 'number', (r) => r.saturated], ['blocks_out_of_order', 'number', (r) => r.outOfOrder],
  ['short_of_settings_s', 'number', (r) => r.shortOfSettings],
  // The accelerometer's distance from 1 g on its still moments once calibrated (kinovar calibrate).
  ['calibration_error_mg', 'number', (r) => r.calibrationErrorMg],
  // With --epochs: hours worn, and days worn long enough to count.
  ['worn_hours', 'number', (r) => r.wornHours], ['valid_days', 'number', (r) => r.validDays],
  ['sync_method', 'string', (r) => r.syncMethod], ['clock_ppm_max', 'number', (r) => r.clockPpm],
  ['format', 'string', (r) => r.recipe.format], ['estimator', 'string', (r) => r.recipe.orientation],
  ['clock', 'string', (r) => r.recipe.clock],
  ['input_bytes', 'number', (r) => r.inputs.reduce((sum, i) => sum + (i.size ?? 0), 0)],
  ['sha256', 'string', (r) => r.inputs.map((i) => i.sha256 ?? '').join(';')],
  ['seconds', 'number', (r) => r.seconds], ['node', 'string', (r) => r.node], ['shard', 'string', (r) => r.shard],
  ['finished', 'string', (r) => r.finished],
];

const csvCell = (value) => {
  if (value === undefined || value === null || (typeof value === 'number' && !Number.isFinite(value))) return '';
  const text = String(value);
  return /[",\r\n]/.test(text) ? `"${text.replaceAll('"', '""')}"` : text;
};

function summaryCsv(rows) {
  const lines = [COLUMNS.map(([name]) => name).join(','), ...rows.map((row) => COLUMNS.map(([, , of]) => csvCell(of(row))).join(','))];
  return `${lines.join('\n')}\n`;
}

function summaryParquet(rows) {
  const arrow = require('apache-arrow');
  const parquet = require('parquet-wasm');
  const vectors = {};
  for (const [name, type, of] of COLUMNS) {
    const values = rows.map((row) => {
      const value = of(row);
      return value === undefined || (typeof value === 'number' && !Number.isFinite(value)) ? null : value;
    });
    vectors[name] = arrow.vectorFromArray(values, type === 'number' ? new arrow.Float64() : new arrow.Utf8());
  }
  const ipc = arrow.tableToIPC(new arrow.Table(vectors), 'stream');
  const properties = new parquet.WriterPropertiesBuilder().setCompression(parquet.Compression.ZSTD)
    .setKeyValueMetadata(new Map([[PARQUET_META.format, SUMMARY_VERSION]])).build();
  return parquet.writeParquet(parquet.Table.fromIPCStream(ipc), properties);
}

// A summary's header as every version of it has it: its first columns, and
// columns named as ours are; versions add columns, so no list is fixed.
const SUMMARY_HEAD = /^unit,kind,inputs(,[a-z0-9_]+)*,status(,[a-z0-9_]+)*\n/;

// A summary is replaced only by a summary: the header it starts with, or the format its Parquet footer names.
function isSummary(file, kind) {
  const found = inspectFile(file);
  if (['missing', 'empty'].includes(found.kind)) return true;
  if (found.kind !== 'other' && found.kind !== 'output') return false;
  if (kind === 'csv') return SUMMARY_HEAD.test(inputHead(file, 4096).toString('latin1'));
  const bytes = fs.readFileSync(file);
  return bytes.subarray(0, 4).toString('latin1') === PARQUET_MAGIC && bytes.subarray(-65536).includes(SUMMARY_VERSION, 0, 'latin1');
}

/**
 * Joins the ledgers of an output folder into summary.csv and summary.parquet
 * there: the latest record of each unit, sorted by unit.
 * @param {string} outDir
 * @param {{overwrite?: boolean}} [options] overwrite: replace summary files kinovar did not write
 * @returns {{rows: object[], files: string[]}}
 */
function mergeLedgers(outDir, { overwrite = false } = {}) {
  const records = readLedgers(outDir);
  if (!records.size) {
    throw new KinovarError(`${outDir} holds no ledger (${path.join(outDir, LEDGERS)}); run "kinovar batch ... -o ${outDir}" first`,
      'ENOENT', { path: outDir });
  }
  const rows = [...records.values()].sort((a, b) => (a.key < b.key ? -1 : a.key > b.key ? 1 : 0));
  const files = [];
  for (const [kind, bytes] of [['csv', () => summaryCsv(rows)], ['parquet', () => summaryParquet(rows)]]) {
    const file = path.join(outDir, `${SUMMARY}.${kind}`);
    if (!overwrite && !isSummary(file, kind)) {
      throw new KinovarError(`${file} exists and is not a summary kinovar wrote: it will not replace it. Move it, or replace it on ` +
        'purpose with --force', codes.NOT_OURS, { path: file });
    }
    writeFileAtomic(file, bytes(), 'the summary');
    files.push(file);
  }
  return { rows, files };
}

// ---------------------------------------------------------------- API

/** The units of each status among a shard's rows. */
const countsOf = (rows) => Object.fromEntries(STATUSES.map((s) => [s, rows.filter((r) => r.status === s).length]));

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
