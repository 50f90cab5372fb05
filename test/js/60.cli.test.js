'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const kinovar = require('../../lib');
const { main, commands } = require('../../bin/kinovar');
const { progressBar } = require('../../bin/progress');

const { codes, generateRecording, generateSession } = kinovar;
const { decodeViewData } = require('../../lib/viewer/page');
const { generatorPath } = require('../../lib/native/generator');
const { scratch } = require('./helpers');

const bin = path.join(__dirname, '..', '..', 'bin', 'kinovar.js');
const spawned = (...args) => spawnSync(process.execPath, [bin, ...args], { encoding: 'utf8' });
// In-process, as the shell would run it, with standard error a terminal or not.
async function inProcess(isTTY, args, more = {}) {
  const seen = { stdout: '', stderr: '' };
  const io = {
    stdout: (text) => { seen.stdout += text; }, stderr: (text) => { seen.stderr += text; }, isTTY, env: {}, cwd: process.cwd(), ...more,
  };
  return { status: await main(args, io), ...seen };
}
const cli = (...args) => inProcess(false, args);
const pageData = (page) => decodeViewData(new Uint8Array(Buffer.from(
  /<script id="data" type="application\/octet-stream">(.*?)<\/script>/s.exec(fs.readFileSync(page, 'utf8'))[1], 'base64')));

test('every command has help, and a bad command line exits 2', async () => {
  const top = await cli('--help');
  assert.equal(top.status, 0);
  for (const [command, { help }] of Object.entries(commands)) {
    assert.match(top.stdout, new RegExp(`^  ${command} `, 'm'));
    const own = await cli(command, '--help');
    assert.ok(own.status === 0 && own.stdout === help && help.includes(`usage: kinovar ${command}`), command);
    // Options stand together in the list, each once.
    assert.doesNotMatch(help, /^(?!options:)\S.*\n  -/m, command);
    const flags = help.match(/^ {2}(?:-\w, )?--[\w-]+/gm) ?? [];
    assert.equal(new Set(flags).size, flags.length, `${command}: ${flags}`);
  }
  // Every key "config set" takes is named in its help.
  const keys = commands.config.help.replace(/(accel|gyro)\.<field>/g, (_, group) => kinovar.sensorFields.map((f) => `${group}.${f}`).join(' '));
  for (const key of kinovar.settingsKeys) assert.match(keys, new RegExp(`\\s${key.replace('.', '\\.')}\\s`), key);

  for (const args of [[], ['frobnicate'], ['read'], ['read', 'x.bin', '--jobs', '0'], ['read', '--bogus', 'x'],
    ['sync', 'a.bin'], ['config', 'set', 'x.cfg'], ['view'], ['read', 'x.bin', '--orientation', 'best'],
    ['read', 'x.bin', '--format', 'opensense'], ['sync', 'a.bin', '-o', 'd', '--imu-names', 'a'],
    ['sync', 'a.bin', 'b.bin', '-o', 'd', '--format', 'opensense', '--imu-names', 'a'],
    ['read', 'x.bin', '-o', '-', '--format', 'parquet'], ['read', 'a.bin', 'b.bin', '-o', '-'],
    ['gen', 'x.bin', '--set', '2', '--method', 'wire']]) {
    const bad = await cli(...args);
    assert.equal(bad.status, 2, args.join(' '));
    assert.match(bad.stderr, /usage|must|unknown|no recording|required|takes|gives|only|writes/, args.join(' '));
  }
  // Each says what would be right: the format that agrees, a value that fits, the name meant.
  for (const [args, words] of [
    [['read', 'x.bin', '-o', 'y.csv', '--format', 'parquet'], '-o y.csv ends in .csv, but --format parquet writes .parquet files; name it y.parquet, or give the format of .csv: plain or classic'],
    [['read', 'x.bin', '-o', 'y.parquet', '--format', 'Plain'], '-o y.parquet ends in .parquet, but --format plain writes .csv files'],
    [['read', 'x.bin', '-o', 'x.xlsx'], '-o x.xlsx: kinovar writes .csv (plain, classic) or .parquet (parquet) files, not .xlsx'],
    [['gen', 'x.bin', '--seconds', '-5'], '--seconds must be a positive number (of seconds, or with m, h, d), not "-5"'],
    [['gen', 'x.bin', '--accel', '2.5'], '--accel must be a whole number from 0 to 65535, not "2.5"'],
    [['rea', 'x.bin'], 'unknown command rea; did you mean read?'],
    [['read', 'x.bin', '--fromat', 'csv'], 'unknown option --fromat; did you mean --format?'],
    [['sync', 'x.bin', '-o', 'd', '--format', 'opensens'], 'did you mean opensense?'],
    [['config', 'set', 'x.cfg', 'deviceid=5'], 'unknown setting deviceid; did you mean deviceId?'],
    [['read', 'x.bin', '--time', 'wall'], '--time must be relative or absolute, not "wall"'],
    [['sync', 'x.bin', 'y.bin', '-o', 'd', '--timezone', 'UTC'], '--timezone goes with --time absolute'],
  ]) {
    const bad = await cli(...args);
    assert.equal(bad.status, 2, args.join(' '));
    assert.ok(bad.stderr.startsWith('kinovar: ') && bad.stderr.includes(words), bad.stderr);
  }
  // Bare "kinovar config" is unfinished, as bare "kinovar" is: its usage on standard error.
  const bare = await cli('config');
  assert.deepEqual([bare.status, bare.stdout], [2, '']);
  assert.match(bare.stderr, /^usage: kinovar config show/);
  const { version } = require('../../package.json');
  for (const flag of ['--version', '-V']) assert.equal((await cli(flag)).stdout, `${version}\n`);
  assert.equal((await cli('read', 'x.bin', '--bogus')).stderr, 'kinovar: unknown option --bogus (see "kinovar read --help")\n');
  const folder = await cli('read', __dirname);
  assert.equal(folder.status, 2);
  assert.match(folder.stderr, /is a folder; to convert the recordings in it, give .*\/\*\.bin/);
  // A missing input is named as the input, never as an output that could not be written.
  for (const command of ['read', 'view', 'inspect']) {
    const missing = await cli(command, 'missing.bin');
    assert.equal(missing.status, 1, command);
    assert.match(missing.stderr, /missing\.bin: cannot be read: .*\(ENOENT\); check the name and the folder\n/, command);
  }
  const several = await cli('read', 'a.bin', 'b.bin', '-o', 'all.csv');
  assert.equal(several.status, 2);
  assert.match(several.stderr, /-o all\.csv names one file, but 2 recordings need a folder: end it with "\/"/);
  assert.ok(!fs.existsSync('all.csv'));
});

test('the program sets its exit code and ends quietly when its reader closes the pipe', async () => {
  for (const [args, status, stderr] of [[['--help'], 0, ''], [['frobnicate'], 2, /^kinovar: unknown command frobnicate\n\nusage/],
    [['inspect', 'missing.bin'], 1, /^failed missing\.bin: cannot be read/]]) {
    const done = spawned(...args);
    assert.equal(done.status, status, args.join(' '));
    assert.match(done.stderr, stderr instanceof RegExp ? stderr : /^$/, args.join(' '));
  }
  const closed = await new Promise((resolve) => {
    const child = spawn(process.execPath, [bin, 'config', '--help'], { stdio: ['ignore', 'pipe', 'pipe'] });
    child.stdout.destroy();
    let stderr = '';
    child.stderr.on('data', (chunk) => { stderr += chunk; });
    child.on('close', (status) => resolve({ status, stderr }));
  });
  assert.deepEqual(closed, { status: 0, stderr: '' });
});

test('a batch with a corrupted recording in the middle converts the others and names it', async (t) => {
  const dir = scratch(t);
  const recordings = ['a', 'b', 'c', 'd'].map((n, i) => generateRecording(path.join(dir, `${n}.bin`), { seconds: 2, seed: i + 1 }));
  fs.writeFileSync(recordings[1], Buffer.alloc(3000, 0xee));
  const out = path.join(dir, 'new', 'out');

  const run = await cli('read', ...recordings, '-o', `${out}/`, '--jobs', '2');
  assert.equal(run.status, 1);
  assert.deepEqual(fs.readdirSync(out).sort(), ['a.csv', 'c.csv', 'd.csv']);
  assert.match(run.stderr, /failed .*b\.bin: not a recording/);
  assert.match(run.stderr, /3 of 4 recordings converted, 1 failed/);
  assert.doesNotMatch(run.stderr, /\r/, 'no progress bar when standard error is piped');
  kinovar.readRecording(recordings[0], path.join(dir, 'ref.csv'));
  assert.ok(fs.readFileSync(path.join(out, 'a.csv')).equals(fs.readFileSync(path.join(dir, 'ref.csv'))));

  const json = await cli('read', ...recordings, '-o', out, '--json');
  assert.equal(json.status, 1);
  const results = JSON.parse(json.stdout);
  assert.deepEqual(results.map((r) => r.ok), [true, false, true, true]);
  assert.equal(results[1].error.code, kinovar.codes.FORMAT);
  assert.equal(results[0].info.measureId, 7);
  assert.deepEqual([results[0].output, results[0].csv], [path.join(out, 'a.csv'), path.join(out, 'a.csv')], 'csv: output\'s former name');
  // On a terminal, work that lasts (here: from the start) shows a bar on standard error that counts the recordings
  // and is wiped before the summary; not with --json, nor for work done within a second.
  const now = { progressDelay: 0 };
  const shown = await inProcess(true, ['read', ...recordings, '-o', out], now);
  assert.match(shown.stderr, /^\r\[[#.]{30}\] [0-3]\/4 .*?\x1b\[K/);
  assert.match(shown.stderr, /\r\[#{30}\] 4\/4 [^\n]*?\x1b\[K\r\x1b\[Kfailed /);
  assert.doesNotMatch((await inProcess(true, ['read', ...recordings, '-o', out, '--json'], now)).stderr, /\r/);
  assert.doesNotMatch((await inProcess(true, ['read', ...recordings, '-o', out])).stderr, /\r/);
  // Work whose first pass reports nothing (a long recording's parse) still shows its bar on time.
  const drawn = [];
  const waiting = progressBar({ isTTY: true, progressDelay: 0, stderr: (text) => drawn.push(text) }, true, 'r.bin', '0/4');
  await new Promise((resolve) => setTimeout(resolve, 450));
  waiting.done();
  assert.deepEqual(drawn, [`\r[${'.'.repeat(30)}] 0/4 r.bin\x1b[K`, '\r\x1b[K']);

  assert.equal((await cli('read', recordings[0], '-o', path.join(dir, 'one', 'one.csv'))).status, 0);
  assert.ok(fs.existsSync(path.join(dir, 'one', 'one.csv')), 'the folder of a file -o is made');
  assert.equal((await cli('read', recordings[0], '-o', out)).status, 0);
  assert.ok(fs.existsSync(path.join(out, 'a.csv')), 'an existing folder is a folder');
  assert.equal((await cli('read', recordings[0])).status, 0);
  assert.ok(fs.existsSync(path.join(dir, 'a.csv')), 'by default the CSV goes beside its recording');

  // Another recording is no name for an output, and any file that is not an output of ours stays unless --force.
  const before = fs.readFileSync(recordings[2]);
  const onto = await cli('read', recordings[0], '-o', recordings[2], '--force');
  assert.equal(onto.status, 2);
  assert.match(onto.stderr, /c\.bin: kinovar writes \.csv \(plain, classic\) or \.parquet \(parquet\) files, not \.bin/);
  assert.ok(fs.readFileSync(recordings[2]).equals(before));
  // Neither does the generator replace a recording (it may be a real one), nor demo its session's names.
  assert.match((await cli('gen', recordings[2], '--seconds', '1')).stderr, /c\.bin exists and is not a file kinovar wrote/);
  fs.renameSync(recordings[2], path.join(dir, 'pelvis.bin'));
  assert.match((await cli('demo', dir)).stderr, /pelvis\.bin exists and is not a file kinovar wrote/);
  assert.ok(fs.readFileSync(path.join(dir, 'pelvis.bin')).equals(before));
  assert.deepEqual(fs.readdirSync(dir).filter((name) => name.startsWith('.')), [], 'nothing generated is left aside');
  fs.renameSync(path.join(dir, 'pelvis.bin'), recordings[2]);
  fs.writeFileSync(path.join(dir, 'notes.csv'), 'mine');
  assert.match((await cli('read', recordings[0], '-o', path.join(dir, 'notes.csv'))).stderr, /notes\.csv exists and is not a file kinovar wrote/);
  assert.equal((await cli('read', recordings[0], '-o', path.join(dir, 'notes.csv'), '--force')).status, 0);
  const parentIsFile = await cli('read', recordings[0], '-o', path.join(recordings[3], 'x.csv'));
  assert.equal(parentIsFile.status, 1);
  assert.match(parentIsFile.stderr, /d\.bin: not a folder \(ENOTDIR\); a part of the path is a file/);
});

test('inspect reports what happened in a recording, and read warns in one line', async (t) => {
  const dir = scratch(t);
  const clean = generateRecording(path.join(dir, 'clean.bin'), { seconds: 2 });
  const faulty = generateRecording(path.join(dir, 'faulty.bin'), { seconds: 4, accel: 1000, cutBlocks: 2, duplicateTicks: true, shortFinal: 7 });
  // A pattern is expanded as a shell would (Windows shells pass it as typed), in order.
  const run = await cli('inspect', '--json', path.join(dir, '*.bin'));
  assert.equal(run.status, 0, run.stderr);
  const [a, b] = JSON.parse(run.stdout);
  assert.deepEqual(Object.keys(a.quality.streams), ['accel', 'gyro', 'baro']);
  assert.deepEqual(a.quality.streams.gyro, {
    samples: 200, rate: 100, rateSeen: 100, first: 0, last: 1.99, duplicates: 0, gaps: { missing: 0, count: 0, longest: 0 }, saturated: 0,
  });
  // The exact counts are the C++ tests'; here the keys and the numbers' meaning.
  const accel = b.quality.streams.accel;
  assert.ok(accel.duplicates > 380 && accel.duplicates <= 400);
  assert.ok(accel.gaps.missing > 40 && accel.gaps.count === 1 && accel.gaps.longest === (accel.gaps.missing + 1) / 1000);
  const [gap] = accel.gaps.list;
  assert.ok(accel.gaps.list.length === 1 && gap.length === accel.gaps.longest && gap.start > 0 && gap.start + gap.length < 4);
  assert.equal(a.quality.streams.gyro.gaps.list, undefined, 'no gaps, no list');
  assert.equal(b.quality.outOfOrder, 1);
  assert.equal(b.quality.tailBytes, 7);
  assert.deepEqual(b.quality.settingsRecords, []);
  const text = (await cli('inspect', faulty)).stdout;
  assert.match(text, /faulty\.bin: accel: \d+ samples missing in 1 gap .*; accel: \d+ duplicate frames dropped;.* 1 block out of order; the classic CSV's Time .*\n  stream +samples/m);
  assert.ok(text.includes(`\n  accel gap at ${gap.start.toFixed(3)} s (${gap.length.toFixed(3)} s long)\n`), text);
  // Every eighth data block left out: nine gaps, five of them in the text.
  const blocks = fs.readFileSync(generateRecording(path.join(dir, 'whole.dat'), { seconds: 20, seed: 4 }));
  const holed = path.join(dir, 'holed.dat');
  fs.writeFileSync(holed, Buffer.concat(Array.from({ length: blocks.length / 512 }, (_, i) => blocks.subarray(i * 512, i * 512 + 512))
    .filter((_, i) => i < 2 || i % 8)));
  const { list } = kinovar.inspect(holed).streams.accel.gaps;
  assert.equal(list.length, 9);
  assert.match((await cli('inspect', holed)).stdout, new RegExp(`\n  accel gaps at ${list[0].start.toFixed(3)} s \\(${
    list[0].length.toFixed(3)} s long\\), (.*, ){3}${list[4].start.toFixed(3)} s .* and 4 more\n`));
  // A rate the clock is no whole multiple of: the classic CSV's time runs slow for it, and inspect and read say so;
  // read says it of the classic CSV only, and of gaps too.
  const odd = generateRecording(path.join(dir, 'odd.bin'), { seconds: 2, clock: 1024, accel: 300, gyro: 300 });
  assert.deepEqual([kinovar.inspect(odd).streams.accel.ticksPerSample, kinovar.inspect(odd).streams.accel.rowsPerSample], [1024 / 300, 3]);
  assert.match((await cli('inspect', odd)).stdout, /accel: 300 Hz does not divide the 1024 Hz clock, .* 3 rows apart instead of 3\.41 ticks and its Time column runs 12\.1% slow;.* the rows of accel, gyro, baro \(a rate that does not divide the clock\) run slow; the plain CSV, Parquet/);
  const classicTime = /the classic CSV's Time column counts rows, not the samples' times: (.*); the plain CSV, Parquet/;
  for (const [file, format, reasons] of [[odd, 'csv', /^the rows of accel, gyro, baro /], [faulty, 'csv', /^after a gap \(accel, gyro, baro\) every later row stands early$/],
    [odd, 'plain', null], [faulty, 'parquet', null], [clean, 'csv', null]]) {
    const { stderr } = await cli('read', file, '-o', path.join(dir, `out-${format}/`), '--format', format, '--force');
    assert.match(classicTime.exec(stderr)?.[1] ?? 'none', reasons ?? /^none$/, `${file} ${format}: ${stderr}`);
  }
  assert.equal(kinovar.inspect(clean).streams.accel.ticksPerSample, undefined);
  assert.deepEqual(await cli('inspect', path.join(dir, 'f*.xyz')), { status: 1, stdout: '', stderr: `kinovar: ${path.join(dir, 'f*.xyz')} matches no file; check the pattern and the folder\n` });
  // --strict fails a pipeline on anything reported; --quiet leaves the names of those only.
  assert.equal((await cli('inspect', '--strict', clean)).status, 0);
  assert.deepEqual(await cli('inspect', '--strict', '-q', clean, faulty), { status: 1, stdout: '', stderr: `kinovar inspect --strict: something reported for ${faulty}\n` });

  const empty = path.join(dir, 'empty.bin');
  fs.writeFileSync(empty, fs.readFileSync(clean).subarray(0, 512));
  const read = await cli('read', clean, faulty, empty, '-o', `${path.join(dir, 'out')}/`);
  assert.equal(read.status, 1, read.stderr);
  const warnings = read.stderr.split('\n').filter((line) => line.startsWith('warning'));
  assert.equal(warnings.length, 1);
  assert.ok(warnings[0].startsWith(`warning ${faulty}: `), warnings[0]);
  // Settings and no samples are a settings file: no table of headers, no empty page, the same words; inspect reports it.
  const settingsFile = `${empty} is a settings file (settings and no samples): there is nothing to convert or draw; ` +
    `"kinovar config show ${empty}" lists its settings`;
  assert.ok(read.stderr.includes(`failed ${settingsFile}\n`), read.stderr);
  assert.ok(!fs.existsSync(path.join(dir, 'out', 'empty.csv')));
  assert.deepEqual(await cli('view', empty), { status: 1, stdout: '', stderr: `kinovar: ${settingsFile}\n` });
  assert.match((await cli('inspect', empty)).stdout, /empty\.bin: no samples at all/);
  assert.ok(!fs.existsSync(path.join(dir, 'empty.html')));
});

test('sync reports what it did or why not, in words and as JSON, and leaves no folder it made for nothing', async (t) => {
  const dir = scratch(t);
  const set = generateSession(dir, { method: 'radio', seconds: 3, events: 1 });
  const out = path.join(dir, 'out');
  const done = await cli('sync', ...set, '-o', out);
  assert.equal(done.status, 0, done.stderr);
  assert.equal(done.stderr, '');
  assert.match(done.stdout, /wrote {2}.*thigh\.csv {2}\(offset -1\.250 s; clock rate not measured; \d+ accel, \d+ gyro, \d+ baro, \d+ quaternion; \d+ events\)/);
  assert.match(done.stdout, /^3 recordings synchronised by radio settings, common window 1\.000 s to \d+\.\d{3} s/m);
  const json = JSON.parse((await cli('sync', ...set, '-o', out, '--json')).stdout);
  assert.equal(json.ok, true);
  assert.deepEqual(Object.keys(json), ['ok', 'method', 'recordings', 'files', 'offsets', 'window', 'samples', 'events', 'clocks', 'calibration']);
  assert.deepEqual(json.files, ['pelvis', 'thigh', 'shank'].map((n) => path.join(out, `${n}.csv`)));
  assert.equal(json.method, 'radio-settings');
  json.offsets.forEach((offset, i) => assert.ok(Math.abs(offset - [0, -1.25, 0.75][i]) < 1e-9, `${offset}`));
  assert.deepEqual(json.clocks.map((c) => [c.measured, c.rateMeasured]), [['master', true], ['radio-settings', false], ['radio-settings', false]]);

  // Clocks 20, -80 and +100 ppm fast, 1 % of the radio pairs noise: each slave's rate against the
  // master's within 1 ppm, its slips told; aligned by offset, a warning for each slave whose rows
  // end more than half a sample off.
  const drifting = path.join(dir, 'drifting');
  fs.mkdirSync(drifting);
  const ppm = [20, -80, 100];
  const stream = generateSession(drifting, { method: 'stream', seconds: 180, radioHz: 10, radioCorrupt: 0.01,
    sensors: [[0, 0.5, 'pelvis', ppm[0]], [-1.25, 0.25, 'thigh', ppm[1]], [0.75, 1, 'shank', ppm[2]]] });
  const measured = JSON.parse((await cli('sync', ...stream, '-o', path.join(drifting, 'out'), '--json')).stdout);
  measured.clocks.forEach((clock, i) => {
    const truth = ((1 + ppm[0] * 1e-6) / (1 + ppm[i] * 1e-6) - 1) * 1e6;
    assert.ok(Math.abs(clock.ppm - truth) < 1, `${i}: ${clock.ppm} ppm, truly ${truth}`);
    assert.equal(clock.measured, i === 0 ? 'master' : 'radio-stream');
  });
  const drifted = await cli('sync', ...stream, '-o', path.join(drifting, 'out'));
  assert.equal(drifted.stderr, '');
  assert.match(drifted.stdout, /shank\.csv {2}\(offset \+\d\.\d{3} s; clock -80\.\d ± \d+\.\d ppm; 1 sample skipped, 0 repeated;/);
  assert.match(drifted.stdout, /synchronised by radio stream and each clock's rate,/);
  // Time marks 30 s apart know a rate to about 19 ppm: clocks that agree are not told apart, and the line says
  // what the alignment rests on.
  fs.mkdirSync(path.join(dir, 'marks'));
  const marks = generateSession(path.join(dir, 'marks'), { method: 'marks', seconds: 4 });
  const rested = await cli('sync', ...marks, '-o', path.join(dir, 'marks', 'out'));
  assert.equal(rested.stdout.match(/clock \+0\.0 ± 19\.1 ppm, not significant: the alignment rests on the offset from the time marks, and may be 0\.\d ms off at the window's end;/g).length, 3);
  const warned = await cli('sync', ...stream, '-o', path.join(drifting, 'out'), '--clock', 'offset');
  assert.equal(warned.status, 0, warned.stderr);
  assert.match(warned.stdout, /shank\.csv {2}\(offset \+\d\.\d{3} s; clock -80\.\d ± \d+\.\d ppm;/);
  assert.deepEqual(warned.stderr.split('\n').filter(Boolean).map((line) => line.match(/warning: \S+(thigh|shank)\.bin is/)?.[1]),
    ['thigh', 'shank']);

  const lone = generateRecording(path.join(dir, 'lone.bin'), { seconds: 1 });
  const args = ['sync', set[0], lone, '-o', path.join(dir, 'new', 'deeper')];
  const refused = await cli(...args);
  assert.equal(refused.status, 1);
  assert.equal(refused.stderr, `kinovar sync: the recordings could not be put on one time base: ${set[0]}, ${lone} ` +
    'all claim to be the radio master; exactly one of the set may be\n');
  const failed = JSON.parse((await cli(...args, '--json')).stdout);
  assert.deepEqual([failed.ok, failed.status, failed.code, failed.cause.reason], [false, '-11', codes.NOT_SYNCHRONISABLE, 'several-masters']);
  assert.ok(!fs.existsSync(path.join(dir, 'new')), 'the folders made for the refused set are gone');
});

test('read and sync write the other formats, and refuse to replace a file kinovar did not write', async (t) => {
  const dir = scratch(t);
  const set = generateSession(dir, { seconds: 3 });
  assert.equal((await cli('read', set[0], '-o', path.join(dir, 'pelvis.parquet'), '--format', 'PARQUET')).status, 0);
  assert.deepEqual(kinovar.readParquet(path.join(dir, 'pelvis.parquet')).info.measureId, 7);
  fs.writeFileSync(path.join(dir, 'thigh.csv'), 'notes\n');
  const refused = await cli('read', set[1], '--format', 'plain');
  assert.equal(refused.status, 1);
  assert.match(refused.stderr, /thigh\.csv exists and is not a file kinovar wrote/);
  assert.equal((await cli('read', set[1], '--format', 'plain', '--force')).status, 0);
  assert.match(fs.readFileSync(path.join(dir, 'thigh.csv'), 'latin1'), /^time,gyro_x,/);
  // "-o -": the same bytes on standard output, and nothing else there.
  const piped = await cli('read', set[1], '-o', '-', '--format', 'plain');
  assert.deepEqual([piped.status, piped.stderr], [0, '']);
  assert.ok(piped.stdout === fs.readFileSync(path.join(dir, 'thigh.csv'), 'latin1'));
  const badName = await cli('sync', ...set, '-o', path.join(dir, 'out'), '--format', 'opensense', '--imu-names', 'pelvis,left thigh,shank');
  assert.deepEqual([badName.status, badName.stderr], [2, 'kinovar: --imu-names: IMU name "left thigh" holds a blank, comma or control character, ' +
    'which OpenSim\'s table cannot hold in a name; use "left_thigh"\n']);
  const sync = await cli('sync', ...set, '-o', path.join(dir, 'out'), '--format', 'opensense', '--imu-names', 'pelvis_imu,femur_r_imu,tibia_r_imu');
  assert.equal(sync.status, 0, sync.stderr);
  assert.match(fs.readFileSync(path.join(dir, 'out', 'orientations.sto'), 'utf8'), /\ntime\tpelvis_imu\tfemur_r_imu\ttibia_r_imu\n/);
});

test('config set changes the named fields and keeps the rest, unknown records included', async (t) => {
  const dir = scratch(t);
  const file = path.join(dir, 'sensor.cfg');
  const unknown = 'UTcDBQL/AP/+UTcEAAD//g==';  // a 3/5 and a 4/0 record
  kinovar.writeSettings(file, {
    unknownFrames: unknown, deviceId: 1234, deviceType: 2, bodyLocation: 1, version: 1, majorVersion: 2, minorVersion: 3,
    accel: { frequency: 100, range: 16, offsetX: -5, offsetY: 0, offsetZ: 7, gainX: 10000, gainY: 10000, gainZ: 10000 },
  });
  const before = kinovar.readSettings(file);

  const run = await cli('config', 'set', file, 'deviceId=77', 'accel.frequency=50', 'baro.frequency=25');
  assert.equal(run.status, 0, run.stderr);
  const after = JSON.parse((await cli('config', 'show', file, '--json')).stdout);
  assert.deepEqual(after, { ...before, deviceId: 77, accel: { ...before.accel, frequency: 50 }, baro: { frequency: 25 } });
  assert.equal(after.unknownFrames, unknown);
  assert.equal((await cli('config', 'device-id', file)).stdout, '77\n');
  assert.match((await cli('config', 'show', file)).stdout, /^accel\.offsetX +\= -5$/m);

  for (const bad of ['measureId=3', 'colour=4', 'deviceId=x', 'baro.frequency=300']) {
    assert.equal((await cli('config', 'set', file, bad)).status, 2, bad);
  }
  assert.deepEqual(kinovar.readSettings(file), after, 'a refused change writes nothing');
  assert.equal((await cli('config', 'show', path.join(dir, 'missing.cfg'))).status, 1);

  for (const clock of [100, 1000]) {
    const recording = generateRecording(path.join(dir, `rec${clock}.bin`), { seconds: 2, clock, gyro: 100 });
    const bytes = fs.readFileSync(recording);
    const refused = await cli('config', 'set', recording, 'deviceId=42');
    assert.equal(refused.status, 1);
    assert.match(refused.stderr, /is a recording/);
    assert.ok(fs.readFileSync(recording).equals(bytes), `${clock} Hz recording unchanged`);
    // Its settings can still go to a new settings file.
    const made = path.join(dir, `from${clock}.cfg`);
    const set = await cli('config', 'set', recording, 'deviceId=42', 'accel.frequency=300', '-o', made);
    assert.equal(set.status, 0);
    assert.equal(kinovar.readDeviceId(made), 42);
    // A rate the clock does not divide is written, with a warning that the classic CSV's time will run slow.
    assert.equal(/accel\.frequency=300 does not divide the 1000 Hz clock; the classic CSV/.test(set.stderr), clock === 1000, set.stderr);
    assert.doesNotMatch((await cli('config', 'show', made)).stdout, /unknownFrames/, 'no line for no unknown records');
  }
});

test('view writes the page beside its input, says what it ignores and refuses what is not ours', async (t) => {
  // What the page draws is the viewer's own test (75.viewer.test.js).
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'walk.bin'), { seconds: 2 });
  assert.equal((await cli('view', recording)).status, 0);
  assert.deepEqual(pageData(path.join(dir, 'walk.html')).header.plots.map((p) => p.id), ['accel', 'gyro', 'baro', 'orientation', 'quaternion']);
  const csv = path.join(dir, 'walk.csv');
  kinovar.readRecording(recording, csv);
  const fromCsv = await cli('view', csv, '-o', path.join(dir, 'from-csv.html'), '--max-points', '50', '--orientation', 'accurate');
  assert.equal(fromCsv.status, 0);
  assert.match(fromCsv.stderr, /--orientation applies to recordings; .*walk\.csv shows the orientation it was written with/);
  const other = path.join(dir, 'notes.html');
  fs.writeFileSync(other, '<p>my notes</p>');
  const refused = await cli('view', recording, '-o', other);
  assert.equal(refused.status, 1);
  assert.match(refused.stderr, /notes\.html exists and is not a file kinovar wrote/);
  assert.equal((await cli('view', recording, '-o', other, '--force')).status, 0);
});

test('demo writes and converts three sensors', async (t) => {
  const dir = scratch(t);
  const run = await cli('demo', dir);
  assert.equal(run.status, 0, run.stderr);
  for (const name of ['pelvis', 'thigh', 'shank']) {
    assert.match(run.stdout, new RegExp(`csv[/\\\\]${name}\\.csv +\\d+ rows`));
    assert.ok(fs.existsSync(path.join(dir, 'csv', `${name}.csv`)));
  }
  assert.ok(fs.existsSync(path.join(dir, 'pelvis.html')));

  // Without a folder it works in the temporary folder and leaves nothing there.
  const tmp = path.join(dir, 'tmp');
  fs.mkdirSync(tmp);
  const temporary = spawnSync(process.execPath, [bin, 'demo'],
    { encoding: 'utf8', env: { ...process.env, TMPDIR: tmp, TMP: tmp, TEMP: tmp } });
  assert.equal(temporary.status, 0, temporary.stderr);
  assert.match(temporary.stdout, /csv[/\\]shank\.csv +\d+ rows[^]*Removed .*kinovar-\d+-[0-9a-f]{12}\.tmp; run "kinovar demo <folder>" to keep/);
  assert.deepEqual(fs.readdirSync(tmp), []);
});

test('--quiet prints nothing but errors, whatever the command', async (t) => {
  const dir = scratch(t);
  const say = (args) => inProcess(true, [...args, '--quiet']);
  generateRecording(path.join(dir, 'rough.bin'), { seconds: 4, accel: 1000, cutBlocks: 2 });  // read and inspect warn of it
  const runs = [
    ['gen', path.join(dir, 'set'), '--set', '2'],
    ['read', path.join(dir, 'rough.bin'), '--orientation', 'accurate'],
    ['inspect', path.join(dir, 'rough.bin')],
    ['sync', path.join(dir, 'set', '*.bin'), '-o', path.join(dir, 'out')],
    ['view', path.join(dir, 'rough.csv'), '--orientation', 'classic'],
    ['config', 'set', path.join(dir, 'rough.bin'), 'deviceId=3', '-o', path.join(dir, 'rough.cfg')],
    ['demo', path.join(dir, 'demo')],
  ];
  for (const args of runs) assert.deepEqual(await say(args), { status: 0, stdout: '', stderr: '' }, args.join(' '));
  assert.match((await say(['read', path.join(dir, 'missing.bin')])).stderr, /missing\.bin: cannot be read/);
});

test('gen writes what its help says, events slower than one a second, and sets of any size', async (t) => {
  const dir = scratch(t);
  const { help } = commands.gen;
  const defaults = Object.fromEntries(['seconds', 'still', 'rate'].map((name) => [name, Number(new RegExp(`--${name} .*\\(default ([\\d.]+)\\)`).exec(help)[1])]));
  assert.equal((await cli('gen', path.join(dir, 'plain.bin'))).status, 0);
  const { gyro } = kinovar.load(path.join(dir, 'plain.bin'), { orientation: 'none' }).streams;
  const at = (s) => gyro.z[gyro.time.findIndex((time) => time >= s)];
  assert.deepEqual([Math.round(at(defaults.still - 0.05)), Math.round(at(defaults.still + 0.05)), Math.round(gyro.time.at(-1))],
    [0, defaults.rate, defaults.seconds], 'still, then turning, for as long as the help says');
  const { createdAt, endDate } = kinovar.readSettings(path.join(dir, 'plain.bin'));
  assert.deepEqual([createdAt, endDate], ['2017-03-21 14:05:09', '2017-03-21 14:05:19'], 'it ends when it ends');

  assert.equal((await cli('gen', path.join(dir, 'slow.bin'), '--events', '0.5', '--seconds', '5')).status, 0);
  assert.deepEqual(Array.from(kinovar.load(path.join(dir, 'slow.bin')).streams.events.time), [0.003, 2.003, 4.003]);

  const run = await cli('gen', path.join(dir, 'set'), '--set', '4', '--seconds', '25', '--method', 'radio');
  assert.equal(run.status, 0, run.stderr);
  const set = [1, 2, 3, 4].map((i) => path.join(dir, 'set', `sensor${i}.bin`));
  const { report } = kinovar.syncRecordings(set, path.join(dir, 'out'));
  assert.equal(report.method, 'radio-settings');
  assert.ok(report.window.end - report.window.start > 20, 'longer than the demo');
});

test('gen makes study data: noise by seed, a scenario of activity, non-wear and gaps, a start, drifting clocks', async (t) => {
  const dir = scratch(t);
  const file = (name) => path.join(dir, name);
  const gen = async (...args) => {
    const run = await cli('gen', ...args);
    assert.equal(run.status, 0, run.stderr);
  };
  await gen(file('s1.bin'));
  await gen(file('s2.bin'), '--seed', '2');
  await gen(file('s1-again.bin'), '--seed', '1', '--force');
  assert.ok(fs.readFileSync(file('s1.bin')).equals(fs.readFileSync(file('s1-again.bin'))));
  assert.ok(!fs.readFileSync(file('s1.bin')).equals(fs.readFileSync(file('s2.bin'))), 'the seed matters');

  // A scenario from the command line, lengths in minutes, starting at midnight.
  await gen(file('day.bin'), '--scenario', 'active:1m,nonwear:1m,gap:30s,sleep:1m', '--seconds', '210', '--start', '2024-05-13 00:00:00');
  const settings = kinovar.readSettings(file('day.bin'));
  assert.deepEqual([settings.createdAt, settings.endDate], ['2024-05-13 00:00:00', '2024-05-13 00:03:30']);
  const { accel } = kinovar.load(file('day.bin'), { orientation: 'none' }).streams;
  const sd = (values) => Math.sqrt(values.reduce((s, v) => s + v * v, 0) / values.length - (values.reduce((s, v) => s + v, 0) / values.length) ** 2);
  const within = (from, to) => (channel) => accel[channel].filter((_, i) => accel.time[i] >= from && accel.time[i] < to);
  const [active, off] = [within(1, 59), within(61, 119)];
  assert.ok(sd(active('z')) > 0.1 && ['x', 'y', 'z'].every((c) => sd(off(c)) < 0.013), 'a walk, then the noise of a table');
  const { gaps } = kinovar.inspect(file('day.bin')).streams.accel;
  assert.deepEqual([gaps.count, Math.round(gaps.longest)], [1, 30]);
  for (const [args, words] of [[['--scenario', 'walk:5'], /--scenario takes kind:length stretches.*not "walk:5"/],
    [['--start', '2023-02-29 10:00:00'], /--start must be a date and time that exists/], [['--drift', '50'], /--drift is for a set/]]) {
    const run = await cli('gen', file('bad.bin'), ...args);
    assert.ok(run.status === 2 && words.test(run.stderr), run.stderr);
  }

  await gen(file('set'), '--set', '3', '--drift', '100', '--method', 'stream', '--seconds', '60');
  const { report } = kinovar.syncRecordings([1, 2, 3].map((i) => file(`set/sensor${i}.bin`)), file('out'));
  // Common time = (1 + ppm / 1e6) x own time: a clock 100 ppm fast measures about -100.
  [0, -100, 100].forEach((ppm, i) => assert.ok(Math.abs(report.clocks[i].ppm - ppm) < 2, `${report.clocks[i].ppm} against ${ppm}`));
});

test('a day generated at 100 Hz stays within 256 MB', { skip: process.platform !== 'linux' && 'the cap is set by a POSIX shell' }, (t) => {
  const day = path.join(scratch(t), 'day.bin');
  // The address space capped: the generator fails if a day of samples had to stand in memory (it took 1.1 GB).
  const run = spawnSync('sh', ['-c', 'ulimit -v 262144 && exec "$0" "$@"', generatorPath(), '--out', day, '--seconds', '86400', '--baro', '0'],
    { encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  const { accel, gyro } = kinovar.inspect(day).streams;
  assert.deepEqual([accel.samples, gyro.samples, accel.gaps.count, Math.round(gyro.last)], [8640000, 8640000, 0, 86400]);
});

// Temporary files of ours beside their targets, and scratch folders.
const TEMPORARY = /kinovar-\d+-[0-9a-f]{12}\.tmp$/;
const exited = (child) => new Promise((resolve) => child.on('exit', (code) => resolve(code)));

test('Ctrl-C or SIGTERM stops the conversions, leaves no temporary file, keeps the old output, removes a folder it made ' +
  'and says so; a settings edit is never cut', async (t) => {
  const dir = scratch(t);
  const temporaries = (folder) => fs.readdirSync(folder).filter((name) => TEMPORARY.test(name));
  // config set writes whole on the main thread: a signal that comes during its write is handled once the file has its name.
  // Windows has no POSIX signal to send: Ctrl-Break's event is raised as the console would.
  const cfg = path.join(dir, 'edit.cfg');
  generateRecording(path.join(dir, 'short.bin'));
  const hook = path.join(dir, 'hook.js');
  fs.writeFileSync(hook, `const lib = require(${JSON.stringify(require.resolve('../../lib'))});
    const write = lib.writeSettings;
    lib.writeSettings = (...args) => {
      if (process.platform === 'win32') setImmediate(() => process.emit('SIGBREAK'));
      else process.kill(process.pid, 'SIGINT');
      return write(...args);
    };`);
  const edit = spawnSync(process.execPath, ['-r', hook, bin, 'config', 'set', path.join(dir, 'short.bin'), 'deviceId=7', '-o', cfg],
    { encoding: 'utf8' });
  const [signal, code] = process.platform === 'win32' ? ['SIGBREAK', 143] : ['SIGINT', 130];
  assert.deepEqual([edit.status, edit.stderr], [code, `kinovar: interrupted by ${signal}: ${cfg} written in full; outputs already written stay\n`]);
  assert.equal(kinovar.readDeviceId(cfg), 7);
  assert.deepEqual(temporaries(dir), []);
  if (process.platform === 'win32') return;

  const long = path.join(dir, 'long.bin');
  generateRecording(long, { seconds: 1800, accel: 1000, gyro: 1000 });
  const out = path.join(dir, 'out.csv');
  kinovar.readRecording(path.join(dir, 'short.bin'), out);
  const old = fs.readFileSync(out);
  const interrupt = async (signal, args, begun) => {
    const child = spawn(process.execPath, [bin, ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
    let stderr = '';
    child.stderr.on('data', (data) => { stderr += data; });
    const code = exited(child);
    let done = false;
    code.then(() => { done = true; });
    while (!done && !begun()) await new Promise((resolve) => setTimeout(resolve, 5));
    assert.ok(!done, 'the conversion ended before it could be interrupted');
    child.kill(signal);
    return { code: await code, stderr };
  };
  const bytesIn = (folder) => temporaries(folder).some((name) => (fs.statSync(path.join(folder, name), { throwIfNoEntry: false })?.size ?? 0) > 0);

  const replacing = await interrupt('SIGINT', ['read', long, '-o', out, '--orientation', 'accurate'], () => bytesIn(dir));
  assert.equal(replacing.code, 130);
  assert.match(replacing.stderr, /^kinovar: interrupted by SIGINT: .*out\.csv left as it was \(unfinished copy removed\)[^\n]*\n$/);
  assert.deepEqual(temporaries(dir), []);
  assert.deepEqual(fs.readFileSync(out), old);

  // Parquet's rows are made by JavaScript on a worker, a piece at a time from the native table.
  const parquet = await interrupt('SIGINT', ['read', long, '-o', path.join(dir, 'out.parquet')], () => bytesIn(dir));
  assert.deepEqual([parquet.code, parquet.stderr],
    [130, `kinovar: interrupted by SIGINT: ${path.join(dir, 'out.parquet')} not written (unfinished copy removed); outputs already written stay\n`]);

  const made = path.join(dir, 'made', 'deeper');
  const fresh = await interrupt('SIGTERM', ['read', long, '-o', `${made}/`], () => fs.existsSync(made) && bytesIn(made));
  assert.equal(fresh.code, 143);
  assert.match(fresh.stderr, /not written .*removed the empty folders .*made[/\\]deeper, .*made;/);
  assert.deepEqual(fs.readdirSync(dir).sort(), ['edit.cfg', 'hook.js', 'long.bin', 'out.csv', 'short.bin']);

  // A set's files take their names together: stopped once its rows have begun, none takes one, and the line
  // names each file under way (the third may not have begun).
  const folder = (name) => fs.mkdirSync(path.join(dir, name), { recursive: true });
  const set = generateSession(folder('set'), { seconds: 600, accel: 1000, gyro: 1000 });
  const setOut = path.join(dir, 'set-out');
  kinovar.syncRecordings(generateSession(folder('short'), { seconds: 3 }), setOut, { format: 'plain' });
  const kept = ['pelvis.csv', 'set.json'];
  const olds = kept.map((name) => fs.readFileSync(path.join(setOut, name)));
  for (const name of ['thigh.csv', 'shank.csv']) fs.rmSync(path.join(setOut, name));
  const stopped = await interrupt('SIGINT', ['sync', ...set, '-o', setOut, '--format', 'plain'], () => bytesIn(setOut));
  assert.equal(stopped.code, 130, stopped.stderr);
  const said = stopped.stderr.match(/^kinovar: interrupted by SIGINT: (.+) \(unfinished cop(?:y|ies) removed\); outputs already written stay\n$/);
  const states = ['left as it was', 'not written', 'not written'].map((state, i) => `${path.join(setOut, `${['pelvis', 'thigh', 'shank'][i]}.csv`)} ${state}`);
  // Each file under way, by name whichever began first.
  const parts = said?.[1].split(', ');
  assert.ok(parts && parts.every((part) => states.includes(part)) && parts.join() === [...parts].sort().join(), stopped.stderr);
  assert.deepEqual(fs.readdirSync(setOut).sort(), kept);
  kept.forEach((name, i) => assert.deepEqual(fs.readFileSync(path.join(setOut, name)), olds[i], name));
});

test('the next conversion into a folder removes the temporary files a killed run left there, and nothing else', async (t) => {
  const dir = scratch(t);
  const recording = path.join(scratch(t), 'r.bin');
  generateRecording(recording);
  const gone = spawnSync(process.execPath, ['-e', '']).pid;  // a process that has ended
  // One that lives, writing an output of its own.
  const live = spawn(process.execPath, ['-e', `require(${JSON.stringify(require.resolve('../../lib/native/entry'))})` +
    `.openOutputs([${JSON.stringify(path.join(dir, 'live.csv'))}]); console.log(); setInterval(() => {}, 1000);`]);
  const ended = exited(live);
  await new Promise((resolve) => live.stdout.once('data', resolve));
  const held = fs.readdirSync(dir)[0];
  const stale = [`x.csv.kinovar-${gone}-0123456789ab.tmp`, `kinovar-${gone}-0123456789ab.tmp`];
  const users = ['x.csv.kinovar-notes.tmp', 'x.csv.tmp-0123456789ab', `x.csv.kinovar-${gone}-0123456789ab.tmp.bak`];
  fs.writeFileSync(path.join(dir, stale[0]), 'half a table');
  fs.mkdirSync(path.join(dir, stale[1]));
  fs.writeFileSync(path.join(dir, stale[1], 'scratch'), 'x');
  for (const name of users) fs.writeFileSync(path.join(dir, name), 'mine');
  try {
    kinovar.readRecording(recording, path.join(dir, 'r.csv'));
    assert.deepEqual(fs.readdirSync(dir).sort(), [held, 'r.csv', ...users].sort());
  } finally {
    // Ended before the folder is removed: Windows removes no file a process holds.
    live.kill();
    await ended;
  }
});
