#!/usr/bin/env node
'use strict';
// One hour at 1000 Hz in each output format (write time, size) and load()
// (time, peak memory against the samples as doubles). Every measurement runs
// in a fresh process, so that its peak resident memory is its own.
//   node bench/formats.js [work folder] [runs]
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');

function measure(mode, recording, output) {
  const kinovar = require(root);
  const addon = require(path.join(root, 'lib', 'native', 'addon'));
  const native = require(path.join(root, 'lib', 'native', 'entry'));
  // One estimator for every format, the one the classic CSV has.
  const classic = { orientation: 'classic' };
  const before = process.memoryUsage().rss;
  const start = process.hrtime.bigint();
  let samples = 0;
  if (mode === 'csv') addon.read(recording, output);
  else if (mode === 'plain' || mode === 'parquet') kinovar.readRecording(recording, output, { format: mode, ...classic });
  else if (mode === 'native') native.loadRecording(recording, classic);
  else if (mode === 'load' || mode === 'resample') {
    const { streams } = kinovar.load(recording, mode === 'load' ? classic : { ...classic, resample: 100 });
    for (const stream of Object.values(streams)) for (const array of Object.values(stream)) samples += array.byteLength;
  }
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  const peak = process.resourceUsage().maxRSS * 1024;
  return { seconds, peakAbove: peak - before, samples, bytes: output && fs.existsSync(output) ? fs.statSync(output).size : 0 };
}

if (process.argv[2] === '--child') {
  const [, , , mode, recording, output] = process.argv;
  process.stdout.write(JSON.stringify(measure(mode, recording, output)));
  process.exit(0);
}

const work = process.argv[2] ?? path.join(root, 'build', 'bench', 'workloads');
const runs = Number(process.argv[3] ?? process.env.KINOVAR_BENCH_RUNS ?? 3);
fs.mkdirSync(work, { recursive: true });
const recording = path.join(work, 'w1.bin');
if (!fs.existsSync(recording)) {
  console.log(`generating ${recording} ...`);
  require(path.join(root, 'lib', 'native', 'generator')).generateRecording(recording,
    { seconds: 3600, clock: 1000, accel: 1000, gyro: 1000, baro: 25, events: 1, still: 5, rate: 30, noise: 8 });
}
const scratch = fs.mkdtempSync(path.join(work, 'formats-'));
const child = (mode, output) => JSON.parse(execFileSync(process.execPath,
  [__filename, '--child', mode, recording, output ?? ''], { encoding: 'utf8', maxBuffer: 1 << 20 }));
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

function best(mode, output) {
  const results = Array.from({ length: runs }, () => child(mode, output));
  return { ...results[0], seconds: median(results.map((r) => r.seconds)), peakAbove: median(results.map((r) => r.peakAbove)) };
}

try {
  const MB = (bytes) => (bytes / 1e6).toFixed(1);
  console.log(`\nOne hour at 1000 Hz (${path.basename(recording)}), median of ${runs} runs, each in a fresh process\n`);
  console.log('| format | write s | size MB | size / classic CSV |');
  console.log('|---|---:|---:|---:|');
  const classic = best('csv', path.join(scratch, 'classic.csv'));
  for (const [mode, file] of [['csv', 'classic.csv'], ['plain', 'plain.csv'], ['parquet', 'table.parquet']]) {
    const result = mode === 'csv' ? classic : best(mode, path.join(scratch, file));
    console.log(`| ${mode} | ${result.seconds.toFixed(2)} | ${MB(result.bytes)} | ${(result.bytes / classic.bytes).toFixed(3)} |`);
  }
  const native = best('native');
  const loaded = best('load');
  console.log('\n| load() | seconds | peak memory above start MB | samples as doubles MB | peak / samples |');
  console.log('|---|---:|---:|---:|---:|');
  console.log(`| load() | ${loaded.seconds.toFixed(2)} | ${MB(loaded.peakAbove)} | ${MB(loaded.samples)} | ` +
    `${(loaded.peakAbove / loaded.samples).toFixed(2)} |`);
  console.log(`\nload() over parse + orientation (the native stages alone): ${(loaded.seconds / native.seconds).toFixed(2)}`);
  const resampled = best('resample');
  console.log(`load() resampled to 100 Hz: ${resampled.seconds.toFixed(2)} s, ` +
    `${(resampled.seconds - loaded.seconds).toFixed(2)} s more than load() itself`);
} finally {
  fs.rmSync(scratch, { recursive: true, force: true });
}
