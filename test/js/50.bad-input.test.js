'use strict';
// Hostile and broken input from the host's side: every call gives its
// documented answer, never crashes, and touches no file it was not asked to.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/addon');
const { generateRecording, generateSession } = require('../../lib/generator');
const { scratch, prng, errorDocument, defaultDocument, headerOnly } = require('./helpers');

// Runs fn and checks that no entry of dir but the `allowed` ones changed.
function touchesOnly(dir, allowed, fn) {
  const snapshot = () => Object.fromEntries(fs.readdirSync(dir, { recursive: true }).map((name) => {
    const stat = fs.lstatSync(path.join(dir, name));
    return [name, stat.isFile() ? fs.readFileSync(path.join(dir, name), 'latin1') : stat.isDirectory() ? 'dir' : 'other'];
  }));
  const before = snapshot();
  const result = fn();
  const after = snapshot();
  for (const name of new Set([...Object.keys(before), ...Object.keys(after)])) {
    if (!allowed.includes(name)) assert.ok(after[name] === before[name], `${name} was touched`);
  }
  return result;
}

function writeSet(dir) {
  fs.mkdirSync(dir, { recursive: true });
  return generateSession(dir, { clock: 100, baro: 0, seconds: 3, sensors: [[0, 0.5, 'left'], [-1, 0, 'right']] });
}

const dataPoints = (csv) => Number(/Total data points: (\d+)/.exec(fs.readFileSync(csv, 'latin1'))[1]);

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
  const file = path.join(dir, 'changed.bin');
  const answer = addon.read(original, csv);
  const expected = fs.readFileSync(csv);
  const readAs = (content) => (fs.writeFileSync(file, content), addon.read(file, csv));

  // 0xFF matches no declared frame kind: a filler block adds nothing.
  const filler = Buffer.alloc(512, 0xff);
  assert.equal(readAs(Buffer.concat([bytes.subarray(0, 1024), filler, bytes.subarray(1024), filler])), answer);
  assert.deepEqual(fs.readFileSync(csv), expected);
  // Block 0 all filler: no settings, so the default answer and a header-only CSV.
  assert.equal(readAs(Buffer.concat([filler, bytes.subarray(512)])), defaultDocument);
  assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly);

  // A record that claims 255 bytes and runs past the block is not read; unknown
  // records lead the walk from the last real record to it.
  let end = 0;
  while (bytes[end] === 0x51 && bytes[end + 1] === 0x37) end += bytes[end + 4] + 7;
  for (const at of [300, 400, 505, 507]) {
    const block = Buffer.from(bytes.subarray(0, 512));
    for (let pos = end; pos < at;) {
      const length = Math.min(200, at - pos - 7);
      block.set([0x51, 0x37, 3, 5, length], pos);
      pos += length + 7;
    }
    assert.equal(readAs(Buffer.concat([block, bytes.subarray(512)])), answer);
    const walked = [addon.readConfig(file), fs.readFileSync(csv)];
    block.set([0x51, 0x37, 3, 8, 0xff, 0, 1].slice(0, 512 - at), at);
    assert.equal(readAs(Buffer.concat([block, bytes.subarray(512)])), answer, `record at ${at}`);
    assert.deepEqual([addon.readConfig(file), fs.readFileSync(csv)], walked);
  }

  // The very first record overlong: magic found, nothing decoded.
  assert.equal(readAs(Buffer.concat([Buffer.from([0x51, 0x37, 3, 8, 0xff]), Buffer.alloc(507), bytes.subarray(512)])), defaultDocument);
  assert.equal(addon.readConfigDeviceId(file), '{"deviceId":-1}');
  // A short settings file reads as zero-padded to 512 bytes: still past it.
  fs.writeFileSync(file, Buffer.concat([Buffer.alloc(300), Buffer.from([0x51, 0x37, 3, 21, 255, 0, 7])]));
  assert.equal(addon.readConfigDeviceId(file), '{"deviceId":-1}');
  assert.match(addon.readConfig(file), /^\{"unknownFrames":"",.*"measureId":-1\}$/);
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
  const set = writeSet(path.join(dir, 'set'));
  touchesOnly(dir, [], () => {
    assert.equal(addon.read(recording, dir), errorDocument);
    assert.equal(addon.read(recording, path.join(missing, 'out.csv')), errorDocument);
    assert.equal(addon.readConfig(dir), '');
    assert.equal(addon.readConfigDeviceId(path.join(missing, 'a.cfg')), '');
    assert.equal(addon.writeConfig(dir, 'baro,25'), 'ERROR');
    assert.equal(addon.writeConfig(path.join(missing, 'a.cfg'), 'baro,25'), 'ERROR');
    assert.equal(addon.readAndSync2([dir, recording], dir), '-10');
    assert.equal(addon.readAndSync2(set, missing), '-12');
    assert.equal(addon.readAndSync2(set, recording), '-12');  // a file where the folder should be
  });
});

test('non-ASCII names on every side', (t) => {
  const dir = scratch(t);
  const folder = path.join(dir, 'séance 中 😀');
  const inputs = writeSet(folder).map((file, i) => {
    const renamed = path.join(folder, ['é gauche.bin', '中 droite.bin'][i]);
    fs.renameSync(file, renamed);
    return renamed;
  });
  const out = path.join(dir, 'sortie 😀');
  fs.mkdirSync(out);
  assert.equal(addon.readAndSync2(inputs, out), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['é gauche.csv', '中 droite.csv'].sort());

  // An existing CSV longer than the new one is replaced whole.
  const csv = path.join(folder, 'sortie 中.csv');
  const plain = path.join(dir, 'plain.csv');
  fs.writeFileSync(csv, 'x'.repeat(1 << 20));
  const answer = addon.read(inputs[0], plain);
  assert.notEqual(answer, errorDocument);
  assert.equal(addon.read(inputs[0], csv), answer);
  assert.deepEqual(fs.readFileSync(csv), fs.readFileSync(plain));

  const config = path.join(folder, 'réglages 中 😀.cfg');
  assert.equal(addon.writeConfig(config, 'device,305419896,3,7'), 'OK');
  assert.equal(addon.readConfigDeviceId(config), '{"deviceId":305419896}');
  assert.match(addon.readConfig(config), /"deviceId":305419896,"deviceType":3,"bodyLocation":7/);
});

test('a NUL inside a path names no file; a refused settings text changes nothing', (t) => {
  const dir = scratch(t);
  const [left, right] = writeSet(path.join(dir, 'set'));
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  const config = path.join(dir, 'a.cfg');
  fs.writeFileSync(config, Buffer.from([0x51, 0x37, 3, 21, 2, 0, 7, 0xff, 0xfe]));
  touchesOnly(dir, ['a.csv'], () => {
    // "left.bin\0x" must not read left.bin, nor "out.csv\0x" write out.csv.
    assert.equal(addon.read(`${left}\0x`, path.join(dir, 'a.csv')), defaultDocument);
    assert.equal(addon.read(left, path.join(dir, 'out.csv\0x')), errorDocument);
    assert.equal(addon.readAndSync2([left, right], `${out}\0x`), '-12');
    assert.equal(addon.readAndSync2([`${left}\0x`, right], out), '-10');
    assert.equal(addon.readConfig(`${config}\0`), '');
    assert.equal(addon.readConfigDeviceId(`${config}\0x`), '');
    assert.equal(addon.writeConfig(`${config}\0x`, 'baro,25'), 'ERROR');
    assert.equal(addon.writeConfig(config, 'baro,x'), 'ERROR');
  });
});

test('an output folder that cannot be written', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const set = writeSet(path.join(dir, 'set'));
  const locked = path.join(dir, 'locked');
  fs.mkdirSync(locked, { mode: 0o555 });
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
});

test('no CSV is written over a recording it is made from', (t) => {
  const dir = scratch(t);
  const named = writeSet(path.join(dir, 'set')).map((file) => {
    fs.renameSync(file, file.replace(/\.bin$/, '.csv'));
    return file.replace(/\.bin$/, '.csv');
  });
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);
  fs.symlinkSync(named[1], path.join(out, 'right.csv'));  // the recording again, by a link
  touchesOnly(dir, [], () => {
    assert.equal(addon.read(named[0], named[0]), errorDocument);
    assert.equal(addon.read(named[0], `${dir}/./set/left.csv`), errorDocument, 'another spelling');
    assert.equal(addon.read(named[1], path.join(out, 'right.csv')), errorDocument, 'through a link');
    assert.equal(addon.readAndSync2(named, path.join(dir, 'set')), '-12');
    assert.equal(addon.readAndSync2(named, `${dir}/./set/.`), '-12', 'another spelling');
    assert.equal(addon.readAndSync2(named, out), '-12', 'through a link');
  });
});
