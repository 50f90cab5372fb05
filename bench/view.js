#!/usr/bin/env node
'use strict';
// The viewer against the conversion, per length at 1000 Hz: the classic read
// to CSV, the page built from the recording, the page's size, and whether a
// one-sample spike stands at full height in the page's data at every level.
// Each measurement runs in a fresh process.
//   node bench/view.js [work folder] [hours, comma-separated; default 1]
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const SPIKE = 32767 * 16 / 32768;  // raw full scale at the generator's 16 g range

if (process.argv[2] === '--child') {
  const [, , , mode, input, output] = process.argv;
  const start = process.hrtime.bigint();
  if (mode === 'read') require(path.join(root, 'lib', 'native', 'addon')).read(input, output);
  else require(path.join(root, 'lib', 'viewer', 'page')).writeViewPage(input, output, { force: true });
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  process.stdout.write(JSON.stringify({ seconds, peak: process.resourceUsage().maxRSS * 1024 }));
  process.exit(0);
}

const work = process.argv[2] ?? path.join(root, 'build', 'bench', 'workloads');
const hours = (process.argv[3] ?? process.env.KINOVAR_BENCH_VIEW_HOURS ?? '1').split(',').map(Number);
fs.mkdirSync(work, { recursive: true });
const child = (mode, input, output) => JSON.parse(execFileSync(process.execPath,
  [__filename, '--child', mode, input, output], { encoding: 'utf8', maxBuffer: 1 << 20 }));

/** Where the spike is in the page: the top of the accelerometer's X at every level, in the spike's bin. */
function spikeAtFullHeight(page, at) {
  const { decodeViewData } = require(path.join(root, 'lib', 'viewer', 'page'));
  const html = fs.readFileSync(page, 'latin1');
  const base64 = /<script id="data" type="application\/octet-stream">(.*?)<\/script>/s.exec(html)[1];
  const view = decodeViewData(new Uint8Array(Buffer.from(base64, 'base64')));
  const accel = view.header.plots.find((p) => p.id === 'accel');
  if (view.value(accel, 0, 65535) !== SPIKE) return false;
  return accel.levels.every((_, l) => view.level(accel, 0, l)[1][Math.floor((at - view.header.start) / (accel.binSeconds * 2 ** l))] === 65535);
}

console.log('\nThe viewer at 1000 Hz (each in a fresh process; the machine may be shared)\n');
console.log('| length | recording MB | read to CSV s | view s | view / read | page MB | peak MB (view) | spike at full height |');
console.log('|---|---:|---:|---:|---:|---:|---:|---|');
for (const h of hours) {
  const recording = path.join(work, `view-${h}h.bin`);
  const spike = h * 1800 + 0.5;  // mid-recording, off any bin edge
  if (!fs.existsSync(recording)) {
    require(path.join(root, 'lib', 'native', 'generator')).generateRecording(recording,
      { seconds: h * 3600, clock: 1000, accel: 1000, gyro: 1000, baro: 25, events: 1, still: 5, rate: 30, noise: 8, spike });
  }
  const csv = path.join(work, `view-${h}h.csv`);
  const page = path.join(work, `view-${h}h.html`);
  try {
    const read = child('read', recording, csv);
    fs.rmSync(csv, { force: true });
    const view = child('view', recording, page);
    const MB = (bytes) => (bytes / 1e6).toFixed(1);
    console.log(`| ${h} h | ${MB(fs.statSync(recording).size)} | ${read.seconds.toFixed(1)} | ${view.seconds.toFixed(1)} | ` +
      `${(view.seconds / read.seconds).toFixed(2)} | ${MB(fs.statSync(page).size)} | ${MB(view.peak)} | ${spikeAtFullHeight(page, spike) ? 'yes' : 'NO'} |`);
  } finally {
    fs.rmSync(csv, { force: true });
    fs.rmSync(page, { force: true });
  }
}
