'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/addon');
const { generateRecording } = require('../../lib/generator');
const { scratch } = require('./helpers');

test('a generated recording converts end to end', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 2, clock: 100, accel: 100, gyro: 100, baro: 25, events: 2 });
  const csv = path.join(dir, 'rec.csv');
  assert.equal(addon.read(recording, csv),
    '{"createdAt":"2017-03-21 14:05:09","endDate":"2017-03-21 15:00:00","frequency":100,' +
    '"version":"1","minorVersion":"3","majorVersion":"2","measureId":7}');
  const lines = fs.readFileSync(csv, 'latin1').split('\n');
  assert.equal(lines[2], 'Total data points: 200');
  assert.match(lines[4], /^Time \[100 hz\],Gyro \[100 hz\],,,Accel \[100 hz\],,,Baro \[25 hz\],,Event \[100 hz\],/);
  assert.equal(lines.length, 7 + 200 + 1);
  // Level and still: 1 g on z, no rotation; the barometer on every fourth row.
  assert.match(lines[7], /^0\.01000,0\.00000,0\.00000,0\.00000,0\.00000,0\.00000,1\.00000,1013\.250,21\.5,/);
  assert.match(lines[8], /^0\.02000,0\.00000,0\.00000,0\.00000,0\.00000,0\.00000,1\.00000,,,/);
  assert.match(lines[11], /^0\.05000,(?:[-0-9.]+,){6}1013\.240,21\.5,/);
});
