'use strict';
// The checks every entry makes before any work: its arguments and options,
// once, in the words callers see.
const path = require('node:path');
const schema = require('../model/schema');
const { ESTIMATORS, DEFAULT_ESTIMATOR, CLOCKS, DEFAULT_CLOCK, FORMATS, DEFAULT_FORMAT, FORMAT_ALIASES, BIDS, MAX_RESAMPLE_HZ, TIMES } = schema;
/** The options of a BIDS dataset, handed on as given and checked where it is written. */
const BIDS_OPTIONS = ['subject', 'session', 'task', 'run', 'acquisition', 'tracksys', 'placements'];

/**
 * How an entry names an option in its messages: the library by the call and
 * the option's key, the command line by its flags (bin/shared.js). The rule
 * and the sentence are one; only these words differ.
 *   option(key)      the option's name, with the call that took it
 *   about(key)       what a message about a given value opens with
 *   given(key, v)    an option set to a value
 *   list(values)     the values allowed
 *   shown(v, plain)  a value refused: `plain` is the library's way of showing it
 *   hint(v, values)  what follows a refused name (the command line suggests one)
 */
const libraryWords = (fn) => ({
  fn,
  option: (key) => `${fn}: options.${key}`,
  about: () => `${fn}: `,
  given: (key, value) => `${key}: '${value}'`,
  list: (values) => values.map((v) => `'${v}'`),
  shown: (value, plain) => plain,
  hint: () => '',
});

const either = (values) => `${values.slice(0, -1).join(', ')} or ${values[values.length - 1]}`;

function requireString(value, fn, name) {
  if (typeof value !== 'string') throw new TypeError(`${fn}: ${name} must be a string, not ${typeof value}`);
}

function requirePaths(value, fn) {
  if (!Array.isArray(value) || !value.every((p) => typeof p === 'string')) {
    throw new TypeError(`${fn}: recordingPaths must be an array of strings`);
  }
}

/** The time options checked: {time, timezone} as given, or nothing. */
function timeOptions(words, { time, timezone } = {}) {
  const checked = {};
  if (time !== undefined) {
    if (!TIMES.includes(time)) {
      throw new TypeError(`${words.option('time')} must be ${either(words.list(TIMES))}, not ${words.shown(time, JSON.stringify(time))}`);
    }
    checked.time = time;
  }
  if (timezone !== undefined) {
    if (time !== 'absolute') throw new TypeError(`${words.option('timezone')} goes with ${words.given('time', 'absolute')}`);
    try {
      new Intl.DateTimeFormat('en-US', { timeZone: timezone });
    } catch {
      throw new RangeError(`${words.option('timezone')} must be an IANA zone name such as "Europe/Paris" or "UTC", ` +
        `not ${words.shown(timezone, JSON.stringify(timezone))}`);
    }
    checked.timezone = timezone;
  }
  return checked;
}

/** Checks `value` against a number rule, keeping it in `checked` under `key`. */
function numberOption(checked, words, key, value, fits, wanted, plain = `${value}`) {
  if (value === undefined) return;
  if (!fits(value)) throw new TypeError(`${words.option(key)} must be ${wanted}, not ${words.shown(value, plain)}`);
  checked[key] = value;
}

/** Checks a value that must be one of `values`, keeping it in `checked` under `key`. */
function oneOfOption(checked, words, key, value, values, sentence = either(words.list(values))) {
  if (value === undefined) return;
  if (!values.includes(value)) {
    const plain = key === 'orientation' ? (typeof value === 'string' ? `'${value}'` : typeof value) : JSON.stringify(value);
    throw new TypeError(`${words.option(key)} must be ${sentence}, not ${words.shown(value, plain)}${words.hint(value, values)}`);
  }
  checked[key] = value;
}

/**
 * The conversion options the native layer takes, checked: only the fields
 * it knows, so that a worker can be handed them as they are. The estimator
 * is always named: the native side's own default is the classic one.
 * @param {string} fn
 * @param {{orientation?: 'classic'|'accurate'|'none', threads?: number, overwrite?: boolean, durable?: boolean,
 *   onProgress?: Function}} [options] onProgress is checked, not passed: a worker cannot be handed a function
 * @param {object} [words] how the entry names its options (libraryWords)
 */
function conversionOptions(fn, options, words = libraryWords(fn)) {
  if (options === undefined) return { orientation: DEFAULT_ESTIMATOR };
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  // A BIDS dataset's scans table states when each run began: its time is always absolute.
  const checked = timeOptions(words, options.format === BIDS ? { ...options, time: 'absolute' } : options);
  numberOption(checked, words, 'threads', options.threads, (n) => Number.isInteger(n) && n >= 1 && n <= 1024,
    'a whole number from 1 to 1024');
  numberOption(checked, words, 'resample', options.resample, (n) => typeof n === 'number' && n > 0 && n <= MAX_RESAMPLE_HZ,
    `samples per second above 0 (up to ${MAX_RESAMPLE_HZ})`);
  // Rows per Parquet row group and per piece of OpenSim's table: undocumented, for tests that cut small pieces.
  numberOption(checked, words, 'rowGroupRows', options.rowGroupRows, (n) => Number.isInteger(n) && n >= 1, 'a whole number above 0');
  for (const key of ['overwrite', 'durable']) {
    if (options[key] === undefined) continue;
    if (typeof options[key] !== 'boolean') throw new TypeError(`${words.option(key)} must be true or false`);
    checked[key] = options[key];
  }
  // Undocumented, for tests: pieces of that many samples, which change no byte.
  if (Number.isInteger(options.chunkSamples) && options.chunkSamples > 0) checked.chunkSamples = options.chunkSamples;
  if (options.onProgress !== undefined && typeof options.onProgress !== 'function') {
    throw new TypeError(`${words.option('onProgress')} must be a function`);
  }
  oneOfOption(checked, words, 'clock', options.clock, CLOCKS);
  const { calibrate } = options;
  if (calibrate !== undefined && (typeof calibrate !== 'string' || calibrate === '')) {
    throw new TypeError(`${words.option('calibrate')} must be ${either([...words.list(['auto', 'off']), "a calibration file's path"])}, ` +
      `not ${words.shown(calibrate, JSON.stringify(calibrate))}`);
  }
  if (calibrate !== undefined) checked.calibrate = calibrate;
  const { orientation = DEFAULT_ESTIMATOR } = options;
  oneOfOption(checked, words, 'orientation', orientation, ESTIMATORS, `one of ${words.list(ESTIMATORS).join(', ')}`);
  return { orientation, ...checked };
}

/** A viewer page's options that a recording's conversion shares, checked as conversionOptions checks them. */
function viewOptions(fn, { orientation, calibrate } = {}, words = libraryWords(fn)) {
  conversionOptions(fn, { orientation, calibrate }, words);
}

/**
 * The native conversion's progress(fraction) for options.onProgress: called
 * with {fraction} only when the fraction grew, and with 1 once at the end.
 * @returns {((fraction: number) => void) | undefined}
 */
function progressOf(options) {
  const onProgress = options?.onProgress;
  if (typeof onProgress !== 'function') return undefined;
  let last = -1;
  return (fraction) => {
    const f = Math.min(1, Math.max(0, fraction));
    if (f <= last) return;
    last = f;
    onProgress({ fraction: f });
  };
}

/**
 * The part of a recording asked for: rows with from <= time < to, in
 * seconds on the table's time, and only the streams named.
 * @param {string} fn
 * @param {{from?: number, to?: number, streams?: string[]}} [options]
 * @returns {{from: number, to: number, streams?: string[]}}
 */
function rangeOptions(fn, options) {
  if (options === undefined) return { from: -Infinity, to: Infinity };
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  const { from = -Infinity, to = Infinity, streams } = options;
  for (const [name, value] of [['from', from], ['to', to]]) {
    if (typeof value !== 'number' || Number.isNaN(value)) {
      throw new TypeError(`${fn}: options.${name} must be seconds (a number), not ${JSON.stringify(value)}`);
    }
  }
  if (from > to) throw new RangeError(`${fn}: options.from (${from} s) comes after options.to (${to} s); give the earlier time first`);
  if (streams === undefined) return { from, to };
  const known = Object.keys(schema.STREAMS);
  if (!Array.isArray(streams) || streams.some((s) => !known.includes(s))) {
    throw new TypeError(`${fn}: options.streams must be an array of stream names among ${known.map((s) => `'${s}'`).join(', ')}, ` +
      `not ${JSON.stringify(streams)}`);
  }
  return { from, to, streams };
}

/**
 * The calibration a conversion applies: as asked, else fitted on the
 * recording itself ('auto'), except for the classic CSV, which keeps the
 * raw samples it always had. The default is chosen here, for every entry.
 * The native side takes 'off', 'auto' or a file's path; overwrite
 * (--force) also applies a file fitted on another device.
 */
function calibrationOf(checked, format) {
  if (checked.calibrate !== undefined) return checked;
  return { ...checked, calibrate: format === 'classic' ? 'off' : 'auto' };
}

/** A set's conversion options: aligned by drift unless asked otherwise. */
const setOptions = (checked) => ({ ...checked, clock: checked.clock ?? DEFAULT_CLOCK });

/** Every option of a conversion, checked, as a worker is handed them. */
function outputOptions(fn, options) {
  const checked = conversionOptions(fn, options);
  for (const key of ['format', 'overwrite', 'imuNames', ...BIDS_OPTIONS]) if (options?.[key] !== undefined) checked[key] = options[key];
  return checked;
}

/**
 * The format an options object asks for, by its own name; a target ending
 * in .parquet or .sto chooses its own, anything else is the plain table.
 * `listed`: the formats a refusal names, where the entry takes more than `allowed` (BIDS).
 */
function formatOf(options, target, fn, allowed = FORMATS, words = libraryWords(fn), listed = allowed) {
  let format = FORMAT_ALIASES[options?.format] ?? options?.format;
  if (format === undefined) {
    const extension = path.extname(target ?? '').toLowerCase();
    format = extension === '.parquet' ? 'parquet' : extension === '.sto' && allowed.includes('opensense') ? 'opensense' : DEFAULT_FORMAT;
  }
  if (!allowed.includes(format)) {
    throw new RangeError(`${words.option('format')} must be one of ${words.list(listed).join(', ')}, ` +
      `not ${words.shown(options?.format, JSON.stringify(format))}${words.hint(options?.format, listed)}`);
  }
  return format;
}

module.exports = {
  libraryWords, requireString, requirePaths, conversionOptions, viewOptions, calibrationOf, setOptions, rangeOptions, outputOptions, progressOf, formatOf,
};
