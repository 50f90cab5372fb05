'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/addon');
const { generateRecording } = require('../../lib/generator');
const { scratch } = require('./helpers');

const errorDocument = '{"error":"Error during data loading."}';
const defaultDocument =
  '{"createdAt":"0000-00-00 00:00:00","endDate":"0000-00-00 00:00:00","frequency":0,' +
  '"version":"0","minorVersion":"0","majorVersion":"0","measureId":-1}';
const headerOnly =
  'Quandrel - Kinovar data export\nCreated on: 0000-00-00 00:00:00\nTotal data points: 0\n\nTime [0 hz],\nTime,\n[s],\n';

test('a generated recording converts end to end', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 2, clock: 100, accel: 100, gyro: 100, baro: 25, events: 2 });
  const csv = path.join(dir, 'rec.csv');
  const answer = JSON.parse(addon.read(recording, csv));
  assert.deepEqual(answer, {
    createdAt: '2017-03-21 14:05:09', endDate: '2017-03-21 15:00:00', frequency: 100,
    version: '1', minorVersion: '3', majorVersion: '2', measureId: 7,
  });
  const lines = fs.readFileSync(csv, 'latin1').split('\n');
  assert.equal(lines[2], 'Total data points: 200');
  assert.match(lines[4], /^Time \[100 hz\],Gyro \[100 hz\],,,Accel \[100 hz\],,,Baro \[25 hz\],,Event \[100 hz\],/);
  assert.equal(lines.length, 7 + 200 + 1);
  // Level and still: 1 g on z, no rotation; the barometer on every fourth row.
  assert.match(lines[7], /^0\.01000,0\.00000,0\.00000,0\.00000,0\.00000,0\.00000,1\.00000,1013\.250,21\.5,/);
  assert.match(lines[8], /^0\.02000,0\.00000,0\.00000,0\.00000,0\.00000,0\.00000,1\.00000,,,/);
  assert.match(lines[11], /^0\.05000,(?:[-0-9.]+,){6}1013\.240,21\.5,/);
});

test('a missing or broken recording still gets a header-only CSV and the default answer', (t) => {
  const dir = scratch(t);
  const csv = path.join(dir, 'out.csv');
  fs.writeFileSync(path.join(dir, 'short.bin'), Buffer.alloc(100, 0x51));
  fs.writeFileSync(path.join(dir, 'nomagic.bin'), Buffer.alloc(2048, 0xff));
  for (const name of ['missing.bin', 'short.bin', 'nomagic.bin']) {
    assert.equal(addon.read(path.join(dir, name), csv), defaultDocument, name);
    assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly, name);
  }
});

test('an unwritable CSV path gives exactly the error document', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  assert.equal(addon.read(recording, path.join(dir, 'no', 'such', 'folder.csv')), errorDocument);
  assert.equal(addon.read(recording, dir), errorDocument);  // a folder is no file
});

test('the CSV is overwritten on every call and non-ASCII paths work on both sides', (t) => {
  const dir = scratch(t);
  const folder = path.join(dir, 'séance 中 😀');
  fs.mkdirSync(folder);
  const recording = generateRecording(path.join(folder, 'capteur é.bin'), { seconds: 1, clock: 100, accel: 100, gyro: 100, baro: 0 });
  const csv = path.join(folder, 'sortie 中.csv');
  fs.writeFileSync(csv, 'x'.repeat(100000));
  const first = addon.read(recording, csv);
  const bytes = fs.readFileSync(csv);
  assert.notEqual(first, errorDocument);
  assert.equal(addon.read(recording, csv), first);
  assert.deepEqual(fs.readFileSync(csv), bytes);
  assert.ok(bytes.length < 100000);
});

test('the CSV never replaces its own recording, and NUL in a path opens nothing', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const bytes = fs.readFileSync(recording);
  fs.symlinkSync(recording, path.join(dir, 'link.csv'));
  assert.equal(addon.read(recording, recording), errorDocument);
  assert.equal(addon.read(recording, path.join(dir, '.', 'rec.bin')), errorDocument);
  assert.equal(addon.read(recording, path.join(dir, 'link.csv')), errorDocument);
  assert.deepEqual(fs.readFileSync(recording), bytes);

  // "rec.bin\0x" must not read rec.bin, nor "out.csv\0x" write out.csv.
  assert.equal(addon.read(`${recording}\0x`, path.join(dir, 'a.csv')), defaultDocument);
  assert.equal(addon.read(recording, path.join(dir, 'out.csv\0x')), errorDocument);
  assert.ok(!fs.existsSync(path.join(dir, 'out.csv')));
});
