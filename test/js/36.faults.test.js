'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const kinovar = require('../../lib');
const { readParquetBytes } = require('../../lib/parquet/file');
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { scratch } = require('./helpers');

const cli = path.join(__dirname, '..', '..', 'bin', 'kinovar.js');
const TWO_31 = 2 ** 31;

/** The time column of a plain CSV. */
function csvColumn(file, name) {
  const lines = fs.readFileSync(file, 'utf8').trim().split(/\r?\n/);
  const column = lines[0].split(',').indexOf(name);
  return lines.slice(1).map((line) => line.split(',')[column]).filter((cell) => cell !== '').map(Number);
}

/** Times that rise by no more than `step` each. */
function assertSteady(times, step, what, strict = true) {
  assert.ok(times.length > 0, what);
  for (let i = 1; i < times.length; i++) {
    const d = times[i] - times[i - 1];
    assert.ok((strict ? d > 0 : d >= 0) && d <= step, `${what}: ${times[i - 1]} then ${times[i]}`);
  }
}

test('a counter passing 2^31 keeps true time in every table; the classic CSV keeps its ticks and says so', (t) => {
  const dir = scratch(t, 'kinovar-counter-');
  for (const clock of [1000, 32768]) {
    const recording = generateRecording(path.join(dir, `r${clock}.bin`), { seconds: 6, clock, startTick: TWO_31 - 3 * clock });
    const start = (TWO_31 - 3 * clock) / clock;
    kinovar.readRecording(recording, path.join(dir, 'plain.csv'), { format: 'plain', orientation: 'none' });
    const plain = csvColumn(path.join(dir, 'plain.csv'), 'time');
    assertSteady(plain, 0.0101, `plain ${clock}`);
    assert.equal(plain.length, 600);  // 100 Hz for 6 s, the 25 Hz barometer on those rows
    const loaded = kinovar.load(recording, { orientation: 'none' });
    assertSteady(Array.from(loaded.streams.accel.time), 0.0101, `load ${clock}`);
    assert.ok(Math.abs(loaded.info.quality.streams.accel.first - start) < 1e-9);
    kinovar.readRecording(recording, path.join(dir, 'r.parquet'), { format: 'parquet', orientation: 'none' });
    const parquet = readParquetBytes(fs.readFileSync(path.join(dir, 'r.parquet')));
    assertSteady(Array.from(parquet.columns.time), 0.0101, `parquet ${clock}`);
    assert.equal(kinovar.epochs(recording, path.join(dir, 'e.csv'), { epoch: 1 }).epochs, 6);

    // The classic CSV is warned about, by read and inspect; plain is not.
    const read = spawnSync(process.execPath, [cli, 'read', recording, '-o', path.join(dir, 'c.csv'), '--format', 'csv'], { encoding: 'utf8' });
    assert.equal(read.status, 0, read.stderr);
    assert.match(read.stderr, /passes 2\^31 at 3\.000 s/);
    const readPlain = spawnSync(process.execPath, [cli, 'read', recording, '-o', path.join(dir, 'p.csv'), '--format', 'plain'], { encoding: 'utf8' });
    assert.doesNotMatch(readPlain.stderr, /2\^31/);
    const inspect = spawnSync(process.execPath, [cli, 'inspect', recording], { encoding: 'utf8' });
    assert.match(inspect.stdout, /passes 2\^31 at 3\.000 s/);
  }
});

test('sets whose counters pass 2^31 or 2^32 mid-recording line up as sets that do not', (t) => {
  const dir = scratch(t, 'kinovar-counter-set-');
  // The motion starts at 4 s true time; the window at the latest first sample, 1 s.
  for (const clock of [1000, 32768]) {
    for (const method of ['marks', 'stream']) {
      const folder = path.join(dir, `${clock}-${method}`);
      // Each counter passes its mark 3 s into the recording, on clocks 20 and 30 ppm off.
      const sensors = [[3 - TWO_31 / clock, 0.5, 'pelvis', 20], [1 - 2 * TWO_31 / clock, 0.25, 'thigh', -30], [0.75, 1, 'shank']];
      const set = generateSession(folder, { method, seconds: 8, clock, motionStart: 4, radioHz: method === 'stream' ? 10 : undefined, sensors });
      for (const recording of set) {
        const quality = kinovar.inspect(recording);
        assert.equal(quality.outOfOrder, 0);
        for (const [name, s] of Object.entries(quality.streams)) assert.equal(s.gaps.count, 0, `${recording} ${name}`);
      }
      const out = path.join(folder, 'out');
      kinovar.syncRecordings(set, out, { format: 'plain', clock: 'drift' });
      for (const name of ['pelvis', 'thigh', 'shank']) {
        const file = path.join(out, `${name}.csv`);
        const times = csvColumn(file, 'time');
        assertSteady(times, 0.0201, `${clock} ${method} ${name}`, false);  // a barometer row may share its time
        // The rotation (90 deg/s about z) shows at 3 s on the common clock in every recording.
        const rows = fs.readFileSync(file, 'utf8').trim().split(/\r?\n/).slice(1).map((line) => line.split(','));
        const onset = rows.find((row) => row[3] !== '' && Number(row[3]) > 45);
        assert.ok(onset && Math.abs(Number(onset[0]) - 3) <= 0.031, `${clock} ${method} ${name}: turns at ${onset?.[0]}`);
      }
    }
  }
});

test('a recording cut on a block boundary is shorter than its settings say, in inspect, read and batch', (t) => {
  const dir = scratch(t, 'kinovar-cut-');
  const whole = fs.readFileSync(generateRecording(path.join(dir, 'whole.bin'), { seconds: 120 }));
  fs.mkdirSync(path.join(dir, 'study'));
  const cut = path.join(dir, 'study', 'cut.bin');
  fs.writeFileSync(cut, whole.subarray(0, 11 * 512));  // the settings and 10 data blocks: 2.59 s of samples
  const run = (...args) => spawnSync(process.execPath, [cli, ...args], { encoding: 'utf8' });
  assert.deepEqual(kinovar.inspect(cut).shorterThanSettings, { seconds: 2.59, settings: 120 });
  assert.equal(kinovar.inspect(path.join(dir, 'whole.bin')).shorterThanSettings, undefined);
  const strict = run('inspect', '--strict', cut);
  assert.equal(strict.status, 1);
  assert.match(strict.stdout, /shorter than its settings say \(2\.6 of 120 s\)/);
  assert.match(run('read', cut, '-o', path.join(dir, 'cut.csv')).stderr, /shorter than its settings say/);
  const batch = run('batch', path.join(dir, 'study'), '-o', path.join(dir, 'out'));
  assert.equal(batch.status, 0, batch.stderr);
  run('batch', 'merge', path.join(dir, 'out'));
  const [head, row] = fs.readFileSync(path.join(dir, 'out', 'summary.csv'), 'utf8').trim().split('\n').map((line) => line.split(','));
  assert.equal(row[head.indexOf('short_of_settings_s')], '120');
});

test('impossible dates are refused, naming the field and the rule; a local time a clock change skips is warned of', (t) => {
  const dir = scratch(t, 'kinovar-dates-');
  const recording = generateRecording(path.join(dir, 'r.bin'), { seconds: 2 });
  for (const [date, rule] of [['2017-13-40 25:61:99', /month 13 is not 1 to 12; hour 25 is not 0 to 23/], ['2017-02-29 10:00:00', /day 29 is not 1 to 28 in 2017-02/]]) {
    const set = spawnSync(process.execPath, [cli, 'config', 'set', recording, `createdAt=${date}`, '-o', path.join(dir, 's.cfg')], { encoding: 'utf8' });
    assert.notEqual(set.status, 0);
    assert.match(set.stderr, /createdAt/);
    assert.match(set.stderr, rule);
    assert.ok(!fs.existsSync(path.join(dir, 's.cfg')));
  }
  // The creation record (3/0) holds second, minute, hour, day, month, then the year.
  const withCreation = (second, minute, hour, day, month) => {
    const bytes = fs.readFileSync(recording);
    const at = bytes.indexOf(Buffer.from([0x51, 0x37, 3, 0]));
    bytes.set([second, minute, hour, day, month], at + 5);
    fs.writeFileSync(path.join(dir, 'dated.bin'), bytes);
    return path.join(dir, 'dated.bin');
  };
  const absolute = (file, timezone) => kinovar.readRecording(file, path.join(dir, 'a.csv'), { format: 'plain', time: 'absolute', timezone });
  assert.throws(() => absolute(withCreation(0, 0, 10, 21, 13)), { code: 'ERR_KINOVAR_FORMAT', message: /month 13 is not 1 to 12/ });
  const warned = [];
  const onWarning = (warning) => warned.push(warning);
  process.on('warning', onWarning);
  t.after(() => process.off('warning', onWarning));
  absolute(withCreation(0, 30, 2, 26, 3), 'Europe/Paris');  // 2017-03-26 02:30, skipped
  absolute(withCreation(0, 30, 2, 29, 10), 'Europe/Paris');  // 2017-10-29 02:30, twice
  absolute(withCreation(0, 30, 2, 29, 10), 'UTC');
  return new Promise(setImmediate).then(() => {
    assert.deepEqual(warned.map((w) => [w.code, /does not exist|occurs twice/.exec(w.message)?.[0]]),
      [['KINOVAR_LOCAL_TIME', 'does not exist'], ['KINOVAR_LOCAL_TIME', 'occurs twice']]);
  });
});
