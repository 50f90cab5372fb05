'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
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
  fs.writeFileSync(other, '{"deviceId": 1');
  assert.throws(() => kinovar.load(trial, { calibrate: other }), { code: kinovar.codes.CALIBRATION_FILE });
  assert.throws(() => kinovar.load(trial, { calibrate: 3 }), TypeError);

  // A short trial: too few still windows; the samples stay raw and the report says why.
  const refused = kinovar.calibrate(trial);
  assert.equal(refused.accel.accepted, false);
  assert.match(refused.accel.status, /too few still windows: \d+ of the 50 needed/);
  const loaded = kinovar.load(trial, { orientation: 'none', calibrate: 'auto' });
  assert.equal(loaded.info.calibration.accel.accepted, false);
  assert.deepEqual(loaded.streams.accel.x, kinovar.load(trial, { orientation: 'none', calibrate: 'off' }).streams.accel.x);
});
