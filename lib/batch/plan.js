'use strict';
// The work list of a batch: recordings, sets and BIDS runs from folders or
// a manifest, each unit with its outputs, sorted so that every node cuts the
// same shards without talking to the others.
const fs = require('node:fs');
const path = require('node:path');
const native = require('../native/entry');
const { formatOf, libraryWords } = require('../checks/options');
const { outputClash } = require('../output/files');
const { KinovarError, codes } = require('../errors');
const { EXTENSIONS, SET_FORMATS, BIDS } = require('../model/schema');
const { ownFiles } = require('../pipeline/bids');
const { entitiesOf } = require('../checks/names');
const { LEDGERS } = require('./ledgers');
const { SUMMARY } = require('./summary');

const RECORDING = /\.bin$/i;

/** A work list or manifest that cannot be planned: the caller's fault, not a conversion's. */
class PlanError extends KinovarError {
  constructor(message) {
    super(message, codes.WORK_LIST);
  }
}


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
    const { motion } = ownFiles(outDir, entities);
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

module.exports = { LABEL_COLUMNS, PlanError, checkedShard, parseManifest, parseShard, planUnits, shardOf };
