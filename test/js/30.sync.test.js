'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/addon');
const { generateRecording, generateSession } = require('../../lib/generator');
const { scratch } = require('./helpers');

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

  // The folder is taken as given: a trailing separator just doubles.
  assert.equal(addon.readAndSync2([pelvis, thigh], `${out}/`), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['pelvis.csv', 'thigh.csv']);
});
