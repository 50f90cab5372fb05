'use strict';
// load(), the plain CSV, Parquet and the OpenSim table: every sample at the
// time its ticks give, read from the recording's blocks here, and the values
// the classic CSV has for it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const kinovar = require('../../lib');
const { codes } = kinovar;
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { writeInPieces } = require('../../lib/output/files');
const { tableWriter } = require('../../lib/parquet/file');
const { sampleTable } = require('../../lib/data/tables');
const { scratch, EOL } = require('./helpers');

// Columns of the classic CSV by the load() stream and channel they hold, with their decimals.
const CLASSIC = [
  ['Gyro X', 'gyro', 'x', 5], ['Gyro Y', 'gyro', 'y', 5], ['Gyro Z', 'gyro', 'z', 5],
  ['Accel X', 'accel', 'x', 5], ['Accel Y', 'accel', 'y', 5], ['Accel Z', 'accel', 'z', 5],
  ['Pressure', 'baro', 'pressure', 3], ['Temperature', 'baro', 'temperature', 1], ['Event', 'events', 'value', 3],
  ['Quat W', 'orientation', 'w', 5], ['Quat X', 'orientation', 'x', 5], ['Quat Y', 'orientation', 'y', 5],
  ['Quat Z', 'orientation', 'z', 5],
];
const PLAIN = ['gyro_x', 'gyro_y', 'gyro_z', 'accel_x', 'accel_y', 'accel_z', 'pressure', 'temperature', 'event',
  'quat_w', 'quat_x', 'quat_y', 'quat_z'];

/** The classic CSV as cells: its column names and rows of texts ('' where empty). */
function classicCells(file) {
  const lines = fs.readFileSync(file, 'latin1').split(EOL).slice(0, -1);
  const names = lines[5].split(',').slice(0, -1);
  return { names, rows: lines.slice(7).map((line) => line.split(',').slice(0, -1)) };
}

// The native read's estimator, for comparing with its CSV and for estimates that are missing.
const CLASSIC_FILTER = { orientation: 'classic' };

// A value matches a cell when the cell is the value rounded to its decimals.
const within = (value, cell, digits) => Math.abs(value - Number(cell)) <= 0.5 * 10 ** -digits + 1e-9 * Math.abs(value);

/** The ticks of each stream of a generated recording, from its data blocks (the generator's frame kinds). */
function sampleTicks(file) {
  const bytes = fs.readFileSync(file);
  const kinds = { 0x13: 'accel', 0x14: 'gyro', 0x15: 'baro', 0x16: 'events' };
  const found = { accel: new Set(), gyro: new Set(), baro: new Set(), events: new Set() };
  for (let block = 512; block + 512 <= bytes.length; block += 512) {
    const base = bytes.readUInt32BE(block + 4);
    for (let f = block + 8; f < block + 512; f += 8) if (kinds[bytes[f]]) found[kinds[bytes[f]]].add((base + bytes[f + 1]) | 0);
  }
  return Object.fromEntries(Object.entries(found).map(([name, ticks]) => [name, [...ticks].sort((a, b) => a - b)]));
}

// Clock 200 Hz with sensors at 100 and 25 Hz: empty cells between samples, events off the sensor ticks.
const RECORDING = { seconds: 3, clock: 200, accel: 100, gyro: 100, baro: 25, events: 1, still: 1 };
// Rows that are not a regular grid: blocks lost and out of order, rates that do not divide the clock.
const IRREGULAR = [
  { seconds: 3, clock: 1000, accel: 300, gyro: 300, baro: 25, events: 1, cutBlocks: 6, swapBlocks: true },
  { seconds: 2, clock: 1024, accel: 1024, gyro: 1024, baro: 25, events: 1, cutBlocks: 3 },
  { seconds: 2, clock: 1000, accel: 1024, gyro: 1024, baro: 25, events: 1 },
];

/** Each stream's times against its ticks, counted from the recording's first sample. */
function assertTickTimes(streams, ticks, clock, label) {
  const first = Math.min(...Object.values(ticks).filter((t) => t.length).map((t) => t[0]));
  for (const [name, stream] of Object.entries(streams)) {
    const own = ticks[name === 'orientation' ? 'accel' : name];
    assert.equal(stream.time.length, own.length, `${label} ${name}`);
    own.forEach((tick, k) => assert.ok(Math.abs(stream.time[k] - (tick - first) / clock) <= 1e-9,
      `${label} ${name} ${k}: ${stream.time[k]} is not tick ${tick}`));
  }
}

test('load() gives every sample at its ticks\' time from the first, and NaN where there is no estimate', async (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), RECORDING);
  const csv = path.join(dir, 'classic.csv');
  const info = JSON.parse(kinovar.read(recording, csv));
  const { names, rows } = classicCells(csv);
  const loaded = kinovar.load(recording, { ...CLASSIC_FILTER, calibrate: 'off' });  // raw, as the native CSV
  // The native answer, and the device that made the recording.
  const { quality, deviceId, ...description } = loaded.info;
  assert.deepEqual(description, info);
  assert.equal(deviceId, JSON.parse(kinovar.readConfigDeviceId(recording)).deviceId);
  assert.equal(typeof quality, 'object');
  assert.deepEqual(Object.keys(loaded.streams), ['accel', 'gyro', 'baro', 'events', 'orientation']);
  for (const [name, stream, channel, digits] of CLASSIC) {
    const at = names.indexOf(name);
    const cells = rows.map((row) => row[at]).filter((cell) => cell !== '');
    const values = loaded.streams[stream][channel];
    assert.ok(values instanceof Float64Array, name);
    assert.equal(values.length, cells.length, name);
    // The classic filter writes 0,0,0,0 where it has no estimate.
    const none = (k) => stream === 'orientation' && ['w', 'x', 'y', 'z'].every((c) => rows.filter((r) => r[at] !== '')[k][names.indexOf(`Quat ${c.toUpperCase()}`)] === '0.00000');
    cells.forEach((cell, k) => assert.ok(none(k) ? Number.isNaN(values[k]) : within(values[k], cell, digits),
      `${name} ${k}: ${values[k]} is not ${cell}`));
  }
  assert.ok(Number.isNaN(loaded.streams.orientation.w.at(-1)), 'the filter has no estimate for the last sample');
  assertTickTimes(loaded.streams, sampleTicks(recording), RECORDING.clock, 'regular');
  IRREGULAR.forEach((options, i) => {
    const file = generateRecording(path.join(dir, `irregular${i}.bin`), options);
    assertTickTimes(kinovar.load(file).streams, sampleTicks(file), options.clock, JSON.stringify(options));
  });

  assert.equal(kinovar.load(recording, { orientation: 'none' }).streams.orientation, undefined);
  assert.throws(() => kinovar.load(recording, { orientation: 'fast' }), TypeError);
  assert.throws(() => kinovar.load(path.join(dir, 'missing.bin')), { code: 'ENOENT' });
  fs.writeFileSync(path.join(dir, 'text.bin'), 'not a recording'.repeat(50));
  assert.throws(() => kinovar.load(path.join(dir, 'text.bin')), { code: kinovar.codes.FORMAT });

  // The promise version computes on a worker, with the same default estimator.
  const moved = await kinovar.promises.load(recording);
  assert.deepEqual(moved.streams, kinovar.load(recording).streams);
  assert.notDeepEqual(moved.streams.orientation, loaded.streams.orientation);
});

/** The plain CSV as rows of cells by column name. */
function plainRows(file) {
  const lines = fs.readFileSync(file, 'latin1').split(EOL).slice(0, -1);
  const names = lines[0].split(',');
  return { names, rows: lines.slice(1).map((line) => Object.fromEntries(line.split(',').map((c, i) => [names[i], c]))) };
}

test('plain CSV and Parquet: a row per instant a sample was taken at, each stream empty where it has none', async (t) => {
  const dir = scratch(t);
  const { parquetReadObjects, parquetMetadata, readColumnIndex, readOffsetIndex } = await import('hyparquet');
  const { compressors } = await import('hyparquet-compressors');
  for (const [i, options] of [RECORDING, ...IRREGULAR].entries()) {
    const label = JSON.stringify(options);
    const recording = generateRecording(path.join(dir, `rec${i}.bin`), options);
    const plain = path.join(dir, `rec${i}.csv`);
    const file = path.join(dir, `rec${i}.parquet`);
    assert.deepEqual(kinovar.readRecording(recording, plain, { format: 'plain', ...CLASSIC_FILTER }),
      kinovar.load(recording).info);
    // The irregular ones in row groups of 97 rows, most starting inside a byte of the null bitmaps.
    const groupRows = i > 0 ? 97 : undefined;
    kinovar.readRecording(recording, file, { ...CLASSIC_FILTER, rowGroupRows: groupRows });  // the extension chooses the format
    const loaded = kinovar.load(recording, CLASSIC_FILTER);
    const ticks = sampleTicks(recording);
    const first = Math.min(...Object.values(ticks).filter((s) => s.length).map((s) => s[0]));
    const instants = [...new Set(Object.values(ticks).flat())].sort((a, b) => a - b);
    const { names, rows } = plainRows(plain);
    assert.deepEqual(names, ['time', ...PLAIN], label);
    assert.equal(rows.length, instants.length, label);

    const bytes = fs.readFileSync(file);
    const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
    const table = await parquetReadObjects({ file: buffer, compressors });
    const metadata = Object.fromEntries(parquetMetadata(buffer).key_value_metadata.map(({ key, value }) => [key, value]));
    assert.deepEqual(JSON.parse(metadata['kinovar.recording']), loaded.info);
    assert.equal(JSON.parse(metadata['kinovar.units']).gyro_x, 'deg/s');
    assert.equal(metadata['kinovar.set'], undefined, 'one recording is no set');
    assert.deepEqual(Object.keys(table[0]), ['time', ...PLAIN]);
    assert.equal(table.length, rows.length, label);
    if (groupRows) {
      const { row_groups: groups, schema } = parquetMetadata(buffer);
      assert.equal(groups.length, Math.ceil(rows.length / groupRows), label);
      // Each chunk's page indexes are where the footer says, and are its own: its first data page, its group's
      // first time. Statistics and a column index are the time column's alone.
      const view = new DataView(buffer);
      groups.forEach((group, g) => group.columns.forEach(({ meta_data: meta, ...chunk }) => {
        const name = meta.path_in_schema[0];
        const at = `${label} group ${g} ${name}`;
        const offsets = { view, offset: Number(chunk.offset_index_offset) };
        const [page] = readOffsetIndex(offsets).page_locations;
        assert.equal(offsets.offset - Number(chunk.offset_index_offset), chunk.offset_index_length, at);
        assert.equal(page.offset, meta.data_page_offset, at);
        assert.deepEqual([meta.statistics, chunk.column_index_offset].map((x) => x !== undefined), [name === 'time', name === 'time'], at);
        if (name !== 'time') return;
        const index = readColumnIndex({ view, offset: Number(chunk.column_index_offset) }, schema.find((e) => e.name === name));
        // A zero minimum is kept as -0.
        assert.equal(index.min_values[0] + 0, table[g * groupRows].time, at);
        assert.equal(meta.statistics.min_value + 0, table[g * groupRows].time, at);
      }));
    }

    const next = Object.fromEntries(CLASSIC.map(([, stream]) => [stream, 0]));
    instants.forEach((tick, r) => {
      const at = `${label} row ${r}`;
      assert.ok(Math.abs(Number(rows[r].time) - (tick - first) / options.clock) <= 1e-9, `${at}: ${rows[r].time}`);
      assert.ok(Math.abs(table[r].time - (tick - first) / options.clock) <= 1e-9, `${at}: ${table[r].time}`);
      const taken = new Set();
      CLASSIC.forEach(([, stream, channel, digits], c) => {
        const cell = rows[r][PLAIN[c]];
        const value = table[r][PLAIN[c]];
        const own = ticks[stream === 'orientation' ? 'accel' : stream];
        const k = next[stream];
        if (own[k] !== tick || Number.isNaN(loaded.streams[stream][channel][k])) {
          assert.equal(cell, '', `${at} ${PLAIN[c]}`);
          assert.equal(value, null, `${at} ${PLAIN[c]}`);
        } else {
          assert.ok(within(value, cell, digits), `${at} ${PLAIN[c]}: ${value} is not ${cell}`);
          assert.equal(value, loaded.streams[stream][channel][k], `${at} ${PLAIN[c]} at full precision`);
        }
        if (own[k] === tick) taken.add(stream);
      });
      for (const stream of taken) next[stream]++;
    });
    assert.deepEqual(next, Object.fromEntries(Object.keys(next).map((s) => [s, loaded.streams[s].time.length])), label);
    if (groupRows) {
      // The encoder fed load()'s rows in pieces of any size writes the file the core wrote from the recording.
      const fed = (sizes) => {
        const pieces = [];
        const table = sampleTable(loaded);
        const writer = tableWriter((b) => pieces.push(Buffer.from(b)), { columns: table.columns, rowGroupRows: groupRows });
        const whole = { from: 0, to: table.rows, columns: table.columns };
        for (let from = 0, i = 0; from < whole.to; i++) {
          const to = Math.min(whole.to, from + sizes[i % sizes.length]);
          writer.append({ ...whole, from, to });
          from = to;
        }
        writer.finish({ info: loaded.info });
        return Buffer.concat(pieces);
      };
      assert.ok(fed([30, 1, 200, 5]).equals(bytes), label);
      // A range reads the row groups that hold its rows and cuts them at its edges, on and beside the groups' edges.
      const whole = kinovar.readParquet(file);
      const { time } = whole.columns;
      const rowAt = (seconds) => (time.findIndex((u) => u >= seconds) + time.length + 1) % (time.length + 1);
      for (const [from, to] of [[time[97], time[194]], [time[96] + 1e-9, time[97]], [time[10], time[20]],
        [-Infinity, time[1]], [time.at(-1), Infinity], [time.at(-1) + 1, Infinity]]) {
        const part = kinovar.readParquet(file, { from, to });
        const [a, b] = [rowAt(from), rowAt(to)];
        assert.equal(part.rows, b - a, `${label} ${from}..${to}`);
        for (const [name, column] of Object.entries(whole.columns)) assert.deepEqual(part.columns[name], column.slice(a, b), name);
      }
      const baro = kinovar.readParquet(file, { from: time[150], streams: ['baro'] });
      assert.deepEqual([Object.keys(baro.columns), Object.keys(baro.streams)], [['time', 'pressure', 'temperature'], ['baro']]);
      assert.deepEqual(baro.streams.baro.pressure, whole.streams.baro.pressure.filter((_, k) => whole.streams.baro.time[k] >= time[150]));
      // The orientation alone still knows its samples without an estimate, from columns it does not return.
      const turned = kinovar.readParquet(file, { streams: ['orientation'] });
      assert.deepEqual([Object.keys(turned.columns).length, Object.keys(turned.streams)], [5, ['orientation']]);
      assert.deepEqual(turned.streams.orientation, whole.streams.orientation);
      // The first group damaged: a range after it does not read it.
      fs.writeFileSync(file, Buffer.from(bytes).fill(0, 4, 200));
      assert.deepEqual(kinovar.readParquet(file, { from: time[97] }).columns.time, time.slice(97));
      assert.throws(() => kinovar.readParquet(file, { from: 2, to: 1 }), RangeError);
      assert.throws(() => kinovar.readParquet(file, { streams: ['gps'] }), TypeError);
    }
    if (i > 0) continue;

    // Absolute time: the creation time (the generator's 2017-03-21 14:05:09) at the first sample, local or in UTC.
    for (const [timezone, zone, hour] of [[undefined, '', 14], ['Europe/Paris', 'Z', 13], ['America/New_York', 'Z', 18]]) {
      const timed = path.join(dir, 'timed.csv');
      kinovar.readRecording(recording, timed, { format: 'plain', time: 'absolute', timezone });
      kinovar.readRecording(recording, `${timed}.parquet`, { format: 'parquet', time: 'absolute', timezone });
      const dated = plainRows(timed).rows;
      const { columns } = kinovar.readParquet(`${timed}.parquet`);
      assert.equal(dated.length, rows.length);
      const start = Date.UTC(2017, 2, 21, hour, 5, 9);
      dated.forEach((row, r) => {
        const [, micros] = /\.(\d{6})/.exec(row.datetime);
        assert.equal(row.datetime, `${new Date(start + Math.floor(Number(row.time) * 1000)).toISOString().slice(0, 19)}.${micros}${zone}`);
        assert.equal(Number(micros), Math.round((Number(row.time) * 1e6) % 1e6), `${timezone} row ${r}`);
        assert.ok(Math.abs(columns.datetime[r] - (start + table[r].time * 1000)) <= 1e-3, `${timezone} Parquet row ${r}`);
      });
    }
    assert.throws(() => kinovar.readRecording(recording, path.join(dir, 'x.csv'), { format: 'classic', time: 'absolute' }),
      (e) => e instanceof RangeError && /not to the classic CSV; choose format 'plain' or 'parquet'/.test(e.message));
    assert.throws(() => kinovar.readRecording(recording, plain, { format: 'plain', time: 'absolute', timezone: 'Mars/Base' }), RangeError);
    assert.throws(() => kinovar.readRecording(recording, plain, { format: 'plain', timezone: 'UTC' }), TypeError);

    // Rows are formatted in chunks of 32768, beside the filter where there are threads: the same bytes either way.
    const long = generateRecording(path.join(dir, 'long.bin'), { seconds: 40, accel: 1000, gyro: 1000, baro: 25, cutBlocks: 9 });
    const [one, two] = [1, 2].map((threads) => {
      const file = path.join(dir, `long${threads}.csv`);
      kinovar.readRecording(long, file, { format: 'plain', threads, ...CLASSIC_FILTER });
      return fs.readFileSync(file, 'latin1');
    });
    assert.equal(one, two);
    const longTicks = [...new Set(Object.values(sampleTicks(long)).flat())].sort((a, b) => a - b);
    const times = one.split(EOL).slice(1, -1).map((line) => Number(line.slice(0, line.indexOf(','))));
    assert.deepEqual(times, longTicks.map((tick) => (tick - longTicks[0]) / 1000));

    // Our own reader, for the viewer: the same streams as load(), timed by the table.
    const back = kinovar.readParquet(file);
    assert.deepEqual(back.info, loaded.info);
    assert.deepEqual(back.streams.gyro.x, loaded.streams.gyro.x);
    assert.deepEqual(back.streams.gyro.time, loaded.streams.gyro.time);
    assert.deepEqual(back.streams.events.value, loaded.streams.events.value);
    // A quaternion without an estimate is still a sample, NaN as load() has it, not a row left out.
    assert.ok(loaded.streams.orientation.w.some((w) => Number.isNaN(w)));
    assert.deepEqual(back.streams.orientation, loaded.streams.orientation);

    // Debian's python3-pandas lives with the system interpreter, which need not come first on PATH.
    const script = `import pandas, sys
frame = pandas.read_csv(sys.argv[1])
assert all(str(t) in ('float64', 'int64') for t in frame.dtypes), frame.dtypes
print(len(frame.columns), len(frame))`;
    const pandas = ['python3', '/usr/bin/python3'].map((python) => spawnSync(python, ['-c', script, plain], { encoding: 'utf8' }))
      .find((run) => !(run.error || /No module named/.test(run.stderr)));
    if (!pandas) {
      t.diagnostic('pandas is not installed (Debian: apt-get install python3-pandas): its reading was not checked');
    } else {
      assert.equal(pandas.stdout.trim(), `14 ${rows.length}`, pandas.stderr);
    }
  }
});

test('the OpenSim table names a column per sensor, mended from file names or as given', (t) => {
  const dir = scratch(t);
  const set = generateSession(dir, { seconds: 2, clock: 100, accel: 100, gyro: 100, still: 1 });
  const out = path.join(dir, 'out');
  const file = path.join(out, 'orientations.sto');
  assert.deepEqual(kinovar.syncRecordings(set, out, { format: 'opensense' }), [file]);
  kinovar.syncRecordings(set, out, { format: 'opensense', imuNames: ['pelvis_imu', 'femur_r_imu', 'tibia_r_imu'] });
  assert.match(fs.readFileSync(file, 'utf8'), /\ntime\tpelvis_imu\tfemur_r_imu\ttibia_r_imu\n/);
  assert.throws(() => kinovar.syncRecordings(set, out, { format: 'opensense', imuNames: ['a', 'b'] }), TypeError);
  assert.throws(() => kinovar.syncRecordings(set, out, { format: 'opensense', imuNames: ['a', 'b c', 'd'] }),
    (e) => e instanceof RangeError && /IMU name "b c" .*; use "b_c"$/.test(e.message));
  // The core mends what JavaScript counts as a blank, over the whole basic plane.
  let plane = '';
  for (let c = 0; c < 0x10000; c++) if (c < 0xd800 || c > 0xdfff) plane += String.fromCharCode(c);
  assert.equal(require('../../lib/native/entry').mendedName(plane), plane.replace(/[\s,\x00-\x1f\x7f]/g, '_'));
  // Names made from file names are mended into ones the table can hold; a clash left after that names the name.
  const renamed = (names) => names.map((name, i) => {
    fs.copyFileSync(set[i], path.join(dir, name));
    return path.join(dir, name);
  });
  kinovar.syncRecordings(renamed(['bassin gauche.bin', 'cuisse,droite.bin', 'tibia.bin']), out, { format: 'opensense' });
  assert.match(fs.readFileSync(file, 'utf8'), /\ntime\tbassin_gauche_imu\tcuisse_droite_imu\ttibia_imu\n/);
  const twins = renamed(['bassin gauche.bin', 'bassin_gauche.bin', 'tibia.bin']);
  assert.throws(() => kinovar.syncRecordings(twins, out, { format: 'opensense' }), (e) => e instanceof RangeError &&
    e.message.includes(`same IMU name "bassin_gauche_imu" (${twins[0]} and ${twins[1]})`));
  // Refused before a byte is written: a table that would replace a recording, and sensors without an orientation.
  const recording = path.join(out, 'orientations.sto');
  fs.renameSync(file, path.join(dir, 'kept.sto'));
  fs.copyFileSync(set[0], recording);
  assert.throws(() => kinovar.syncRecordings([recording, ...set.slice(1)], out, { format: 'opensense', overwrite: true }),
    { code: codes.OUTPUT_NOT_WRITTEN, cause: { reason: 'replaces-recording', recordings: [recording], path: out } });
  assert.deepEqual(fs.readFileSync(recording), fs.readFileSync(set[0]));
  fs.rmSync(recording);
  assert.throws(() => kinovar.syncRecordings(set, out, { format: 'opensense', orientation: 'none' }),
    { code: codes.NO_ORIENTATION, path: set[0], message: `${set[0]}: has no orientation estimate (it needs accelerometer and gyroscope at one rate)` });
  assert.deepEqual(fs.readdirSync(out), ['set.json']);
});

test('a set in every format: one instant has one time in every file, counted from the window start', async (t) => {
  const dir = scratch(t);
  // Aligned by offset, every sample keeps its own tick's time.
  const OFFSET = { clock: 'offset' };
  // True seconds at which each sensor's clock read 0 and took its first sample: the window starts at 1 s.
  const sensors = [[0, 0.5, 'pelvis'], [-1.25, 0.25, 'thigh'], [0.75, 1, 'shank']];
  const cases = [
    { method: 'marks', seconds: 3, clock: 1000, accel: 300, gyro: 300, baro: 25, events: 1, cutBlocks: 3, swapBlocks: true },
    { method: 'stream', seconds: 2, clock: 1024, accel: 1024, gyro: 1024, baro: 25, events: 1 },
  ];
  for (const [c, { method, ...options }] of cases.entries()) {
    const label = JSON.stringify(cases[c]);
    const folder = fs.mkdirSync(path.join(dir, `set${c}`), { recursive: true });
    const set = generateSession(folder, { method, sensors, ...options });
    const ticks = set.map(sampleTicks);
    // The sensor's own tick of a time in its files.
    const tickOf = (i, time) => {
      const tick = (time + 1 - sensors[i][0]) * options.clock;
      assert.ok(Math.abs(tick - Math.round(tick)) <= 1e-9 * options.clock, `${label} ${sensors[i][2]}: ${time} is no tick`);
      return Math.round(tick);
    };
    const { report } = kinovar.syncRecordings(set, path.join(dir, `classic${c}`), OFFSET);
    const sameReport = (other, keys = ['method', 'recordings', 'offsets', 'window', 'samples', 'events']) =>
      keys.forEach((key) => assert.deepEqual(other[key], report[key], `${label} ${key}`));

    const out = path.join(dir, `out${c}`);
    const plain = kinovar.syncRecordings(set, out, { format: 'plain', time: 'absolute', ...OFFSET });
    sameReport(plain.report);
    const carried = { ...report, files: set.map((file) => `${path.basename(file, '.bin')}.csv`) };
    const setJson = JSON.parse(fs.readFileSync(path.join(out, 'set.json'), 'utf8'));
    // The files carry the report, their recordings named from the folder.
    const carriedKeys = ['method', 'offsets', 'window', 'samples', 'events'];
    sameReport(setJson, carriedKeys);
    assert.deepEqual(setJson.recordings.map((r) => path.resolve(out, r)), set.map((r) => path.resolve(r)));
    assert.equal(setJson.format, 'kinovar set 1');
    assert.deepEqual(setJson.files, carried.files);
    const told = [];
    const parquet = kinovar.syncRecordings(set, out, { format: 'parquet', time: 'absolute', rowGroupRows: c ? 50 : undefined, ...OFFSET,
      onProgress: ({ fraction }) => told.push(fraction) });
    sameReport(parquet.report);
    // In groups of 50 rows, each file's groups move the fraction, not only its end.
    assert.ok(told.at(-1) === 1 && told.every((f, i) => !i || f > told[i - 1]) && (!c || told.length > 4 * set.length), `${label}: ${told}`);
    const { recordings, report: loadedReport } = kinovar.loadSet(set, { ...CLASSIC_FILTER, ...OFFSET });
    sameReport(loadedReport);
    const moved = await kinovar.promises.loadSet(set, { ...CLASSIC_FILTER, ...OFFSET });
    assert.deepEqual(moved.recordings.map((r) => r.streams), recordings.map((r) => r.streams));

    plain.forEach((file, i) => {
      const { rows } = plainRows(file);
      const table = kinovar.readParquet(parquet[i]);
      sameReport(table.set, carriedKeys);
      assert.deepEqual(table.set.recordings, setJson.recordings);
      assert.deepEqual(table.set.files, set.map((f) => `${path.basename(f, '.bin')}.parquet`));
      assert.equal(table.rows, rows.length);
      assert.ok(Math.abs(Number(rows[0].time)) < 1 / 25, `${label}: the first row is near the window start`);
      let last = -Infinity;
      const kept = { accel: [], gyro: [], baro: [], events: [] };
      rows.forEach((row, r) => {
        const time = Number(row.time);
        assert.ok(time > last && Math.abs(table.columns.time[r] - time) <= 1e-9, `${label} ${file} row ${r}`);
        last = time;
        const tick = tickOf(i, time);
        // The first recording's creation time at its first sample, half a second before the window starts.
        const micros = 500000 + Math.round(time * 1e6);
        assert.equal(row.datetime, `${new Date(Date.UTC(2017, 2, 21, 14, 5, 9) + Math.floor(micros / 1e6) * 1000)
          .toISOString().slice(0, 19)}.${String(micros % 1e6).padStart(6, '0')}`);
        assert.ok(Math.abs(table.columns.datetime[r] - (Date.UTC(2017, 2, 21, 14, 5, 9, 500) + time * 1000)) <= 1e-3);
        let any = false;
        for (const [stream, column] of [['accel', 'accel_x'], ['gyro', 'gyro_x'], ['baro', 'pressure'], ['events', 'event']]) {
          if (row[column] === '') continue;
          kept[stream].push(tick);
          any = true;
        }
        assert.ok(any, `${label} ${file} row ${r} holds a sample`);
      });
      // Each stream keeps a run of its samples, each on its own tick.
      for (const [stream, run] of Object.entries(kept)) {
        const from = ticks[i][stream].indexOf(run[0]);
        assert.deepEqual(run, ticks[i][stream].slice(from, from + run.length), `${label} ${file} ${stream}`);
      }
      assert.deepEqual([kept.accel.length, kept.gyro.length, kept.events.length], [report.samples[i].accel,
        report.samples[i].gyro, report.events[i]], `${label} ${file}`);
      for (const [stream, { time }] of Object.entries(recordings[i].streams)) {
        const own = ticks[i][stream === 'orientation' ? 'accel' : stream];
        time.forEach((t, k) => assert.ok(own.includes(tickOf(i, t)), `${label} loadSet ${stream} ${k}`));
      }
    });

    // OpenSim's table: the first sensor's instants, each sensor's estimate there, a row left out without one.
    const [sto] = kinovar.syncRecordings(set, out, { format: 'opensense', ...CLASSIC_FILTER, ...OFFSET });
    assert.deepEqual(JSON.parse(fs.readFileSync(path.join(out, 'set.json'), 'utf8')).files, ['orientations.sto']);
    const [pieces] = kinovar.syncRecordings(set, path.join(dir, `pieces${c}`), { format: 'opensense', ...CLASSIC_FILTER, rowGroupRows: 7, ...OFFSET });
    assert.equal(fs.readFileSync(pieces, 'utf8'), fs.readFileSync(sto, 'utf8'), `${label}: written 7 rows at a time`);
    const lines = fs.readFileSync(sto, 'utf8').split('\n').slice(0, -1);
    assert.deepEqual(lines.slice(0, 4), [`DataRate=${options.accel}`, 'DataType=Quaternion', 'version=3', 'OpenSimVersion=4.5']);
    // Each sensor's calibration, key=value before endheader: too short a set to fit, so raw and why.
    assert.deepEqual(lines.slice(4, 7).map((line) => line.split('=')[0]), ['pelvis', 'thigh', 'shank'].map((n) => `calibration.${n}_imu`));
    lines.slice(4, 7).forEach((line) => assert.match(line, /^[^=]+=raw: nothing could be fitted; accelerometer raw \(too few still windows/));
    assert.deepEqual(lines.slice(7, 9), ['endheader', 'time\tpelvis_imu\tthigh_imu\tshank_imu']);
    const kept = new Map(lines.slice(9).map((line) => line.split('\t')).map(([time, ...cells]) => [Number(time), cells]));
    const orientations = recordings.map((r) => r.streams.orientation);
    const [first] = orientations;
    first.time.forEach((time, k) => {
      const estimates = orientations.map((q) => {
        const j = q.time.findIndex((u) => Math.abs(u - time) <= 0.5 / options.accel);
        return j < 0 || Number.isNaN(q.w[j]) ? null : [q.w[j], q.x[j], q.y[j], q.z[j]].map((v) => v + 0);  // '0' for -0
      });
      const row = kept.get(Number(time.toFixed(9)));
      if (estimates.includes(null)) return assert.equal(row, undefined, `${label} opensense ${time}`);
      assert.deepEqual(row?.map((cell) => cell.split(',').map(Number)), estimates, `${label} opensense ${time}`);
    });
    assert.ok(kept.size > first.time.length / 2, label);
  }
});

test('resampling: one grid from the first sample or the window start, a sine kept to 1%, nothing inside a gap', (t) => {
  const dir = scratch(t);
  // Turning about x at 360 deg/s after a second at rest: gravity gives y a 1 Hz sine of 1 g; blocks cut out make a gap.
  const sine = generateRecording(path.join(dir, 'sine.bin'),
    { seconds: 8, accel: 1000, gyro: 1000, rate: 360, axis: [1, 0, 0], still: 1, cutBlocks: 20, noise: 0 });
  const sources = kinovar.load(sine).streams;
  const source = sources.accel;
  // Each stream's own gap: the samples either side of it.
  const gapOf = ({ time }) => {
    const i = time.findIndex((u, k) => k > 0 && u - time[k - 1] > 0.05);
    return [time[i - 1], time[i]];
  };
  assert.ok(gapOf(source)[1] - gapOf(source)[0] > 0.5);
  const sampleAt = new Map(Array.from(source.time, (time, i) => [Math.round(time * 1000), i]));
  for (const hz of [100, 2000]) {  // filtered down, interpolated up
    const { streams } = kinovar.load(sine, { resample: hz });
    for (const [name, { time }] of Object.entries(streams)) {
      if (name === 'events') continue;
      const [before, after] = gapOf(sources[name]);
      assert.ok(time.every((u) => Math.abs(u * hz - Math.round(u * hz)) < 1e-6), `${hz} Hz ${name} on the grid`);
      assert.ok(!time.some((u) => u > before && u < after), `${hz} Hz ${name}: nothing inside the gap`);
      if (name === 'baro') continue;  // its own samples, further apart
      assert.ok(time.some((u) => u <= before && u > before - 1 / hz) && time.some((u) => u >= after && u < after + 1 / hz),
        `${hz} Hz ${name}: up to the gap on both sides`);
    }
    const { time, y } = streams.accel;
    let compared = 0;
    time.forEach((u, j) => {
      const i = sampleAt.get(Math.round(u * 1000));
      if (i === undefined || u < 1.1) return;  // the sine once turning, where a sample stands on the grid point
      assert.ok(Math.abs(y[j] - source.y[i]) <= 0.01, `${hz} Hz at ${u}: ${y[j]} against ${source.y[i]}`);
      compared++;
    });
    assert.ok(compared > 500, `${hz} Hz`);
    const q = streams.orientation;
    assert.ok(q.w.every((w, k) => Math.abs(Math.hypot(w, q.x[k], q.y[k], q.z[k]) - 1) < 1e-9), `${hz} Hz unit quaternions`);
    if (hz !== 100) continue;
    // The files hold load()'s grid: each accel value at its point, none inside the gap.
    const plain = path.join(dir, 'sine.csv');
    kinovar.readRecording(sine, plain, { format: 'plain', resample: hz });
    kinovar.readRecording(sine, `${plain}.parquet`, { format: 'parquet', resample: hz });
    const table = kinovar.readParquet(`${plain}.parquet`);
    const [before, after] = gapOf(source);
    const valued = plainRows(plain).rows.filter((row, r) => {
      assert.ok(Math.abs(table.columns.time[r] - Number(row.time)) <= 1e-9, `row ${r}`);
      if (row.accel_y === '') return assert.equal(table.columns.accel_y[r], null) ?? false;
      assert.ok(!(Number(row.time) > before && Number(row.time) < after), `row ${r} at ${row.time} inside the gap`);
      return true;
    });
    assert.deepEqual(valued.map((row) => Math.round(Number(row.time) * hz)), Array.from(time, (u) => Math.round(u * hz)));
  }

  // A set: one grid from the window start for every file, the method in its report and beside its files.
  const set = generateSession(fs.mkdirSync(path.join(dir, 'set'), { recursive: true }), { seconds: 3, clock: 1000, accel: 300, gyro: 300 });
  const out = path.join(dir, 'out');
  const plain = kinovar.syncRecordings(set, out, { format: 'plain', resample: 50 });
  assert.equal(plain.report.resample.rate, 50);
  assert.deepEqual(JSON.parse(fs.readFileSync(path.join(out, 'set.json'), 'utf8')).resample, plain.report.resample);
  for (const file of plain) {
    const times = plainRows(file).rows.map((row) => Number(row.time));
    assert.ok(times.length > 100 && times.every((u) => Math.abs(u * 50 - Math.round(u * 50)) < 1e-6), file);
  }
  const [sto] = kinovar.syncRecordings(set, out, { format: 'opensense', resample: 50 });
  assert.match(fs.readFileSync(sto, 'utf8'), /^DataRate=50\n[^]*\n0\.02\t/);
  assert.throws(() => kinovar.readRecording(sine, path.join(dir, 'x.csv'), { format: 'classic', resample: 50 }), /the classic CSV keeps its rows/);
  assert.throws(() => kinovar.load(sine, { resample: -1 }), TypeError);
});

test('outputs are written whole, and never over a file kinovar did not write', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const notes = path.join(dir, 'notes.csv');
  fs.writeFileSync(notes, 'my own notes\n');
  for (const format of ['plain', 'parquet']) {
    assert.throws(() => kinovar.readRecording(recording, notes, { format }),
      (e) => e.code === kinovar.codes.NOT_OURS && e.path === notes && /overwrite/.test(e.message));
    assert.equal(fs.readFileSync(notes, 'utf8'), 'my own notes\n');
  }
  assert.throws(() => kinovar.readRecording(recording, recording, { format: 'plain' }), { code: kinovar.codes.NOT_OURS });
  // Our own outputs are replaced; anything with overwrite.
  const out = path.join(dir, 'out.parquet');
  kinovar.readRecording(recording, out);
  kinovar.readRecording(recording, out);
  kinovar.readRecording(recording, out, { format: 'plain' });
  kinovar.readRecording(recording, out, { format: 'parquet' });
  kinovar.readRecording(recording, notes, { format: 'plain', overwrite: true });
  assert.match(fs.readFileSync(notes, 'latin1'), /^time,/);
  // Written in pieces: a writer that stops part-way leaves the old file, and no other.
  const [before, listed] = [fs.readFileSync(out), fs.readdirSync(dir)];
  assert.throws(() => writeInPieces([out], (append) => {
    append(0, 'PAR1 and no more');
    throw new Error('stopped');
  }), /stopped/);
  assert.deepEqual([fs.readFileSync(out), fs.readdirSync(dir)], [before, listed]);
  if (process.platform === 'linux') {
    // A pipe (standard output here) takes the bytes as they are and is never replaced.
    const script = path.join(dir, 'to-pipe.js');
    const toPipe = (fn, options) => {
      fs.writeFileSync(script, `require(${JSON.stringify(require.resolve('../..'))}).${fn}(${JSON.stringify(recording)}, '/proc/self/fd/1'${options});`);
      return spawnSync('sh', ['-c', `"${process.execPath}" "${script}" | cat`], { encoding: 'latin1' }).stdout;
    };
    assert.equal(toPipe('readRecording', ", { format: 'plain' }"), fs.readFileSync(notes, 'latin1'));
    kinovar.readRecording(recording, path.join(dir, 'classic.csv'), { ...CLASSIC_FILTER, format: 'classic' });
    assert.equal(toPipe('read', ''), fs.readFileSync(path.join(dir, 'classic.csv'), 'latin1'));
  }
  if (process.platform !== 'win32') {
    // Through a link: the file it names is replaced and keeps its permissions; the link stays.
    const link = path.join(dir, 'link.parquet');
    fs.symlinkSync(out, link);
    fs.chmodSync(out, 0o600);
    kinovar.readRecording(recording, link, { format: 'plain' });
    assert.ok(fs.lstatSync(link).isSymbolicLink());
    assert.match(fs.readFileSync(out, 'latin1'), /^time,/);
    assert.equal(fs.statSync(out).mode & 0o777, 0o600);
  }
  if (process.platform === 'linux') {
    // A set is written whole or not at all, in every format: one file that fills the disk, none written.
    const set = generateSession(fs.mkdtempSync(path.join(dir, 'session-')), { seconds: 2 });
    const full = fs.mkdtempSync(path.join(dir, 'full-'));
    for (const name of ['thigh.csv', 'thigh.parquet']) fs.symlinkSync('/dev/full', path.join(full, name));
    for (const format of ['classic', 'plain', 'parquet']) {
      assert.throws(() => kinovar.syncRecordings(set, full, { format }), { code: 'ENOSPC' }, format);
      assert.deepEqual(fs.readdirSync(full).sort(), ['thigh.csv', 'thigh.parquet'], format);
    }
    // A set's report takes its name with the files: when it cannot be written, neither are they.
    const beside = fs.mkdtempSync(path.join(dir, 'full-'));
    fs.symlinkSync('/dev/full', path.join(beside, 'set.json'));
    for (const format of ['plain', 'opensense']) {
      assert.throws(() => kinovar.syncRecordings(set, beside, { format }), { code: 'ENOSPC', path: path.join(beside, 'set.json') }, format);
      assert.deepEqual(fs.readdirSync(beside), ['set.json'], format);
    }
  }
  // A set's report beside its files replaces our own, never a user's set.json; its paths may hold
  // anything, even the two letters that begin a recording's settings record.
  const session = generateSession(fs.mkdtempSync(path.join(dir, 'session-Q7')), { seconds: 1 });
  const mine = fs.mkdtempSync(path.join(dir, 'mine-'));
  fs.writeFileSync(path.join(mine, 'set.json'), '{"mine": true}\n');
  for (const format of ['plain', 'opensense']) {
    assert.throws(() => kinovar.syncRecordings(session, mine, { format }), { code: kinovar.codes.NOT_OURS, path: path.join(mine, 'set.json') });
    assert.deepEqual(fs.readdirSync(mine), ['set.json'], format);
  }
  kinovar.syncRecordings(session, mine, { format: 'plain', overwrite: true });
  kinovar.syncRecordings(session, mine, { format: 'opensense' });
  assert.match(fs.readFileSync(path.join(mine, 'set.json'), 'utf8'), /"files": \[\s*"orientations.sto"/);
  assert.throws(() => kinovar.readRecording(recording, path.join(dir, 'missing', 'x.csv'), { format: 'plain' }),
    { code: 'ENOENT', path: path.join(dir, 'missing', 'x.csv') });
  assert.throws(() => kinovar.readRecording(recording, out, { format: 'xlsx' }), RangeError);
  assert.deepEqual(fs.readdirSync(dir).filter((name) => name.endsWith('.tmp')), []);
});

// The report was first written here as JSON.stringify with path.relative; the core now writes it
// and must keep those bytes for any names, folders and options.
test('set.json holds the report the library answers, its paths seen from the folder, as JSON.stringify wrote it', (t) => {
  const dir = scratch(t);
  fs.mkdirSync(path.join(dir, 'in', 'deep'), { recursive: true });
  const made = generateSession(path.join(dir, 'in', 'deep'), { seconds: 2, sensors: [[0, 0.5, 'a'], [-1.25, 0.25, 'b']] });
  // Names JSON must escape, a name of another script, and folders reached through "." and "..".
  // Windows names hold no quote, backslash or control character.
  const odd = process.platform === 'win32' ? "q'uote back" : 'q"ote\\back\ttab\u0001';
  const set = made.map((file, i) => path.join(path.dirname(file), [odd, 'émilie 😀'][i] + '.bin'));
  made.forEach((file, i) => fs.renameSync(file, set[i]));
  const cwd = process.cwd();
  process.chdir(path.join(dir, 'in'));
  // Back out before the scratch folder goes: Windows cannot remove a working directory.
  try {
    checkSetFiles(dir, set);
  } finally {
    process.chdir(cwd);
  }
});

function checkSetFiles(dir, set) {
  const given = set.map((file) => ['.', 'deep', '..', 'deep', path.basename(file)].join(path.sep));
  const cases = [
    [['..', 'out', '.', 'one'].join(path.sep), { format: 'plain' }],
    [path.join(dir, 'out', 'two') + path.sep, { format: 'plain', resample: 37.5, calibrate: 'auto', clock: 'offset' }],
    ['deep', { format: 'opensense', calibrate: 'auto' }],
    [path.join('deep', 'sub'), { format: 'opensense', clock: 'offset', overwrite: true }],
    [['..', 'out', 'pq'].join(path.sep), { format: 'parquet', resample: 20, calibrate: 'auto' }],
  ];
  const { readParquetBytes } = require('../../lib/parquet/file');
  for (const [folder, options] of cases) {
    const files = kinovar.syncRecordings(given, folder, options);
    const report = { ...files.report, recordings: files.report.recordings.map((r) => path.relative(folder, r)),
      files: files.map((f) => path.basename(f)), time: 'seconds from window.start on the common time base: one instant has one time in every file' };
    if (options.format === 'parquet') {
      // Each file carries the report in its metadata.
      for (const file of files) assert.deepEqual(readParquetBytes(fs.readFileSync(file)).set, report);
      continue;
    }
    assert.equal(fs.readFileSync(path.join(folder, 'set.json'), 'utf8'),
      `${JSON.stringify({ format: 'kinovar set 1', ...report }, null, 2)}\n`, JSON.stringify(options));
  }
}

test('Parquet sensor columns as dictionary pages: values, empty rows and page edges read back exactly by another reader', async (t) => {
  const { parquetReadObjects } = await import('hyparquet');
  const { compressors } = await import('hyparquet-compressors');
  const { readParquetBytes } = require('../../lib/parquet/file');
  // Over two pages of 16384 rows: a constant stretch (no index bits), long runs, a few hundred distinct
  // values, 0 and -0 apart, empty rows off the bytes' edges; a sparse column left to the encoder.
  const rows = 40000;
  const time = Float64Array.from({ length: rows }, (_, r) => r / 1000);
  const dense = new Float64Array(rows);
  const sparse = new Float64Array(rows);
  const [denseValid, sparseValid] = [new Uint8Array(rows / 8), new Uint8Array(rows / 8)];
  for (let r = 0, seed = 1; r < rows; r++) {
    seed = (seed * 48271) % 2147483647;
    dense[r] = r < 17000 ? 1.5 : r < 20000 ? Math.floor(r / 100) * 0.25 : r % 7 === 0 ? -0 : (seed % 300) * 0.061;
    if (r % 5 !== 3 || r < 17000) denseValid[r >> 3] |= 1 << (r & 7);
    sparse[r] = seed % 40;
    if (r % 10 === 0) sparseValid[r >> 3] |= 1 << (r & 7);
  }
  const columns = [{ name: 'time', unit: 's', type: 'double' }, { name: 'gyro_x', unit: 'deg/s', type: 'double' },
    { name: 'pressure', unit: 'mBar', type: 'double' }];
  const pieces = [];
  const writer = tableWriter((b) => pieces.push(Buffer.from(b)), { columns, rowGroupRows: 32768 });
  writer.append({ from: 0, to: rows, columns: [{ values: time, valid: null }, { values: dense, valid: denseValid },
    { values: sparse, valid: sparseValid }] });
  writer.finish({ info: {} });
  const bytes = Buffer.concat(pieces);
  const has = (valid, r) => (valid[r >> 3] >> (r & 7)) & 1;
  const table = await parquetReadObjects({ file: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length), compressors });
  const ours = readParquetBytes(bytes).columns;
  assert.equal(table.length, rows);
  for (let r = 0; r < rows; r++) {
    assert.ok(Object.is(table[r].gyro_x, has(denseValid, r) ? dense[r] : null), `row ${r}: ${table[r].gyro_x}`);
    assert.ok(Object.is(ours.gyro_x[r], has(denseValid, r) ? dense[r] : NaN), `row ${r}`);
    assert.equal(table[r].pressure, has(sparseValid, r) ? sparse[r] : null, `row ${r}`);
  }
});
