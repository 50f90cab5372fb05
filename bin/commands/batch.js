'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { OK, FAILED, UsageError, parse, positiveInteger, failedLine } = require('../shared');
const {
  CONVERSION_FLAGS, ORIENTATION_HELP, CALIBRATE_HELP, TIME_HELP, DURABLE_HELP, CLOCK_HELP, conversionOptions, checked, BIDS_FLAGS, bidsHelp, bidsOptions,
} = require('../conversion');
const { expandPatterns } = require('../inputs');
const { progressBar } = require('../progress');
const { EPOCH_HELP, VALID_HOURS_HELP, EPOCH_FLAGS, epochOptions } = require('./epochs');

const summary = [
  ['batch <inputs>... -o <dir>', 'convert a study in shards that resume, with a ledger'],
  ['batch merge <dir>', "join a batch's ledgers into one summary table"],
];

const help = `usage: kinovar batch <recording-or-folder>... -o <folder> [conversion options] [--shard i/n] [--jobs N]
       kinovar batch --manifest <file.csv> -o <folder> [conversion options] [--shard i/n] [--jobs N]
       kinovar batch ... --slurm-script
       kinovar batch merge <folder>

Converts a study: every recording given, every recording (*.bin) in the
folders given at any depth, or the rows of a manifest. The sorted work list
can be cut into shards that run anywhere (cluster tasks, machines, shells)
without talking to each other. Each shard keeps a ledger in <folder>/ledgers
of what each output was made from (the recordings' path, size, time and
SHA-256, and the options): a rerun skips the outputs that are current and
redoes only those missing, made from a changed recording or other options, or
failed for a reason that may pass (a failure the recording's bytes decide is
tried again once they change, or with --retry-failed). "batch merge" joins the ledgers into <folder>/summary.csv and
<folder>/summary.parquet. See docs/cohorts.md.

options:
  -o, --out <folder> where the outputs go (created if missing), each recording's
                     at its path under the folder it was found in, or its name;
                     required
  --manifest <file>  a CSV with a "path" column (from the manifest's folder) and
                     optional "output" (a path in the output folder) and "set"
                     (rows sharing a set are synchronised together, into the
                     folder the set names)
  --format <F>       plain (default), classic, parquet; opensense for sets only;
${bidsHelp(`: a run per row or set of the
                       manifest, whose columns subject, session, task, run,
                       acquisition give its labels (the options below, those
                       it leaves empty); ledgers and summary in <folder>/.kinovar`)}${ORIENTATION_HELP}${CALIBRATE_HELP}${CLOCK_HELP}${TIME_HELP}  --force            replace files kinovar did not write
${DURABLE_HELP}  --epochs           also summarise each recording in epochs, beside its table:
                     <name>.epochs.csv (.epochs.parquet with --format parquet)
                     and <name>.days.csv; the summary gains worn hours and valid
                     days (docs/epochs.md). With it:
${EPOCH_HELP}${VALID_HOURS_HELP}  --shard <i/n>      do shard i of n (0 to n-1): every n-th unit of the sorted
                     list from the i-th; a set is one unit.
                     env: i from SLURM_ARRAY_TASK_ID, n from --shards or else
                     SLURM_ARRAY_TASK_COUNT; or i from a Kubernetes Indexed
                     Job's JOB_COMPLETION_INDEX, n from --shards
  --shards <n>       the number of shards (--shard env; with --slurm-script the
                     size of the array)
  -j, --jobs <N>     units converted at once (default: the number of cores)
  --rehash           hash every recording again, even one whose size and time
                     are as recorded (by default only those are trusted)
  --retry-failed     convert again the units that failed though their recordings
                     are unchanged
  --slurm-script     print an sbatch script that runs this batch as a job array
                     (one task per unit, at most 1000, or --shards tasks)
  -q, --quiet        print nothing but errors and the counts of a failure
  -h, --help         this text

One failing recording does not stop the others. The exit code is 1 when
anything failed, and the last line gives the counts.
`;

const options = {
  out: { type: 'string', short: 'o' }, manifest: { type: 'string' }, shard: { type: 'string' }, shards: { type: 'string' },
  jobs: { type: 'string', short: 'j' }, rehash: { type: 'boolean' }, 'retry-failed': { type: 'boolean' }, 'slurm-script': { type: 'boolean' },
  clock: { type: 'string' }, epochs: { type: 'boolean' },
  ...CONVERSION_FLAGS, ...BIDS_FLAGS, ...EPOCH_FLAGS,
};

/** --epochs and its options, as batch() takes them. */
function epochFlags(values) {
  const given = Object.keys(EPOCH_FLAGS).find((flag) => values[flag] !== undefined);
  if (!values.epochs) {
    if (given) throw new UsageError(`--${given} goes with --epochs`);
    return {};
  }
  const { epoch, nonwear, validHours } = epochOptions({ ...values, days: '', calibrate: undefined, force: undefined, durable: undefined });
  return Object.fromEntries(Object.entries({ epochs: true, epoch, nonwear, validHours }).filter(([, value]) => value !== undefined));
}

const plural = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;
const countWords = ({ converted, current, failed }) => `${converted} converted, ${current} current, ${failed} failed`;
const quote = (text) => `'${String(text).replaceAll("'", "'\\''")}'`;

// Lines of the batch's own planning error become the command line's.
async function planned(fn) {
  try {
    return await fn();
  } catch (error) {
    if (error instanceof require('../../lib/batch/cohort').PlanError) throw new UsageError(error.message);
    throw error;
  }
}

/** The arguments without the options the script sets itself. */
function withoutOwn(args) {
  const kept = [];
  for (let i = 0; i < args.length; i++) {
    if (args[i] === '--slurm-script') continue;
    if (args[i] === '--shard' || args[i] === '--shards') i++;
    else if (!/^--shards?=/.test(args[i])) kept.push(args[i]);
  }
  return kept;
}

// SLURM's default MaxArraySize is 1001: array ids 0 to 1000.
const MAX_TASKS = 1000;

/** An sbatch script running the batch as an array, one shard per task. */
function slurmScript(args, units, { out, shards, jobs, cwd }) {
  const batch = require('../../lib/batch/cohort');
  const tasks = Math.max(1, Math.min(units.length, shards ?? MAX_TASKS));
  const cpus = jobs ?? 2;
  const bytes = (unit) => unit.inputs.reduce((sum, input) => sum + (fs.statSync(input, { throwIfNoEntry: false })?.size ?? 0), 0);
  let largest = 0;
  for (let i = 0; i < tasks; i++) largest = Math.max(largest, batch.shardOf(units, { index: i, count: tasks }).reduce((sum, u) => sum + bytes(u), 0));
  // A conversion reads a few MB a second; 1 MB/s per CPU leaves room for slow nodes and disks.
  const minutes = Math.ceil(largest / 1e6 / cpus / 60) + 10;
  const time = `${String(Math.floor(minutes / 60)).padStart(2, '0')}:${String(minutes % 60).padStart(2, '0')}:00`;
  const command = [process.execPath, path.resolve(__dirname, '..', 'kinovar.js'), 'batch', ...withoutOwn(args), '--shard', 'env', '--shards', tasks];
  const merge = [process.execPath, path.resolve(__dirname, '..', 'kinovar.js'), 'batch', 'merge', out].map(quote).join(' ');
  return `#!/bin/bash
# kinovar batch: ${plural(units.length, 'unit')} (recordings or sets) in ${plural(tasks, 'task')} of up to ${Math.ceil(units.length / tasks)}.
# Resources per task: ${cpus} CPUs (--jobs conversions at once), 2 GB each; the time limit
# from the largest task's ${(largest / 1e6).toFixed(1)} MB of recordings at 1 MB/s per CPU, plus 10 minutes.
# Submit, then merge the ledgers once every task has ended, failed ones too:
#   jobid=$(sbatch --parsable this-script.sh)
#   sbatch --dependency=afterany:$jobid --wrap "${merge.replaceAll('"', '\\"')}"
# A task that is cancelled or fails can be run again alone (sbatch --array=<i> this-script.sh):
# only its missing work is redone.
#SBATCH --job-name=kinovar-batch
#SBATCH --array=0-${tasks - 1}
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=${cpus}
#SBATCH --mem-per-cpu=2G
#SBATCH --time=${time}
#SBATCH --chdir=${cwd}
exec ${command.map(quote).join(' ')}${jobs === undefined ? ` --jobs ${cpus}` : ''}
`;
}

async function merge(positionals, values, io) {
  if (positionals.length !== 1) throw new UsageError(`batch merge takes the batch's output folder\n\n${help}`);
  const batch = require('../../lib/batch/cohort');
  const { rows, files } = batch.mergeLedgers(batch.homeOf(positionals[0]), { overwrite: values.force === true });
  const counts = batch.countsOf(rows);
  for (const file of files) io.say(`wrote  ${file}\n`);
  const line = `${plural(rows.length, 'unit')}: ${countWords(counts)}\n`;
  if (counts.failed) io.stderr(line);
  else io.say(line);
  return counts.failed ? FAILED : OK;
}

async function run(args, io) {
  const { values, positionals: given } = parse('batch', args, options, io);
  if (values.help) return io.stdout(help), OK;
  if (given[0] === 'merge') return merge(given.slice(1), values, io);
  const batch = require('../../lib/batch/cohort');
  if (!given.length && values.manifest === undefined) throw new UsageError(`no recording, folder or manifest given\n\n${help}`);
  if (!values.out) throw new UsageError(`-o <folder> is required\n\n${help}`);
  const jobs = values.jobs === undefined ? undefined : positiveInteger(values.jobs, '--jobs');
  const shards = values.shards === undefined ? undefined : positiveInteger(values.shards, '--shards');
  const conversion = conversionOptions(values);
  checked((words) => require('../../lib/checks/request').batchRequest('batch', conversion, words));
  const labels = bidsOptions(values, conversion.format);
  const epochs = epochFlags(values);
  const units = await planned(() => batch.planUnits({
    inputs: expandPatterns(given), manifest: values.manifest, outDir: values.out, format: conversion.format, labels,
    epochs: epochs.epochs === true,
  }));
  if (!units.length) throw new UsageError(`no recording (*.bin) found in ${given.join(', ')}`);
  if (values['slurm-script']) return io.stdout(slurmScript(args, units, { out: values.out, shards, jobs, cwd: io.cwd })), OK;
  if (values.shard === undefined && shards !== undefined) throw new UsageError('--shards goes with --shard env or --slurm-script');
  const shard = values.shard === undefined ? { index: 0, count: 1 } : await planned(() => batch.parseShard(values.shard, io.env, shards));
  if (shards !== undefined && values.shard !== 'env' && shards !== shard.count) {
    throw new UsageError(`--shard ${values.shard} says ${shard.count} shards, --shards ${shards}; give one`);
  }
  const mine = batch.shardOf(units, shard);
  const bar = progressBar(io, true);
  const rows = await batch.runShard(mine, {
    outDir: batch.homeOf(values.out, conversion.format), shard, jobs, rehash: values.rehash === true, retryFailed: values['retry-failed'] === true,
    onUnit: (row, done, total) => bar.update(done / total, row.key, `${done}/${total}`),
  }, { ...conversion, ...labels, ...epochs }).finally(() => bar.done());
  let kept = 0;
  for (const row of rows) {
    if (row.status !== 'failed') continue;
    // A failure kept from a run before: its recordings have not changed since.
    const before = row.redone === undefined;
    kept += before;
    io.stderr(failedLine(row.inputs.map((i) => i.path).join(', '), { message: `${row.error}${before ? ' (unchanged since; not tried again)' : ''}` }));
  }
  const counts = batch.countsOf(rows);
  const retry = kept ? `; ${kept} failed before with the same bytes, --retry-failed tries again` : '';
  const line = `${countWords(counts)} (shard ${shard.index}/${shard.count}: ${mine.length} of ${plural(units.length, 'unit')}${retry})\n`;
  if (counts.failed) io.stderr(line);
  else io.say(line);
  return counts.failed ? FAILED : OK;
}

module.exports = { summary, help, options, run };
