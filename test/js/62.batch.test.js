'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../../lib');
const { main } = require('../../bin/kinovar');
const batch = require('../../lib/batch/cohort');
const { scratch } = require('./helpers');

/** The command line in this process; a first argument that is an object changes its io (a terminal, say). */
async function cli(...args) {
  const more = typeof args[0] === 'object' ? args.shift() : {};
  const seen = { stdout: '', stderr: '' };
  const io = { stdout: (text) => { seen.stdout += text; }, stderr: (text) => { seen.stderr += text; }, isTTY: false, env: {}, cwd: process.cwd(), ...more };
  const status = await main(args, io);
  return { status, ...seen, last: (seen.stdout + seen.stderr).trim().split('\n').pop() };
}
const ledgerRows = (out) => batch.readLedgers(out);
const mtimes = (files) => files.map((f) => fs.statSync(f).mtimeMs);

test('the work list: folders, a manifest with sets, sorted and cut into shards every node agrees on', (t) => {
  const dir = scratch(t);
  for (const name of ['b/x.bin', 'a/x.bin', 'a/deep/y.BIN', '.hidden/z.bin', 'a/notes.txt']) {
    fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
    fs.writeFileSync(path.join(dir, name), '');
  }
  const out = path.join(dir, 'out');
  assert.deepEqual(batch.planUnits({ inputs: [dir], outDir: out }).map((u) => u.key), ['a/deep/y.csv', 'a/x.csv', 'b/x.csv']);
  // Cells may be quoted; paths are read from the manifest's folder; a set is one unit.
  fs.writeFileSync(path.join(dir, 'm.csv'), '\ufeffpath,set,output,participant\r\na/x.bin,,"p,1",1\nb/x.bin,s1,,2\n\n' +
    '"a/deep/y.BIN",s1,,2\n/abs/q.bin,,,3\n');
  const units = batch.planUnits({ manifest: path.join(dir, 'm.csv'), outDir: out, format: 'parquet' });
  assert.deepEqual(units.map(({ key, kind, inputs }) => [key, kind, inputs]),
    [['p,1.parquet', 'recording', [path.join(dir, 'a/x.bin')]], ['q.parquet', 'recording', [path.resolve(dir, '/abs/q.bin')]],
      ['s1', 'set', [path.join(dir, 'b/x.bin'), path.join(dir, 'a/deep/y.BIN')]]]);

  const list = Array.from({ length: 11 }, (_, k) => ({ key: String(k) }));
  for (const count of [1, 3, 4, 11, 12]) {
    const shards = Array.from({ length: count }, (_, index) => batch.shardOf(list, { index, count }).map((u) => u.key));
    assert.deepEqual(shards.flat().sort(), list.map((u) => u.key).sort(), `${count}: every unit once`);
    assert.ok(Math.max(...shards.map((s) => s.length)) - Math.min(...shards.map((s) => s.length)) <= 1, `${count}: even`);
  }
  assert.deepEqual(batch.parseShard('env', { SLURM_ARRAY_TASK_ID: '5', SLURM_ARRAY_TASK_MIN: '1', SLURM_ARRAY_TASK_COUNT: '8' }), { index: 4, count: 8 });
  // A task resubmitted alone keeps its shard.
  assert.deepEqual(batch.parseShard('env', { SLURM_ARRAY_TASK_ID: '17', SLURM_ARRAY_TASK_MIN: '17', SLURM_ARRAY_TASK_COUNT: '1' }, 20), { index: 17, count: 20 });
  assert.deepEqual(batch.parseShard('env', { JOB_COMPLETION_INDEX: '2' }, 3), { index: 2, count: 3 });
  for (const [text, env, shards, words] of [['4/4', {}, undefined, 'must be 0 to 3'], ['1-4', {}, undefined, 'must be i/n'],
    ['env', { JOB_COMPLETION_INDEX: '2' }, undefined, 'needs --shards'], ['env', {}, undefined, 'give --shard i/n'],
    ['env', { SLURM_ARRAY_TASK_ID: '4', SLURM_ARRAY_TASK_COUNT: '1' }, 4, 'must be 0 to 3']]) {
    assert.throws(() => batch.parseShard(text, env, shards), (e) => e instanceof batch.PlanError && e.message.includes(words), text);
  }
  // Every bad row at once, by line; then the plan's own refusals.
  for (const [manifest, words] of [['path,set\na.bin,s,x\n,s\nb.bin\n', /line 2: 3 cells, the header has 2; line 3: no path; fix these rows$/],
    ['file\na.bin\n', /no "path" column/], ['path,set\na/x.bin,s\n', /set s has one recording/],
    ['path,output\na/x.bin,../up.csv\n', /inside the output folder/], ['path,output\na/x.bin,x.parquet\n', /ends in \.parquet/],
    ['path\na/x.bin\n./a/x.bin\n', /in the work list twice/], ['path,output\na/x.bin,y.csv\nb/x.bin,Y.CSV\n', process.platform === 'linux' ? /^$/ : /both be written/],
    ['path,output\na/x.bin,ledgers/x.csv\n', /where the batch keeps its ledgers/], ['path,set\n"a.bin,s\n', /not closed/]]) {
    fs.writeFileSync(path.join(dir, 'bad.csv'), manifest);
    const plan = () => batch.planUnits({ manifest: path.join(dir, 'bad.csv'), outDir: out });
    if (words.source === '^$') plan();
    else assert.throws(plan, (e) => e instanceof batch.PlanError && words.test(e.message), manifest);
  }
});

test('a batch converts in shards, resumes only what is missing, failed or out of date, and merges one summary', async (t) => {
  const dir = scratch(t);
  const study = path.join(dir, 'study');
  fs.mkdirSync(path.join(study, 'p2'), { recursive: true });
  const files = ['a', 'b', 'c', 'p2/a'].map((n, i) => kinovar.generateRecording(path.join(study, `${n}.bin`), { seconds: 2, seed: i + 1 }));
  fs.writeFileSync(path.join(study, 'broken.bin'), Buffer.alloc(3000, 0xee));
  const session = path.join(dir, 'session');
  fs.mkdirSync(session);
  const set = kinovar.generateSession(session, { seconds: 4 });
  fs.writeFileSync(path.join(dir, 'm.csv'), `path,set\n${set.map((f) => `${f},walk`).join('\n')}\n${files[0]},\n`);
  const out = path.join(dir, 'out');
  const flags = ['-o', out, '--format', 'plain', '--orientation', 'classic'];

  const shards = [await cli('batch', study, ...flags, '--shard', '0/2'), await cli('batch', study, ...flags, '--shard', '1/2', '-j', '1')];
  assert.deepEqual(shards.map((s) => s.status), [1, 0]);
  assert.deepEqual(shards.map((s) => s.last), ['2 converted, 0 current, 1 failed (shard 0/2: 3 of 5 units)',
    '2 converted, 0 current, 0 failed (shard 1/2: 2 of 5 units)']);
  assert.match(shards[0].stderr, /^failed .*broken\.bin: not a recording/m);
  // The bytes of read's own conversion.
  const outputs = ['a', 'b', 'c', 'p2/a'].map((n) => path.join(out, `${n}.csv`));
  kinovar.readRecording(files[3], path.join(dir, 'ref.csv'), { format: 'plain', orientation: 'classic' });
  assert.ok(fs.readFileSync(outputs[3]).equals(fs.readFileSync(path.join(dir, 'ref.csv'))));

  const before = mtimes(outputs);
  // On a terminal the bar fills by the units done, and counts them.
  const again = await cli({ isTTY: true, progressDelay: 0 }, 'batch', study, ...flags);
  const kept = '; 1 failed before with the same bytes, --retry-failed tries again';
  assert.equal(again.last, `0 converted, 4 current, 1 failed (shard 0/1: 5 of 5 units${kept})`, 'a broken file is not tried again');
  assert.match(again.stderr, /failed .*broken\.bin: not a recording .*\(unchanged since; not tried again\)$/m);
  assert.match(again.stderr, /\r\[#{6}\.{24}\] 1\/5 /);
  assert.match(again.stderr, /\r\[#{30}\] 5\/5 /);
  assert.deepEqual(mtimes(outputs), before);
  // A touch alone is no change (the content is hashed again); new content, a lost output or other options are.
  fs.utimesSync(files[0], new Date(), new Date(Date.now() + 5000));
  fs.appendFileSync(files[1], Buffer.alloc(512));
  fs.rmSync(outputs[2]);
  const redo = await cli('batch', study, ...flags);
  assert.equal(redo.last, `2 converted, 2 current, 1 failed (shard 0/1: 5 of 5 units${kept})`);
  assert.deepEqual([...ledgerRows(out).values()].filter((r) => r.status === 'converted').map((r) => [r.key, r.redone]),
    [['b.csv', 'recording changed'], ['c.csv', 'output missing']]);
  assert.equal((await cli('batch', study, ...flags.slice(0, 4))).last, '4 converted, 0 current, 1 failed (shard 0/1: 5 of 5 units)');

  // A shard killed before its ledger: its journal counts, up to a line cut short.
  const ledger = path.join(out, 'ledgers', 'shard-0-of-1.json');
  const rows = JSON.parse(fs.readFileSync(ledger, 'utf8')).rows;
  fs.rmSync(ledger);
  fs.writeFileSync(ledger.replace('.json', '.journal'), `${rows.slice(0, 4).map((r) => JSON.stringify(r)).join('\n')}\n{"key":"p2/a.cs`);
  assert.equal((await cli('batch', study, '-o', out, '--format', 'plain')).last, `1 converted, 3 current, 1 failed (shard 0/1: 5 of 5 units${kept})`);
  assert.deepEqual(fs.readdirSync(path.join(out, 'ledgers')).filter((f) => !f.endsWith('.json')), []);

  const sets = await cli('batch', '--manifest', path.join(dir, 'm.csv'), '-o', path.join(dir, 'sets'), '--format', 'plain');
  assert.equal(sets.last, '2 converted, 0 current, 0 failed (shard 0/1: 2 of 2 units)');
  assert.deepEqual(fs.readdirSync(path.join(dir, 'sets', 'walk')).sort(), ['pelvis.csv', 'set.json', 'shank.csv', 'thigh.csv']);
  // The clock changes a set's bytes only.
  assert.equal((await cli('batch', '--manifest', path.join(dir, 'm.csv'), '-o', path.join(dir, 'sets'), '--format', 'plain', '--clock', 'offset')).last,
    '1 converted, 1 current, 0 failed (shard 0/1: 2 of 2 units)');

  const merged = await cli('batch', 'merge', out);
  assert.deepEqual([merged.status, merged.last], [1, '5 units: 1 converted, 3 current, 1 failed']);
  const csv = fs.readFileSync(path.join(out, 'summary.csv'), 'utf8').trim().split('\n').map((line) => line.split(','));
  const column = (name) => csv.slice(1).map((row) => row[csv[0].indexOf(name)]);
  assert.deepEqual(column('unit'), ['a.csv', 'b.csv', 'broken.csv', 'c.csv', 'p2/a.csv']);
  assert.deepEqual(column('status'), ['current', 'current', 'failed', 'current', 'converted']);
  assert.deepEqual([column('error_code')[2], column('accel_samples')[0], column('duration_s')[0]], ['ERR_KINOVAR_FORMAT', '200', '1.99']);
  // Each recording's start and device, as its settings give them; none for a file without settings.
  assert.deepEqual([column('start')[0], column('device_id')[0], column('start')[2], column('device_id')[2]],
    [kinovar.readSettings(files[0]).createdAt, String(kinovar.readDeviceId(files[0])), '', '']);
  const { compressors } = await import('hyparquet-compressors');
  const parquet = await (await import('hyparquet')).parquetReadObjects({ file: new Uint8Array(fs.readFileSync(path.join(out, 'summary.parquet'))).buffer, compressors });
  assert.deepEqual(parquet.map((r) => [r.unit, r.status, r.accel_samples]), column('unit').map((u, i) => [u, column('status')[i], i === 2 ? null : 200]));
  // Merged again (a resume, SLURM's afterany): the summary replaces its own.
  assert.deepEqual([(await cli('batch', 'merge', out)).last], ['5 units: 1 converted, 3 current, 1 failed']);
  // A failure is tried again on request, or once its bytes change.
  const retried = await cli('batch', study, '-o', out, '--format', 'plain', '--retry-failed');
  assert.equal(retried.last, '0 converted, 4 current, 1 failed (shard 0/1: 5 of 5 units)');
  assert.equal(ledgerRows(out).get('broken.csv').redone, 'failed before');
  fs.appendFileSync(path.join(study, 'broken.bin'), Buffer.alloc(512));
  await cli('batch', study, '-o', out, '--format', 'plain');
  assert.equal(ledgerRows(out).get('broken.csv').redone, 'recording changed');
  // A summary is replaced by a summary only.
  fs.writeFileSync(path.join(out, 'summary.csv'), 'mine\n');
  assert.match((await cli('batch', 'merge', out)).stderr, /summary\.csv exists and is not a summary kinovar wrote/);
});

test('--slurm-script prints an array sized from the work list that runs each shard from the environment', async (t) => {
  const dir = scratch(t);
  for (const n of ['a', 'b', 'c']) kinovar.generateRecording(path.join(dir, `${n}.bin`), { seconds: 1 });
  const { status, stdout } = await cli('batch', dir, '-o', path.join(dir, 'out'), '--shard', '0/9', '--slurm-script', '--format', 'plain');
  assert.equal(status, 0);
  assert.match(stdout, /^#!\/bin\/bash\n/);
  assert.match(stdout, /^#SBATCH --array=0-2$/m);
  assert.match(stdout, /^#SBATCH --cpus-per-task=2$/m);
  assert.match(stdout, /^exec .* 'batch' '[^']+' '-o' '[^']+' '--format' 'plain' '--shard' 'env' '--shards' '3' --jobs 2$/m);
  assert.match((await cli('batch', dir, '-o', 'x', '--shards', '2', '--slurm-script')).stdout, /^#SBATCH --array=0-1$/m);
});

test('batch() and promises.batch(): the command line batch from the API, with progress and cancel', async (t) => {
  const dir = scratch(t);
  const study = path.join(dir, 'study');
  fs.mkdirSync(study);
  const files = ['a', 'b', 'c', 'd'].map((n, i) => kinovar.generateRecording(path.join(study, `${n}.bin`), { seconds: 2, seed: i + 1 }));
  fs.writeFileSync(path.join(study, 'e.bin'), Buffer.alloc(2048, 0x11));
  const options = { format: 'plain', orientation: 'classic' };
  const here = kinovar.batch([study], path.join(dir, 'here'), options);
  assert.deepEqual(here.counts, { converted: 4, current: 0, failed: 1 });
  assert.deepEqual(here.rows.map((r) => [r.key, r.status]), [['a.csv', 'converted'], ['b.csv', 'converted'], ['c.csv', 'converted'],
    ['d.csv', 'converted'], ['e.csv', 'failed']]);
  assert.equal(here.rows[4].errorCode, kinovar.codes.FORMAT);
  // The same bytes as the command line's, and a second run finds everything done.
  await cli('batch', study, '-o', path.join(dir, 'cli'), '--format', 'plain', '--orientation', 'classic');
  for (const n of ['a', 'd']) assert.ok(fs.readFileSync(path.join(dir, 'here', `${n}.csv`)).equals(fs.readFileSync(path.join(dir, 'cli', `${n}.csv`))));
  assert.deepEqual(kinovar.batch([study], path.join(dir, 'here'), options).counts, { converted: 0, current: 4, failed: 1 });

  // Cancelled after the first unit: the ledger keeps what was done, and a rerun does the rest.
  const out = path.join(dir, 'cancelled');
  const controller = new AbortController();
  const seen = [];
  const stopped = await kinovar.promises.batch([study], out, { ...options, jobs: 1, signal: controller.signal,
    onProgress: ({ done, total, row }) => { seen.push([done, total, row.key]); controller.abort(); } }).catch((e) => e);
  assert.equal(stopped.name, 'AbortError');
  assert.deepEqual(seen, [[1, 5, 'a.csv']]);
  assert.deepEqual(stopped.rows.map((r) => r.key), ['a.csv']);
  const rest = await kinovar.promises.batch([study], out, { ...options, onProgress: ({ row }) => seen.push(row.key) });
  assert.deepEqual(rest.counts, { converted: 3, current: 1, failed: 1 });
  assert.equal(seen.length, 6);
  assert.deepEqual(kinovar.mergeBatch(out).files, ['csv', 'parquet'].map((e) => path.join(out, `summary.${e}`)));

  for (const [inputs, outDir, bad, code] of [[[study], dir, { shard: '2/2' }, kinovar.codes.WORK_LIST], [[], dir, {}, kinovar.codes.WORK_LIST],
    [study, dir, {}, undefined], [[study], dir, { jobs: 0 }, undefined]]) {
    assert.throws(() => kinovar.batch(inputs, outDir, bad), (e) => (code ? e.code === code : e instanceof TypeError));
  }
});
