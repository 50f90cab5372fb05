'use strict';
// Bridge to the synthetic recording generator built beside the addon.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { codes } = require('../errors');

const exe = process.platform === 'win32' ? 'kinovar-gen.exe' : 'kinovar-gen';
const candidates = [
  path.join(__dirname, '..', '..', 'build', 'addon', exe),
  // Shipped beside a prebuilt addon, for machines without a compiler.
  path.join(__dirname, '..', '..', 'prebuilds', `${process.platform}-${process.arch}`, exe),
  path.join(__dirname, '..', '..', 'build', 'addon', 'Release', exe),
  path.join(__dirname, '..', '..', 'build', 'native', exe),
];

function generatorPath() {
  const found = candidates.find((file) => fs.existsSync(file));
  if (!found) {
    const error = new Error('kinovar: the recording generator is not built; run "npm run build"');
    error.code = codes.NOT_BUILT;
    throw error;
  }
  return found;
}

const flags = {
  seconds: '--seconds', clock: '--clock', accel: '--accel', gyro: '--gyro', baro: '--baro',
  events: '--events', seed: '--seed', still: '--still', rate: '--rate', noise: '--noise',
  startTick: '--start-tick', shortFinal: '--short-final', cutBlocks: '--cut-blocks', spike: '--spike', endDate: '--end-date', scenario: '--scenario',
  flipBit: '--flip-bit', createdAt: '--created',
};
// [x, y, z] or [first, second, ...] values, given as lists.
const triples = {
  postures: '--postures', accelOffset: '--accel-offset', accelScale: '--accel-scale', accelTemperature: '--accel-temperature',
  gyroBias: '--gyro-bias', temperatureSwing: '--temperature-swing',
};
const switches = { swapBlocks: '--swap-blocks', duplicateTicks: '--duplicate-ticks', unknownKinds: '--unknown-kinds' };

function optionArgs(options) {
  const args = [];
  for (const [key, value] of Object.entries(options)) {
    if (key in flags) args.push(flags[key], String(value));
    else if (key in switches) { if (value) args.push(switches[key]); }
    else if (key === 'axis') args.push('--axis', value.join(','));
    else if (key in triples) args.push(triples[key], value.join(','));
    else if (key === 'idle' || key === 'clipped') for (const stretch of value) args.push(`--${key}`, stretch.join(','));
    else throw new TypeError(`unknown generator option ${key}`);
  }
  return args;
}

/**
 * Writes a synthetic recording with known contents.
 * @param {string} file where to write it
 * @param {object} [options] seconds, clock, accel, gyro, baro, events (rates in Hz; 0 leaves a sensor out),
 *   seed, still, rate (deg/s), axis ([x, y, z]), noise, startTick (the counter's first tick, 0 to 2^32 - 1),
 *   shortFinal, cutBlocks, spike (seconds), flipBit (a bit of a data block's base tick flipped, 0-31),
 *   swapBlocks, duplicateTicks, unknownKinds, endDate ("YYYY-MM-DD hh:mm:ss"; default: the real end),
 *   scenario ('KIND:SECONDS[:NOISE_MG],...': active, nonwear, sleep, gap, clipped, one after another),
 *   createdAt (the start, "YYYY-MM-DD hh:mm:ss")
 * @returns {string} the file written
 */
function generateRecording(file, options = {}) {
  const args = ['--out', file, ...optionArgs(options)];
  execFileSync(generatorPath(), args, { stdio: ['ignore', 'ignore', 'pipe'] });
  return file;
}

/**
 * Writes a session of sensors that recorded together, each on its own clock,
 * carrying what the synchronisation needs (time marks or radio data).
 * @param {string} folder existing folder; gets <name>.bin per sensor
 * @param {object} [options] method ('marks', 'radio' or 'stream'), sensors ([clockZero, firstSample, name, ppm]:
 *   true seconds, and the clock's rate error), motionStart (seconds), channel (radio), radioHz (radio-stream
 *   frames a second, 0: none), radioCorrupt (fraction of radio pairs that are noise), markSpan (seconds between
 *   the time marks), and the options of generateRecording
 * @returns {string[]} the recordings written, in the order of the sensors
 */
function generateSession(folder, {
  method = 'marks', motionStart, channel, radioHz, radioCorrupt, markSpan,
  sensors = [[0, 0.5, 'pelvis'], [-1.25, 0.25, 'thigh'], [0.75, 1, 'shank']], ...options
} = {}) {
  const args = ['--sync-set', folder, '--method', method, ...optionArgs(options)];
  if (motionStart !== undefined) args.push('--motion-start', String(motionStart));
  if (channel !== undefined) args.push('--channel', String(channel));
  if (radioHz !== undefined) args.push('--radio-hz', String(radioHz));
  if (radioCorrupt !== undefined) args.push('--radio-corrupt', String(radioCorrupt));
  if (markSpan !== undefined) args.push('--mark-span', String(markSpan));
  for (const [zero, first, name, ppm] of sensors) {
    args.push('--sensor', `${zero},${first},${name}${ppm === undefined ? '' : `,${ppm}`}`);
  }
  execFileSync(generatorPath(), args, { stdio: ['ignore', 'ignore', 'pipe'] });
  return sensors.map(([, , name]) => path.join(folder, `${name}.bin`));
}

module.exports = { generateRecording, generateSession, generatorPath };
