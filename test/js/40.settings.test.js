'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/native/addon');
const { settingsText } = require('../../lib/settings/text');
const kinovar = require('../../lib');
const { scratch, prng } = require('./helpers');

const record = (type, subtype, payload) => Buffer.from([0x51, 0x37, type, subtype, payload.length, ...payload, 0xff, 0xfe]);
const be32 = (value) => [24, 16, 8, 0].map((shift) => (value >>> shift) & 0xff);
// Flat names of a settings object: "deviceId", "accel.gainX", ...
const flatten = (settings) => new Map(Object.entries(settings).flatMap(([key, value]) => (value && typeof value === 'object' ?
  Object.entries(value).map(([member, v]) => [`${key}.${member}`, v]) : [[key, value]])));
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

// The edit writes through the core's table of fields; the record reader
// behind readSettings is a separate decoder, so a field at a wrong offset,
// width or scale shows up as a value that does not read back.
test('settings edits of random blocks read back, every other field as it was', (t) => {
  const dir = scratch(t);
  const file = path.join(dir, 'random.cfg');
  const rand = prng(11);
  const pick = (list) => list[rand(list.length)];
  const kinds = [[1, 1], [1, 2], [1, 5], [2, 0], [2, 1], [2, 2], [3, 0], [3, 2], [3, 3], [3, 4], [3, 6], [3, 7], [3, 8],
    [3, 9], [3, 21], ...UNKNOWN_KINDS];
  const lengths = [2, 4, 5, 6, 7, 8, 10, 27, 30];
  const values = {
    frequency: [0, 25, 250, 1000, 300], range: [2, 4, 8, 16, 125, 245, 500, 1000, 2000], gain: [1, 0.9995, -2, 40000],
    offset: [0, -1.2345, 7, 1e6], date: ['2024-02-29 23:59:59', '0000-00-00 00:00:00'], other: [0, 1, 9, 255, 65535, -7],
  };
  const valuesOf = (name) => values[Object.keys(values).find((key) => name.toLowerCase().includes(key)) ??
    (/At$|Date$/.test(name) ? 'date' : 'other')];
  let inPlace = 0;
  for (let n = 0; n < 400; n++) {
    fs.writeFileSync(file, Buffer.concat(Array.from({ length: 1 + rand(8) }, () => {
      const [type, subtype] = pick(kinds);
      const length = rand(2) ? pick(lengths) : rand(40);
      return record(type, subtype, Array.from({ length }, () => (rand(2) ? rand(256) : 0)));
    })));
    const original = fs.readFileSync(file);
    if (addon.readConfig(file) === '') continue;
    const before = flatten(kinovar.readSettings(file));
    const name = pick(kinovar.settingsKeys);
    const value = pick(valuesOf(name));
    const [group, member] = name.split('.');
    try {
      kinovar.writeSettings(file, member ? { [group]: { [member]: value } } : { [name]: value });
    } catch (error) {
      assert.equal(error.code, kinovar.codes.SETTINGS_VALUE, `block ${n}: ${name} ${value}: ${error.message}`);
      assert.ok(fs.readFileSync(file).equals(original), 'a refused edit writes nothing');
      continue;
    }
    const after = flatten(kinovar.readSettings(file));
    // The document shows the radio only beside a device or firmware record.
    if (!after.has(name) && /^radio/.test(name)) continue;
    assert.equal(after.get(name), value, `block ${n}: ${name}`);
    // A record added for a missing group brings its own defaults; in place, nothing else moves.
    if (fs.statSync(file).size !== original.length) continue;
    for (const [other, was] of before) if (other !== name) assert.equal(after.get(other), was, `block ${n}: ${other}`);
    inPlace++;
  }
  assert.ok(inPlace > 50, `only ${inPlace} edits in place`);
});
