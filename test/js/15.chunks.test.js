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
const { generateRecording } = require('../../lib/generator');
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
