'use strict';
// Hostile and broken input from the host's side: every call gives its
// documented answer, never crashes, and touches no file it was not asked to.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/native/addon');
const { generateRecording, generateSession } = require('../../lib/native/generator');
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

// read into out.csv: the answer, and the CSV when it must be header-only.
function readInto(dir, file, shouldBeDefault, label) {
  const csv = path.join(dir, 'out.csv');
  const answer = touchesOnly(dir, ['out.csv'], () => addon.read(file, csv));
  if (shouldBeDefault) {
    assert.equal(answer, defaultDocument, label);
    assert.equal(fs.readFileSync(csv, 'latin1'), headerOnly, label);
  }
  return [answer, Number(/Total data points: (\d+)/.exec(fs.readFileSync(csv, 'latin1'))[1])];
}

test('random bytes as recordings and settings files', (t) => {
  const dir = scratch(t);
  const rand = prng(8);
  for (const size of [0, 1, 7, 100, 511, 512, 513, 1024, 4096, 65536]) {
    const bytes = Buffer.from(Array.from({ length: size }, () => rand(256)));
    const file = path.join(dir, `random-${size}.bin`);
    fs.writeFileSync(file, bytes);
    const hasMagic = bytes.subarray(0, 509).includes('Q7');
    assert.ok('frequency' in JSON.parse(readInto(dir, file, !hasMagic, `${size} bytes`)[0]));
    const settings = touchesOnly(dir, [], () => [addon.readConfig(file), addon.readConfigDeviceId(file)]);
    if (!hasMagic) assert.deepEqual(settings, ['', '']);
    else assert.match(settings[1], /^\{"deviceId":-?\d+\}$/);
  }
  const pair = [path.join(dir, 'random-4096.bin'), path.join(dir, 'random-65536.bin')];
  assert.equal(touchesOnly(dir, [], () => addon.readAndSync2(pair, dir)), '-10');
});

test('a recording cut at many lengths still answers from what it holds', (t) => {
  const dir = scratch(t);
  const full = generateRecording(path.join(dir, 'full.bin'), { seconds: 3, clock: 100, accel: 100, gyro: 100, baro: 25 });
  const bytes = fs.readFileSync(full);
  const [fullAnswer, fullPoints] = readInto(dir, full, false);
  assert.ok(bytes.length >= 4 * 512);
  const cut = path.join(dir, 'cut.bin');
  let previous = 0;
  for (const length of [0, 1, 5, 100, 256, 507, 508, 511, 512, 513, 520, 512 + 8 + 8 * 7 + 3, 1023, 1024, 1025,
    1536 - 1, 1536, 1536 + 1, 2048 + 100, bytes.length - 513, bytes.length - 1]) {
    fs.writeFileSync(cut, bytes.subarray(0, length));
    const [answer, points] = readInto(dir, cut, length < 512, `cut at ${length}`);
    if (length >= 512) {
      assert.equal(answer, fullAnswer, `cut at ${length}`);  // the settings live in block 0
      assert.ok(points >= previous && points <= fullPoints, `cut at ${length}: ${points} rows`);
      previous = points;
    }
    // A settings reader takes what the first 512 bytes hold, zero-padded.
    if (length >= 13 || length < 2) assert.equal(addon.readConfigDeviceId(cut), length >= 13 ? '{"deviceId":1234}' : '');
  }
});

test('filler blocks and records that claim more than the block holds', (t) => {
  const dir = scratch(t);
  const bytes = fs.readFileSync(generateRecording(path.join(dir, 'rec.bin'), { seconds: 2, clock: 100, accel: 100, gyro: 100, baro: 25 }));
  const file = path.join(dir, 'changed.bin');
  const write = (...parts) => (fs.writeFileSync(file, Buffer.concat(parts)), file);
  const csv = () => fs.readFileSync(path.join(dir, 'out.csv'));
  const [answer] = readInto(dir, write(bytes), false);
  const expected = csv();

  // 0xFF matches no declared frame kind: a filler block adds nothing; as
  // block 0 it holds no settings.
  const filler = Buffer.alloc(512, 0xff);
  assert.equal(readInto(dir, write(bytes.subarray(0, 1024), filler, bytes.subarray(1024), filler), false)[0], answer);
  assert.deepEqual(csv(), expected);
  readInto(dir, write(filler, bytes.subarray(512)), true, 'filler block 0');

  // A record that claims 255 bytes and runs past the block is not read: the
  // same answer, CSV and settings as without it.
  let end = 0;
  while (bytes[end] === 0x51 && bytes[end + 1] === 0x37) end += bytes[end + 4] + 7;
  for (const at of [300, 400, 505, 507]) {
    const block = Buffer.from(bytes.subarray(0, 512));
    for (let pos = end; pos < at; pos += block[pos + 4] + 7) block.set([0x51, 0x37, 3, 5, Math.min(200, at - pos - 7)], pos);
    assert.equal(readInto(dir, write(block, bytes.subarray(512)), false)[0], answer);
    const walked = [addon.readConfig(file), csv()];
    block.set([0x51, 0x37, 3, 8, 0xff, 0, 1].slice(0, 512 - at), at);
    assert.equal(readInto(dir, write(block, bytes.subarray(512)), false)[0], answer, `record at ${at}`);
    assert.deepEqual([addon.readConfig(file), csv()], walked);
  }
  // The very first record overlong: magic found, nothing decoded.
  readInto(dir, write(Buffer.from([0x51, 0x37, 3, 8, 0xff]), Buffer.alloc(507), bytes.subarray(512)), true, 'first overlong');
  assert.equal(addon.readConfigDeviceId(file), '{"deviceId":-1}');
});

test('folders and missing folders given as paths', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const missing = path.join(dir, 'missing');
  readInto(dir, dir, true, 'a folder is no recording');
  readInto(dir, path.join(missing, 'rec.bin'), true);
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
    fs.renameSync(file, path.join(folder, ['é gauche.bin', '中 droite.bin'][i]));
    return path.join(folder, ['é gauche.bin', '中 droite.bin'][i]);
  });
  const out = path.join(dir, 'sortie 😀');
  fs.mkdirSync(out);
  assert.equal(addon.readAndSync2(inputs, out), 'OK');
  assert.deepEqual(fs.readdirSync(out).sort(), ['é gauche.csv', '中 droite.csv'].sort());

  // An existing CSV longer than the new one is replaced whole.
  const csv = path.join(folder, 'sortie 中.csv');
  fs.writeFileSync(csv, 'x'.repeat(1 << 20));
  const answer = addon.read(inputs[0], path.join(dir, 'plain.csv'));
  assert.notEqual(answer, errorDocument);
  assert.equal(addon.read(inputs[0], csv), answer);
  assert.ok(fs.readFileSync(csv).equals(fs.readFileSync(path.join(dir, 'plain.csv'))));

  const config = path.join(folder, 'réglages 中 😀.cfg');
  assert.equal(addon.writeConfig(config, 'device,305419896,3,7'), 'OK');
  assert.equal(addon.readConfigDeviceId(config), '{"deviceId":305419896}');
  assert.match(addon.readConfig(config), /"deviceId":305419896,"deviceType":3,"bodyLocation":7/);
});

test('a NUL inside a path names no file; a refused settings text changes nothing', (t) => {
  const dir = scratch(t);
  const [left, right] = writeSet(path.join(dir, 'set'));
  const config = path.join(dir, 'a.cfg');
  fs.writeFileSync(config, Buffer.from([0x51, 0x37, 3, 21, 2, 0, 7, 0xff, 0xfe]));
  touchesOnly(dir, ['a.csv'], () => {
    // "left.bin\0x" must not read left.bin, nor "out.csv\0x" write out.csv.
    assert.equal(addon.read(`${left}\0x`, path.join(dir, 'a.csv')), defaultDocument);
    assert.equal(addon.read(left, path.join(dir, 'out.csv\0x')), errorDocument);
    assert.equal(addon.readAndSync2([left, right], `${dir}\0x`), '-12');
    assert.equal(addon.readAndSync2([`${left}\0x`, right], dir), '-10');
    assert.equal(addon.readConfig(`${config}\0`), '');
    assert.equal(addon.readConfigDeviceId(`${config}\0x`), '');
    assert.equal(addon.writeConfig(`${config}\0x`, 'baro,25'), 'ERROR');
    assert.equal(addon.writeConfig(config, 'baro,x'), 'ERROR');
    assert.equal(addon.writeConfig(config, 'baro,1\0junk'), 'ERROR', 'a text cut short is refused');
  });
});

test('an output folder that cannot be written', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const set = writeSet(path.join(dir, 'set'));
  const locked = path.join(dir, 'locked');
  fs.mkdirSync(locked, { mode: 0o555 });
  // Root ignores permission bits; a read-only file system refuses even root.
  const folders = process.platform === 'linux' ? ['/proc'] : [];
  try { fs.writeFileSync(path.join(locked, 'probe'), ''); } catch { folders.push(locked); }
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
  // Wine reports the link made but makes none; Windows itself does.
  const linked = fs.existsSync(path.join(out, 'right.csv'));
  touchesOnly(dir, [], () => {
    assert.equal(addon.read(named[0], named[0]), errorDocument);
    assert.equal(addon.read(named[0], `${dir}/./set/left.csv`), errorDocument, 'another spelling');
    assert.equal(addon.readAndSync2(named, path.join(dir, 'set')), '-12');
    assert.equal(addon.readAndSync2(named, `${dir}/./set/.`), '-12', 'another spelling');
    if (!linked) return t.diagnostic('no symbolic link here: the link cases were not run');
    assert.equal(addon.read(named[1], path.join(out, 'right.csv')), errorDocument, 'through a link');
    assert.equal(addon.readAndSync2(named, out), '-12', 'through a link');
  });
});

// Stops the child once its temporary CSV holds data (it is then writing),
// kills it, and returns what is left in the folder.
function killWhileWriting(t, dir, args) {
  const { spawn } = require('node:child_process');
  const child = spawn(process.execPath, args, { stdio: 'ignore' });
  t.after(() => child.kill('SIGKILL'));
  const pause = new Int32Array(new SharedArrayBuffer(4));
  // The child's exit is not seen while this loop holds the event loop, so a
  // deadline stands in for it.
  const deadline = Date.now() + 60_000;
  for (;;) {
    const temp = fs.readdirSync(dir).find((name) => /\.csv\.kinovar-\d+-[0-9a-f]{12}\.tmp$/.test(name));
    if (temp && fs.statSync(path.join(dir, temp)).size > 0) break;
    assert.ok(Date.now() < deadline, 'the conversion ended or stalled before it was caught writing');
    Atomics.wait(pause, 0, 0, 2);
  }
  child.kill('SIGKILL');
  return new Promise((resolve) => child.on('exit', resolve));
}

test('a conversion killed while it writes leaves the old CSV whole', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'long.bin'), { seconds: 300, accel: 1000, gyro: 1000 });
  const csv = path.join(dir, 'long.csv');
  const old = Buffer.from(`${headerOnly}the previous conversion\n`);
  const bin = path.join(__dirname, '..', '..', 'bin', 'kinovar.js');
  const native = `require(${JSON.stringify(require.resolve('../../lib/native/addon'))}).read(process.argv[1], process.argv[2])`;
  for (const args of [[bin, 'read', recording, '-o', csv], ['-e', native, recording, csv]]) {
    fs.writeFileSync(csv, old);
    await killWhileWriting(t, dir, args);
    assert.ok(fs.readFileSync(csv).equals(old), `${args[0]}: the old CSV is intact`);
    for (const name of fs.readdirSync(dir)) if (name.endsWith('.tmp')) fs.unlinkSync(path.join(dir, name));
  }
  // Uninterrupted, the file is replaced whole and nothing is left beside it.
  assert.notEqual(addon.read(recording, csv), errorDocument);
  assert.deepEqual(fs.readdirSync(dir).sort(), ['long.bin', 'long.csv']);
});

test('names Windows keeps for devices are refused there, with the reason', {
  skip: process.platform !== 'win32' && 'only Windows opens a device for them',
}, (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  touchesOnly(dir, [], () => {
    for (const name of ['aux.csv', 'NUL.csv', 'com1.tar.csv']) {
      assert.equal(addon.read(recording, path.join(dir, name)), errorDocument, name);
    }
    assert.equal(addon.writeConfig(path.join(dir, 'con.cfg'), 'baro,25'), 'ERROR');
  });
  const kinovar = require('../../lib');
  for (const [name, write] of [['Aux.csv', kinovar.readRecording], ['lpt1.parquet', kinovar.readRecording],
    ['con.cfg', (_, file) => kinovar.writeSettings(file, {})]]) {
    assert.throws(() => write(recording, path.join(dir, name)),
      { code: kinovar.codes.NOT_OURS, message: new RegExp(`${name.split('.')[0]} is a device name on Windows`) });
  }
  // Windows holds a file named aux.bin only under a \\?\ path, which skips the device names.
  const [pelvis, thigh] = generateSession(dir, { seconds: 2 });
  const aux = `\\\\?\\${path.join(dir, 'aux.bin')}`;
  fs.copyFileSync(thigh, aux);
  assert.equal(addon.readAndSync2([pelvis, aux], dir), '-12');
  assert.throws(() => kinovar.syncRecordings([pelvis, aux], dir), /aux is a device name on Windows/);
});
