'use strict';
// Streams are read, and tables formatted, in pieces of a size that tests can
// make tiny: every boundary a stream can break at (a gap, a repeated tick, a
// block out of order, an event, the clock's wrap) then falls on a piece's
// edge, and every output must keep the bytes of the default pieces.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../../lib');
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { sampleTable, streamTable, layoutKey } = require('../../lib/data/tables');
const { viewData } = require('../../lib/viewer/page');
const { scratch } = require('./helpers');

const BLOCK = 512;
const CHUNKS = [1, 2, 7, 63];

/** The recording with its first data block moved to the end: its earliest ticks come last. */
function firstBlockLast(from, to) {
  const bytes = fs.readFileSync(from);
  const whole = bytes.length - (bytes.length % BLOCK);
  fs.writeFileSync(to, Buffer.concat([bytes.subarray(0, BLOCK), bytes.subarray(2 * BLOCK, whole),
    bytes.subarray(BLOCK, 2 * BLOCK), bytes.subarray(whole)]));
  return to;
}

test('pieces of any size give the bytes of the whole', (t) => {
  const dir = scratch(t);
  const tricky = generateRecording(path.join(dir, 'tricky.bin'), {
    seconds: 3, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 7, startTick: 0xFFFFFF00, noise: 20,
    swapBlocks: true, duplicateTicks: true, cutBlocks: 2, shortFinal: 100,
  });
  const shuffled = firstBlockLast(generateRecording(path.join(dir, 'plain.bin'), { seconds: 2, events: 3 }),
    path.join(dir, 'shuffled.bin'));
  const outputs = [
    { format: 'csv', orientation: 'classic' },
    { format: 'plain', orientation: 'classic' },
    { format: 'plain', orientation: 'none', time: 'absolute' },
    { format: 'csv', orientation: 'accurate' },
    // Down to 50 Hz (low-passed first, stretch by stretch) and up to 250 Hz.
    { format: 'plain', orientation: 'classic', resample: 50 },
    { format: 'plain', orientation: 'accurate', resample: 250 },
  ];
  for (const recording of [tricky, shuffled]) {
    for (const options of outputs) {
      const what = `${path.basename(recording)} ${JSON.stringify(options)}`;
      const whole = path.join(dir, 'whole.csv');
      const expected = kinovar.readRecording(recording, whole, { ...options, overwrite: true });
      const bytes = fs.readFileSync(whole);
      for (const chunkSamples of CHUNKS) {
        const pieces = path.join(dir, `pieces-${chunkSamples}.csv`);
        const answer = kinovar.readRecording(recording, pieces, { ...options, chunkSamples, overwrite: true });
        assert.deepEqual(answer, expected, `${what}: the answer in pieces of ${chunkSamples}`);
        assert.ok(fs.readFileSync(pieces).equals(bytes), `${what}: the bytes in pieces of ${chunkSamples}`);
      }
    }
  }
});

test('load() and the viewer in pieces, a part of load(), and its table a piece of rows at a time give the whole one\'s', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'tricky.bin'), {
    seconds: 3, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 7, startTick: 0xFFFFFF00,
    swapBlocks: true, duplicateTicks: true, cutBlocks: 2,
  });
  for (const orientation of ['classic', 'accurate']) {
    const whole = kinovar.load(recording, { orientation });
    const table = sampleTable(whole, { datetime: true });
    const page = viewData(recording, { orientation });
    for (const chunkSamples of [...CHUNKS, 0]) {
      const what = `${orientation}, pieces of ${chunkSamples}`;
      if (chunkSamples) assert.deepEqual(kinovar.load(recording, { orientation, chunkSamples }), whole, what);
      if (chunkSamples) {
        assert.deepEqual(kinovar.load(recording, { orientation, chunkSamples, resample: 40 }),
          kinovar.load(recording, { orientation, resample: 40 }), `${what}, resampled`);
      }
      if (chunkSamples) assert.ok(viewData(recording, { orientation, chunkSamples }).equals(page), `${what}: the viewer's data`);
      // The table a few rows at a time: the same columns, values and empty cells, the first
      // piece made ahead bigger than asked for and handed out in parts.
      const streamed = streamTable(recording, { orientation, chunkSamples }, { datetime: true, rows: 120 });
      assert.deepEqual(streamed.columns, table.columns.map(({ name, unit, type }) => ({ name, unit, type })));
      let at = 0;
      for (const piece of streamed.chunks(50)) {
        for (const [c, { values, valid }] of piece.columns.entries()) {
          const expected = table.columns[c];
          assert.equal(values.constructor, expected.values.constructor);
          for (let r = 0; r < piece.to; r++) {
            const has = (bits, i) => !bits || ((bits[i >> 3] >> (i & 7)) & 1) === 1;
            assert.equal(has(valid, r), has(expected.valid, at + r), `${what}: ${expected.name} row ${at + r}`);
            if (has(valid, r)) assert.equal(values[r], expected.values[at + r], `${what}: ${expected.name} row ${at + r}`);
          }
        }
        at += piece.to;
      }
      assert.equal(at, table.rows, what);
    }
    // A part: the samples from 1 s up to 2 s of the streams named, and no other.
    const part = kinovar.load(recording, { orientation, from: 1, to: 2, streams: ['accel', 'orientation'], chunkSamples: 7 });
    assert.deepEqual(Object.keys(part.streams), ['accel', 'orientation']);
    for (const [name, stream] of Object.entries(part.streams)) {
      const all = whole.streams[name];
      const first = all.time.findIndex((s) => s >= 1);
      const end = all.time.findIndex((s) => s >= 2);
      for (const [channel, values] of Object.entries(stream)) assert.deepEqual(values, all[channel].subarray(first, end), `${name}.${channel}`);
    }
  }
});

/** OpenSim's table of a set loaded whole: each sensor's sample nearest the first's (the later of two), within half a period. */
function stoOfLoaded({ recordings }, rate) {
  const [first, ...others] = recordings.map((r) => r.streams.orientation);
  const cell = (q, k) => (Number.isNaN(q.w[k]) ? null : `${q.w[k]},${q.x[k]},${q.y[k]},${q.z[k]}`);
  const rows = Array.from(first.time, (t, k) => [String(Number(t.toFixed(9)) || 0), cell(first, k), ...others.map((q) => {
    let j = q.time.findIndex((u) => u > t);
    if (j < 0) j = q.time.length - 1;
    else if (j > 0 && Math.abs(q.time[j - 1] - t) < Math.abs(q.time[j] - t)) j--;  // of two as near, the later
    return Math.abs(q.time[j] - t) <= 0.5 / rate + 1e-9 ? cell(q, j) : null;
  })]).filter((row) => !row.includes(null));
  return rows.map((row) => row.join('\t'));
}

test('a Parquet, OpenSim or resampled set read in pieces gives the bytes of the default pieces, and the slips of the set loaded whole', (t) => {
  const dir = scratch(t);
  // Clocks 300 ppm apart over 40 s slip samples against each other; the window's edges fall anywhere in a piece.
  const files = generateSession(dir, { method: 'stream', seconds: 40, radioHz: 10, events: 2, baro: 25,
    sensors: [[0, 0.5, 'a', 50], [-1.25, 0.25, 'b', -250], [0.75, 1.005, 'c', 0]] });
  // b loses a stretch of blocks midway: a gap in one sensor only.
  const b = fs.readFileSync(files[1]);
  const middle = Math.floor(b.length / BLOCK / 2) * BLOCK;
  fs.writeFileSync(files[1], Buffer.concat([b.subarray(0, middle), b.subarray(middle + 8 * BLOCK)]));
  const outputs = [{ format: 'parquet' }, { format: 'parquet', resample: 40 }, { format: 'plain', resample: 250 }, { format: 'opensense' }];
  for (const clock of ['drift', 'offset']) {
    for (const output of outputs) {
      const options = { ...output, orientation: 'accurate', clock };
      const what = JSON.stringify(options);
      const whole = kinovar.syncRecordings(files, path.join(dir, 'whole'), { ...options, overwrite: true });
      const bytes = whole.map((file) => fs.readFileSync(file));
      const set = kinovar.loadSet(files, { orientation: 'accurate', clock, resample: output.resample });
      assert.deepEqual(whole.report.clocks, set.report.clocks, what);
      if (output.format === 'opensense') {
        const rate = set.recordings[0][layoutKey].rates.orientation;
        // The rows, past the header and its column names.
        const lines = bytes[0].toString().split('\nendheader\n')[1].split('\n').slice(1, -1);
        assert.deepEqual(lines, stoOfLoaded(set, rate), what);
        // b's gap leaves its rows out, aligned by offset or by drift.
        assert.ok(lines.length < set.recordings[0].streams.orientation.time.length - 50, `${what}: b's gap`);
      }
      // A part of the set: the samples from 10 s up to 20 s of the streams named, and no other; the report the
      // same but for the slips, which are counted in what is read.
      const part = kinovar.loadSet(files, { orientation: 'accurate', clock, resample: output.resample, from: 10, to: 20,
        streams: ['gyro', 'orientation'], chunkSamples: 7 });
      const unslipped = (report) => ({ ...report, clocks: report.clocks.map(({ skipped, repeated, empty, ...clock }) => clock) });
      assert.deepEqual(unslipped(part.report), unslipped(set.report), what);
      part.recordings.forEach((recording, i) => {
        assert.deepEqual(Object.keys(recording.streams), ['gyro', 'orientation']);
        for (const [name, stream] of Object.entries(recording.streams)) {
          const all = set.recordings[i].streams[name];
          const [first, end] = [10, 20].map((s) => all.time.findIndex((t) => t >= s));
          for (const [channel, values] of Object.entries(stream)) {
            assert.deepEqual(values, all[channel].subarray(first, end), `${what}: ${name}.${channel}`);
          }
        }
      });
      for (const chunkSamples of [1, 7]) {
        // The OpenSim table's text, and each sensor's orientation, read a few rows at a time too.
        const pieces = kinovar.syncRecordings(files, path.join(dir, 'pieces'),
          { ...options, chunkSamples, rowGroupRows: output.format === 'opensense' ? chunkSamples : undefined, overwrite: true });
        pieces.forEach((file, i) => assert.ok(fs.readFileSync(file).equals(bytes[i]), `${what}: ${file} in pieces of ${chunkSamples}`));
      }
    }
  }
});

test('sampleTable puts each sample on its own instant and lends the arrays of a stream on every row', (t) => {
  const has = (valid, r) => !valid || ((valid[r >> 3] >> (r & 7)) & 1) === 1;
  const dir = scratch(t);
  for (const events of [5, 0]) {
    const recording = generateRecording(path.join(dir, `rates${events}.bin`),
      { seconds: 2, clock: 1000, accel: 100, gyro: 100, baro: 25, events });
    const loaded = kinovar.load(recording, { orientation: 'classic' });
    const { streams } = loaded;
    const table = sampleTable(loaded);
    const column = (name) => table.columns.find((c) => c.name === name);
    const time = column('time').values;
    // Each stream's samples on the rows of their own times, in order, and no other row holds one.
    for (const [name, stream, channel] of [['accel_x', 'accel', 'x'], ['pressure', 'baro', 'pressure'], ['event', 'events', 'value']]) {
      if (!streams[stream]) continue;
      const { values, valid } = column(name);
      let k = 0;
      for (let r = 0; r < table.rows; r++) {
        const at = k < streams[stream].time.length && streams[stream].time[k] === time[r];
        assert.equal(has(valid, r), at, `${events} events: ${name} row ${r}`);
        if (at) assert.equal(values[r], streams[stream][channel][k++], `${events} events: ${name} row ${r}`);
      }
      assert.equal(k, streams[stream].time.length, `${events} events: every ${stream} sample`);
    }
    if (events) {
      assert.ok(column('event').values instanceof Int32Array);
      continue;
    }
    // Without events the accelerometer stands on every row: its arrays are the table's, not copies.
    assert.equal(time, streams.accel.time);
    assert.equal(column('accel_x').values, streams.accel.x);
  }
});
