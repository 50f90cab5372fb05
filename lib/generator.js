'use strict';
// Bridge to the synthetic recording generator built beside the addon.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const exe = process.platform === 'win32' ? 'kinovar-gen.exe' : 'kinovar-gen';
const candidates = [
  path.join(__dirname, '..', 'build', 'addon', exe),
  // Shipped beside a prebuilt addon, for machines without a compiler.
  path.join(__dirname, '..', 'prebuilds', `${process.platform}-${process.arch}`, exe),
  path.join(__dirname, '..', 'build', 'addon', 'Release', exe),
  path.join(__dirname, '..', 'build', 'native', exe),
];

function generatorPath() {
  const found = candidates.find((file) => fs.existsSync(file));
  if (!found) {
    const error = new Error('kinovar: the recording generator is not built; run "npm run build"');
    error.code = 'ERR_KINOVAR_NOT_BUILT';
    throw error;
  }
  return found;
}

const flags = {
  seconds: '--seconds', clock: '--clock', accel: '--accel', gyro: '--gyro', baro: '--baro',
  events: '--events', seed: '--seed', still: '--still', rate: '--rate', noise: '--noise',
  startTick: '--start-tick', shortFinal: '--short-final',
};
const switches = { swapBlocks: '--swap-blocks', duplicateTicks: '--duplicate-ticks', unknownKinds: '--unknown-kinds' };

/**
 * Writes a synthetic recording with known contents.
 * @param {string} file where to write it
 * @param {object} [options] seconds, clock, accel, gyro, baro, events (rates in Hz; 0 leaves a sensor out),
 *   seed, still, rate (deg/s), axis ([x, y, z]), noise, startTick, shortFinal, swapBlocks, duplicateTicks, unknownKinds
 * @returns {string} the file written
 */
function generateRecording(file, options = {}) {
  const args = ['--out', file];
  for (const [key, value] of Object.entries(options)) {
    if (key in flags) args.push(flags[key], String(value));
    else if (key in switches) { if (value) args.push(switches[key]); }
    else if (key === 'axis') args.push('--axis', value.join(','));
    else throw new TypeError(`unknown generator option ${key}`);
  }
  execFileSync(generatorPath(), args, { stdio: ['ignore', 'ignore', 'pipe'] });
  return file;
}

// Until the generator writes sets of its own, the time marks that tie a
// sensor's clock to the shared reference clock are patched into block 0:
// a record of type 3/18 holding two equal marks at `start` seconds, tick 0.
function addTimeMarks(file, start) {
  const bytes = fs.readFileSync(file);
  let at = 0;
  while (bytes[at] === 0x51 && bytes[at + 1] === 0x37) at += bytes[at + 4] + 7;
  const payload = Buffer.alloc(21);
  const seconds = Math.floor(start);
  const millis = Math.round((start - seconds) * 1000);
  payload[5] = seconds;
  payload.writeUInt16BE(millis, 6);
  payload[14] = seconds;
  payload.writeUInt16BE(millis, 15);
  const record = Buffer.concat([Buffer.from([0x51, 0x37, 3, 18, 21]), payload, Buffer.from([0xff, 0xfe])]);
  if (at + record.length > 512) throw new Error(`${file}: no room for time marks in its settings block`);
  record.copy(bytes, at);
  fs.writeFileSync(file, bytes);
  return file;
}

/**
 * Writes a session of sensors that recorded together, each starting a little
 * later than the one before, with time marks that let them be synchronised.
 * @param {string} folder existing folder
 * @param {object} [options] names (file stems), lag (seconds between starts), and generator options
 * @returns {string[]} the recordings written
 */
function generateSession(folder, { names = ['pelvis', 'thigh', 'shank'], lag = 0.25, ...options } = {}) {
  return names.map((name, i) => {
    const file = generateRecording(path.join(folder, `${name}.bin`), { seed: i + 1, ...options });
    return addTimeMarks(file, 10 + i * lag);
  });
}

module.exports = { generateRecording, generateSession, addTimeMarks, generatorPath };
