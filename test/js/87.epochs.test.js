'use strict';
// Epoch summaries against a plain computation from the plain CSV of the same
// recording, another reader of the Parquet file, local days across a change
// of daylight-saving time, and the inputs refused.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../../lib');
const { generateRecording } = require('../../lib/native/generator');
const { main } = require('../../bin/kinovar');
const { scratch } = require('./helpers');

const csvRows = (file) => {
  const [head, ...lines] = fs.readFileSync(file, 'utf8').trimEnd().split('\n');
  const names = head.split(',');
  return lines.map((line) => Object.fromEntries(line.split(',').map((cell, c) => [names[c], cell === '' ? null : cell])));
};

async function cli(args) {
  let stdout = '';
  let stderr = '';
  const code = await main(args, { stdout: (t) => { stdout += t; }, stderr: (t) => { stderr += t; }, isTTY: false, env: {}, cwd: process.cwd() });
  return { code, stdout, stderr };
}

test('every epoch equals a plain computation from the plain CSV, in CSV and in Parquet', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'day.bin'), {
    accel: 50, gyro: 25, baro: 5, seconds: 3 * 3600 + 303,
    scenario: 'active:1800,nonwear:5400:2,active:600,gap:300,clipped:3,active:600,sleep:2400',
  });
  const report = kinovar.epochs(recording, path.join(dir, 'epochs.csv'), { epoch: 15 });
  kinovar.readRecording(recording, path.join(dir, 'plain.csv'), { format: 'plain', orientation: 'none' });
  const epochs = csvRows(path.join(dir, 'epochs.csv'));
  assert.equal(report.epochs, epochs.length);
  assert.equal(epochs.length, Math.ceil((3 * 3600 + 303) / 15));

  // The recomputation, from the plain CSV's accelerometer cells (5 decimals).
  const sums = new Map();
  for (const row of csvRows(path.join(dir, 'plain.csv'))) {
    if (row.accel_x === null) continue;
    const [x, y, z] = [row.accel_x, row.accel_y, row.accel_z].map(Number);
    const k = Math.floor((Number(row.time) + 1e-9) / 15);
    const s = sums.get(k) ?? sums.set(k, { n: 0, x: 0, z: 0, enmo: 0, angle: 0, clipped: 0, y: [], norms: [] }).get(k);
    const norm = Math.hypot(x, y, z);
    s.n++, s.x += x, s.z += z, s.enmo += Math.max(0, norm - 1);
    s.y.push(y), s.norms.push(norm);
    s.angle += Math.atan(z / Math.hypot(x, y)) * 180 / Math.PI;
    s.clipped += [x, y, z].some((v) => Math.abs(v) >= 15.5);
  }
  for (const [k, row] of epochs.entries()) {
    assert.equal(Number(row.time), 15 * k);
    const s = sums.get(k);
    assert.equal(Number(row.samples), s?.n ?? 0, `samples of epoch ${k}`);
    if (!s) {
      assert.ok(Object.entries(row).every(([name, cell]) => ['time', 'samples', 'pressure', 'temperature', 'gyro_mean'].includes(name) || cell === null),
        `epoch ${k} in the gap has empty cells`);
      continue;
    }
    assert.ok(Math.abs(Number(row.enmo) - s.enmo / s.n) < 1e-5, `enmo of epoch ${k}: ${row.enmo} against ${s.enmo / s.n}`);
    assert.ok(Math.abs(Number(row.anglez) - s.angle / s.n) < 2e-3, `anglez of epoch ${k}`);
    assert.ok(Math.abs(Number(row.accel_x_mean) - s.x / s.n) < 1e-5 && Math.abs(Number(row.accel_z_mean) - s.z / s.n) < 1e-5);
    assert.equal(Number(row.clipped), s.clipped, `clipped in epoch ${k}`);
    const mean = (v) => v.reduce((a, b) => a + b, 0) / v.length;
    const meanNorm = mean(s.norms), meanY = mean(s.y);
    assert.ok(Math.abs(Number(row.mad) - mean(s.norms.map((r) => Math.abs(r - meanNorm)))) < 1e-5, `mad of epoch ${k}`);
    const sdY = Math.sqrt(s.y.reduce((a, v) => a + (v - meanY) ** 2, 0) / (s.n - 1));
    assert.ok(Math.abs(Number(row.accel_y_sd) - sdY) < 1e-5, `accel_y_sd of epoch ${k}`);
  }
  // Non-wear where the sensor lay (30 to 120 min, on the windows' grid), nowhere else.
  const nonwear = epochs.filter((row) => row.nonwear === '1').map((row) => Number(row.time));
  assert.deepEqual([nonwear[0], nonwear.at(-1), nonwear.length], [1800, 7200 - 15, 5400 / 15]);
  assert.ok(Math.abs(report.notWornHours - 1.5) < 1e-9 && Math.abs(report.wornHours + report.notWornHours - (3 * 3600 + 3) / 3600) < 1e-6);

  // Pieces of a few samples, decoded ahead on other threads or not, give the same bytes.
  for (const threads of [1, 2]) {
    kinovar.epochs(recording, path.join(dir, 'small.csv'), { epoch: 15, chunkSamples: 7, threads, overwrite: true });
    assert.ok(fs.readFileSync(path.join(dir, 'small.csv')).equals(fs.readFileSync(path.join(dir, 'epochs.csv'))), `threads ${threads}`);
  }

  // Parquet: the same numbers, read back by another reader.
  kinovar.epochs(recording, path.join(dir, 'epochs.parquet'), { epoch: 15 });
  const { parquetReadObjects } = await import('hyparquet');
  const { compressors } = await import('hyparquet-compressors');
  const bytes = fs.readFileSync(path.join(dir, 'epochs.parquet'));
  const file = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
  const parquet = await parquetReadObjects({ file, compressors });
  assert.equal(parquet.length, epochs.length);
  for (const [k, row] of parquet.entries()) {
    for (const name of ['samples', 'enmo', 'mad', 'anglez', 'accel_y_sd', 'nonwear', 'gyro_mean', 'pressure']) {
      const cell = epochs[k][name];
      if (cell === null) assert.equal(row[name], null, `${name} of epoch ${k}`);
      else assert.ok(Math.abs(Number(row[name]) - Number(cell)) < 1e-9 * Math.max(1, Math.abs(row[name])) + 5e-5, `${name} of epoch ${k}`);
    }
  }
});

test('local days across a change of daylight-saving time, and 24 h days without a zone', async (t) => {
  const dir = scratch(t);
  // Made on 2017-03-21 at 14:05:09; Paris moved its clocks on the 26th.
  const recording = generateRecording(path.join(dir, 'week.bin'), {
    accel: 3, gyro: 0, baro: 0, seconds: 6 * 86400, scenario: `active:${3 * 86400},nonwear:${3 * 86400}`,
  });
  const days = path.join(dir, 'days.csv');
  const report = kinovar.epochs(recording, path.join(dir, 'e.csv'), { epoch: 60, time: 'absolute', timezone: 'Europe/Paris', days });
  const rows = csvRows(days);
  assert.deepEqual(rows.map((r) => r.date), ['2017-03-21', '2017-03-22', '2017-03-23', '2017-03-24', '2017-03-25', '2017-03-26', '2017-03-27']);
  const dst = rows.find((r) => r.date === '2017-03-26');
  assert.equal(Number(dst.hours), 23);
  assert.equal(Number(dst.recorded_hours), 23);
  assert.equal(Number(rows[1].worn_hours), 24);
  assert.equal(rows.map((r) => r.valid).join(''), '0110000');
  assert.equal(report.validDays, 2);
  // The epochs stand at whole minutes of the wall clock, in UTC.
  const first = csvRows(path.join(dir, 'e.csv'))[0];
  assert.equal(first.datetime, '2017-03-21T13:05:00.000000Z');

  // Autumn's change gives a day of 25 hours.
  const autumn = generateRecording(path.join(dir, 'autumn.bin'), { accel: 1, gyro: 0, baro: 0, seconds: 3 * 86400, createdAt: '2017-10-28 00:00:00' });
  kinovar.epochs(autumn, path.join(dir, 'a.csv'), { epoch: 60, time: 'absolute', timezone: 'Europe/Paris', days });
  assert.deepEqual(csvRows(days).map((r) => [r.date, Number(r.hours)]), [['2017-10-28', 24], ['2017-10-29', 25], ['2017-10-30', 24]]);

  kinovar.epochs(recording, path.join(dir, 'e.csv'), { epoch: 60, days });
  const steps = csvRows(days);
  assert.deepEqual(steps.map((r) => [r.date, Number(r.hours)]), Array.from({ length: 6 }, () => [null, 24]));
});

test('bad input is refused with its reason, and nothing is written', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'r.bin'), { seconds: 20 });
  const noAccel = generateRecording(path.join(dir, 'gyro.bin'), { seconds: 20, accel: 0 });
  const settings = path.join(dir, 's.cfg');
  fs.writeFileSync(settings, fs.readFileSync(recording).subarray(0, 512));
  const out = path.join(dir, 'out.csv');
  const refused = [
    [recording, { epoch: 0 }, /epoch must be seconds from 1 to 3600/],
    [recording, { epoch: -5 }, /epoch must be seconds/],
    [recording, { epoch: 7, days: path.join(dir, 'd.csv') }, /must divide a day \(86400 s\) evenly/],
    [recording, { nonwear: { sdMg: 0 } }, /nonwear.sdMg must be a number above 0/],
    [noAccel, {}, { code: 'ERR_KINOVAR_NO_ACCELEROMETER' }],
    [settings, {}, { code: 'ERR_KINOVAR_NO_SAMPLES' }],
  ];
  for (const [input, options, why] of refused) {
    assert.throws(() => kinovar.epochs(input, out, options), why);
    assert.ok(!fs.existsSync(out) && !fs.existsSync(path.join(dir, 'd.csv')));
  }
  const bad = await cli(['epochs', recording, '-o', out, '--epoch', '0']);
  assert.equal(bad.code, 2);
  assert.match(bad.stderr, /--epoch must be seconds from 1 to 3600/);
  const good = await cli(['epochs', recording, '-o', out, '--json']);
  assert.equal(good.code, 0, good.stderr);
  const [result] = JSON.parse(good.stdout);
  assert.equal(result.report.epochs, 4);
  assert.equal(fs.readFileSync(out, 'utf8').split('\n')[0].split(',')[2], 'enmo');
  // A second run replaces our own file; the promise form gives the same report.
  assert.deepEqual(await kinovar.promises.epochs(recording, out), result.report);
});

test('the viewer\'s page gives ENMO per epoch and the spans the sensor was not worn', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'a.bin'), { accel: 5, gyro: 0, baro: 0, seconds: 7200, scenario: 'active:3600,nonwear:3600' });
  const page = path.join(dir, 'a.html');
  kinovar.writeViewPage(recording, page);
  const { header } = require('../../lib/viewer/page').decodeViewData(new Uint8Array(Buffer.from(
    /<script id="data" type="application\/octet-stream">(.*?)<\/script>/s.exec(fs.readFileSync(page, 'utf8'))[1], 'base64')));
  assert.deepEqual([header.activity.epoch, header.activity.enmo.length, header.activity.nonwear], [5, 1440, [[3600, 7200]]]);
  assert.ok(header.activity.enmo[0] > 50 && header.activity.enmo[1000] < 5);
});

test('batch --epochs writes each recording\'s epochs and days; the summary gains worn hours, valid days and calibration error', async (t) => {
  const dir = scratch(t);
  const study = path.join(dir, 'study');
  fs.mkdirSync(study);
  const worn = generateRecording(path.join(study, 'p1.bin'), { accel: 10, gyro: 0, baro: 0, seconds: 7200, scenario: 'active:3600,nonwear:3600' });
  generateRecording(path.join(study, 'p2.bin'), { seconds: 20, accel: 0 });
  const out = path.join(dir, 'out');
  const run = () => cli(['batch', study, '-o', out, '--epochs', '--epoch', '30', '--nonwear-window', '40', '--quiet']);
  const first = await run();
  assert.equal(first.code, 1);
  assert.match(first.stderr, /p2\.bin.*no accelerometer samples/);
  // The files epochs() writes with the same options, to the byte.
  kinovar.epochs(worn, path.join(dir, 'alone.csv'), { epoch: 30, nonwear: { windowMinutes: 40 }, days: path.join(dir, 'alone.days.csv') });
  assert.ok(fs.readFileSync(path.join(out, 'p1.epochs.csv')).equals(fs.readFileSync(path.join(dir, 'alone.csv'))));
  assert.ok(fs.readFileSync(path.join(out, 'p1.days.csv')).equals(fs.readFileSync(path.join(dir, 'alone.days.csv'))));
  // Nothing changed: nothing redone, the recording without an accelerometer not tried again.
  const again = await run();
  assert.match(again.stderr, /0 converted, 1 current, 1 failed/);

  assert.equal((await cli(['batch', 'merge', out])).code, 1);
  const [p1, p2] = csvRows(path.join(out, 'summary.csv'));
  assert.equal(Number(p1.worn_hours), 1);
  assert.equal(p1.valid_days, '0');
  assert.ok(Number(p1.calibration_error_mg) >= 0 && Number(p1.calibration_error_mg) < 10, p1.calibration_error_mg);
  assert.equal(p1.outputs.split(';').length, 3);
  assert.deepEqual([p2.error_code, p2.worn_hours], ['ERR_KINOVAR_NO_ACCELEROMETER', null]);

  // What batch --epochs cannot do is refused before anything is converted.
  assert.throws(() => kinovar.batch([study], path.join(dir, 'o2'), { epoch: 30 }), /options.epoch goes with options.epochs: true/);
  assert.throws(() => kinovar.batch([study], path.join(dir, 'o2'), { epochs: true, epoch: 7 }), /must divide a day/);
  assert.equal((await cli(['batch', study, '-o', path.join(dir, 'o2'), '--epoch', '30'])).code, 2);
  assert.ok(!fs.existsSync(path.join(dir, 'o2')));
});
