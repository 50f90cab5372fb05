'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const kinovar = require('../..');
const { generateRecording } = require('../../lib/native/generator');
const { scratch } = require('./helpers');

// Two hours of still postures over the sphere, read off as a sensor reads:
// no barometer, so the model is offset, scale and bias alone.
const truth = { accelOffset: [0.05, -0.03, 0.02], accelScale: [1.02, 0.98, 1.01], gyroBias: [1.5, -2, 0.5] };
const recipe = { seconds: 7200, accel: 25, gyro: 25, baro: 0, noise: 4, postures: [100, 3], ...truth };

test('calibrate fits the generator\'s miscalibration, and the conversions apply it to the raw samples', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), recipe);
  const report = kinovar.calibrate(recording);
  assert.equal(report.accel.accepted, true, report.accel.status);
  assert.equal(report.accel.referenceTemperature, null, 'no barometer, no temperature term');
  for (let k = 0; k < 3; k++) {
    assert.ok(Math.abs(report.accel.offset[k] - truth.accelOffset[k]) < 0.002, `offset ${k}`);
    assert.ok(Math.abs(report.accel.scale[k] - truth.accelScale[k]) < 0.002, `scale ${k}`);
    assert.ok(Math.abs(report.gyro.bias[k] - truth.gyroBias[k]) < 0.05, `bias ${k}`);
  }
  assert.deepEqual(await kinovar.promises.calibrate(recording), report);
  // inspect tells the same fit, and warns of the raw error at rest.
  const { calibration } = kinovar.inspect(recording);
  assert.deepEqual(calibration.accel, report.accel);
  assert.match(calibration.warning, /^the raw accelerometer is [\d.]+ mg off 1 g at rest .* applies it by default/);
  const said = execFileSync(process.execPath, [path.join(__dirname, '../../bin/kinovar.js'), 'inspect', recording], { encoding: 'utf8' });
  assert.match(said, new RegExp(`error at rest: ${report.accel.errorBeforeMg.toFixed(2)} mg raw over ${report.accel.windows} ` +
    `still windows; ${report.accel.errorAfterMg.toFixed(2)} mg after the fit\n`));
  assert.match(said, /gyroscope bias at rest: 1\.5\d*, -2\.0\d*, 0\.5\d* deg\/s/);

  // By default the values are the model applied to the raw ones.
  const raw = kinovar.load(recording, { orientation: 'none', calibrate: 'off' });
  const fitted = kinovar.load(recording, { orientation: 'none' });
  assert.equal(fitted.info.calibration.source, 'fitted');
  assert.equal(raw.info.calibration, undefined);
  const { offset, scale } = report.accel;
  for (const i of [0, 1000, raw.streams.accel.x.length - 1]) {
    ['x', 'y', 'z'].forEach((axis, k) => {
      assert.ok(Math.abs(fitted.streams.accel[axis][i] - (raw.streams.accel[axis][i] + offset[k]) * scale[k]) < 1e-12);
      assert.ok(Math.abs(fitted.streams.gyro[axis][i] - (raw.streams.gyro[axis][i] - report.gyro.bias[k])) < 1e-12);
    });
  }
  // Our tables are calibrated by default and say so; the classic CSV keeps its raw samples unless asked.
  const classic = kinovar.readRecording(recording, path.join(dir, 'c.csv'), { format: 'classic' });
  assert.equal(classic.calibration, undefined);
  const plain = kinovar.readRecording(recording, path.join(dir, 'p.csv'));
  assert.equal(plain.calibration.applied, true);
  const off = kinovar.readRecording(recording, path.join(dir, 'p-raw.csv'), { calibrate: 'off' });
  assert.equal(off.calibration, undefined);
  assert.notDeepEqual(fs.readFileSync(path.join(dir, 'p.csv')), fs.readFileSync(path.join(dir, 'p-raw.csv')));
  const asked = kinovar.readRecording(recording, path.join(dir, 'c2.csv'), { format: 'classic', calibrate: 'auto' });
  assert.equal(asked.calibration.applied, true);
  assert.notDeepEqual(fs.readFileSync(path.join(dir, 'c.csv')), fs.readFileSync(path.join(dir, 'c2.csv')));

  // The viewer calibrates by default too, and its page says how; a Parquet file's page as the file was written.
  const statement = (input, options) => {
    const page = path.join(dir, 'page.html');
    kinovar.writeViewPage(input, page, options);
    return JSON.parse(/<script id="settings" type="application\/json">(.*?)<\/script>/.exec(fs.readFileSync(page, 'utf8'))[1]).calibration;
  };
  const offsets = report.accel.offset.map((v) => v.toFixed(4)).join(' ');
  assert.match(statement(recording), new RegExp(`^Calibration: fitted on the recording's still moments; accelerometer offset ${offsets} g, ` +
    `scale [\\d. ]+ \\(error at rest ${report.accel.errorBeforeMg.toFixed(2)} mg raw, [\\d.]+ mg after\\); gyroscope bias 1\\.5\\d* -2\\.0\\d* 0\\.5\\d* deg/s removed\\.$`));
  assert.equal(statement(recording, { calibrate: 'off' }), 'Calibration: off: the samples are raw.');
  const parquet = path.join(dir, 'p.parquet');
  kinovar.readRecording(recording, parquet);
  assert.equal(statement(parquet), statement(recording).replace('Calibration:', 'Calibration (as the file was written):'));
  kinovar.readRecording(recording, parquet, { calibrate: 'off' });
  assert.match(statement(parquet), /raw: the Parquet file was written without it/);
});

test('a calibration file applies to its device only, and what cannot be fitted says why', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), recipe);
  const file = path.join(dir, 'device.json');
  const cli = (...args) => execFileSync(process.execPath, [path.join(__dirname, '../../bin/kinovar.js'), ...args], { encoding: 'utf8' });
  const written = JSON.parse(cli('calibrate', recording, '--json', '-o', file));
  assert.deepEqual(JSON.parse(fs.readFileSync(file, 'utf8')), { format: 'kinovar calibration 1', ...written });

  const trial = generateRecording(path.join(dir, 'trial.bin'), { ...recipe, seconds: 60, postures: [20, 3] });
  const out = path.join(dir, 'trial.csv');
  const applied = kinovar.readRecording(trial, out, { calibrate: file });
  assert.equal(applied.calibration.source, 'file');
  assert.deepEqual(applied.calibration.accel.offset, written.accel.offset);

  const other = path.join(dir, 'other.json');
  fs.writeFileSync(other, JSON.stringify({ ...written, deviceId: written.deviceId + 1 }));
  assert.throws(() => kinovar.readRecording(trial, out, { calibrate: other }),
    { code: kinovar.codes.OTHER_DEVICE, message: /fitted on device \d+, the recording is of device \d+; .*--force/ });
  assert.equal(kinovar.readRecording(trial, out, { calibrate: other, overwrite: true }).calibration.source, 'file');
  const refusedRead = spawnSync(process.execPath, [path.join(__dirname, '../../bin/kinovar.js'), 'read', trial, '-o', out, '--calibrate', other],
    { encoding: 'utf8' });
  assert.notEqual(refusedRead.status, 0);
  assert.match(refusedRead.stderr, /fitted on device \d+, the recording is of device \d+; .*--force/);
  cli('read', trial, '-o', out, '--calibrate', other, '--force', '--quiet');
  // OpenSim's header states what each sensor's orientation was estimated from, as key=value lines.
  const set = kinovar.generateSession(fs.mkdirSync(path.join(dir, 'set'), { recursive: true }), { seconds: 20 });
  const [sto] = kinovar.syncRecordings(set, path.join(dir, 'sto'), { format: 'opensense', calibrate: other, overwrite: true });
  const head = fs.readFileSync(sto, 'utf8').split('\nendheader\n')[0].split('\n');
  assert.deepEqual(head.slice(4).map((line) => line.split('=')[0]), ['pelvis', 'thigh', 'shank'].map((n) => `calibration.${n}_imu`));
  for (const line of head.slice(4)) {
    assert.equal(line.slice(line.indexOf('=') + 1), `from other.json (device ${written.deviceId + 1}); accelerometer offset ` +
      `${written.accel.offset.map((v) => v.toFixed(4)).join(' ')} g, scale ${written.accel.scale.map((v) => v.toFixed(5)).join(' ')}; ` +
      `gyroscope bias ${written.gyro.bias.map((v) => v.toFixed(3)).join(' ')} deg/s removed`);
  }
  kinovar.syncRecordings(set, path.join(dir, 'sto'), { format: 'opensense' });  // our own table, long header and all, is replaced
  fs.writeFileSync(other, '{"deviceId": 1');
  assert.throws(() => kinovar.load(trial, { calibrate: other }), { code: kinovar.codes.CALIBRATION_FILE });
  assert.throws(() => kinovar.load(trial, { calibrate: 3 }), TypeError);

  // A short trial: too few still windows; the samples stay raw and the report says why.
  const refused = kinovar.calibrate(trial);
  assert.equal(refused.accel.accepted, false);
  assert.match(refused.accel.status, /too few still windows: \d+ of the 50 needed/);
  const inspected = kinovar.inspect(trial).calibration;
  assert.equal(inspected.accel.status, refused.accel.status);
  assert.match(inspected.warning, /its own fit was refused; record a calibration .*--calibrate FILE\.json/);
  assert.match(cli('inspect', trial), /error at rest: [\d.]+ mg raw over \d+ still windows; not fitted: too few still windows/);
  const loaded = kinovar.load(trial, { orientation: 'none', calibrate: 'auto' });
  assert.equal(loaded.info.calibration.accel.accepted, false);
  assert.deepEqual(loaded.streams.accel.x, kinovar.load(trial, { orientation: 'none', calibrate: 'off' }).streams.accel.x);
});
