'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const crypto = require('node:crypto');
const { spawnSync } = require('node:child_process');
const addon = require('../../lib/native/addon');
const kinovar = require('../../lib');
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { scratch, EOL } = require('./helpers');

test('status precedence: -10, then -13, then -11, then -12; nothing written on failure', (t) => {
  const dir = scratch(t, 'kinovar-sync-');
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  const [pelvis, thigh, shank] = generateSession(dir, { method: 'radio', seconds: 3 });
  const missing = path.join(dir, 'missing.bin');
  const noGyro = generateRecording(path.join(dir, 'nogyro.bin'), { gyro: 0, seconds: 2 });  // no orientation stage
  const alone = generateRecording(path.join(dir, 'alone.bin'), { seconds: 3 });  // no radio record: another master
  fs.mkdirSync(path.join(dir, 'b'));
  const sameName = path.join(dir, 'b', 'shank.bin');
  fs.copyFileSync(shank, sameName);

  assert.equal(addon.readAndSync2([], out), 'OK');
  assert.equal(addon.readAndSync2([pelvis, noGyro, missing, alone, sameName], out), '-10');
  assert.equal(addon.readAndSync2([pelvis, noGyro, alone, shank, sameName], out), '-13');
  assert.equal(addon.readAndSync2([pelvis, alone, shank, sameName], out), '-11');
  assert.equal(addon.readAndSync2([pelvis], out), '-11');
  assert.equal(addon.readAndSync2([pelvis, shank, sameName], out), '-12');
  assert.equal(addon.readAndSync2([pelvis, shank], path.join(dir, 'nowhere')), '-12');
  assert.deepEqual(fs.readdirSync(out), []);
  // Every format of a set: the same order and the same name rule. The API makes a
  // missing folder, and takes it away again when the set is refused.
  for (const format of kinovar.setFormats) {
    const failure = (recordings) => {
      try {
        const imuNames = format === 'opensense' ? recordings.map((_, i) => `imu${i}`) : undefined;
        kinovar.syncRecordings(recordings, path.join(dir, 'new', 'deeper'), { format, imuNames });
      } catch (error) {
        return [error.status, error.cause.reason];
      }
      return ['OK'];
    };
    assert.deepEqual(failure([pelvis, noGyro, missing, alone, sameName]), ['-10', 'unreadable-recordings'], format);
    assert.deepEqual(failure([pelvis, noGyro, alone, shank, sameName]), ['-13', 'no-orientation'], format);
    assert.deepEqual(failure([pelvis, alone, shank, sameName]), ['-11', 'several-masters'], format);
    if (format !== 'opensense') assert.deepEqual(failure([pelvis, shank, sameName]), ['-12', 'same-name'], format);
    assert.ok(!fs.existsSync(path.join(dir, 'new')), format);
  }

  // Where the file system folds case (Windows, macOS), names that differ only
  // in case, beyond ASCII too, are one CSV file.
  const folded = ['a', 'b'].map((sub) => path.join(dir, 'folded', sub, `${sub === 'a' ? '\u00c9' : '\u00e9'}milie.bin`));
  folded.forEach((file, i) => {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.copyFileSync([pelvis, thigh][i], file);
  });
  const folds = process.platform === 'win32' || process.platform === 'darwin';
  assert.equal(addon.readAndSync2(folded, out), folds ? '-12' : 'OK');
  for (const file of fs.readdirSync(out)) fs.rmSync(path.join(out, file));
  if (folds) assert.throws(() => kinovar.syncRecordings(folded, out, { format: 'parquet' }), { status: '-12' });
  else assert.equal(kinovar.syncRecordings(folded, out, { format: 'parquet' }).length, 2);
  for (const file of fs.readdirSync(out)) fs.rmSync(path.join(out, file));

  // Where the file system also normalises Unicode (macOS), a name written
  // composed and the same name decomposed are one file, in every format.
  const decomposed = ['a', 'b'].map((sub) => path.join(dir, 'nfd', sub, sub === 'a' ? 'caf\u00e9.bin' : 'cafe\u0301.bin'));
  decomposed.forEach((file, i) => {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.copyFileSync([pelvis, thigh][i], file);
  });
  const platform = Object.getOwnPropertyDescriptor(process, 'platform');
  Object.defineProperty(process, 'platform', { value: 'darwin' });
  try {
    for (const format of ['csv', 'plain', 'parquet']) {
      assert.throws(() => kinovar.syncRecordings(decomposed, out, { format }), { status: '-12' }, format);
    }
  } finally {
    Object.defineProperty(process, 'platform', platform);
  }
  assert.deepEqual(fs.readdirSync(out), []);

  // The folder is taken as given: a trailing separator just doubles.
  assert.equal(addon.readAndSync2([pelvis, thigh], `${out}/`), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['pelvis.csv', 'thigh.csv']);
});

// Rows of a synchronised CSV: [gyro X cell, event cell] per row.
function rows(csv) {
  const lines = fs.readFileSync(csv, 'latin1').split('\n');
  const names = lines[5].split(',');
  const [gyro, event] = [names.indexOf('Gyro X'), names.indexOf('Event')];
  return lines.slice(7, -1).map((line) => { const cells = line.split(','); return [cells[gyro], event < 0 ? '' : cells[event]]; });
}

test('events stand on the rows of their ticks, counted from the first written sample, whatever the offsets', (t) => {
  const dir = scratch(t);
  // Clock zeros (true s) of many seconds either way and one from days before.
  const sensors = [[10, 10, 'a'], [11, 11, 'b'], [-200000, 12, 'c'], [13.5, 14, 'd']];
  for (const method of ['marks', 'radio', 'stream']) {
    const folder = path.join(dir, method);
    fs.mkdirSync(folder);
    const files = generateSession(folder, { method, sensors, seconds: 20, events: 1 });
    const { report } = kinovar.syncRecordings(files, folder, { format: 'classic' });
    assert.equal(report.method, { marks: 'time-marks', radio: 'radio-settings', stream: 'radio-stream' }[method]);
    const base = method === 'marks' ? -200000 : 10;  // the earliest clock zero, or the master's
    report.offsets.forEach((offset, i) => assert.ok(Math.abs(offset - (sensors[i][0] - base)) < 1e-6, `${method} ${offset}`));
    assert.ok(Math.abs(report.window.start - (14 - base)) < 1e-6, `${method} window ${report.window.start}`);
    files.forEach((file, i) => {
      const first = sensors[i][1];
      const table = rows(report.files[i]);
      // A sensor's k-th event comes k s and 3 ticks after its first sample and
      // carries k + 1; the first written sample is the one taken at 14 s.
      const expected = [];
      for (let k = 0; k < 20; k++) {
        const row = Math.round((first + k + 0.003 - 14) * 1000);
        if (row >= 0 && row < table.length) expected.push([row, ((k % 250) + 1).toFixed(3)]);
      }
      const found = table.flatMap(([, event], row) => (event ? [[row, event]] : []));
      assert.deepEqual(found, expected, `${method} ${file}`);
      assert.equal(report.events[i], found.length);
      assert.equal(report.samples[i].gyro, table.filter(([gyro]) => gyro).length);
    });
  }
});

test('unaffected sets keep their bytes, aligned by offset as the native function writes them, and only it prints', (t) => {
  const dir = scratch(t);
  // Set without events: the sha-256 of its three files as they were before
  // events moved to their ticks, the window start kept its sign and the
  // time marks went to double precision.
  for (const method of ['marks', 'radio', 'stream']) {
    const folder = path.join(dir, method);
    fs.mkdirSync(folder);
    const files = generateSession(folder, { method, seconds: 4, sensors: [[0, 0.5, 'a'], [-1.25, 0.25, 'b'], [0.75, 1, 'c']] });
    const hash = crypto.createHash('sha256');
    const written = kinovar.syncRecordings(files, folder, { orientation: 'classic', clock: 'offset', format: 'classic' });
    assert.equal(written.report.clock, undefined);
    for (const csv of written) hash.update(fs.readFileSync(csv, 'latin1').split(EOL).join('\n'), 'latin1');
    assert.equal(hash.digest('hex').slice(0, 16), '9b6a0e0235637aee', method);
    // The window's end in double precision: 5.49, not the 5.490000009536743 a float gives.
    assert.deepEqual(written.report.window, method === 'marks' ? { start: 2.25, end: 5.49 } : { start: 1, end: 4.24 }, method);
    const native = path.join(folder, 'native');
    fs.mkdirSync(native);
    assert.equal(addon.readAndSync2(files, native), 'OK');
    for (const csv of written) assert.ok(fs.readFileSync(path.join(native, path.basename(csv))).equals(fs.readFileSync(csv)), csv);
  }
  const script = `const k = require(${JSON.stringify(path.join(__dirname, '..', '..', 'lib'))});
    const one = [${JSON.stringify(path.join(dir, 'marks', 'a.bin'))}];
    for (const format of ['classic', 'plain', 'parquet', 'opensense']) try { k.syncRecordings(one, '.', { format }); } catch {}
    try { k.loadSet(one); } catch {}
    k.promises.syncRecordings(one, '.').catch(() => { k.readAndSync2(one, '.'); process.exit(0); });`;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', cwd: dir });
  assert.equal(child.stderr, 'Wrong number of sensors.\n');
});

test('clocks that drift: one grid for every file, the slips counted, offset alone on request', async (t) => {
  const dir = scratch(t);
  // Five minutes at +20, -80 and +100 ppm: the last two slip two and three samples against the first.
  const files = generateSession(dir, { method: 'stream', seconds: 300, radioHz: 10, radioCorrupt: 0.01, noise: 20,
    sensors: [[0, 0.5, 'a', 20], [-1.25, 0.25, 'b', -80], [0.75, 1, 'c', 100]] });
  const { recordings, report } = await kinovar.promises.loadSet(files, { orientation: 'none' });
  assert.equal(report.clock, 'drift');
  const [grid, ...others] = recordings.map((r) => r.streams.accel.time);
  for (const time of others) assert.deepEqual(time, grid);
  assert.ok(Math.abs(grid[grid.length - 1] - grid[0] - (grid.length - 1) / 100) < 1e-9);
  const slips = report.clocks.map(({ skipped, repeated }) => [skipped.accel, repeated.accel]);
  assert.deepEqual(slips.map(([s, r]) => s + r > 0), [false, true, true]);
  // Aligned by offset, row k is sample k everywhere: the master's rows are the same, the slipping clocks' are not.
  const offset = kinovar.loadSet(files, { orientation: 'none', clock: 'offset' });
  const x = (set, i) => set.recordings[i].streams.accel.x.slice(20000, 21000);
  assert.deepEqual(x(offset, 0), x({ recordings }, 0));
  assert.notDeepEqual(x(offset, 1), x({ recordings }, 1));
  assert.ok(offset.report.clocks[1].offsetOnlyAtEndMs > 25 && offset.report.clocks[1].skipped === undefined);
  // Plain CSV: the rows are the grid's instants in every file.
  const plain = kinovar.syncRecordings(files, path.join(dir, 'plain'), { format: 'plain', orientation: 'none' });
  const times = plain.map((file) => fs.readFileSync(file, 'latin1').split(EOL).slice(1, -1).map((line) => line.split(',')[0]));
  for (const column of times.slice(1)) assert.deepEqual(column, times[0]);
  assert.throws(() => kinovar.loadSet(files, { clock: 'rate' }), /options\.clock must be 'drift' or 'offset', not "rate"/);
});

test('a gap by drift: its rows empty in every format, one row per instant, the rows within the window', (t) => {
  const dir = scratch(t);
  // Each recording loses 30 blocks (about 8 s) in its middle, each at another true time.
  const files = generateSession(dir, { method: 'stream', seconds: 60, radioHz: 10, noise: 20, cutBlocks: 30, events: 1,
    sensors: [[0, 0.5, 'a', 100], [-1.25, 0.25, 'b', -100], [0.75, 1, 'c', 40]] });
  const plain = kinovar.syncRecordings(files, path.join(dir, 'plain'), { format: 'plain' });
  const parquet = kinovar.syncRecordings(files, path.join(dir, 'parquet'), { format: 'parquet' });
  const sto = kinovar.syncRecordings(files, path.join(dir, 'sto'), { format: 'opensense' });
  const { report } = plain;
  assert.deepEqual(parquet.report.clocks, report.clocks);
  const span = report.window.end - report.window.start;
  const gaps = plain.map((file, i) => {
    const [head, ...lines] = fs.readFileSync(file, 'latin1').split(EOL).slice(0, -1).map((line) => line.split(','));
    const [gyro, accel, event] = ['gyro_x', 'accel_x', 'event'].map((name) => head.indexOf(name));
    const times = lines.map(([time]) => time);
    assert.equal(new Set(times).size, times.length, `${file}: two rows with one time`);
    // The first row is the accelerometer's, the last within the window.
    assert.equal(Number(times[0]), 0);
    assert.notEqual(lines[0][accel], '');
    assert.ok(Number(times.at(-1)) <= span + 1e-9, `${times.at(-1)} past ${span}`);
    // The gap's rows hold neither (an event's row holds only the event).
    const empty = lines.filter((cells) => cells[accel] === '' && cells[gyro] === '' && cells[event] === '').length;
    assert.equal(empty, report.clocks[i].empty.accel);
    assert.equal(report.clocks[i].empty.gyro, report.clocks[i].empty.accel);
    assert.ok(empty > 600 && empty < 1000, `${file}: ${empty} empty rows`);
    const table = kinovar.readParquet(parquet[i]);
    assert.equal(table.rows, lines.length);
    const events = lines.filter((cells) => cells[event] !== '').length;
    assert.equal(table.columns.accel_x.filter((v) => v === null || Number.isNaN(v)).length, empty + events);
    return empty;
  });
  // OpenSim's table leaves out every row where a sensor has no orientation.
  const rows = fs.readFileSync(sto[0], 'latin1').split('\nendheader\n')[1].split(/\r?\n/).slice(1, -1).length;
  assert.ok(rows <= report.samples[0].quaternion - Math.max(...gaps), `${rows} rows`);
  assert.ok(report.clocks.every((c) => Object.values(c.repeated).every((n) => n < 10)), 'a gap repeats nothing');
});
