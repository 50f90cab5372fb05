'use strict';
// BIDS motion datasets: accepted by the official validator, their values
// those of the plain CSV in BIDS's units, gaps left empty, and bad input
// refused before anything is written.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const kinovar = require('../../lib');
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { scratch } = require('./helpers');

// Its package exports no path to its command: found beside its package.json.
const VALIDATOR = path.join(path.dirname(require.resolve('bids-validator/package.json')), 'bin', 'bids-validator');
const CLI = path.join(__dirname, '..', '..', 'bin', 'kinovar.js');

/** The validator's errors for the dataset (it reads only the folder: no network). */
function validatorErrors(root) {
  const run = spawnSync(process.execPath, [VALIDATOR, root, '--json'], { encoding: 'utf8' });
  const { issues } = JSON.parse(run.stdout);
  return issues.errors.map((e) => `${e.key}: ${e.files.map((f) => f.file?.relativePath ?? '').join(' ')}`);
}

const rowsOf = (file) => fs.readFileSync(file, 'utf8').split('\n').filter(Boolean).map((line) => line.split('\t'));

/** The motion table of a run as columns by channel name, numbers or null for n/a. */
function motionTable(files) {
  const motion = files.find((f) => f.endsWith('_motion.tsv'));
  const [header, ...channels] = rowsOf(motion.replace(/_motion\.tsv$/, '_channels.tsv'));
  const names = channels.map((c) => c[header.indexOf('name')]);
  const rows = rowsOf(motion);
  assert.ok(rows.every((r) => r.length === names.length), 'every row has a cell per channel');
  return Object.fromEntries(names.map((name, j) => [name, rows.map((r) => (r[j] === 'n/a' ? null : Number(r[j])))]));
}

/** Every file under a folder with its bytes, to tell that nothing changed. */
function tree(root) {
  if (!fs.existsSync(root)) return {};
  return Object.fromEntries(fs.readdirSync(root, { recursive: true }).sort()
    .map((f) => path.join(root, f)).map((f) => [f, fs.statSync(f).isFile() ? fs.readFileSync(f, 'hex') : 'folder']));
}

/** Cuts `blocks` data blocks out of a recording's middle: a gap its ticks tell. */
function cutBlocks(file, blocks) {
  const bytes = fs.readFileSync(file);
  const from = Math.floor(bytes.length / 512 / 2) * 512;
  fs.writeFileSync(file, Buffer.concat([bytes.subarray(0, from), bytes.subarray(from + blocks * 512)]));
}

test('sets of 1, 2 and 5 sensors, a resampled set with a gap and a second session: the validator accepts them all', (t) => {
  const dir = scratch(t);
  const root = path.join(dir, 'study');
  const five = generateSession(path.join(dir, 'five'), {
    seconds: 4, events: 1, noise: 5,
    sensors: [[0, 0.5, 'pelvis'], [-1.25, 0.25, 'thigh r'], [0.75, 1, 'shank'], [0.2, 0.3, 'foot'], [1, 0.4, 'wrist']],
  });
  const single = generateRecording(path.join(dir, 'walk.bin'), { seconds: 3, events: 2, baro: 25 });
  const gappy = generateSession(path.join(dir, 'gap'), { seconds: 12, method: 'stream', radioHz: 10, noise: 5 });
  cutBlocks(gappy[1], 4);

  const one = kinovar.readRecording(single, root, { format: 'bids', subject: 'p01', task: 'walk', session: '1', timezone: 'Europe/Paris' });
  assert.deepEqual(validatorErrors(root), []);
  kinovar.syncRecordings(five.slice(0, 2), root, { format: 'bids', subject: 'p01', task: 'walk', session: '2', run: 1 });
  const all = kinovar.syncRecordings(five, root, { format: 'bids', subject: 'p02', task: 'walk', placements: { thigh_r: 'right thigh' } });
  const gap = kinovar.syncRecordings(gappy, root, { format: 'bids', subject: 'p03', task: 'walk', acquisition: 'lab', resample: 50 });
  const drifted = kinovar.syncRecordings(gappy, root, { format: 'bids', subject: 'p03', task: 'walk' });
  assert.deepEqual(validatorErrors(root), []);

  // Each sensor a tracked point, names mended; the subjects listed once each.
  const channels = rowsOf(all[1]);
  assert.deepEqual([...new Set(channels.slice(1, -1).map((c) => c[3]))], ['pelvis', 'thigh_r', 'shank', 'foot', 'wrist']);
  assert.ok(channels.some((c) => c[0] === 'thigh_r_accel_x' && c[5] === 'right thigh'));
  assert.deepEqual(rowsOf(path.join(root, 'participants.tsv')).map((r) => r[0]), ['participant_id', 'sub-p01', 'sub-p02', 'sub-p03']);
  const motion = JSON.parse(fs.readFileSync(all[3], 'utf8'));
  assert.equal(motion.TrackedPointsCount, 5);
  assert.deepEqual(motion.SoftwareFilters['kinovar clock alignment'].offsets, all.report.offsets);
  // Calibrated by default, and the sidecar says per tracked point what was applied, or why not.
  const calibration = motion.SoftwareFilters['kinovar calibration'];
  assert.deepEqual(calibration.applied, all.report.calibration.map((c) => c.applied));
  assert.match(calibration.accel[0].status, /still windows/);
  assert.ok(rowsOf(one.files[4]).length > 1, 'the events are listed');

  // The run's start: the plain CSV's first datetime, in UTC with the zone.
  const plain = path.join(dir, 'walk.csv');
  kinovar.readRecording(single, plain, { format: 'plain', time: 'absolute', timezone: 'Europe/Paris', orientation: 'none' });
  const firstRow = fs.readFileSync(plain, 'utf8').split('\n')[1].split(',');
  const scans = rowsOf(path.join(root, 'sub-p01', 'ses-1', 'sub-p01_ses-1_scans.tsv'));
  assert.deepEqual(scans[1], ['motion/sub-p01_ses-1_task-walk_tracksys-kinovar_motion.tsv', firstRow[1]]);

  // The gap, resampled or on the drift grid: the cut recording's cells empty for as long as its samples
  // are missing, the others' full.
  const truth = kinovar.inspect(gappy[1]).streams.accel.gaps.longest;
  for (const files of [gap, drifted]) {
    const table = motionTable(files);
    const rate = JSON.parse(fs.readFileSync(files[3], 'utf8')).SamplingFrequency;
    const missing = table.thigh_accel_x.map((v, r) => v === null && table.pelvis_accel_x[r] !== null);
    const longest = missing.reduce(([run, best], m) => (m ? [run + 1, Math.max(best, run + 1)] : [0, best]), [0, 0])[1];
    assert.ok(Math.abs(longest / rate - truth) <= 3 / rate, `${longest} empty rows at ${rate} Hz for a gap of ${truth} s`);
  }
});

test('the motion table holds the plain CSV\'s values in m/s^2 and rad/s, row for row', (t) => {
  const dir = scratch(t);
  const files = generateSession(dir, { seconds: 3, noise: 20, rate: 30, sensors: [[0, 0.5, 'a'], [-1.25, 0.25, 'b']] });
  const written = kinovar.syncRecordings(files, path.join(dir, 'ds'), { format: 'bids', subject: '1', task: 't' });
  kinovar.syncRecordings(files, path.join(dir, 'plain'), { format: 'plain' });
  const table = motionTable(written);
  const start = written.report.window.start;
  assert.equal(typeof start, 'number');
  const factors = { accel: 9.80665, gyro: Math.PI / 180, quat: 1 };
  let compared = 0;
  for (const name of ['a', 'b']) {
    const [header, ...rows] = fs.readFileSync(path.join(dir, 'plain', `${name}.csv`), 'utf8').split(/\r?\n/).filter(Boolean)
      .map((line) => line.split(','));
    const motionRows = rows.filter((r) => r[header.indexOf('accel_x')] !== '');
    const latency = table.latency;
    assert.equal(motionRows.length, latency.length, 'a row per instant of the grid');
    motionRows.forEach((row, r) => {
      assert.ok(Math.abs(Number(row[0]) - Number(motionRows[0][0]) - latency[r]) < 1e-9, `row ${r}'s time`);
      for (const column of ['accel_x', 'accel_z', 'gyro_y', 'quat_w', 'quat_z']) {
        const cell = row[header.indexOf(column)];
        const decimals = cell.split('.')[1]?.length ?? 0;
        const factor = factors[column.split('_')[0]];
        const value = table[`${name}_${column}`][r];
        assert.ok(Math.abs(value - Number(cell) * factor) <= (0.5 * 10 ** -decimals + 1e-12) * factor,
          `${name} ${column} row ${r}: ${value} against ${cell}`);
        compared++;
      }
    });
  }
  assert.ok(compared > 1000);
});

test('bad input is refused with its code before anything is written; our own run is replaced only with force', (t) => {
  const dir = scratch(t);
  const files = generateSession(path.join(dir, 'set'), { seconds: 2, sensors: [[0, 0.5, 'a'], [-1.25, 0.25, 'b']] });
  const root = path.join(dir, 'ds');
  const options = { format: 'bids', subject: '01', task: 'walk' };
  const refused = (opts, code, where = root) => {
    const before = tree(where);
    assert.throws(() => kinovar.syncRecordings(files, where, opts), (e) => e.code === code);
    assert.deepEqual(tree(where), before);
  };
  refused({ ...options, subject: undefined }, 'ERR_KINOVAR_BIDS_LABEL');
  refused({ ...options, task: undefined }, 'ERR_KINOVAR_BIDS_LABEL');
  refused({ ...options, subject: 'sub_01' }, 'ERR_KINOVAR_BIDS_LABEL');
  refused({ ...options, run: 'one' }, 'ERR_KINOVAR_BIDS_LABEL');
  refused({ ...options, run: '1a' }, 'ERR_KINOVAR_BIDS_LABEL');
  refused({ ...options, subject: 'caf\u00e9' }, 'ERR_KINOVAR_BIDS_LABEL');
  refused({ ...options, placements: { c: 'x' } }, 'ERR_KINOVAR_BIDS_LABEL');
  const other = path.join(dir, 'other');
  fs.mkdirSync(path.join(other, 'raw'), { recursive: true });
  refused(options, 'ERR_KINOVAR_NOT_BIDS', other);
  fs.rmdirSync(path.join(other, 'raw'));
  fs.writeFileSync(path.join(other, 'sub-01'), 'not a folder');
  refused(options, 'ERR_KINOVAR_NOT_BIDS', other);
  refused({ ...options, clock: 'offset' }, 'ERR_KINOVAR_NO_GRID');
  assert.equal(fs.existsSync(root), false);

  // The command line: a missing label is a wrong command line.
  const cli = spawnSync(process.execPath, [CLI, 'sync', ...files, '-o', root, '--format', 'bids', '--task', 'walk'], { encoding: 'utf8' });
  assert.equal(cli.status, 2);
  assert.match(cli.stderr, /subject/);

  const first = kinovar.syncRecordings(files, root, options);
  refused(options, 'ERR_KINOVAR_BIDS_EXISTS');
  fs.writeFileSync(first[0], 'stale');
  kinovar.syncRecordings(files, root, { ...options, overwrite: true });
  assert.notEqual(fs.readFileSync(first[0], 'utf8'), 'stale');
  assert.deepEqual(rowsOf(path.join(root, 'sub-01', 'sub-01_scans.tsv')).length, 2, 'one row per run, replaced');
});

test('runs written into one dataset at once keep every row of the shared tables', async (t) => {
  const dir = scratch(t);
  const files = generateSession(path.join(dir, 'set'), { seconds: 2, sensors: [[0, 0.5, 'a'], [-1.25, 0.25, 'b']] });
  const root = path.join(dir, 'ds');
  const runs = ['1', '2', '3', '4', '5', '6'];
  await Promise.all(runs.map((run, i) => kinovar.promises.syncRecordings(files, root,
    { format: 'bids', subject: String(i % 3), task: 'walk', run, threads: 1 })));
  assert.deepEqual(rowsOf(path.join(root, 'participants.tsv')).map((r) => r[0]).sort(), ['participant_id', 'sub-0', 'sub-1', 'sub-2']);
  for (const subject of ['0', '1', '2']) assert.equal(rowsOf(path.join(root, `sub-${subject}`, `sub-${subject}_scans.tsv`)).length, 3);
  assert.deepEqual(fs.readdirSync(root).filter((f) => f.startsWith('.')), [], 'the lock is let go');
  assert.deepEqual(validatorErrors(root), []);
});

test('a batch writes each run of its manifest into the dataset, and a rerun finds them current', (t) => {
  const dir = scratch(t);
  for (const name of ['s1', 's2']) generateSession(path.join(dir, name), { seconds: 2, sensors: [[0, 0.5, 'a'], [-1.25, 0.25, 'b']] });
  generateRecording(path.join(dir, 'w.bin'), { seconds: 2 });
  const manifest = path.join(dir, 'm.csv');
  const root = path.join(dir, 'ds');
  const batch = (...args) => spawnSync(process.execPath, [CLI, 'batch', '--manifest', manifest, '-o', root, '--format', 'bids', ...args],
    { encoding: 'utf8' });
  fs.writeFileSync(manifest, 'path,set,subject,session\ns1/a.bin,x,01,1\ns1/b.bin,x,01,1\ns2/a.bin,y,02,1\ns2/b.bin,y,02,1\nw.bin,,,\n');
  const unnamed = batch('--task', 'walk');
  assert.deepEqual([unnamed.status, fs.existsSync(root)], [2, false], 'a run without a subject is refused before any work');
  assert.match(unnamed.stderr, /line 6: .*subject/);

  fs.writeFileSync(manifest, 'path,set,subject,session\ns1/a.bin,x,01,1\ns1/b.bin,x,01,1\ns2/a.bin,y,02,1\ns2/b.bin,y,02,1\nw.bin,,03,\n');
  assert.equal(batch('--task', 'walk', '--jobs', '2').status, 0);
  assert.deepEqual(validatorErrors(root), []);
  assert.deepEqual(rowsOf(path.join(root, 'participants.tsv')).map((r) => r[0]).sort(), ['participant_id', 'sub-01', 'sub-02', 'sub-03']);
  assert.match(batch('--task', 'walk').stdout, /0 converted, 3 current/);
  // Other options redo the runs the batch wrote, in place.
  assert.match(batch('--task', 'walk', '--orientation', 'none').stdout, /3 converted/);
  assert.equal(rowsOf(path.join(root, 'sub-03', 'sub-03_scans.tsv')).length, 2);
  assert.deepEqual(validatorErrors(root), []);
});
