'use strict';
// A conversion's options are checked once, where the request enters: every
// entry refuses a bad value with the same sentence, before any work, the
// command line naming its own flags.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const kinovar = require('../../lib');
const { main } = require('../../bin/kinovar');
const { scratch } = require('./helpers');

async function refusal(run) {
  try {
    await run();
  } catch (error) {
    return error;
  }
  assert.fail('not refused');
}

async function cli(...args) {
  let stderr = '';
  const io = { stdout: () => {}, stderr: (text) => { stderr += text; }, isTTY: false, env: {}, cwd: process.cwd() };
  return { status: await main(args, io), stderr };
}

test('a bad conversion option is refused by every entry in one sentence, before any work', async (t) => {
  const dir = scratch(t);
  const recording = kinovar.generateRecording(path.join(dir, 'rec.bin'), { seconds: 1 });
  const [pelvis, thigh] = kinovar.generateSession(dir, { seconds: 2 });
  const out = path.join(dir, 'out');
  const { estimators, formats } = kinovar;
  // [options, flags, the command line's sentence, the entries that take the option]
  const all = ['api', 'promise', 'many', 'batch'];
  const epochs = [...all, 'epochs', 'epochsPromise'];
  const cases = [
    [{ orientation: 'best' }, ['--orientation', 'best'], `--orientation must be one of ${estimators.join(', ')}, not "best"`, [...epochs, 'view']],
    [{ time: 'wall' }, ['--time', 'wall'], '--time must be relative or absolute, not "wall"', epochs],
    [{ timezone: 'UTC' }, ['--timezone', 'UTC'], '--timezone goes with --time absolute', epochs],
    [{ time: 'absolute', timezone: 'Mars/Olympus' }, ['--time', 'absolute', '--timezone', 'Mars/Olympus'],
      '--timezone must be an IANA zone name such as "Europe/Paris" or "UTC", not "Mars/Olympus"', epochs],
    [{ resample: -5 }, ['--resample', '-5'], '--resample must be samples per second above 0 (up to 100000), not "-5"', epochs],
    [{ calibrate: '' }, ['--calibrate', ''], '--calibrate must be auto, off or a calibration file\'s path, not ""', [...epochs, 'view']],
    [{ format: 'xlsx' }, ['--format', 'xlsx'], `--format must be one of ${[...formats, 'bids'].join(', ')}, not "xlsx"`, ['api', 'promise']],
    [{ format: 'classic', resample: 50 }, ['--format', 'classic', '--resample', '50'],
      "the classic CSV keeps its rows; resample the plain CSV, Parquet or OpenSim table (format 'plain', 'parquet' or 'opensense')", all],
    [{ format: 'bids', subject: 'a-b', task: 'walk' }, ['--format', 'bids', '--subject', 'a-b', '--task', 'walk'],
      'options.subject (--subject) must be letters and digits only', ['api', 'promise']],
    [{ threads: 0 }, null, null, epochs],
    [{ overwrite: 'yes' }, null, null, epochs],
    [{ durable: 1 }, null, null, epochs],
  ];
  const entries = {
    api: (options) => ['readRecording', () => kinovar.readRecording(recording, `${out}.csv`, options)],
    promise: (options) => ['readRecording', () => kinovar.promises.readRecording(recording, `${out}.csv`, options)],
    many: (options) => ['readRecordings', () => kinovar.promises.readRecordings([recording], { ...options, outDir: out })],
    batch: (options) => ['batch', () => kinovar.promises.batch([recording], out, options)],
    epochs: (options) => ['epochs', () => kinovar.epochs(recording, `${out}.csv`, options)],
    epochsPromise: (options) => ['epochs', () => kinovar.promises.epochs(recording, `${out}.csv`, options)],
    view: (options) => ['writeViewPage', () => kinovar.promises.writeViewPage(recording, `${out}.html`, options)],
  };
  for (const [options, flags, words, takers] of cases) {
    const [fn, run] = entries.api(options);
    const first = await refusal(run);
    const sentence = first.message.slice(`${fn}: `.length);
    for (const name of takers) {
      const [entry, call] = entries[name](options);
      const error = await refusal(call);
      assert.equal(error.constructor, first.constructor, `${name} ${JSON.stringify(options)}`);
      assert.equal(error.message, `${entry}: ${sentence}`, name);
    }
    if (flags) {
      const ran = await cli('read', recording, '-o', `${out}/`, ...flags);
      assert.equal(ran.status, 2, flags.join(' '));
      assert.ok(ran.stderr.startsWith(`kinovar: ${words}`) && ran.stderr.split('\n').length === 2, ran.stderr);
      if (!takers.includes('view')) continue;
      const viewed = await cli('view', recording, '-o', `${out}.html`, ...flags);
      assert.deepEqual([viewed.status, viewed.stderr], [2, ran.stderr], flags.join(' '));
    }
  }
  // A set's own options, from the library and from sync.
  for (const [options, flags, words] of [
    [{ clock: 'rate' }, ['--clock', 'rate'], '--clock must be drift or offset, not "rate"'],
    [{ format: 'opensense', imuNames: ['a'] }, ['--format', 'opensense', '--imu-names', 'a'], '--imu-names must be 2 names, one per recording'],
    [{ format: 'opensense', imuNames: ['a', 'b c'] }, ['--format', 'opensense', '--imu-names', 'a,b c'],
      '--imu-names: IMU name "b c" holds a blank, comma or control character, which OpenSim\'s table cannot hold in a name; use "b_c"'],
  ]) {
    const error = await refusal(() => kinovar.syncRecordings([pelvis, thigh], out, options));
    const refused = await refusal(() => kinovar.promises.syncRecordings([pelvis, thigh], out, options));
    assert.deepEqual([refused.constructor, refused.message], [error.constructor, error.message]);
    const ran = await cli('sync', pelvis, thigh, '-o', out, ...flags);
    assert.deepEqual([ran.status, ran.stderr], [2, `kinovar: ${words}\n`]);
  }
  // The epochs' own options, named by the flags that set them.
  for (const [options, flags, words] of [
    [{ nonwear: { sdMg: -3 } }, ['--nonwear-sd', '-3'], '--nonwear-sd must be a number above 0, not "-3"'],
    [{ days: `${out}.days.csv`, validHours: 30 }, ['--days', `${out}.days.csv`, '--valid-hours', '30'], '--valid-hours must be hours from 0 to 25, not "30"'],
  ]) {
    const error = await refusal(() => kinovar.epochs(recording, `${out}.csv`, options));
    assert.equal(error.constructor, RangeError);
    const ran = await cli('epochs', recording, '-o', `${out}.csv`, ...flags);
    assert.deepEqual([ran.status, ran.stderr], [2, `kinovar: ${words}\n`]);
  }
  assert.ok(![out, `${out}.csv`, `${out}.html`].some((file) => fs.existsSync(file)), 'nothing was written');
});
