'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../../lib');
const { syncFailure } = require('../../lib/checks/outcomes');
const { loadAddon } = require('../../lib/native/addon-path');
const { WorkerPool } = require('../../lib/workers/pool');
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { scratch } = require('./helpers');

const { codes, promises } = kinovar;
const is = (code) => (error) => error instanceof kinovar.KinovarError && error.code === code;

test('readRecording throws where the native read answers a default document', (t) => {
  const dir = scratch(t);
  const csv = path.join(dir, 'out.csv');
  fs.writeFileSync(path.join(dir, 'short.bin'), Buffer.alloc(511, 0x51));
  const noSettings = Buffer.alloc(1024);
  noSettings.write('Q7', 508);  // too late to start a record
  fs.writeFileSync(path.join(dir, 'nosettings.bin'), noSettings);

  assert.throws(() => kinovar.readRecording(path.join(dir, 'missing.bin'), csv),
    { code: 'ENOENT', path: path.join(dir, 'missing.bin'), message: /missing\.bin: cannot be read: .*; check the name/ });
  assert.throws(() => kinovar.readRecording(path.join(dir, 'short.bin'), csv),
    (e) => is(codes.FORMAT)(e) && e.message.includes('short.bin') && /shorter than one 512-byte block/.test(e.message));
  assert.throws(() => kinovar.readRecording(path.join(dir, 'nosettings.bin'), csv),
    (e) => is(codes.FORMAT)(e) && e.path === path.join(dir, 'nosettings.bin'));
  assert.ok(!fs.existsSync(csv), 'a refused recording writes no CSV');
  // The scan is the native rule (its cases are in the C++ tests): a recording, here one without samples.
  noSettings.write('Q7', 507);
  fs.writeFileSync(path.join(dir, 'late.bin'), noSettings);
  assert.throws(() => kinovar.readRecording(path.join(dir, 'late.bin'), csv), is(codes.NO_SAMPLES));
  assert.ok(!fs.existsSync(csv), 'nor one without samples');

  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  assert.throws(() => kinovar.readRecording(recording), TypeError);
  assert.equal(kinovar.readRecording(recording, csv).measureId, 7);
  // Its length alone tells a settings file (one block) from a recording cut before a whole sample block;
  // inspect reports both.
  for (const [bytes, reason] of [[512, 'settings-file'], [1023, 'no-samples']]) {
    const cut = path.join(dir, `cut${bytes}.bin`);
    fs.writeFileSync(cut, fs.readFileSync(recording).subarray(0, bytes));
    assert.throws(() => kinovar.readRecording(cut, csv), { code: codes.NO_SAMPLES, reason }, `${bytes} bytes`);
    assert.equal(kinovar.inspect(cut).streams.accel.samples, 0);
  }
});

// Quaternion cells of a CSV export, one array of four numbers per row that has them.
function quaternionRows(csv) {
  const lines = fs.readFileSync(csv, 'latin1').split('\n');
  const at = lines[5].split(',').indexOf('Quat W');
  if (at < 0) return null;
  return lines.slice(7, -1).map((line) => line.split(',').slice(at, at + 4)).filter((q) => q[0] !== '').map((q) => q.map(Number));
}

test('the orientation option: classic is read, accurate (the default) fills every row, none drops the columns', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 3, still: 0, rate: 40, axis: [1, 0, 0], noise: 4 });
  const out = (name) => path.join(dir, name);
  kinovar.read(recording, out('native.csv'));
  // One thread (as in a full batch) formats the same bytes as the threaded read.
  kinovar.readRecording(recording, out('classic.csv'), { orientation: 'classic', format: 'classic', threads: 1 });
  assert.deepEqual(fs.readFileSync(out('classic.csv')), fs.readFileSync(out('native.csv')));

  await promises.readRecording(recording, out('accurate.csv'), { orientation: 'accurate', format: 'classic' });
  kinovar.readRecording(recording, out('default.csv'), { format: 'csv' });
  assert.deepEqual(fs.readFileSync(out('default.csv')), fs.readFileSync(out('accurate.csv')), 'accurate by default');
  const rows = quaternionRows(out('accurate.csv'));
  assert.equal(rows.length, 300, 'a quaternion on every row, from the first, though the sensor never rests');
  for (const q of rows) assert.ok(Math.abs(Math.hypot(...q) - 1) < 2e-5, q.join(','));

  kinovar.readRecording(recording, out('none.csv'), { orientation: 'none', format: 'classic' });
  assert.equal(quaternionRows(out('none.csv')), null);
  const full = generateSession(fs.mkdirSync(out('full'), { recursive: true }), { seconds: 3 });
  const [synced] = await promises.syncRecordings(full, out('full'), { orientation: 'accurate', format: 'classic' });
  const syncedRows = quaternionRows(synced);
  assert.ok(syncedRows.length > 100);
  for (const q of syncedRows) assert.ok(Math.abs(Math.hypot(...q) - 1) < 2e-5, q.join(','));
  // A set needs no gyroscope when no orientation is wanted.
  const set = generateSession(dir, { seconds: 3, gyro: 0 });
  assert.throws(() => kinovar.syncRecordings(set, dir), is(codes.NO_ORIENTATION));
  const noOrientation = await promises.syncRecordings(set, dir, { orientation: 'none' });
  assert.equal(noOrientation.length, 3);
  assert.deepEqual(Object.keys(noOrientation.report.samples[0]), ['accel', 'baro']);

  for (const bad of [{ orientation: 'best' }, { orientation: 1 }, 'accurate', { threads: 0 }, { threads: 1.5 }]) {
    assert.throws(() => kinovar.readRecording(recording, out('x.csv'), bad), TypeError);
    await assert.rejects(promises.syncRecordings(set, dir, bad), TypeError);
  }
  assert.ok(!fs.existsSync(out('x.csv')));
});

test('outputs: never over what is not ours, folders made, failures with the system\'s reason', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const other = generateRecording(path.join(dir, 'other.bin'), { seconds: 1, seed: 2 });
  const notes = path.join(dir, 'notes.txt');
  fs.writeFileSync(notes, 'mine');
  const before = [other, notes].map((f) => fs.readFileSync(f));
  for (const target of [other, notes, recording]) {
    assert.throws(() => kinovar.readRecording(recording, target), (e) => is(codes.NOT_OURS)(e) && e.path === target &&
      /recording|not a file kinovar wrote/.test(e.message));
  }
  assert.deepEqual([other, notes].map((f) => fs.readFileSync(f)), before);
  kinovar.readRecording(recording, notes, { overwrite: true });
  assert.match(fs.readFileSync(notes, 'latin1'), /^time,gyro_x,/, 'the plain table by default');
  kinovar.readRecording(recording, notes);  // now one of ours
  assert.throws(() => kinovar.readRecording(recording, recording, { overwrite: true }), is(codes.NOT_OURS));

  // The system's code and the file; the words say what to do.
  const cases = [[path.join(dir, 'no', 'x.csv'), 'ENOENT', /folder does not exist/],
    [path.join(recording, 'x.csv'), 'ENOTDIR', /not a folder/]];
  for (const [target, code, hint] of cases) {
    assert.throws(() => kinovar.readRecording(recording, target),
      (e) => e.code === code && e.path === target && e.recording === recording && hint.test(e.message));
    assert.throws(() => kinovar.writeSettings(target, { baro: { frequency: 25 } }), (e) => e.code === code && e.path === target);
  }
  assert.throws(() => kinovar.syncRecordings([recording, other], path.join(recording, 'out')),
    (e) => e.code === 'ENOTDIR' && /not a folder/.test(e.message));

  const session = path.join(dir, 'session');
  fs.mkdirSync(session);
  const set = generateSession(session, { seconds: 3 });
  const out = path.join(dir, 'new', 'synced');
  assert.deepEqual(kinovar.syncRecordings(set, out), ['pelvis', 'thigh', 'shank'].map((n) => path.join(out, `${n}.csv`)));
  fs.writeFileSync(path.join(out, 'thigh.csv'), 'a file of the user');
  assert.throws(() => kinovar.syncRecordings(set, out), (e) => is(codes.NOT_OURS)(e) && e.path.endsWith('thigh.csv'));
  assert.equal(fs.readFileSync(path.join(out, 'thigh.csv'), 'latin1'), 'a file of the user');
  kinovar.syncRecordings(set, out, { overwrite: true });
});

test('a failed synchronised conversion names its cause, in words and as data', (t) => {
  const dir = scratch(t);
  const radio = (name, options) => generateSession(fs.mkdirSync(path.join(dir, name)) ?? path.join(dir, name),
    { method: 'radio', seconds: 2, ...options });
  const [master, slave, slave2] = radio('a');
  const [, otherChannel] = radio('b', { channel: 5, sensors: [[0, 0, 'm'], [0, 0, 'other']] });
  const streamSet = radio('c', { method: 'stream', radioHz: 0 });
  const lone = [0, 1].map((i) => generateRecording(path.join(dir, `lone${i}.bin`), { seconds: 1 }));
  const missing = path.join(dir, 'missing.bin');
  const text = path.join(dir, 'text.bin');
  fs.writeFileSync(text, 'not a recording');
  const short = path.join(dir, 'short.bin');
  fs.writeFileSync(short, 'Q7\x03\x08\x02\x03\xe8');
  const noGyro = generateRecording(path.join(dir, 'nogyro.bin'), { seconds: 1, gyro: 0 });
  const out = path.join(dir, 'out');
  fs.mkdirSync(out);

  // The classic CSV, whose failures keep the codes they always had.
  const fails = (recordings, folder, code, words, cause) => assert.throws(() => kinovar.syncRecordings(recordings, folder, { format: 'classic' }),
    (e) => {
      assert.ok(is(code)(e), e.message);
      assert.match(e.message, words);
      assert.deepEqual(e.cause, cause);
      return true;
    });
  fails([master, missing, text, short, dir], out, codes.UNREADABLE,
    /missing\.bin: cannot be read: .*\(ENOENT\).*; .*text\.bin: not a recording .*; .*short\.bin: cut short .*: cannot be read: .*\(EISDIR\); it is a folder; name a file in it$/,
    { reason: 'unreadable-recordings', recordings: [{ path: missing, reason: 'missing', code: 'ENOENT' },
      { path: text, reason: 'not-a-recording' }, { path: short, reason: 'cut-short' },
      { path: dir, reason: 'unreadable', code: 'EISDIR' }] });
  fails([master, noGyro], out, codes.NO_ORIENTATION, /nogyro\.bin$/, { reason: 'no-orientation', recordings: [noGyro] });
  fails([master], out, codes.NOT_SYNCHRONISABLE, /at least two recordings, 1 given/, { reason: 'too-few-recordings', count: 1 });
  fails(lone, out, codes.NOT_SYNCHRONISABLE, /lone0\.bin, .*lone1\.bin all claim to be the radio master/,
    { reason: 'several-masters', method: 'radio-settings', recordings: lone });
  fails([slave, slave2], out, codes.NOT_SYNCHRONISABLE, /no recording is the radio master/,
    { reason: 'no-master', method: 'radio-settings', recordings: [] });
  fails([master, slave, otherChannel], out, codes.NOT_SYNCHRONISABLE, /other\.bin is on radio channel 5, not on channel 3/,
    { reason: 'other-channel', method: 'radio-settings', recordings: [otherChannel], channels: [5], channel: 3 });
  fails(streamSet, out, codes.NOT_SYNCHRONISABLE, /thigh\.bin, .*shank\.bin holds no radio time samples/,
    { reason: 'no-radio-data', method: 'radio-stream', recordings: streamSet.slice(1) });
  const sameName = path.join(dir, 'b', 'thigh.bin');
  fs.copyFileSync(slave, sameName);
  fails([master, slave, sameName], out, codes.CSV_NOT_WRITTEN, /thigh\.bin would both be written to .*thigh\.csv; rename/,
    { reason: 'same-name', recordings: [slave, sameName], path: out });
  // Outputs other than the classic CSV have the code that says so.
  assert.throws(() => kinovar.syncRecordings([master, slave, sameName], out, { format: 'parquet' }),
    { code: codes.OUTPUT_NOT_WRITTEN, message: /^not every \.parquet file could be written: .*thigh\.parquet; rename/ });
  assert.throws(() => kinovar.syncRecordings([master, slave, sameName], out), { code: codes.OUTPUT_NOT_WRITTEN });
  const named = path.join(dir, 'a', 'pelvis.csv');
  fs.copyFileSync(master, named);
  fails([named, slave], path.join(dir, 'a'), codes.CSV_NOT_WRITTEN, /would replace the recording .*pelvis\.csv/,
    { reason: 'replaces-recording', recordings: [named], path: path.join(dir, 'a') });
  // An output folder that is a file: the system's answer, before any parsing.
  assert.throws(() => kinovar.syncRecordings([master, slave], text), { code: 'ENOTDIR', path: text });
  assert.deepEqual(fs.readdirSync(out), []);
  assert.throws(() => kinovar.syncRecordings('good.bin', dir), TypeError);
  // A native module newer than this library, with a failure it does not know.
  const unknown = syncFailure({ status: '-99', failure: 'a-new-stage' }, lone, out);
  // The status is for programs; the words say what to do.
  assert.ok(is(codes.UNKNOWN_STATUS)(unknown) && unknown.status === '-99' && !/-99/.test(unknown.message) &&
    /reinstall kinovar/.test(unknown.message));
});

test('a bad file gets one reason from read, load, sync and view; settings without samples are refused by each', async (t) => {
  const dir = scratch(t);
  const set = generateSession(dir, { seconds: 2 });
  const head = fs.readFileSync(set[1]).subarray(0, 512);
  const bad = {
    missing: path.join(dir, 'missing.bin'), text: path.join(dir, 'text.bin'), short: path.join(dir, 'short.bin'),
    settings: path.join(dir, 'sensor.cfg'), empty: path.join(dir, 'empty.bin'),
  };
  fs.writeFileSync(bad.text, 'not a recording\n'.repeat(40));
  fs.writeFileSync(bad.short, head.subarray(0, 200));
  fs.writeFileSync(bad.settings, head);
  fs.writeFileSync(bad.empty, Buffer.concat([head, Buffer.alloc(1024)]));  // blocks, but no sample in them
  const out = path.join(dir, 'out');
  const refusal = (run) => { try { run(); } catch (error) { return error; } assert.fail('not refused'); };
  for (const [name, file] of Object.entries(bad)) {
    const read = refusal(() => kinovar.readRecording(file, path.join(dir, 'x.csv')));
    assert.ok(read.message.startsWith(file), name);
    for (const other of [() => kinovar.readRecording(file, path.join(dir, 'x.parquet')), () => kinovar.load(file),
      () => kinovar.writeViewPage(file, path.join(dir, 'x.html'))]) {
      assert.deepEqual([refusal(other).code, refusal(other).message], [read.code, read.message], name);
    }
    for (const format of ['csv', 'parquet']) {
      const sync = refusal(() => kinovar.syncRecordings([set[0], file], out, { format }));
      assert.ok(sync.message.endsWith(read.message), `${name}: ${sync.message}`);
      assert.equal(sync.code, read.code === codes.NO_SAMPLES ? codes.NO_SAMPLES : codes.UNREADABLE, name);
    }
    await assert.rejects(promises.loadSet([set[0], file]), (e) => e.message.endsWith(read.message));
  }
  // Settings and no samples: its own code, pointing to the settings.
  for (const file of [bad.settings, bad.empty]) {
    assert.throws(() => kinovar.readRecording(file, path.join(dir, 'x.csv'), { format: 'plain' }), (e) => is(codes.NO_SAMPLES)(e) &&
      e.message.includes(`"kinovar config show ${file}"`) && e.path === file);
  }
  // An earlier output of ours under the name stays as it was.
  const earlier = path.join(dir, 'earlier.csv');
  kinovar.readRecording(set[0], earlier, { format: 'plain' });
  const before = fs.readFileSync(earlier);
  assert.throws(() => kinovar.readRecording(bad.empty, earlier, { format: 'plain' }), is(codes.NO_SAMPLES));
  assert.deepEqual(fs.readFileSync(earlier), before);
  fs.rmSync(earlier);
  assert.match(refusal(() => kinovar.load(bad.settings)).message, /sensor\.cfg is a settings file/);
  assert.equal(kinovar.inspect(bad.empty).streams.accel.samples, 0, 'inspect reports it');
  assert.deepEqual(fs.readdirSync(dir).filter((f) => f.startsWith('x.') || f === 'out'), [], 'nothing written');
});

test('settings: read, device id and write, with their failures', (t) => {
  const dir = scratch(t);
  const file = path.join(dir, 'settings.cfg');
  const settings = { unknownFrames: 'UTcDBQL/AP/+', baro: { frequency: 25 }, deviceId: 99, deviceType: 2, bodyLocation: 4 };
  kinovar.writeSettings(file, settings);
  const back = kinovar.readSettings(file);
  assert.equal(back.unknownFrames, settings.unknownFrames);
  assert.deepEqual(back.baro, { frequency: 25 });
  assert.equal(kinovar.readDeviceId(file), 99);

  const empty = path.join(dir, 'empty.cfg');
  fs.writeFileSync(empty, '');
  for (const read of [kinovar.readSettings, kinovar.readDeviceId]) {
    assert.throws(() => read(path.join(dir, 'missing.cfg')), { code: 'ENOENT' });
    assert.throws(() => read(empty), (e) => is(codes.NO_SETTINGS)(e) && e.path === empty);
  }
  assert.throws(() => kinovar.writeSettings(file, { baro: { frequency: 300 } }), RangeError);
  assert.equal(kinovar.readDeviceId(file), 99, 'a refused write leaves the file alone');

  // Settings never go into a recording, whatever its rates.
  for (const clock of [100, 1000]) {
    const recording = generateRecording(path.join(dir, `rec${clock}.bin`), { seconds: 2, clock, gyro: 100 });
    const bytes = fs.readFileSync(recording);
    for (const options of [{}, { overwrite: true }]) {
      assert.throws(() => kinovar.writeSettings(recording, { ...kinovar.readSettings(recording), deviceId: 42 }, options),
        (e) => is(codes.IS_RECORDING)(e) && e.path === recording && /is a recording/.test(e.message));
    }
    assert.ok(fs.readFileSync(recording).equals(bytes));
  }
});

// Type-3 records with calibration in 1/10000, a 500 deg/s range code and an
// unknown record between them.
function typeThreeFile(file) {
  const record = (type, subtype, payload) => Buffer.from([0x51, 0x37, type, subtype, payload.length, ...payload, 0xff, 0xfe]);
  const be = (value, width) => { const b = Buffer.alloc(width); b.writeIntBE(value, 0, width); return [...b]; };
  const sensor = (subtype, code, calibration) => record(3, subtype, [19 + subtype - 2, ...be(1000, 2), code,
    ...calibration.flatMap((v) => be(v, 4)), 0, 0]);
  fs.writeFileSync(file, Buffer.concat([record(1, 1, [...be(1234, 4), 2, 1]),
    sensor(2, 3, [-12345, 0, 5, 9995, 10000, 10000]), record(3, 5, [1, 2, 3]),
    sensor(3, 1, [7, 0, 0, 10001, 10000, 10000]), record(3, 21, be(7, 2))]));
  return fs.readFileSync(file);
}

test('a settings edit changes only the fields it names, each in the form of its record', (t) => {
  const dir = scratch(t);
  const file = path.join(dir, 'type3.cfg');
  const original = typeThreeFile(file);
  const settings = kinovar.readSettings(file);
  assert.deepEqual([settings.accel.offsetX, settings.accel.gainX, settings.gyro.range, settings.gyro.gainX], [-1.2345, 0.9995, 500, 1.0001]);
  assert.equal(JSON.parse(kinovar.readConfig(file)).accel.gainX, 0, 'the native document keeps its integers');

  kinovar.writeSettings(file, { ...settings, deviceId: 7 });
  const edited = fs.readFileSync(file);
  const changed = [...edited.keys()].filter((i) => edited[i] !== original[i]);
  assert.deepEqual(changed, [7, 8], 'only the low bytes of the device id');
  assert.equal(edited.length, original.length);

  kinovar.writeSettings(file, { accel: { gainX: 1.5 }, gyro: { range: 2000 } });
  const after = kinovar.readSettings(file);
  assert.deepEqual([after.accel.gainX, after.accel.offsetX, after.gyro.range, after.unknownFrames, after.measureId],
    [1.5, -1.2345, 2000, settings.unknownFrames, 7]);
  // Refusals name the field and what it may be, in words: no record numbers, values sorted.
  for (const [bad, words] of [
    [{ gyro: { range: 300 } }, /^gyro\.range must be one of 125, 245, 500, 1000, 2000 \(deg\/s\), not 300$/],
    [{ accel: { gainX: 0.99951 } }, /^accel\.gainX must be a multiple of 0\.0001 .*calibration in steps of 0\.0001\)/],
    [{ deviceType: 256 }, /^deviceType must be an integer from 0 to 255/],
    [{ createdAt: '2020-01-01 00:00:00' }, /^createdAt cannot be set in this file: it holds no creation date/],
    [{ gps: { frequency: 5 } }, /^gps\.frequency cannot be set in this file: it holds no GPS rate .*can add only .*accelerometer/],
  ]) {
    assert.throws(() => kinovar.writeSettings(file, bad), (e) => e instanceof RangeError && words.test(e.message) &&
      e.code === codes.SETTINGS_VALUE && !/record \d/.test(e.message), JSON.stringify(bad));
  }
  assert.deepEqual(kinovar.readSettings(file), after, 'a refused value writes nothing');
});

// What a recording's settings hold (2000 deg/s, 1000 Hz, 0.9995) is beyond
// the one-byte records of a new file: those sensors take the newer form.
test('settings read from a recording write a new file that reads back the same, or nothing', (t) => {
  const dir = scratch(t);
  const sources = [generateRecording(path.join(dir, 'rec.bin'), { seconds: 2, clock: 1000, accel: 1000, gyro: 100 }),
    path.join(dir, 'type3.cfg')];
  typeThreeFile(sources[1]);
  const kept = ['unknownFrames', 'gyro', 'accel', 'baro', 'deviceId', 'deviceType', 'bodyLocation', 'version',
    'majorVersion', 'minorVersion', 'radioMode', 'radioChannel'];
  for (const [n, source] of sources.entries()) {
    const settings = kinovar.readSettings(source);
    const file = path.join(dir, `copy${n}.cfg`);
    kinovar.writeSettings(file, settings);
    const back = kinovar.readSettings(file);
    for (const key of kept) assert.deepEqual(back[key], settings[key], `${source}: ${key}`);
  }
  assert.equal(kinovar.readSettings(sources[0]).gyro.range, 2000);

  const refused = path.join(dir, 'refused.cfg');
  const settings = kinovar.readSettings(sources[0]);
  for (const [group, member, value] of [['gyro', 'range', 300], ['accel', 'frequency', 70000], ['accel', 'gainX', 0.99951]]) {
    const bad = { ...settings, [group]: { ...settings[group], [member]: value } };
    assert.throws(() => kinovar.writeSettings(refused, bad), (e) => e instanceof RangeError &&
      e.code === codes.SETTINGS_VALUE && e.message.startsWith(`${group}.${member} must be `), `${group}.${member}`);
    assert.ok(!fs.existsSync(refused), 'nothing written');
  }
});

test('promise versions give the same results, bytes and errors, off the event loop', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 120, clock: 1000, accel: 200, gyro: 200, baro: 25, events: 1, rate: 30 });
  const info = kinovar.readRecording(recording, path.join(dir, 'sync.csv'));
  let ticks = 0;
  const timer = setInterval(() => { ticks += 1; }, 1);
  assert.deepEqual(await promises.readRecording(recording, path.join(dir, 'async.csv')), info);
  clearInterval(timer);
  assert.ok(ticks > 0, 'timers ran while the worker converted');
  assert.ok(fs.readFileSync(path.join(dir, 'async.csv')).equals(fs.readFileSync(path.join(dir, 'sync.csv'))));

  const file = path.join(dir, 's.cfg');
  await promises.writeSettings(file, { deviceId: 5, deviceType: 1, bodyLocation: 1 });
  assert.deepEqual(await promises.readSettings(file), kinovar.readSettings(file));
  assert.equal(await promises.readDeviceId(file), 5);

  await assert.rejects(promises.readRecording(path.join(dir, 'missing.bin'), path.join(dir, 'x.csv')), { code: 'ENOENT' });
  await assert.rejects(promises.readRecording(recording, path.join(dir, 'no', 'x.csv')), { code: 'ENOENT' });
  await assert.rejects(promises.syncRecordings([recording, path.join(dir, 'missing.bin')], dir, { format: 'plain' }),
    (e) => is(codes.UNREADABLE)(e) && e.cause.recordings[0].reason === 'missing');
  await assert.rejects(promises.writeSettings(file, { baro: { frequency: -1 } }), RangeError);
  await assert.rejects(promises.readRecording(1, 2), TypeError);
});

test('batches report progress, keep going past a bad file and abort between files', async (t) => {
  const dir = scratch(t);
  const recordings = [1, 2, 3, 4, 5, 6].map((i) => generateRecording(path.join(dir, `r${i}.bin`), { seconds: 2, seed: i }));
  fs.writeFileSync(recordings[2], Buffer.alloc(700));
  const progress = [];
  const out = path.join(dir, 'out', 'csv');  // made before the first recording is read
  const results = await promises.readRecordings(recordings, { outDir: out, jobs: 3, onProgress: (p) => progress.push(p) });
  assert.deepEqual(progress.filter((p) => p.result).map((p) => p.done), [1, 2, 3, 4, 5, 6]);
  // While a file converts, the fraction of it converted rises to 1.
  const fractions = progress.filter((p) => p.recording === recordings[0]).map((p) => p.fraction);
  assert.ok(fractions.length > 1 && fractions.at(-1) === 1 && fractions.every((f, i) => !i || f > fractions[i - 1]), `${fractions}`);
  assert.deepEqual(results.map((r) => r.ok), [true, true, false, true, true, true]);
  assert.ok(is(codes.FORMAT)(results[2].error));
  const { calibration, ...quality } = kinovar.inspect(recordings[0]);  // inspect adds the fit at rest
  assert.deepEqual(results[0].info.quality, quality, 'each result carries its quality report');
  assert.deepEqual(fs.readdirSync(out).sort(), ['r1.csv', 'r2.csv', 'r4.csv', 'r5.csv', 'r6.csv']);
  // Every format's file is the result's `output`; `csv`, its former name, is kept for older callers.
  const [parquet, named] = await promises.readRecordings([recordings[0], { recording: recordings[1], csv: path.join(out, 'old.parquet') }],
    { outDir: out, format: 'parquet' });
  assert.deepEqual([parquet.output, parquet.csv, named.output], [path.join(out, 'r1.parquet'), parquet.output, named.csv]);

  const aborted = path.join(dir, 'aborted');
  fs.mkdirSync(aborted);
  const controller = new AbortController();
  const rejection = await promises.readRecordings(recordings, {
    outDir: aborted, jobs: 1, signal: controller.signal, onProgress: ({ done }) => done === 2 && controller.abort(),
  }).catch((error) => error);
  assert.equal(rejection.name, 'AbortError');
  assert.deepEqual(rejection.results.map((r) => path.basename(r.output)), ['r1.csv', 'r2.csv']);
  assert.deepEqual(fs.readdirSync(aborted).sort(), ['r1.csv', 'r2.csv']);
  for (const name of ['r1.csv', 'r2.csv']) {
    assert.deepEqual(fs.readFileSync(path.join(aborted, name)), fs.readFileSync(path.join(out, name)), `${name} is whole`);
  }

  await assert.rejects(promises.readRecordings(recordings, { outDir: aborted, signal: AbortSignal.abort() }), { name: 'AbortError' });
  await assert.rejects(promises.readRecording(recordings[0], path.join(dir, 'x.csv'), { signal: AbortSignal.abort() }), { code: 'ABORT_ERR' });
  assert.ok(!fs.existsSync(path.join(dir, 'x.csv')));
  // An abort while it converts stops the conversion: the old output stays, no unfinished copy, and the message says so.
  const long = generateRecording(path.join(dir, 'long.bin'), { seconds: 600, accel: 1000, gyro: 1000 });
  for (const [target, format, left] of [[path.join(out, 'r1.csv'), 'csv', 'left as it was'], [path.join(dir, 'x.parquet'), 'parquet', 'not written']]) {
    const stop = new AbortController();
    const before = fs.existsSync(target) ? fs.readFileSync(target) : null;
    const stopped = await promises.readRecording(long, target, {
      format, overwrite: true, signal: stop.signal, onProgress: ({ fraction }) => fraction < 1 && stop.abort(),
    }).catch((error) => error);
    assert.deepEqual([stopped.name, stopped.code], ['AbortError', 'ABORT_ERR'], stopped.stack);
    assert.equal(stopped.message, `The operation was aborted: ${target} ${left}, no unfinished copy kept`);
    assert.deepEqual(fs.existsSync(target) ? fs.readFileSync(target) : null, before);
    assert.deepEqual(fs.readdirSync(path.dirname(target)).filter((name) => name.includes('kinovar-')), []);
  }
  await assert.rejects(promises.readRecordings([recordings[0], path.join(dir, 'other', 'r1.bin')], { outDir: out }),
    is(codes.DUPLICATE_OUTPUT));
  // Names one file where the file system folds case, beyond ASCII too.
  const pair = [path.join(dir, 'a', '\u00c9milie.bin'), path.join(dir, 'b', '\u00e9milie.bin')];
  const batch = promises.readRecordings(pair, { outDir: out });
  if (process.platform === 'win32' || process.platform === 'darwin') await assert.rejects(batch, is(codes.DUPLICATE_OUTPUT));
  else assert.equal((await batch).length, 2);

  // Single calls: one alone keeps every core busy, those made at once share them as a batch does.
  const pool = new WorkerPool(4, 8);
  const granted = [];
  pool.spawn = () => {  // a worker that only notes the threads its task was given
    const worker = { ref() {}, unref() {}, postMessage: ({ args }) => granted.push(args[0].threads) };
    pool.workers.add(worker);
    return worker;
  };
  const convert = (own) => pool.run('readRecording', (threads) => [{ threads, ...own }]);
  convert();
  await new Promise(setImmediate);
  [{}, {}, { threads: 1 }].forEach(convert);
  await new Promise(setImmediate);
  assert.deepEqual(granted, [8, 2, 2, 1]);
});

test('the loader says what to run when the module is missing or foreign', (t) => {
  const dir = scratch(t);
  const foreign = path.join(dir, 'addon.node');
  fs.writeFileSync(foreign, 'MZ this is not a shared object for this platform');
  assert.throws(() => loadAddon([path.join(dir, 'none.node'), foreign]),
    (e) => e.code === 'ERR_KINOVAR_ADDON_INVALID' && e.message.includes(foreign) && e.message.includes('npm run build'));
  assert.throws(() => loadAddon([path.join(dir, 'none.node')]),
    (e) => e.code === 'ERR_KINOVAR_NOT_BUILT' && e.message.includes(process.platform) && e.message.includes('npm run build'));
});
