#!/usr/bin/env node
'use strict';
// kinovar batch as a SLURM job array, in the cluster scripts/test-cluster.sh
// starts (SLURM_CONF names it): the array's outputs equal a local batch's
// byte for byte; a task cancelled mid-way and resubmitted redoes only its
// missing work; a recording whose content changed is the only one redone.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../lib');
const { readLedgers } = require('../lib/batch/cohort');

const dir = process.argv[2];
const bin = path.join(__dirname, '..', 'bin', 'kinovar.js');
const data = path.join(dir, 'data');
const manifest = path.join(data, 'manifest.csv');
const TASKS = 4;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const run = (command, args, options = {}) => execFileSync(command, args, { encoding: 'utf8', ...options });
const log = (text) => console.log(`test:cluster: ${text}`);

// The work list by its sorted keys u00..u27: sets at u07 and u14, broken
// recordings at u10 and u19, and a long recording at u05, the second unit
// of task 1, so that the task can be cancelled while it converts it.
function makeStudy() {
  fs.mkdirSync(data);
  const rows = ['path,output,set'];
  for (let k = 0; k < 28; k++) {
    const key = `u${String(k).padStart(2, '0')}`;
    const file = path.join(data, `${key}.bin`);
    if (k === 7 || k === 14) {
      const folder = path.join(data, key);
      fs.mkdirSync(folder);
      for (const member of kinovar.generateSession(folder, { seconds: 20, seed: k })) rows.push(`${path.relative(data, member)},,${key}`);
    } else if (k === 10 || k === 19) {
      fs.writeFileSync(file, Buffer.alloc(4096 + k, 0xee));
      rows.push(`${key}.bin,${key}`);
    } else {
      kinovar.generateRecording(file, { seconds: k === 5 ? 4 * 3600 : 30 + k, seed: k + 1 });
      rows.push(`${key}.bin,${key}`);
    }
  }
  fs.writeFileSync(manifest, `${rows.join('\n')}\n`);
}

const batchArgs = (out) => ['batch', '--manifest', manifest, '-o', out, '--format', 'plain'];

/** Submits the array the batch's own --slurm-script prints; `only`: just that task of it. */
async function submit(out, only) {
  const script = path.join(dir, 'array.sh');
  fs.writeFileSync(script, run(process.execPath, [bin, ...batchArgs(out), '--shards', String(TASKS), '--jobs', '1', '--slurm-script'], { cwd: dir }));
  assert.match(fs.readFileSync(script, 'utf8'), new RegExp(`^#SBATCH --array=0-${TASKS - 1}$`, 'm'));
  return run('sbatch', ['--parsable', ...(only === undefined ? [] : [`--array=${only}`]), script], { cwd: dir }).trim().split(';')[0];
}

async function waitFor(job, seconds = 600) {
  for (let t = 0; t < seconds * 5; t++) {
    let listed = '';
    try {
      listed = run('squeue', ['-h', '-j', job, '-o', '%i'], { stdio: 'pipe' });
    } catch { /* a job already purged is unknown */ }
    if (!listed.trim()) return;
    await sleep(200);
  }
  throw new Error(`job ${job} still runs after ${seconds} s`);
}

/** The files of an output folder but the batch's own, by relative path. */
function outputs(out) {
  const found = [];
  const walk = (relative) => {
    for (const entry of fs.readdirSync(path.join(out, relative), { withFileTypes: true })) {
      const name = path.join(relative, entry.name);
      if (entry.isDirectory()) {
        if (name !== 'ledgers') walk(name);
      } else if (!/^summary\./.test(name)) found.push(name);
    }
  };
  walk('');
  return found.sort();
}

function sameOutputs(a, b) {
  // A conversion killed mid-way may leave its temporary file, never a file under an output's name.
  const own = outputs(a).filter((name) => !name.includes('.tmp-'));
  assert.deepEqual(own, outputs(b));
  for (const name of own) assert.ok(fs.readFileSync(path.join(a, name)).equals(fs.readFileSync(path.join(b, name))), `${name} differs`);
  return own.length;
}

const byStatus = (out, status, since = '') => [...readLedgers(out).values()].filter((r) => r.status === status && r.finished > since)
  .map((r) => r.key).sort();
const mtimes = (out) => Object.fromEntries(outputs(out).map((name) => [name, fs.statSync(path.join(out, name)).mtimeMs]));

async function main() {
  makeStudy();
  const cluster = path.join(dir, 'out-cluster');
  const local = path.join(dir, 'out-local');
  const units = 28;

  // First array: task 1 is cancelled while it converts the long recording.
  let job = await submit(cluster);
  log(`submitted array ${job}`);
  const journal = path.join(cluster, 'ledgers', `shard-1-of-${TASKS}.journal`);
  for (let t = 0; !(fs.existsSync(journal) && fs.readFileSync(journal, 'utf8').split('\n').length > 1); t++) {
    if (t > 3000) throw new Error('task 1 never journalled its first unit');
    await sleep(20);
  }
  run('scancel', [`${job}_1`]);
  await waitFor(job);
  const recorded = [...readLedgers(cluster).keys()].sort();
  assert.ok(!recorded.includes('u05.csv'), 'the long recording was cut off with its task');
  assert.ok(!fs.existsSync(path.join(cluster, 'u05.csv')), 'a cancelled conversion leaves no output');
  const missing = Array.from({ length: units }, (_, k) => k).filter((k) => k % TASKS === 1)
    .map((k) => (k === 7 || k === 14 ? `u${String(k).padStart(2, '0')}` : `u${String(k).padStart(2, '0')}.csv`)).filter((key) => !recorded.includes(key));
  const aside = outputs(cluster).filter((name) => name.includes('.tmp-')).length;
  log(`task 1 cancelled with ${missing.length} of its ${units / TASKS} units undone: ${missing.join(' ')}; ${aside} temporary file(s) left`);

  // The task resubmitted alone: the units it did before stay, only the missing are converted.
  const before = mtimes(cluster);
  let since = new Date().toISOString();
  job = await submit(cluster, 1);
  await waitFor(job);
  assert.deepEqual(byStatus(cluster, 'converted', since), missing);
  assert.deepEqual(byStatus(cluster, 'failed'), ['u10.csv', 'u19.csv']);
  for (const [name, mtime] of Object.entries(before)) if (!name.includes('.tmp-')) assert.equal(mtimes(cluster)[name], mtime, `${name} was redone`);
  log(`task 1 resubmitted alone as job ${job}: ${missing.length} units redone, the others current`);

  let localRun;
  try {
    localRun = run(process.execPath, [bin, ...batchArgs(local)], { stdio: 'pipe' });
  } catch (error) {
    localRun = error.stderr;  // the broken recordings fail here too
  }
  assert.match(localRun, /26 converted, 0 current, 2 failed \(shard 0\/1: 28 of 28 units\)\n$/);
  log(`the array's ${sameOutputs(cluster, local)} files equal a local batch's, byte for byte`);

  // A recording's content changes (its size kept): it alone is redone.
  const changed = path.join(data, 'u03.bin');
  const bytes = fs.readFileSync(changed);
  bytes[bytes.length - 100] ^= 0x01;
  fs.writeFileSync(changed, bytes);
  const kept = mtimes(cluster);
  since = new Date().toISOString();
  job = await submit(cluster);
  await waitFor(job);
  assert.deepEqual(byStatus(cluster, 'converted', since), ['u03.csv']);
  for (const [name, mtime] of Object.entries(kept)) if (name !== 'u03.csv' && !name.includes('.tmp-')) assert.equal(mtimes(cluster)[name], mtime, `${name} was redone`);
  try {
    run(process.execPath, [bin, ...batchArgs(local)], { stdio: 'pipe' });
  } catch { /* the broken ones again */ }
  sameOutputs(cluster, local);

  let merged;
  try {
    run(process.execPath, [bin, 'batch', 'merge', cluster], { stdio: 'pipe' });
  } catch (error) {
    merged = error;
  }
  assert.equal(merged?.status, 1, 'a summary with failures exits 1');
  assert.equal(merged.stderr.trim(), `${units} units: 1 converted, 25 current, 2 failed`);
  const summary = fs.readFileSync(path.join(cluster, 'summary.csv'), 'utf8').trim().split('\n');
  assert.equal(summary.length, units + 1);
  assert.ok(fs.statSync(path.join(cluster, 'summary.parquet')).size > 0);
  log(`changed u03.bin alone redone; merged ${units} units into summary.csv and summary.parquet`);
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
