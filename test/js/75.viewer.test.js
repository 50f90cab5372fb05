'use strict';
// The viewer page: every sample inside the bands it draws, at every level,
// whatever kind of input it is made from.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../../lib');
const { decodeViewData } = require('../../lib/viewer/page');
const { scratch } = require('./helpers');

const pageData = (page) => decodeViewData(new Uint8Array(Buffer.from(
  /<script id="data" type="application\/octet-stream">(.*?)<\/script>/s.exec(fs.readFileSync(page, 'utf8'))[1], 'base64')));
const ranges = (view) => view.header.plots.flatMap((p) => p.channels.map((c) => [c.low, c.high])).flat();

test('a page draws every sample of a recording inside its band, and a spike at full height at every level', (t) => {
  const dir = scratch(t);
  const recording = kinovar.generateRecording(path.join(dir, 'walk.bin'), { seconds: 4, baro: 25, events: 1, rate: 40, noise: 30, spike: 2.5 });
  const page = path.join(dir, 'walk.html');
  assert.equal(kinovar.writeViewPage(recording, page).inputKind, 'recording');
  const html = fs.readFileSync(page, 'utf8');
  assert.doesNotMatch(html, /<script[^>]+src=|<link[^>]+href=|https?:\/\/[^"'\s]*\.(js|css)/, 'nothing fetched');
  assert.match(html, /"problems":\["accel: 1 saturated sample"\]/, 'the quality warnings stand on the page');
  const view = pageData(page);
  assert.deepEqual(view.header.plots.map((p) => p.id), ['accel', 'gyro', 'baro', 'orientation', 'quaternion']);
  assert.deepEqual(view.header.events.map(([, value]) => value), [1, 2, 3, 4]);

  // The samples as the CSV has them, against the bands of the finest and the coarsest level.
  const csv = path.join(dir, 'walk.csv');
  kinovar.readRecording(recording, csv, { format: 'classic' });
  // The generator samples the accelerometer at 100 Hz from tick 0: sample k is at k / 100 s.
  const rows = fs.readFileSync(csv, 'latin1').split('\n').slice(7).map((r) => r.split(',')).filter((cells) => cells[4]);
  assert.equal(rows.length, 400);
  const accel = view.header.plots[0];
  const step = (c) => (accel.channels[c].high - accel.channels[c].low) / 65535 + 1e-5;
  const inBand = (plot, l) => rows.every((cells, k) => [4, 5, 6].every((column, c) => {
    const b = Math.floor((k / 100 - view.header.start) / (plot.binSeconds * 2 ** l));
    const [mins, maxs] = view.level(plot, c, l);
    const v = Number(cells[column]);
    return view.value(plot, c, mins[b]) <= v + step(c) && v - step(c) <= view.value(plot, c, maxs[b]);
  }));
  assert.equal(accel.binSeconds, 2 ** -6, 'a 100 Hz stream is binned no finer than its period');
  assert.ok(inBand(accel, 0) && inBand(accel, accel.levels.length - 1));
  // Raw 32767 at a range of 16 g, wherever it falls: the top of every level.
  for (let l = 0; l < accel.levels.length; l++) {
    const maxs = view.level(accel, 0, l)[1];
    assert.equal(view.value(accel, 0, Math.max(...maxs)), 32767 * 16 / 32768, `level ${l}`);
    assert.equal(maxs[Math.floor((2.5 - view.header.start) / (accel.binSeconds * 2 ** l))], 65535, `level ${l}`);
  }
});

test('a CSV (classic or plain) or Parquet export gives the plots of its recording', (t) => {
  const dir = scratch(t);
  const recording = kinovar.generateRecording(path.join(dir, 'walk.bin'), { seconds: 4, baro: 25, events: 1, rate: 40, noise: 30, spike: 2.5 });
  kinovar.writeViewPage(recording, path.join(dir, 'walk.html'));
  const view = pageData(path.join(dir, 'walk.html'));
  const csv = path.join(dir, 'walk.csv');
  kinovar.readRecording(recording, csv, { format: 'classic' });
  // The same plots and levels: the CSV's rounded samples fall inside the same bands.
  assert.equal(kinovar.writeViewPage(csv, path.join(dir, 'from-csv.html')).inputKind, 'csv');
  const fromCsv = pageData(path.join(dir, 'from-csv.html'));
  assert.deepEqual(fromCsv.header.plots.map((p) => [p.id, p.levels]), view.header.plots.map((p) => [p.id, p.levels]));
  ranges(fromCsv).forEach((x, i) => assert.ok(Math.abs(x - ranges(view)[i]) <= 0.05,
    `range ${i} (temperature has one decimal in the CSV): ${x} against ${ranges(view)[i]}`));
  // The plain CSV holds the same rounded samples at their own times (the recording starts at tick 0):
  // the classic CSV's ranges, and the recording's events where the classic CSV puts them a row late.
  const plain = path.join(dir, 'walk-plain.csv');
  kinovar.readRecording(recording, plain);
  assert.equal(kinovar.writeViewPage(plain, path.join(dir, 'from-plain.html')).inputKind, 'plain');
  const fromPlain = pageData(path.join(dir, 'from-plain.html'));
  assert.deepEqual(fromPlain.header.plots.map((p) => [p.id, p.levels]), fromCsv.header.plots.map((p) => [p.id, p.levels]));
  assert.deepEqual(ranges(fromPlain), ranges(fromCsv));
  assert.deepEqual(fromPlain.header.events, view.header.events);
  // The Parquet table holds the samples unrounded: the same ranges to the bit, events and warnings.
  const parquet = path.join(dir, 'walk.parquet');
  kinovar.readRecording(recording, parquet);
  assert.equal(kinovar.writeViewPage(parquet, path.join(dir, 'from-parquet.html')).inputKind, 'parquet');
  const fromParquet = pageData(path.join(dir, 'from-parquet.html'));
  assert.deepEqual(ranges(fromParquet), ranges(view));
  assert.deepEqual(fromParquet.header.events.map(([, value]) => value), [1, 2, 3, 4]);
  assert.match(fs.readFileSync(path.join(dir, 'from-parquet.html'), 'utf8'), /"problems":\["accel: 1 saturated sample"\]/);
});

test('a page never replaces its input nor a file kinovar did not write', (t) => {
  const dir = scratch(t);
  const recording = kinovar.generateRecording(path.join(dir, 'walk.bin'), { seconds: 1 });
  const other = path.join(dir, 'notes.html');
  fs.writeFileSync(other, '<p>my notes</p>');
  assert.throws(() => kinovar.writeViewPage(recording, other),
    { code: kinovar.codes.NOT_OURS, message: /notes\.html exists and is not a file kinovar wrote/ });
  assert.equal(fs.readFileSync(other, 'utf8'), '<p>my notes</p>');
  kinovar.writeViewPage(recording, other, { overwrite: true });
  kinovar.writeViewPage(recording, other);  // now a page of ours
  fs.writeFileSync(other, '<p>my notes</p>');
  kinovar.writeViewPage(recording, other, { force: true });  // the older name still serves
  // Nor is the input, though it is an output of ours.
  const csv = path.join(dir, 'walk.csv');
  kinovar.readRecording(recording, csv);
  const before = fs.readFileSync(csv);
  assert.throws(() => kinovar.writeViewPage(csv, csv, { force: true }), { code: kinovar.codes.NOT_OURS });
  assert.deepEqual(fs.readFileSync(csv), before);
  // A folder made for the page; the input's own failure is told as a read.
  kinovar.writeViewPage(recording, path.join(dir, 'new', 'walk.html'));
  assert.throws(() => kinovar.writeViewPage(path.join(dir, 'missing.bin'), path.join(dir, 'x.html')), { code: 'ENOENT' });
});
