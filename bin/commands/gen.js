'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { lib, OK, UsageError, didYouMean, parse, positiveInteger } = require('../shared');
const { progressBar } = require('../progress');

const summary = [['gen <file.bin> [options]', 'write synthetic recordings (the generator demo uses)']];

// What gen writes when not told otherwise: passed to the generator whole, so
// that the help cannot tell other defaults than the ones used.
// Noise is on, as in any sensor, so that each seed gives other data.
const DEFAULTS = { seconds: 10, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 0, still: 1, rate: 90, noise: 2, seed: 1 };
const STRETCHES = ['active', 'sleep', 'nonwear', 'gap', 'clipped'];
const UNITS = { s: 1, m: 60, h: 3600, d: 86400 };
const METHODS = ['marks', 'radio', 'stream'];

const help = `usage: kinovar gen <file.bin> [options]
       kinovar gen <folder> --set <N> [--method M] [options]

Writes one synthetic recording with known content: a sensor held still, then
turning about one axis at a steady rate; or, with --scenario, a study's days
of activity, sleep, time off the body and lost data. With --set, writes N recordings
(<folder>/sensor1.bin ...) of sensors that recorded the same motion together,
each on its own clock, for "kinovar sync". The file is written as it is made:
a week takes no more memory than a minute.

options:
  --seconds <S>      length; 90m, 24h or 7d for minutes, hours, days (default ${DEFAULTS.seconds})
  --clock <HZ>       clock rate (default ${DEFAULTS.clock})
  --accel <HZ>       accelerometer rate, 0 leaves it out (default ${DEFAULTS.accel})
  --gyro <HZ>        gyroscope rate, 0 leaves it out (default ${DEFAULTS.gyro})
  --baro <HZ>        barometer rate, 0 leaves it out (default ${DEFAULTS.baro})
  --events <HZ>      events a second, 0.5 for one every 2 s, 0 for none (default ${DEFAULTS.events})
  --still <S>        seconds held still at the start (default ${DEFAULTS.still})
  --rate <DEG/S>     turning rate after that (default ${DEFAULTS.rate})
  --scenario <K:T,..> instead of --still and a turn: stretches one after another
                     from the start, each K for T (s, or 10m, 8h): active (a
                     walk's swing), sleep (worn, lying still, turning over every
                     20 to 40 minutes), nonwear (off the body on a table), gap
                     (no sample: the memory lost them), clipped (beyond the
                     accelerometer's range); K:T:MG sets a stretch's noise in mg
  --noise <COUNTS>   the still start's and the turn's sensor noise, standard
                     deviation in raw counts, 0 for none (default ${DEFAULTS.noise})
  --seed <N>         noise seed (default ${DEFAULTS.seed}); each seed gives other noise
  --start <DATE>     the recording's start, 'YYYY-MM-DD hh:mm:ss' (default
                     2017-03-21 14:05:09)
  --drift <PPM>      with --set: the clocks of the second, fourth... sensor run
                     PPM fast, of the third, fifth... PPM slow, against the first
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
  seconds: rule((v) => v > 0, 'a positive number (of seconds, or with m, h, d)'), clock: whole(1, 65535), accel: whole(0, 65535), gyro: whole(0, 65535),
  baro: whole(0, 65535), events: fromZero, still: fromZero, rate: fromZero, seed: whole(0, 2 ** 32 - 1),
  noise: fromZero, drift: rule((v) => v <= 1e5, 'parts per million from 0 to 100000'),
};
const options = {
  ...Object.fromEntries(Object.keys(RULES).map((name) => [name, { type: 'string' }])),
  set: { type: 'string' }, method: { type: 'string' }, force: { type: 'boolean' }, scenario: { type: 'string' }, start: { type: 'string' },
};

/** A number, or with `units` a length that may end in s, m, h or d; NaN when it is neither. */
function seconds(text, units) {
  const match = /^(\d+(?:\.\d+)?)([smhd]?)$/.exec(text);
  return match && (units || !match[2]) ? Number(match[1]) * UNITS[match[2] || 's'] : NaN;
}

/** --scenario as the library takes it: lengths in seconds. */
function scenarioOf(text) {
  return text.split(',').map((part) => {
    const [kind, length, noise, extra] = part.split(':');
    const span = length === undefined ? NaN : seconds(length, true);
    if (!STRETCHES.includes(kind) || !(span > 0) || (noise !== undefined && !(Number(noise) >= 0)) || extra !== undefined) {
      throw new UsageError(`--scenario takes kind:length stretches, the kind one of ${STRETCHES.join(', ')} and the length in ` +
        `seconds or with m, h, d (active:30m,sleep:8h), not "${part}"${didYouMean(kind, STRETCHES)}`);
    }
    return [kind, span, ...(noise === undefined ? [] : [Number(noise)])].join(':');
  }).join(',');
}

/** --start as the settings' date, refused when no calendar has it. */
function startOf(text) {
  const parts = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})$/.exec(text)?.slice(1).map(Number);
  const date = parts && new Date(Date.UTC(parts[0], parts[1] - 1, parts[2], parts[3], parts[4], parts[5]));
  if (!date || date.getUTCFullYear() !== parts[0] || date.getUTCMonth() !== parts[1] - 1 || date.getUTCDate() !== parts[2] ||
    date.getUTCHours() !== parts[3] || date.getUTCMinutes() !== parts[4] || date.getUTCSeconds() !== parts[5]) {
    throw new UsageError(`--start must be a date and time that exists, 'YYYY-MM-DD hh:mm:ss' (2024-05-13 08:00:00), not "${text}"`);
  }
  return text;
}

/** The numeric options given, each checked for what it may hold. */
function numbers(values) {
  const given = {};
  for (const [name, { test, words }] of Object.entries(RULES)) {
    const text = values[name];
    if (text === undefined) continue;
    const value = seconds(text, name === 'seconds');
    if (Number.isNaN(value) || !test(value)) throw new UsageError(`--${name} must be ${words}, not "${text}"`);
    given[name] = value;
  }
  return given;
}

// The clocks of a set, in true seconds: [clock zero, first sample], as the
// demo's three sensors have them, each further three a little later; and
// each one's rate error against the first, fast and slow in turn.
function sensors(count, drift = 0) {
  const pattern = [[0, 0.5], [-1.25, 0.25], [0.75, 1]];
  return Array.from({ length: count }, (_, i) => {
    const shift = Math.floor(i / 3) * 0.1;
    return [pattern[i % 3][0] + shift, pattern[i % 3][1] + shift, `sensor${i + 1}`, i === 0 ? 0 : i % 2 ? drift : -drift];
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
  const given = numbers(values);
  if (given.drift !== undefined && set === undefined) throw new UsageError('--drift is for a set: give --set <N>');
  if (values.scenario !== undefined && (given.still !== undefined || given.rate !== undefined)) {
    throw new UsageError('--scenario replaces the still start and the turn: give --still and --rate without it');
  }
  const { still, drift, ...recipe } = { ...DEFAULTS, ...given };
  if (values.scenario !== undefined) recipe.scenario = scenarioOf(values.scenario);
  if (values.start !== undefined) recipe.createdAt = startOf(values.start);
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
      const clocks = sensors(set, drift);
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
