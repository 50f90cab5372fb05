'use strict';
// load(), the plain CSV, Parquet and the OpenSim table, each checked against
// the classic CSV that the native read writes for the same recording.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const kinovar = require('../../lib');
const { generateRecording, generateSession } = require('../../lib/generator');
const { scratch, EOL } = require('./helpers');

// Columns of the classic CSV by the load() stream and channel they hold, with their decimals.
const CLASSIC = [
  ['Gyro X', 'gyro', 'x', 5], ['Gyro Y', 'gyro', 'y', 5], ['Gyro Z', 'gyro', 'z', 5],
  ['Accel X', 'accel', 'x', 5], ['Accel Y', 'accel', 'y', 5], ['Accel Z', 'accel', 'z', 5],
  ['Pressure', 'baro', 'pressure', 3], ['Temperature', 'baro', 'temperature', 1], ['Event', 'events', 'value', 3],
  ['Quat W', 'orientation', 'w', 5], ['Quat X', 'orientation', 'x', 5], ['Quat Y', 'orientation', 'y', 5],
  ['Quat Z', 'orientation', 'z', 5],
];
const PLAIN = ['gyro_x', 'gyro_y', 'gyro_z', 'accel_x', 'accel_y', 'accel_z', 'pressure', 'temperature', 'event',
  'quat_w', 'quat_x', 'quat_y', 'quat_z'];

/** The classic CSV as cells: its column names and rows of texts ('' where empty). */
function classicCells(file) {
  const lines = fs.readFileSync(file, 'latin1').split(EOL).slice(0, -1);
  const names = lines[5].split(',').slice(0, -1);
  return { names, rows: lines.slice(7).map((line) => line.split(',').slice(0, -1)) };
}

// A value matches a cell when the cell is the value rounded to its decimals.
const within = (value, cell, digits) => Math.abs(value - Number(cell)) <= 0.5 * 10 ** -digits + 1e-9 * Math.abs(value);

// Clock 200 Hz with sensors at 100 and 25 Hz: the table has empty cells
// between samples and events placed by their times.
const RECORDING = { seconds: 3, clock: 200, accel: 100, gyro: 100, baro: 25, events: 1, still: 1 };
// The native read's estimator, for comparing with its CSV.
const CLASSIC_FILTER = { orientation: 'classic' };

test('load() gives every sample of the classic CSV, channel by channel, and takes the orientation option', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), RECORDING);
  const csv = path.join(dir, 'classic.csv');
  const info = JSON.parse(kinovar.read(recording, csv));
  const { names, rows } = classicCells(csv);
  const loaded = kinovar.load(recording, CLASSIC_FILTER);
  const { quality, ...description } = loaded.info;
  assert.deepEqual(description, info);
  assert.equal(typeof quality, 'object');
  assert.deepEqual(Object.keys(loaded.streams), ['accel', 'gyro', 'baro', 'events', 'orientation']);
  for (const [name, stream, channel, digits] of CLASSIC) {
    const at = names.indexOf(name);
    const cells = rows.map((row) => row[at]).filter((cell) => cell !== '');
    const values = loaded.streams[stream][channel];
    assert.ok(values instanceof Float64Array, name);
    assert.equal(values.length, cells.length, name);
    assert.equal(loaded.streams[stream].time.length, cells.length, name);
    cells.forEach((cell, k) => assert.ok(within(values[k], cell, digits), `${name} ${k}: ${values[k]} is not ${cell}`));
  }
  // The samples' own times: the clock ticks at which they were taken, rising.
  const { time } = loaded.streams.gyro;
  assert.ok(time.every((t, k) => k === 0 || t > time[k - 1]));

  assert.equal(kinovar.load(recording, { orientation: 'none' }).streams.orientation, undefined);
  assert.throws(() => kinovar.load(recording, { orientation: 'fast' }), TypeError);
  assert.throws(() => kinovar.load(path.join(dir, 'missing.bin')), { code: 'ENOENT' });
  fs.writeFileSync(path.join(dir, 'text.bin'), 'not a recording'.repeat(50));
  assert.throws(() => kinovar.load(path.join(dir, 'text.bin')), { code: kinovar.codes.FORMAT });

  // The promise version computes on a worker, with the same default estimator.
  const moved = await kinovar.promises.load(recording);
  assert.deepEqual(moved.streams, kinovar.load(recording).streams);
  assert.notDeepEqual(moved.streams.orientation, loaded.streams.orientation);
});

test('the plain CSV is the classic rows under one header, without trailing commas', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), RECORDING);
  const classic = path.join(dir, 'classic.csv');
  const plain = path.join(dir, 'plain.csv');
  kinovar.read(recording, classic);
  assert.deepEqual(kinovar.readRecording(recording, plain, { format: 'plain', ...CLASSIC_FILTER }), kinovar.load(recording).info);
  const classicLines = fs.readFileSync(classic, 'latin1').split(EOL);
  const plainLines = fs.readFileSync(plain, 'latin1').split(EOL);
  assert.equal(plainLines[0], ['time', ...PLAIN].join(','));
  assert.deepEqual(plainLines.slice(1), classicLines.slice(7).map((line) => line.replace(/,$/, '')));

  // Debian's python3-pandas lives with the system interpreter, which need not come first on PATH.
  const script = `import pandas, sys
frame = pandas.read_csv(sys.argv[1])
assert all(str(t) in ('float64', 'int64') for t in frame.dtypes), frame.dtypes
print(len(frame.columns), len(frame))`;
  const pandas = ['python3', '/usr/bin/python3'].map((python) => spawnSync(python, ['-c', script, plain], { encoding: 'utf8' }))
    .find((run) => !(run.error || /No module named/.test(run.stderr)));
  if (!pandas) {
    t.diagnostic('pandas is not installed (Debian: apt-get install python3-pandas): its reading was not checked');
  } else {
    assert.equal(pandas.stdout.trim(), `14 ${plainLines.length - 2}`, pandas.stderr);
  }
});

test('Parquet holds the classic table at full precision, read back by an independent reader', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), RECORDING);
  const classic = path.join(dir, 'classic.csv');
  const file = path.join(dir, 'rec.parquet');
  kinovar.read(recording, classic);
  kinovar.readRecording(recording, file, CLASSIC_FILTER);  // the extension chooses the format
  const { names, rows } = classicCells(classic);
  const loaded = kinovar.load(recording, CLASSIC_FILTER);

  const { parquetReadObjects, parquetMetadata } = await import('hyparquet');
  const { compressors } = await import('hyparquet-compressors');
  const bytes = fs.readFileSync(file);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
  const table = await parquetReadObjects({ file: buffer, compressors });
  const metadata = Object.fromEntries(parquetMetadata(buffer).key_value_metadata.map(({ key, value }) => [key, value]));
  assert.deepEqual(JSON.parse(metadata['kinovar.recording']), loaded.info);
  assert.equal(JSON.parse(metadata['kinovar.units']).gyro_x, 'deg/s');
  assert.deepEqual(Object.keys(table[0]), ['time', ...PLAIN]);
  assert.equal(table.length, rows.length);
  const next = Object.fromEntries(CLASSIC.map(([name]) => [name, 0]));
  rows.forEach((cells, r) => {
    assert.ok(within(table[r].time, cells[0], 5), `time ${r}`);
    CLASSIC.forEach(([name, stream, channel, digits], c) => {
      const cell = cells[names.indexOf(name)];
      const value = table[r][PLAIN[c]];
      if (cell === '') return assert.equal(value, null, `${name} ${r} should be null`);
      assert.ok(within(value, cell, digits), `${name} ${r}: ${value} is not ${cell}`);
      assert.equal(value, loaded.streams[stream][channel][next[name]++], `${name} ${r} at full precision`);
    });
  });
  assert.equal(typeof table.find((row) => row.event !== null).event, 'number');

  // Our own reader, for the viewer: the same streams as load(), timed by the table.
  const back = kinovar.readParquet(file);
  assert.deepEqual(back.info, loaded.info);
  assert.deepEqual(back.streams.gyro.x, loaded.streams.gyro.x);
  assert.deepEqual(back.streams.events.value, loaded.streams.events.value);
});

test('the OpenSim table of a set: a column per sensor, unit quaternions, rising times, the synced CSV numbers', (t) => {
  const dir = scratch(t);
  const set = generateSession(dir, { seconds: 4, clock: 100, accel: 100, gyro: 100, still: 1 });
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  const { report } = kinovar.syncRecordings(set, out);
  // Every format reports the synchronisation the classic CSV did.
  const sameReport = (other, keys = ['method', 'recordings', 'offsets', 'window', 'samples', 'events']) =>
    keys.forEach((key) => assert.deepEqual(other[key], report[key], key));
  const table = kinovar.syncRecordings(set, out, { format: 'opensense' });
  const [file] = table;
  assert.equal(file, path.join(out, 'orientations.sto'));
  sameReport(table.report);
  assert.deepEqual(table.report.files, [file]);
  const lines = fs.readFileSync(file, 'utf8').split('\n').slice(0, -1);
  assert.deepEqual(lines.slice(0, 6), ['DataRate=100', 'DataType=Quaternion', 'version=3', 'OpenSimVersion=4.5', 'endheader',
    'time\tpelvis_imu\tthigh_imu\tshank_imu']);
  const synced = ['pelvis', 'thigh', 'shank'].map((name) => classicCells(path.join(out, `${name}.csv`)));
  const rows = lines.slice(6).map((line) => line.split('\t'));
  assert.ok(rows.length > 200);
  let last = -1;
  for (const [time, ...cells] of rows) {
    const i = Math.round(Number(time) * 100);
    assert.ok(Number(time) > last && Number(time) >= 0);
    last = Number(time);
    cells.forEach((cell, s) => {
      const q = cell.split(',').map(Number);
      assert.equal(q.length, 4);
      assert.ok(Math.abs(Math.hypot(...q) - 1) < 1e-6, `unit quaternion at ${time}`);
      const { names, rows: csvRows } = synced[s];
      q.forEach((v, c) => assert.ok(within(v, csvRows[i][names.indexOf(['Quat W', 'Quat X', 'Quat Y', 'Quat Z'][c])], 5)));
    });
  }
  // Every row left out has a sensor without an estimate (all-zero quaternion in its CSV).
  const kept = new Set(rows.map(([time]) => Math.round(Number(time) * 100)));
  synced[0].rows.forEach((_, i) => {
    if (kept.has(i)) return;
    assert.ok(synced.some(({ names, rows: r }) => r[i][names.indexOf('Quat W')] === '0.00000'), `row ${i} left out`);
  });

  kinovar.syncRecordings(set, out, { format: 'opensense', imuNames: ['pelvis_imu', 'femur_r_imu', 'tibia_r_imu'] });
  assert.match(fs.readFileSync(file, 'utf8'), /\ntime\tpelvis_imu\tfemur_r_imu\ttibia_r_imu\n/);
  assert.throws(() => kinovar.syncRecordings(set, out, { format: 'opensense', imuNames: ['a', 'b'] }), TypeError);
  assert.throws(() => kinovar.syncRecordings(set, out, { format: 'opensense', imuNames: ['a', 'b c', 'd'] }),
    (e) => e instanceof RangeError && /IMU name "b c" .*; use "b_c"$/.test(e.message));
  // Names made from file names are mended into ones the table can hold; a clash left after that names the name.
  const renamed = (names) => names.map((name, i) => {
    fs.copyFileSync(set[i], path.join(dir, name));
    return path.join(dir, name);
  });
  kinovar.syncRecordings(renamed(['bassin gauche.bin', 'cuisse,droite.bin', 'tibia.bin']), out, { format: 'opensense' });
  assert.match(fs.readFileSync(file, 'utf8'), /\ntime\tbassin_gauche_imu\tcuisse_droite_imu\ttibia_imu\n/);
  const twins = renamed(['bassin gauche.bin', 'bassin_gauche.bin', 'tibia.bin']);
  assert.throws(() => kinovar.syncRecordings(twins, out, { format: 'opensense' }), (e) => e instanceof RangeError &&
    e.message.includes(`same IMU name "bassin_gauche_imu" (${twins[0]} and ${twins[1]})`));

});

test('a set in every format holds the synchronised classic rows and reports what the classic CSV did', async (t) => {
  const dir = scratch(t);
  const set = generateSession(dir, { seconds: 4, clock: 100, accel: 100, gyro: 100, still: 1 });
  const out = path.join(dir, 'out');
  const { report } = kinovar.syncRecordings(set, out);
  const synced = ['pelvis', 'thigh', 'shank'].map((name) => classicCells(path.join(out, `${name}.csv`)));
  const sameReport = (other, keys = ['method', 'recordings', 'offsets', 'window', 'samples', 'events']) =>
    keys.forEach((key) => assert.deepEqual(other[key], report[key], key));
  const plainDir = path.join(dir, 'plain');
  const plain = kinovar.syncRecordings(set, plainDir, { format: 'plain' });
  plain.forEach((file, s) => assert.deepEqual(fs.readFileSync(file, 'latin1').split(EOL).slice(1, -1),
    synced[s].rows.map((cells) => cells.join(','))));
  sameReport(plain.report);
  const parquet = kinovar.syncRecordings(set, plainDir, { format: 'parquet', orientation: 'none' });
  assert.equal(parquet.length, 3);
  sameReport(parquet.report, ['method', 'offsets', 'window', 'events']);
  assert.equal(kinovar.readParquet(path.join(plainDir, 'thigh.parquet')).columns.quat_w, undefined);

  const { recordings, report: loaded } = kinovar.loadSet(set);
  sameReport(loaded);
  assert.deepEqual(recordings.map((r) => path.basename(r.path)), ['pelvis.bin', 'thigh.bin', 'shank.bin']);
  assert.ok(recordings.every((r) => r.streams.orientation.w.length === synced[0].rows.length));
  const moved = await kinovar.promises.loadSet(set);
  assert.deepEqual(moved.recordings.map((r) => r.streams), recordings.map((r) => r.streams));
  assert.throws(() => kinovar.loadSet([set[0]]), { code: kinovar.codes.NOT_SYNCHRONISABLE });
});

test('outputs are written whole, and never over a file kinovar did not write', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const notes = path.join(dir, 'notes.csv');
  fs.writeFileSync(notes, 'my own notes\n');
  for (const format of ['plain', 'parquet']) {
    assert.throws(() => kinovar.readRecording(recording, notes, { format }),
      (e) => e.code === kinovar.codes.NOT_OURS && e.path === notes && /overwrite/.test(e.message));
    assert.equal(fs.readFileSync(notes, 'utf8'), 'my own notes\n');
  }
  assert.throws(() => kinovar.readRecording(recording, recording, { format: 'plain' }), { code: kinovar.codes.NOT_OURS });
  // Our own outputs are replaced; anything with overwrite.
  const out = path.join(dir, 'out.parquet');
  kinovar.readRecording(recording, out);
  kinovar.readRecording(recording, out);
  kinovar.readRecording(recording, out, { format: 'plain' });
  kinovar.readRecording(recording, out, { format: 'parquet' });
  kinovar.readRecording(recording, notes, { format: 'plain', overwrite: true });
  assert.match(fs.readFileSync(notes, 'latin1'), /^time,/);
  if (process.platform === 'linux') {
    // A pipe (standard output here) takes the bytes as they are and is never replaced.
    const script = path.join(dir, 'to-pipe.js');
    const toPipe = (fn, options) => {
      fs.writeFileSync(script, `require(${JSON.stringify(require.resolve('../..'))}).${fn}(${JSON.stringify(recording)}, '/proc/self/fd/1'${options});`);
      return spawnSync('sh', ['-c', `"${process.execPath}" "${script}" | cat`], { encoding: 'latin1' }).stdout;
    };
    assert.equal(toPipe('readRecording', ", { format: 'plain' }"), fs.readFileSync(notes, 'latin1'));
    kinovar.readRecording(recording, path.join(dir, 'classic.csv'), CLASSIC_FILTER);
    assert.equal(toPipe('read', ''), fs.readFileSync(path.join(dir, 'classic.csv'), 'latin1'));
  }
  if (process.platform !== 'win32') {
    // Through a link: the file it names is replaced and keeps its permissions; the link stays.
    const link = path.join(dir, 'link.parquet');
    fs.symlinkSync(out, link);
    fs.chmodSync(out, 0o600);
    kinovar.readRecording(recording, link, { format: 'plain' });
    assert.ok(fs.lstatSync(link).isSymbolicLink());
    assert.match(fs.readFileSync(out, 'latin1'), /^time,/);
    assert.equal(fs.statSync(out).mode & 0o777, 0o600);
  }
  if (process.platform === 'linux') {
    // A set is written whole or not at all, in every format: one file that fills the disk, none written.
    const set = generateSession(fs.mkdtempSync(path.join(dir, 'session-')), { seconds: 2 });
    const full = fs.mkdtempSync(path.join(dir, 'full-'));
    for (const name of ['thigh.csv', 'thigh.parquet']) fs.symlinkSync('/dev/full', path.join(full, name));
    for (const format of ['csv', 'plain', 'parquet']) {
      assert.throws(() => kinovar.syncRecordings(set, full, { format }), { code: 'ENOSPC' }, format);
      assert.deepEqual(fs.readdirSync(full).sort(), ['thigh.csv', 'thigh.parquet'], format);
    }
  }
  assert.throws(() => kinovar.readRecording(recording, path.join(dir, 'missing', 'x.csv'), { format: 'plain' }),
    { code: 'ENOENT', path: path.join(dir, 'missing', 'x.csv') });
  assert.throws(() => kinovar.readRecording(recording, out, { format: 'xlsx' }), RangeError);
  assert.deepEqual(fs.readdirSync(dir).filter((name) => name.endsWith('.tmp')), []);
});
