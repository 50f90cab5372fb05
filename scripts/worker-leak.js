#!/usr/bin/env node
// Loads the addon in a fresh worker thread, uses every function once and
// lets the worker end, many times over; prints resident memory as it goes.
// A steady figure after the warm-up means nothing is left behind per load.
//   node --expose-gc scripts/worker-leak.js [cycles] [--baseline]
// --baseline runs the same workers without the addon, for comparison.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { execFileSync } = require('node:child_process');
const { generateRecording, generatorPath } = require('../lib/native/generator');

const args = process.argv.slice(2);
const baseline = args.includes('--baseline');
const cycles = Number(args.find((arg) => /^\d+$/.test(arg)) ?? 200);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-leak-'));
const recording = generateRecording(path.join(dir, 'rec.bin'), { seconds: 5 });
execFileSync(generatorPath(), ['--sync-set', dir, '--method', 'marks', '--clock', '100', '--seconds', '3',
  '--sensor', '0,0.5,a', '--sensor', '-1,0,b']);
fs.mkdirSync(path.join(dir, 'out'));

const source = `
const { workerData } = require('node:worker_threads');
const path = require('node:path');
const { dir, recording } = workerData;
if (workerData.addon) {
const addon = require(workerData.addon);
addon.read(recording, path.join(dir, 'rec.csv'));
const status = addon.readAndSync2([path.join(dir, 'a.bin'), path.join(dir, 'b.bin')], path.join(dir, 'out'));
if (status !== 'OK') throw new Error('readAndSync2 answered ' + status);
addon.writeConfig(path.join(dir, 'a.cfg'), 'device,1,2,3:baro,25');
addon.readConfig(path.join(dir, 'a.cfg'));
addon.readConfigDeviceId(path.join(dir, 'a.cfg'));
try { addon.read(1); } catch {}
}
`;

function cycle() {
  return new Promise((resolve, reject) => {
    const worker = new Worker(source, {
      eval: true, workerData: { addon: baseline ? null : require.resolve('../lib/native/addon'), dir, recording },
    });
    worker.once('error', reject);
    worker.once('exit', (code) => (code === 0 ? resolve() : reject(new Error(`worker exited with ${code}`))));
  });
}

const mib = (bytes) => (bytes / 1048576).toFixed(1);

(async () => {
  const samples = [];
  for (let i = 1; i <= cycles; ++i) {
    await cycle();
    if (i === 1 || i % 20 === 0) {
      if (global.gc) global.gc();
      samples.push([i, process.memoryUsage().rss]);
      console.log(`cycle ${String(i).padStart(4)}: rss ${mib(process.memoryUsage().rss)} MiB`);
    }
  }
  const warm = samples.find(([i]) => i >= 20) ?? samples[0];
  const last = samples[samples.length - 1];
  const perCycle = (last[1] - warm[1]) / Math.max(1, last[0] - warm[0]);
  console.log(`${baseline ? 'without' : 'with'} the addon, growth after cycle ${warm[0]}: ${mib(last[1] - warm[1])} MiB over ${last[0] - warm[0]} cycles ` +
    `(${(perCycle / 1024).toFixed(1)} KiB per cycle)`);
  fs.rmSync(dir, { recursive: true, force: true });
})().catch((error) => {
  fs.rmSync(dir, { recursive: true, force: true });
  console.error(error);
  process.exit(1);
});
