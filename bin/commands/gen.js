'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { lib, OK, UsageError, didYouMean, parse, positiveInteger, progressBar } = require('../shared');

const summary = [['gen <file.bin> [options]', 'write synthetic recordings (the generator demo uses)']];

// What gen writes when not told otherwise: passed to the generator whole, so
// that the help cannot tell other defaults than the ones used.
const DEFAULTS = { seconds: 10, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 0, still: 1, rate: 90 };
const METHODS = ['marks', 'radio', 'stream'];

const help = `usage: kinovar gen <file.bin> [options]
       kinovar gen <folder> --set <N> [--method M] [options]

Writes one synthetic recording with known content: a sensor held still, then
turning about one axis at a steady rate. With --set, writes N recordings
(<folder>/sensor1.bin ...) of sensors that recorded the same motion together,
each on its own clock, for "kinovar sync".

options:
  --seconds <S>      length (default ${DEFAULTS.seconds})
  --clock <HZ>       clock rate (default ${DEFAULTS.clock})
  --accel <HZ>       accelerometer rate, 0 leaves it out (default ${DEFAULTS.accel})
  --gyro <HZ>        gyroscope rate, 0 leaves it out (default ${DEFAULTS.gyro})
  --baro <HZ>        barometer rate, 0 leaves it out (default ${DEFAULTS.baro})
  --events <HZ>      events a second, 0.5 for one every 2 s, 0 for none (default ${DEFAULTS.events})
  --still <S>        seconds held still at the start (default ${DEFAULTS.still})
  --rate <DEG/S>     turning rate after that (default ${DEFAULTS.rate})
  --seed <N>         noise seed
  --set <N>          write a set of N sensors into the folder
  --method <M>       what the set is synchronised by: ${METHODS.join(', ')} (time marks,
                     radio settings, radio stream; default ${METHODS[0]})
  --force            replace an existing file (a recording there may be a real one)
  -q, --quiet        print nothing but errors
  -h, --help         this text
`;

// What each number may be: rates and the clock are whole numbers in the
// file; lengths and the event rate need not be.
const rule = (test, words) => ({ test, words });
const whole = (low, high) => rule((v) => Number.isInteger(v) && v >= low && v <= high, `a whole number from ${low} to ${high}`);
const fromZero = rule(() => true, 'a number from 0 up');
const RULES = {
  seconds: rule((v) => v > 0, 'a positive number'), clock: whole(1, 65535), accel: whole(0, 65535), gyro: whole(0, 65535),
  baro: whole(0, 65535), events: fromZero, still: fromZero, rate: fromZero, seed: whole(0, 2 ** 32 - 1),
};
const options = {
  ...Object.fromEntries(Object.keys(RULES).map((name) => [name, { type: 'string' }])),
  set: { type: 'string' }, method: { type: 'string' }, force: { type: 'boolean' },
};

/** The numeric options given, each checked for what it may hold. */
function numbers(values) {
  const given = {};
  for (const [name, { test, words }] of Object.entries(RULES)) {
    const text = values[name];
    if (text === undefined) continue;
    const value = /^\d+(\.\d+)?$/.test(text) ? Number(text) : NaN;
    if (Number.isNaN(value) || !test(value)) throw new UsageError(`--${name} must be ${words}, not "${text}"`);
    given[name] = value;
  }
  return given;
}

// The clocks of a set, in true seconds: [clock zero, first sample], as the
// demo's three sensors have them, each further three a little later.
function sensors(count) {
  const pattern = [[0, 0.5], [-1.25, 0.25], [0.75, 1]];
  return Array.from({ length: count }, (_, i) => {
    const shift = Math.floor(i / 3) * 0.1;
    return [pattern[i % 3][0] + shift, pattern[i % 3][1] + shift, `sensor${i + 1}`];
  });
}

async function run(args, io) {
  const { values, positionals } = parse('gen', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  const set = values.set === undefined ? undefined : positiveInteger(values.set, '--set');
  if (positionals.length !== 1) throw new UsageError(`gen takes one ${set ? 'folder' : 'file'} to write\n\n${help}`);
  const method = values.method ?? METHODS[0];
  if (values.method !== undefined && set === undefined) throw new UsageError('--method is for a set: give --set <N>');
  if (!METHODS.includes(method)) throw new UsageError(`--method must be one of ${METHODS.join(', ')}, not "${method}"${didYouMean(method, METHODS)}`);
  const { still, ...recipe } = { ...DEFAULTS, ...numbers(values) };
  const [target] = positionals;
  const overwrite = values.force === true;

  // On a worker, so that an interruption is handled at once; the bar tells the stage.
  const bar = progressBar(io, true);
  bar.update(null, `generating ${target}`);
  let files;
  try {
    if (set === undefined) {
      kinovar.ensureFolder(path.dirname(target));
      files = [await kinovar.promises.generateRecording(target, { ...recipe, still, overwrite })];
    } else {
      kinovar.ensureFolder(target);
      const clocks = sensors(set);
      // Every sensor is still for at least --still seconds of its own recording.
      const motionStart = still + Math.max(...clocks.map(([, first]) => first));
      files = await kinovar.promises.generateSession(target, { ...recipe, method, sensors: clocks, motionStart, overwrite });
    }
  } finally {
    bar.done();
  }
  for (const file of files) io.say(`wrote ${file}  ${fs.statSync(file).size} bytes\n`);
  return OK;
}

module.exports = { summary, help, options, run };
