'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const addon = require('../../lib/addon');
const { generatorPath } = require('../../lib/generator');
const { scratch } = require('./helpers');

// Sensors whose clocks started at the given true seconds; all three record
// from 7.5 s to 12.0 s, and the rotation starts at 9.0 s.
const sensors = [['pelvis', 0, 0.5], ['shank', -3.25, 0], ['wrist', 7.25, 7.5]];

function writeSet(dir, method) {
  const args = ['--sync-set', dir, '--method', method, '--clock', '100', '--baro', '0', '--seconds', '12',
    '--axis', '1,0,0', '--motion-start', '9'];
  for (const [name, zero, first] of sensors) args.push('--sensor', `${zero},${first},${name}`);
  execFileSync(generatorPath(), args, { stdio: ['ignore', 'ignore', 'pipe'] });
  return sensors.map(([name]) => path.join(dir, `${name}.bin`));
}

function rows(file) {
  return fs.readFileSync(file, 'latin1').split('\n').slice(7, -1).map((line) => line.split(',').map(Number));
}

test('a time-marked set of three sensors lines up row by row', (t) => {
  const dir = scratch(t, 'kinovar-sync-');
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  assert.equal(addon.readAndSync2(writeSet(dir, 'marks'), out), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['pelvis.csv', 'shank.csv', 'wrist.csv']);

  const [first, ...others] = sensors.map(([name]) => rows(path.join(out, `${name}.csv`)));
  assert.equal(first.length, 450);
  for (const other of others) {
    assert.equal(other.length, first.length);
    other.forEach((row, r) => {
      for (let c = 1; c < 7; ++c) {
        const lsb = c < 4 ? 0.062 : 0.0005;  // one raw count of the gyroscope, the accelerometer
        assert.ok(Math.abs(row[c] - first[r][c]) <= lsb, `row ${r} cell ${c}: ${row[c]} vs ${first[r][c]}`);
      }
    });
  }
  assert.equal(first[150][1], 0);  // still up to 9.0 s, rotating from the next row
  assert.notEqual(first[151][1], 0);
});

test('status precedence: -10, then -13, then -11, then -12; nothing written on failure', (t) => {
  const dir = scratch(t, 'kinovar-sync-');
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  const [pelvis, shank, wrist] = writeSet(dir, 'radio');
  const missing = path.join(dir, 'missing.bin');
  const noGyro = path.join(dir, 'nogyro.bin');  // cannot run the orientation stage
  execFileSync(generatorPath(), ['--out', noGyro, '--gyro', '0', '--seconds', '2']);
  const alone = path.join(dir, 'alone.bin');  // no radio record: another master
  execFileSync(generatorPath(), ['--out', alone, '--clock', '100', '--seconds', '12']);
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
  assert.equal(addon.readAndSync2([pelvis, wrist], `${out}/`), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['pelvis.csv', 'wrist.csv']);
});
