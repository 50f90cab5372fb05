'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/native/addon');
const { generateRecording } = require('../../lib/native/generator');
const { scratch, EOL } = require('./helpers');

test('a generated recording converts end to end', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 2, clock: 100, accel: 100, gyro: 100, baro: 25, events: 2 });
  const csv = path.join(dir, 'rec.csv');
  assert.equal(addon.read(recording, csv),
    '{"createdAt":"2017-03-21 14:05:09","endDate":"2017-03-21 14:05:11","frequency":100,' +
    '"version":"1","minorVersion":"3","majorVersion":"2","measureId":7}');
  const lines = fs.readFileSync(csv, 'latin1').split(EOL);
  assert.equal(lines[2], 'Total data points: 200');
  assert.match(lines[4], /^Time \[100 hz\],Gyro \[100 hz\],,,Accel \[100 hz\],,,Baro \[25 hz\],,Event \[100 hz\],/);
  assert.equal(lines.length, 7 + 200 + 1);
  // Level and still: 1 g on z, no rotation; the barometer on every fourth row.
  assert.match(lines[7], /^0\.01000,0\.00000,0\.00000,0\.00000,0\.00000,0\.00000,1\.00000,1013\.250,21\.5,/);
  assert.match(lines[8], /^0\.02000,0\.00000,0\.00000,0\.00000,0\.00000,0\.00000,1\.00000,,,/);
  assert.match(lines[11], /^0\.05000,(?:[-0-9.]+,){6}1013\.240,21\.5,/);
});

// Folder names outside any Windows code page reach the generator and the
// addon intact; the rows are the same bytes on every platform but for the line
// ends. On Windows a host not named node.exe (what Electron is) loads the
// addon and writes them too.
test('a recording at a non-ASCII path gives the same CSV everywhere, also in a renamed host', (t) => {
  const dir = path.join(scratch(t), '\u00e9\u4e2d\u{1f600}');
  fs.mkdirSync(dir);
  const recording = generateRecording(path.join(dir, 'r\u00e9c.bin'), { seconds: 1, rate: 30 });
  const csv = path.join(dir, 'r\u00e9c.csv');
  assert.equal(JSON.parse(addon.read(recording, csv)).frequency, 1000);
  const text = fs.readFileSync(csv, 'latin1');
  const unix = text.split(EOL).join('\n');
  assert.ok(!unix.includes('\r') && text.split('\n').length === text.split(EOL).length, 'every line ends as the platform\'s do');
  assert.equal(crypto.createHash('sha256').update(unix).digest('hex'), '6ba26f772fcb84645728749c9e191619512b1000511607c1b2a69d792dec45b9');
  if (process.platform !== 'win32') return;
  const host = path.join(dir, 'host.exe');
  fs.copyFileSync(process.execPath, host);
  const again = path.join(dir, 'host.csv');
  execFileSync(host, ['-e', 'require(process.argv[1]).read(process.argv[2], process.argv[3])',
    require.resolve('../../lib/native/addon'), recording, again]);
  assert.equal(fs.readFileSync(again, 'latin1'), text);
});
