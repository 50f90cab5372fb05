'use strict';
const path = require('node:path');
const { lib, OK, USAGE, UsageError, didYouMean, parse } = require('../shared');

const summary = [
  ['config show <file>', 'list the settings of a settings file or recording'],
  ['config set <file> key=value', 'change settings, keeping the rest'],
  ['config device-id <file>', 'print the device identifier'],
];

// The sensor fields come from the library, which is loaded only when asked for.
const help = (fields = lib().sensorFields) => `usage: kinovar config show <file> [--json]
       kinovar config set <file> key=value... [-o <file>] [--force]
       kinovar config device-id <file>

show       lists every setting as key = value (the keys that "set" takes);
           --json prints the settings object instead.
           -q, --quiet (any action) prints nothing but errors and what is asked for.
set        changes exactly the given settings and writes the file back (or to
           -o); every other byte stays, unknown records included. Each value is
           written in the form its record already has; one the record cannot
           hold is refused and nothing is written. A recording is never
           written to (use -o to make a settings file from its settings). Keys:
             deviceId deviceType bodyLocation version majorVersion minorVersion
             radioMode radioChannel baro.frequency gps.frequency
             accel.<field> gyro.<field> with <field> one of ${fields.slice(0, 2).join(' ')}
               ${fields.slice(2).join(' ')}
             frequency measureId createdAt endDate (where the file has them)
           Values are integers, calibration of type-3 records may have four
           decimals, dates read "YYYY-MM-DD hh:mm:ss".
           --force replaces a -o file that is not a settings file.
device-id  prints the device identifier (-1 when the file names none).
`;

// Each action has its own options.
const options = {
  show: { json: { type: 'boolean' } },
  set: { out: { type: 'string', short: 'o' }, force: { type: 'boolean' } },
  'device-id': {},
};

const DATES = new Set(['createdAt', 'endDate']);

// "key=value" into the change it names; values stay as typed until a record
// says what it can hold.
function parseSetting(assignment) {
  const match = /^([A-Za-z.]+)=(.*)$/s.exec(assignment);
  if (!match) throw new UsageError(`"${assignment}" is not key=value`);
  const [, key, raw] = match;
  const text = raw.trim();
  if (key === 'unknownFrames') throw new UsageError('unknownFrames cannot be set: unknown records are kept as they are');
  const keys = lib().settingsKeys;
  if (!keys.includes(key)) throw new UsageError(`unknown setting ${key}${didYouMean(key, keys)} (see "kinovar config --help")`);
  if (DATES.has(key)) return [key, text];
  if (!/^-?\d+(\.\d+)?$/.test(text)) throw new UsageError(`${key} must be a number, not "${raw}"`);
  return [key, Number(text)];
}

/** Flat changes ("accel.range") as the settings object nests them. */
function nest(changes) {
  const settings = {};
  for (const [key, value] of changes) {
    const [group, field] = key.split('.');
    if (field) (settings[group] ??= {})[field] = value;
    else settings[key] = value;
  }
  return settings;
}

/** The settings object's rows, one per key that "set" takes. */
function flatten(settings) {
  return Object.entries(settings).flatMap(([key, value]) => (value && typeof value === 'object'
    ? Object.entries(value).map(([field, v]) => [`${key}.${field}`, v])
    : [[key, value]]));
}

const actions = {
  show(kinovar, values, [file], io) {
    const settings = kinovar.readSettings(file);
    if (values.json) return io.stdout(`${JSON.stringify(settings, null, 2)}\n`);
    const rows = flatten(settings).filter(([, value]) => value !== '');  // no unknown records: no line
    const width = Math.max(...rows.map(([key]) => key.length));
    for (const [key, value] of rows) io.stdout(`${key.padEnd(width)} = ${value}\n`);
  },
  set(kinovar, values, [file, ...assignments], io) {
    const changes = assignments.map(parseSetting);
    kinovar.readSettings(file);  // a missing file or one without settings says so first
    const target = values.out ?? file;
    if (values.out !== undefined) kinovar.ensureFolder(path.dirname(values.out));
    try {
      // On this thread, whole: a signal is handled once the file is written, and its line names it.
      kinovar.writeSettings(target, nest(changes), { from: file, overwrite: values.force });
    } catch (error) {
      if (error instanceof RangeError) throw new UsageError(`nothing written: ${error.message}`);
      throw error;
    }
    require('../interrupt').noteWritten(target);
    io.say(`wrote ${target}: ${assignments.join(' ')}\n`);
    // A rate set that the clock does not divide makes recordings whose classic CSV times run slow.
    const changed = (name) => changes.some(([key]) => key === 'frequency' || key === `${name}.frequency`);
    if (['accel', 'gyro', 'baro'].some(changed)) {
      const written = kinovar.readSettings(target);
      const rates = Object.fromEntries(['accel', 'gyro', 'baro'].filter(changed).map((name) => [name, written[name]?.frequency]));
      for (const name of require('../../lib/checks/outcomes').ratesOffClock(written.frequency, rates)) {
        io.warn(`warning ${target}: ${name}.frequency=${rates[name]} does not divide the ${written.frequency} Hz clock; ` +
          'the classic CSV will put its samples a whole number of rows apart and its Time column will run slow ' +
          'for them (plain, parquet, opensense and load() keep true time)\n');
      }
    }
  },
  'device-id'(kinovar, values, [file], io) {
    io.stdout(`${kinovar.readDeviceId(file)}\n`);
  },
};

// What each action takes, said when it gets something else.
const arity = {
  show: [(n) => n === 1, 'config show takes one file'],
  set: [(n) => n >= 2, 'config set takes a file and at least one key=value'],
  'device-id': [(n) => n === 1, 'config device-id takes one file'],
};

async function run(args, io) {
  const [action, ...rest] = args;
  // Bare "kinovar config" is a command line left unfinished, as bare "kinovar" is.
  if (action === undefined) return io.stderr(help()), USAGE;
  if (action === '--help' || action === '-h' || action === 'help') return io.stdout(help()), OK;
  if (!Object.hasOwn(actions, action)) {
    throw new UsageError(`unknown config action ${action}${didYouMean(action, Object.keys(actions))}\n\n${help()}`);
  }
  const { values, positionals } = parse('config', rest, options[action], io);
  if (values.help) return io.stdout(help()), OK;
  const [fits, words] = arity[action];
  if (!fits(positionals.length)) throw new UsageError(`${words}\n\n${help()}`);
  actions[action](lib(), values, positionals, io);
  // A signal that came during the write is handled now, before the process could end without a word.
  if (action === 'set') await new Promise(setImmediate);
  return OK;
}

module.exports = { summary, get help() { return help(); }, options, run };
