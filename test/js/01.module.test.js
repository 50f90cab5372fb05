'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const addon = require('../../lib/addon');
const { scratch } = require('./helpers');

const wrongCount = { name: 'TypeError', message: 'Wrong number of arguments' };
const wrongArgs = { name: 'TypeError', message: 'Wrong arguments' };

test('the five functions are registered in order, before the entry points of lib/api.js', () => {
  assert.deepEqual(Object.keys(addon).slice(0, 5), ['read', 'readAndSync2', 'readConfig', 'writeConfig', 'readConfigDeviceId']);
  for (const name of Object.keys(addon)) assert.equal(addon[name].name, name);
});

test('argument checks throw TypeError before touching any file', (t) => {
  const dir = scratch(t);
  const csv = path.join(dir, 'out.csv');
  assert.throws(() => addon.read('x'), wrongCount);
  assert.throws(() => addon.read('x', 1), wrongArgs);
  assert.throws(() => addon.read(new String('x'), csv), wrongArgs);
  assert.throws(() => addon.readAndSync2('x', dir), wrongArgs);
  assert.throws(() => addon.readAndSync2([csv, 2], dir), wrongArgs);
  assert.throws(() => addon.readAndSync2([]), wrongCount);
  assert.throws(() => addon.readConfig(), wrongCount);
  assert.throws(() => addon.readConfig(new String('x')), wrongArgs);
  assert.throws(() => addon.writeConfig(csv), wrongCount);
  assert.throws(() => addon.writeConfig(csv, 5), wrongArgs);
  assert.throws(() => addon.readConfigDeviceId(null), wrongArgs);
  assert.deepEqual(fs.readdirSync(dir), []);
});
