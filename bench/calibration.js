#!/usr/bin/env node
'use strict';
// Calibration's two targets in one run:
//  - its cost: read to the plain CSV without orientation, --calibrate auto
//    against off, on the same recording (100 Hz accelerometer and gyroscope,
//    25 Hz barometer, still postures all over the sphere so that the fit is
//    accepted and applied), runs alternating, each a fresh niced process;
//  - its accuracy: recordings generated with a known miscalibration, the fit
//    against the generator's recipe.
//   node bench/calibration.js [work folder] [--day] [--runs N]
// Without --day an hour (npm run bench); with it a day (npm run bench:long).
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
const args = process.argv.slice(2);
const day = args.includes('--day');
const runsAt = args.indexOf('--runs');
const runs = runsAt >= 0 ? Number(args[runsAt + 1]) : 3;
const work = args.find((a, i) => !a.startsWith('--') && args[i - 1] !== '--runs') ?? path.join(root, 'build', 'bench', 'workloads');
const { generateRecording } = require(path.join(root, 'lib', 'native', 'generator'));
const kinovar = require(root);
const cli = path.join(root, 'bin', 'kinovar.js');

// ---- Cost.

/** Seconds, CPU seconds and peak resident bytes of a command, from time(1). */
function measure(argv) {
  const report = path.join(os.tmpdir(), `kinovar-calibration-time-${process.pid}`);
  const result = spawnSync('nice', ['-n', '10', '/usr/bin/time', '-f', '%e %M %U %S', '-o', report, ...argv], { stdio: ['ignore', 'ignore', 'pipe'] });
  if (result.status !== 0) throw new Error(`${argv.join(' ')} failed: ${String(result.stderr).trim().split('\n').pop()}`);
  const [seconds, kib, user, system] = fs.readFileSync(report, 'utf8').trim().split('\n').pop().split(' ').map(Number);
  fs.rmSync(report, { force: true });
  return { seconds, cpu: user + system, peak: kib * 1024 };
}

function cost() {
  const seconds = day ? 86400 : 3600;
  const name = day ? '24 h' : '1 h';
  fs.mkdirSync(work, { recursive: true });
  const recording = path.join(work, `calibration-${day ? '24h' : '1h'}.bin`);
  if (!fs.existsSync(recording)) {
    console.log(`generating ${recording} ...`);
    generateRecording(`${recording}.part`, { seconds, clock: 1000, accel: 100, gyro: 100, baro: 25, noise: 4, postures: [120, 3],
      temperatureSwing: [8, 21600], accelOffset: [0.04, -0.03, 0.02], accelScale: [1.02, 0.98, 1.01],
      accelTemperature: [0.001, -0.002, 0.0005], gyroBias: [1.5, -2, 0.5] });
    fs.renameSync(`${recording}.part`, recording);
  }
  const out = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-calibration-')), 'out.csv');
  const results = { auto: [], off: [] };
  try {
    for (let r = 0; r < runs; r++) {
      for (const mode of r % 2 ? ['off', 'auto'] : ['auto', 'off']) {
        results[mode].push(measure([process.execPath, cli, 'read', recording, '-o', out, '--format', 'plain', '--orientation', 'none',
          '--calibrate', mode, '--force', '--quiet']));
        fs.rmSync(out, { force: true });
      }
    }
  } finally {
    fs.rmSync(path.dirname(out), { recursive: true, force: true });
  }
  // Best against best: what others do on a shared machine only ever adds to either.
  const of = (mode) => ({ seconds: Math.min(...results[mode].map((r) => r.seconds)), cpu: Math.min(...results[mode].map((r) => r.cpu)),
    peak: Math.max(...results[mode].map((r) => r.peak)) });
  const [auto, off] = [of('auto'), of('off')];
  const ratio = auto.seconds / off.seconds;
  const more = (auto.peak - off.peak) / 1e6;
  console.log(`\nCalibration's cost: read ${name} (100 Hz accel and gyro, 25 Hz baro) to the plain CSV without orientation; ` +
    `least of ${runs} runs each (peak: most), alternating, load average ${os.loadavg()[0].toFixed(1)}`);
  console.log('| --calibrate | seconds | CPU s | peak MB |\n|---|---:|---:|---:|');
  for (const [mode, r] of [['off', off], ['auto', auto]]) {
    console.log(`| ${mode} | ${r.seconds.toFixed(2)} | ${r.cpu.toFixed(2)} | ${(r.peak / 1e6).toFixed(1)} |`);
  }
  console.log(`| auto / off | ${ratio.toFixed(2)}× (CPU ${(auto.cpu / off.cpu).toFixed(2)}×) | | ${more >= 0 ? '+' : ''}${more.toFixed(1)} MB |`);
  console.log(`target: at most 1.25× the time: ${ratio <= 1.25 ? 'pass' : 'FAIL'}; peak within 10 MB: ${more <= 10 ? 'pass' : 'FAIL'}`);
  return ratio <= 1.25 && more <= 10;
}

// ---- Accuracy.

/** A reproducible uniform draw in [-1, 1) (mulberry32). */
function draws(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = Math.imul(a ^ (a >>> 15), a | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return (((t ^ (t >>> 14)) >>> 0) / 4294967296) * 2 - 1;
  };
}

// The generator's temperature terms are about its own reference temperature.
const GENERATOR_REFERENCE = 21.5;

function accuracy() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-calibration-'));
  const rows = [];
  let pass = true;
  const triple = (v, digits, factor = 1) => v.map((x) => (x * factor).toFixed(digits)).join(' ');
  try {
    for (const seed of [1, 2, 3]) {
      const unit = draws(seed);
      const axes = (f) => [f(), f(), f()];
      const truth = {
        accelOffset: axes(() => 0.06 * unit()), accelScale: axes(() => 1 + 0.03 * unit()),
        accelTemperature: axes(() => 0.002 * unit()), gyroBias: axes(() => 3 * unit()),
      };
      // A day worn: still postures over the sphere, the temperature swinging by 8 degrees.
      const recording = generateRecording(path.join(dir, `day-${seed}.bin`), { seconds: 86400, accel: 25, gyro: 25, baro: 1,
        noise: 4, seed, postures: [120, 3], temperatureSwing: [8, 21600], ...truth });
      const { accel, gyro } = kinovar.calibrate(recording);
      fs.rmSync(recording);
      if (!accel.accepted) {
        rows.push(`| day ${seed} | fit | refused: ${accel.status} | | | FAIL |`);
        pass = false;
        continue;
      }
      // The fit states its offsets at its own reference temperature: the truth's, moved there.
      const offset = truth.accelOffset.map((o, k) =>
        o + (accel.referenceTemperature - GENERATOR_REFERENCE) * truth.accelTemperature[k] / truth.accelScale[k]);
      const worst = (fit, want) => Math.max(...fit.map((x, k) => Math.abs(x - want[k])));
      const checks = [
        ['offset [mg]', triple(offset, 2, 1000), triple(accel.offset, 2, 1000), worst(accel.offset, offset) * 1000, 2],
        ['scale', triple(truth.accelScale, 4), triple(accel.scale, 4), worst(accel.scale, truth.accelScale), 0.002],
        ['temperature [mg/°C]', triple(truth.accelTemperature, 3, 1000), triple(accel.temperature, 3, 1000),
          worst(accel.temperature, truth.accelTemperature) * 1000, 0.3],
        ['error after [mg]', '0', accel.errorAfterMg.toFixed(3), accel.errorAfterMg, 3],
        ['gyro bias [°/s]', triple(truth.gyroBias, 3), triple(gyro.bias, 3), worst(gyro.bias, truth.gyroBias), 0.05],
      ];
      for (const [what, want, got, error, target] of checks) {
        const ok = error < target;
        pass &&= ok;
        rows.push(`| day ${seed} | ${what} | ${want} | ${got} | ${error.toPrecision(2)} (< ${target}) | ${ok ? 'pass' : 'FAIL'} |`);
      }
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
  console.log('\nCalibration\'s accuracy: a day at 25 Hz per seed, offsets ±60 mg, gains 0.97–1.03, temperature terms ±2 mg/°C, ' +
    'gyroscope biases ±3 °/s drawn from the seed; truth from the generator\'s recipe');
  console.log('| recording | quantity | truth (x y z) | fit (x y z) | worst error (target) | |\n|---|---|---|---|---:|---|');
  for (const row of rows) console.log(row);
  return pass;
}

const costOk = cost();
const accuracyOk = accuracy();
console.log(`\ncalibration targets: ${costOk && accuracyOk ? 'all met' : 'NOT all met'}`);
