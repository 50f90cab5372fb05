'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const addon = require('../../lib/addon');
const { settingsText } = require('../../lib/settings');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-settings-js-'));
test.after(() => fs.rmSync(dir, { recursive: true, force: true }));

// Small deterministic generator so a failing file can be made again.
function prng(seed) {
  let state = seed >>> 0;
  return (n) => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return Math.floor((state / 0x100000000) * n); // high bits: the low ones of an LCG cycle short
  };
}

function record(type, subtype, payload) {
  return Buffer.from([0x51, 0x37, type, subtype, payload.length, ...payload, 0xff, 0xfe]);
}

function be(value, width) {
  const out = [];
  for (let i = width - 1; i >= 0; i--) out.push(Number((BigInt.asUintN(32, BigInt(value)) >> BigInt(8 * i)) & 0xffn));
  return out;
}

const UNKNOWN_KINDS = [[0, 1], [4, 0], [9, 9], [1, 3], [2, 3], [3, 5], [3, 23], [3, 200]];

// A settings file made only of the records writeConfig produces, plus
// records the decoder does not know.
function generate(rand) {
  const int32 = () => rand(0x100000000) - 0x80000000;
  const makers = [
    () => record(2, rand(2), [19 + rand(2), rand(256), rand(256), ...[0, 1, 2, 3, 4, 5].flatMap(() => be(int32(), 4))]),
    () => record(2, 2, [21, rand(256)]),
    () => record(1, 1, [...be(int32(), 4), rand(256), rand(256)]),
    () => record(1, 2, [rand(3) ? 0 : rand(256), rand(256), 0, rand(256), 0, rand(256)]),
    () => record(1, 5, [rand(256), rand(256)]),
    () => {
      const [type, subtype] = UNKNOWN_KINDS[rand(UNKNOWN_KINDS.length)];
      return record(type, subtype, Array.from({ length: rand(24) }, () => rand(256)));
    },
  ];
  const parts = [];
  let size = 0;
  for (let n = rand(9); n > 0; n--) {
    const part = makers[rand(makers.length)]();
    if (size + part.length > 480) break;
    parts.push(part);
    size += part.length;
  }
  if (parts.length === 0) parts.push(record(2, 2, [21, 50]));
  return Buffer.concat(parts);
}

test('readConfig, settingsText and writeConfig round-trip generated files', () => {
  for (let seed = 1; seed <= 200; seed++) {
    const file = path.join(dir, `gen-${seed}.bin`);
    fs.writeFileSync(file, generate(prng(seed)));
    const before = addon.readConfig(file);
    assert.notEqual(before, '', `seed ${seed}`);
    const text = settingsText(JSON.parse(before));
    assert.equal(addon.writeConfig(file, text), 'OK', `seed ${seed}: ${text}`);
    assert.equal(addon.readConfig(file), before, `seed ${seed}: ${text}`);
  }
});

test('edited values reach the file; values the file cannot hold are refused', () => {
  const file = path.join(dir, 'edit.bin');
  assert.equal(addon.writeConfig(file, 'device,12,1,2:firmware,1,0,0'), 'OK');
  const config = JSON.parse(addon.readConfig(file));
  config.bodyLocation = 9;
  config.baro = { frequency: 100 };
  assert.equal(addon.writeConfig(file, settingsText(config)), 'OK');
  assert.equal(addon.readConfigDeviceId(file), '{"deviceId":12}');
  const after = JSON.parse(addon.readConfig(file));
  assert.equal(after.bodyLocation, 9);
  assert.deepEqual(after.baro, { frequency: 100 });

  assert.throws(() => settingsText({ ...config, baro: { frequency: 300 } }), RangeError);
  assert.throws(() => settingsText({ unknownFrames: 'a,b' }), TypeError);
});
