'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/native/addon');
const { settingsText } = require('../../lib/settings/text');
const entry = require('../../lib/native/entry');
const { decodeFields, flatten } = require('../../lib/settings/records');
const { scratch, prng } = require('./helpers');

const record = (type, subtype, payload) => Buffer.from([0x51, 0x37, type, subtype, payload.length, ...payload, 0xff, 0xfe]);
const be32 = (value) => [24, 16, 8, 0].map((shift) => (value >>> shift) & 0xff);
const UNKNOWN_KINDS = [[0, 1], [4, 0], [9, 9], [1, 3], [2, 3], [3, 5], [3, 23], [3, 200]];

// A settings file made only of the records writeConfig produces, plus
// records the decoder does not know.
function generate(rand) {
  const int32 = () => rand(0x100000000) - 0x80000000;
  const makers = [
    () => record(2, rand(2), [19 + rand(2), rand(256), rand(256), ...[0, 1, 2, 3, 4, 5].flatMap(() => be32(int32()))]),
    () => record(2, 2, [21, rand(256)]),
    () => record(1, 1, [...be32(int32()), rand(256), rand(256)]),
    () => record(1, 2, [rand(3) ? 0 : rand(256), rand(256), 0, rand(256), 0, rand(256)]),
    () => record(1, 5, [rand(256), rand(256)]),
    () => {
      const [type, subtype] = UNKNOWN_KINDS[rand(UNKNOWN_KINDS.length)];
      return record(type, subtype, Array.from({ length: rand(24) }, () => rand(256)));
    },
  ];
  const parts = [];
  for (let n = rand(9), size = 0; n > 0; n--) {
    const part = makers[rand(makers.length)]();
    if ((size += part.length) > 480) break;
    parts.push(part);
  }
  return Buffer.concat(parts.length ? parts : [record(2, 2, [21, 50])]);
}

test('readConfig, settingsText and writeConfig round-trip generated files', (t) => {
  const dir = scratch(t);
  for (let seed = 1; seed <= 200; seed++) {
    const file = path.join(dir, `gen-${seed}.bin`);
    fs.writeFileSync(file, generate(prng(seed)));
    const before = addon.readConfig(file);
    assert.notEqual(before, '', `seed ${seed}`);
    const text = settingsText(JSON.parse(before));
    assert.equal(addon.writeConfig(file, text), 'OK', `seed ${seed}: ${text}`);
    assert.equal(addon.readConfig(file), before, `seed ${seed}: ${text}`);
  }
  assert.throws(() => settingsText({ unknownFrames: 'a,b' }), TypeError);
});

test('the JS settings codec and readConfig read random blocks as the core does', (t) => {
  const dir = scratch(t);
  const file = path.join(dir, 'random.cfg');
  const rand = prng(11);
  // Every kind the codec knows, some it does not; lengths it expects and any other.
  const kinds = [[1, 1], [1, 2], [1, 5], [2, 0], [2, 1], [2, 2], [3, 0], [3, 2], [3, 3], [3, 4], [3, 6], [3, 7], [3, 8],
    [3, 9], [3, 21], ...UNKNOWN_KINDS];
  const lengths = [2, 4, 5, 6, 7, 8, 10, 27, 30];
  let compared = 0;
  for (let n = 0; n < 300; n++) {
    const bytes = Buffer.concat(Array.from({ length: 1 + rand(8) }, () => {
      const [type, subtype] = kinds[rand(kinds.length)];
      const length = rand(2) ? lengths[rand(lengths.length)] : rand(40);
      // Half the bytes zero: small numbers, as real fields mostly hold.
      return record(type, subtype, Array.from({ length }, () => (rand(2) ? rand(256) : 0)));
    }));
    fs.writeFileSync(file, bytes);
    const exact = flatten(JSON.parse(entry.readSettings(file)));
    const { values } = decodeFields(bytes);
    for (const [name, value] of values) {
      // The document leaves out a group without a record of its own.
      if (!exact.has(name)) continue;
      assert.equal(exact.get(name), value, `block ${n}: ${name}`);
      compared++;
    }
    // readConfig is the same document with calibration cut to integers.
    for (const [name, value] of flatten(JSON.parse(addon.readConfig(file)))) {
      const expected = exact.get(name);
      assert.equal(value, typeof expected !== 'number' ? expected : Math.trunc(expected), `block ${n}: ${name}`);
    }
  }
  assert.ok(compared > 500, `only ${compared} values compared`);
});
