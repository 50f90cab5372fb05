'use strict';
// A recording too large for the memory allowed: a child process under a
// lowered address-space limit gets a JavaScript Error and carries on.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { generateRecording } = require('../../lib/native/generator');
const { scratch } = require('./helpers');

const prlimit = spawnSync('prlimit', ['--version']).status === 0;
const addonPath = require.resolve('../../lib/native/addon');
const nativePath = require.resolve('../../lib/native/entry');

const child = `
const addon = require(${JSON.stringify(addonPath)});
const native = require(${JSON.stringify(nativePath)});
const [big, small, dir] = process.argv.slice(1);
const outcome = (call) => { try { return call(); } catch (e) { return [e.constructor.name, e.code, e.message]; } };
console.log(JSON.stringify({
  read: outcome(() => addon.read(big, dir + '/big.csv')),
  sync: outcome(() => addon.readAndSync2([big, small], dir)),
  load: outcome(() => native.loadRecording(big, {}) && 'loaded'),
  after: outcome(() => addon.read(small, dir + '/small.csv')),
  vm: Number(/VmPeak:\\s*(\\d+)/.exec(require('node:fs').readFileSync('/proc/self/status', 'utf8'))[1]),
}));
`;

test('out of memory becomes an Error with its own code', { skip: !prlimit && 'prlimit is not available' }, (t) => {
  const dir = scratch(t, 'kinovar-oom-');
  // About 24 MB on disk, some 250 MB once parsed.
  const big = generateRecording(path.join(dir, 'big.bin'), { seconds: 1500, clock: 1000, accel: 1000, gyro: 1000, baro: 0 });
  const small = generateRecording(path.join(dir, 'small.bin'), { seconds: 1 });

  // What the child needs with the addon loaded and a small recording read.
  // One malloc arena: otherwise each thread that happens to contend for it
  // reserves another 64 MB of address space, and the baseline drifts.
  const env = { ...process.env, MALLOC_ARENA_MAX: '1' };
  const unlimited = JSON.parse(execFileSync(process.execPath, ['-e', child, small, small, dir], { encoding: 'utf8', env }));
  const limit = (unlimited.vm + 96 * 1024) * 1024;
  const result = spawnSync('prlimit', [`--as=${limit}`, process.execPath, '-e', child, big, small, dir], { encoding: 'utf8', env });
  assert.equal(result.status, 0, `child failed under the limit:\n${result.stderr}`);
  const answers = JSON.parse(result.stdout);
  // read and a set take the recordings a piece at a time: they fit where the whole streams do not
  // (the set is refused as ever: two recordings without synchronisation data).
  assert.match(answers.read, /^\{"createdAt":"2017-03-21 14:05:09",.*"frequency":1000,/);
  assert.equal(answers.sync, '-11');
  assert.deepEqual(answers.load.slice(1), ['ERR_KINOVAR_OUT_OF_MEMORY', 'out of memory']);
  assert.equal(answers.after, unlimited.after);  // and the next call works as ever
});
