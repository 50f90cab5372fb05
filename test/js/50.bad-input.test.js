'use strict';
// Hostile and broken input from the host's side: every call gives its
// documented answer, never crashes, and touches no file it was not asked to.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const addon = require('../../lib/addon');
const { generateRecording, generatorPath } = require('../../lib/generator');
const { scratch } = require('./helpers');

const errorDocument = '{"error":"Error during data loading."}';
const defaultDocument =
  '{"createdAt":"0000-00-00 00:00:00","endDate":"0000-00-00 00:00:00","frequency":0,' +
  '"version":"0","minorVersion":"0","majorVersion":"0","measureId":-1}';
const headerOnly =
  'Quandrel - Kinovar data export\nCreated on: 0000-00-00 00:00:00\nTotal data points: 0\n\nTime [0 hz],\nTime,\n[s],\n';
const syncCodes = ['OK', '-10', '-13', '-11', '-12'];

// Every file under dir with a digest of its content.
function snapshot(dir) {
  const files = {};
  for (const entry of fs.readdirSync(dir, { recursive: true, withFileTypes: true })) {
    const file = path.join(entry.parentPath ?? entry.path, entry.name);
    files[path.relative(dir, file)] = entry.isFile()
      ? crypto.createHash('sha1').update(fs.readFileSync(file)).digest('hex')
      : entry.isDirectory() ? 'dir' : 'other';
  }
  return files;
}

// Runs fn and checks that only the `allowed` entries of dir changed.
function touchesOnly(dir, allowed, fn) {
  const before = snapshot(dir);
  const result = fn();
  const after = snapshot(dir);
  for (const name of new Set([...Object.keys(before), ...Object.keys(after)])) {
    if (!allowed.includes(name)) assert.equal(after[name], before[name], `${name} was touched`);
  }
  return result;
}

function prng(seed) {
  let state = seed >>> 0;
  return (n) => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return Math.floor((state / 0x100000000) * n);
  };
}

function writeSet(dir) {
  fs.mkdirSync(dir, { recursive: true });
  execFileSync(generatorPath(), ['--sync-set', dir, '--method', 'marks', '--clock', '100', '--baro', '0',
    '--seconds', '3', '--sensor', '0,0.5,left', '--sensor', '-1,0,right'], { stdio: ['ignore', 'ignore', 'pipe'] });
  return [path.join(dir, 'left.bin'), path.join(dir, 'right.bin')];
}

function dataPoints(csv) {
  return Number(/Total data points: (\d+)/.exec(fs.readFileSync(csv, 'latin1'))[1]);
}

test('random bytes as recordings and settings files', (t) => {
  const dir = scratch(t);
  const rand = prng(8);
  const csv = path.join(dir, 'out.csv');
  for (const size of [0, 1, 7, 100, 511, 512, 513, 1024, 4096, 65536]) {
    const bytes = Buffer.from(Array.from({ length: size }, () => rand(256)));
    const file = path.join(dir, `random-${size}.bin`);
    fs.writeFileSync(file, bytes);
    const hasMagic = bytes.subarray(0, 509).includes('Q7');
    const answer = touchesOnly(dir, ['out.csv'], () => addon.read(file, csv));
    if (!hasMagic) {
      assert.equal(answer, defaultDocument, `${size} bytes`);
      assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly);
    }
    assert.ok('frequency' in JSON.parse(answer));
    const settings = touchesOnly(dir, [], () => [addon.readConfig(file), addon.readConfigDeviceId(file)]);
    if (!hasMagic) assert.deepEqual(settings, ['', '']);
    else assert.match(settings[1], /^\{"deviceId":-?\d+\}$/);
    assert.equal(fs.readFileSync(file).compare(bytes), 0);
  }
  const out = path.join(dir, 'sync');
  fs.mkdirSync(out);
  const pair = [path.join(dir, 'random-4096.bin'), path.join(dir, 'random-65536.bin')];
  assert.equal(touchesOnly(dir, [], () => addon.readAndSync2(pair, out)), '-10');
});

test('a recording cut at many lengths still answers from what it holds', (t) => {
  const dir = scratch(t);
  const full = generateRecording(path.join(dir, 'full.bin'), { seconds: 3, clock: 100, accel: 100, gyro: 100, baro: 25 });
  const bytes = fs.readFileSync(full);
  const csv = path.join(dir, 'out.csv');
  const fullAnswer = addon.read(full, csv);
  const fullPoints = dataPoints(csv);
  assert.ok(bytes.length >= 4 * 512);
  const lengths = [0, 1, 5, 100, 256, 507, 508, 511, 512, 513, 520, 512 + 8 + 8 * 7 + 3, 1023, 1024, 1025,
    1536 - 1, 1536, 1536 + 1, 2048 + 100, bytes.length - 513, bytes.length - 1];
  let previous = 0;
  for (const length of lengths) {
    const cut = path.join(dir, 'cut.bin');
    fs.writeFileSync(cut, bytes.subarray(0, length));
    const answer = touchesOnly(dir, ['out.csv', 'cut.bin'], () => addon.read(cut, csv));
    if (length < 512) {
      assert.equal(answer, defaultDocument, `cut at ${length}`);
      assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly);
    } else {
      assert.equal(answer, fullAnswer, `cut at ${length}`);  // the settings live in block 0
      const points = dataPoints(csv);
      assert.ok(points >= previous && points <= fullPoints, `cut at ${length}: ${points} rows`);
      previous = points;
    }
    // A settings reader takes what the first 512 bytes hold, zero-padded.
    if (length >= 13 || length < 2) assert.equal(addon.readConfigDeviceId(cut), length >= 13 ? '{"deviceId":1234}' : '');
  }
});

test('filler blocks and records that claim more than the block holds', (t) => {
  const dir = scratch(t);
  const original = generateRecording(path.join(dir, 'rec.bin'), { seconds: 2, clock: 100, accel: 100, gyro: 100, baro: 25 });
  const bytes = fs.readFileSync(original);
  const csv = path.join(dir, 'rec.csv');
  const answer = addon.read(original, csv);
  const expected = fs.readFileSync(csv);

  // 0xFF matches no declared frame kind: a filler block adds nothing.
  const filler = Buffer.alloc(512, 0xff);
  const padded = path.join(dir, 'filler.bin');
  fs.writeFileSync(padded, Buffer.concat([bytes.subarray(0, 1024), filler, bytes.subarray(1024), filler]));
  assert.equal(addon.read(padded, csv), answer);
  assert.deepEqual(fs.readFileSync(csv), expected);

  // Block 0 all filler: no settings, so the default answer and a header-only CSV.
  fs.writeFileSync(padded, Buffer.concat([filler, bytes.subarray(512)]));
  assert.equal(addon.read(padded, csv), defaultDocument);
  assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly);

  // One that claims 255 bytes and runs past the block; unknown records lead
  // the walk from the last real record to it.
  let end = 0;
  while (bytes[end] === 0x51 && bytes[end + 1] === 0x37) end += bytes[end + 4] + 7;
  for (const at of [300, 400, 505, 507]) {
    const block = Buffer.from(bytes.subarray(0, 512));
    for (let pos = end; pos < at;) {
      const length = Math.min(200, at - pos - 7);
      block.set([0x51, 0x37, 3, 5, length], pos);
      pos += length + 7;
    }
    const file = path.join(dir, 'overlong.bin');
    fs.writeFileSync(file, Buffer.concat([block, bytes.subarray(512)]));
    const walked = addon.readConfig(file);
    assert.equal(addon.read(file, csv), answer);
    const walkedCsv = fs.readFileSync(csv);
    block.set([0x51, 0x37, 3, 8, 0xff, 0, 1].slice(0, 512 - at), at);
    fs.writeFileSync(file, Buffer.concat([block, bytes.subarray(512)]));
    assert.equal(addon.read(file, csv), answer, `record at ${at}`);
    assert.deepEqual(fs.readFileSync(csv), walkedCsv);
    assert.equal(addon.readConfig(file), walked);
  }

  // The very first record overlong: magic found, nothing decoded.
  const first = path.join(dir, 'first.bin');
  fs.writeFileSync(first, Buffer.concat([Buffer.from([0x51, 0x37, 3, 8, 0xff]), Buffer.alloc(507), bytes.subarray(512)]));
  assert.equal(addon.read(first, csv), defaultDocument);
  assert.equal(addon.readConfigDeviceId(first), '{"deviceId":-1}');
  // A short settings file reads as zero-padded to 512 bytes: still past it.
  fs.writeFileSync(first, Buffer.concat([Buffer.alloc(300), Buffer.from([0x51, 0x37, 3, 21, 255, 0, 7])]));
  assert.equal(addon.readConfigDeviceId(first), '{"deviceId":-1}');
  assert.match(addon.readConfig(first), /^\{"unknownFrames":"",.*"measureId":-1\}$/);
});

test('folders and missing folders given as paths', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const missing = path.join(dir, 'missing');
  const csv = path.join(dir, 'out.csv');
  touchesOnly(dir, ['out.csv'], () => {
    assert.equal(addon.read(dir, csv), defaultDocument);  // a folder is no recording
    assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly);
    assert.equal(addon.read(path.join(missing, 'rec.bin'), csv), defaultDocument);
  });
  touchesOnly(dir, [], () => {
    assert.equal(addon.read(recording, dir), errorDocument);
    assert.equal(addon.read(recording, path.join(missing, 'out.csv')), errorDocument);
    assert.equal(addon.readConfig(dir), '');
    assert.equal(addon.readConfigDeviceId(path.join(missing, 'a.cfg')), '');
    assert.equal(addon.writeConfig(dir, 'baro,25'), 'ERROR');
    assert.equal(addon.writeConfig(path.join(missing, 'a.cfg'), 'baro,25'), 'ERROR');
    assert.equal(addon.readAndSync2([dir, recording], dir), '-10');
  });

  const set = writeSet(path.join(dir, 'set'));
  touchesOnly(dir, [], () => {
    assert.equal(addon.readAndSync2(set, missing), '-12');
    assert.equal(addon.readAndSync2(set, recording), '-12');  // a file where the folder should be
  });
  assert.equal(fs.existsSync(missing), false);
});

test('non-ASCII names on every side', (t) => {
  const dir = scratch(t);
  const folder = path.join(dir, 'séance 中 😀');
  const set = writeSet(folder);
  const inputs = ['é gauche.bin', '中 droite.bin'].map((name, i) => {
    fs.renameSync(set[i], path.join(folder, name));
    return path.join(folder, name);
  });
  const out = path.join(dir, 'sortie 😀');
  fs.mkdirSync(out);
  assert.equal(addon.readAndSync2(inputs, out), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['é gauche.csv', '中 droite.csv'].sort());

  const config = path.join(folder, 'réglages 中 😀.cfg');
  assert.equal(addon.writeConfig(config, 'device,305419896,3,7'), 'OK');
  assert.equal(addon.readConfigDeviceId(config), '{"deviceId":305419896}');
  assert.match(addon.readConfig(config), /"deviceId":305419896,"deviceType":3,"bodyLocation":7/);
});

test('a NUL inside a path names no file', (t) => {
  const dir = scratch(t);
  const [left, right] = writeSet(path.join(dir, 'set'));
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  const config = path.join(dir, 'a.cfg');
  fs.writeFileSync(config, Buffer.from([0x51, 0x37, 3, 21, 2, 0, 7, 0xff, 0xfe]));
  touchesOnly(dir, [], () => {
    assert.equal(addon.readAndSync2([left, right], `${out}\0x`), '-12');
    assert.equal(addon.readConfig(`${config}\0`), '');
    assert.equal(addon.readConfigDeviceId(`${config}\0x`), '');
    assert.equal(addon.writeConfig(`${config}\0x`, 'baro,25'), 'ERROR');
  });
});

test('an output folder that cannot be written', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const set = writeSet(path.join(dir, 'set'));
  const locked = path.join(dir, 'locked');
  fs.mkdirSync(locked);
  fs.chmodSync(locked, 0o555);
  let writable = true;
  try {
    fs.writeFileSync(path.join(locked, 'probe'), '');
    fs.rmSync(path.join(locked, 'probe'));
  } catch {
    writable = false;
  }
  // Root ignores permission bits; a read-only file system refuses even root.
  const folders = process.platform === 'linux' ? ['/proc'] : [];
  if (!writable) folders.push(locked);
  else t.diagnostic('running as root: a folder without write permission is still writable, checking /proc only');
  for (const folder of folders) {
    touchesOnly(dir, [], () => {
      assert.equal(addon.read(recording, path.join(folder, 'kinovar.csv')), errorDocument, folder);
      assert.equal(addon.readAndSync2(set, folder), '-12', folder);
      assert.equal(addon.writeConfig(path.join(folder, 'kinovar.cfg'), 'baro,25'), 'ERROR', folder);
    });
  }
  assert.ok(syncCodes.includes(addon.readAndSync2(set, locked)));
});

test('readAndSync2 with a NUL inside a recording path answers -10', (t) => {
  const dir = scratch(t);
  const [left, right] = writeSet(path.join(dir, 'set'));
  touchesOnly(dir, [], () => assert.equal(addon.readAndSync2([`${left}\0x`, right], dir), '-10'));
});

test('readAndSync2 never writes a CSV over one of its recordings', (t) => {
  const dir = scratch(t);
  const set = writeSet(path.join(dir, 'set'));
  const named = set.map((file) => {
    fs.renameSync(file, file.replace(/\.bin$/, '.csv'));
    return file.replace(/\.bin$/, '.csv');
  });
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  fs.symlinkSync(named[1], path.join(out, 'right.csv'));  // the recording again, by a link
  touchesOnly(dir, [], () => {
    assert.equal(addon.readAndSync2(named, path.join(dir, 'set')), '-12');
    assert.equal(addon.readAndSync2(named, `${dir}/./set/.`), '-12', 'another spelling');
    assert.equal(addon.readAndSync2(named, out), '-12', 'through a link');
  });
});
