'use strict';
// What the commands share: exit codes, argument checks and terminal output.
// A command writes only through its io object, { stdout(text), stderr(text),
// isTTY (standard error is a terminal), env, cwd }, so that it runs the same
// in-process as from a shell. execute adds say(text) and warn(text) for what
// --quiet silences: summaries on standard output, warnings on standard error;
// stdout and stderr carry what was asked for and the errors. Paths go to the
// library as given, so that messages name them as the user wrote them; only
// demo's folder, which it prints whole, is resolved against cwd.
const fs = require('node:fs');
const path = require('node:path');
const { parseArgs } = require('node:util');

// The library loads the native module: only once a command needs it, so that
// the version and the help (all but config's, which lists the library's
// settings keys) come even where it is not built.
const lib = () => require('../lib');

const OK = 0;
const FAILED = 1;
const USAGE = 2;

/** The command line itself is wrong: exit code 2. */
class UsageError extends Error {}

/** Edits from a to b, a swap of neighbours counting as one, letter case aside. */
function distance(a, b) {
  const [x, y] = [a.toLowerCase(), b.toLowerCase()];
  const d = Array.from({ length: x.length + 1 }, (_, i) => [i, ...Array(y.length).fill(0)]);
  for (let j = 1; j <= y.length; j++) d[0][j] = j;
  for (let i = 1; i <= x.length; i++) {
    for (let j = 1; j <= y.length; j++) {
      d[i][j] = Math.min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] === y[j - 1] ? 0 : 1));
      if (i > 1 && j > 1 && x[i - 1] === y[j - 2] && x[i - 2] === y[j - 1]) d[i][j] = Math.min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[x.length][y.length];
}

/** "; did you mean X?" for the known name nearest a mistyped one, or '' when none is near. */
function didYouMean(word, known) {
  const near = known.map((name) => [distance(word, name), name]).filter(([d]) => d <= Math.max(1, Math.floor(word.length / 3)));
  if (!near.length) return '';
  return `; did you mean ${near.reduce((best, next) => (next[0] < best[0] ? next : best))[1]}?`;
}

// parseArgs's own texts quote unevenly and repeat its internals; ours say
// what was wrong in a line.
function parseMessage(error, command, options) {
  const quoted = /'([^']*)'/.exec(error.message)?.[1] ?? '';
  const see = `(see "kinovar ${command} --help")`;
  switch (error.code) {
    case 'ERR_PARSE_ARGS_UNKNOWN_OPTION': {
      const flags = Object.entries(options).flatMap(([name, { short }]) => [`--${name}`, ...(short ? [`-${short}`] : [])]);
      return `unknown option ${quoted}${didYouMean(quoted, flags)} ${see}`;
    }
    case 'ERR_PARSE_ARGS_INVALID_OPTION_VALUE': return `option ${quoted.replace(/ <value>$/, '')} needs a value ${see}`;
    case 'ERR_PARSE_ARGS_UNEXPECTED_POSITIONAL': return `unexpected argument ${quoted} ${see}`;
    default: return `${error.message} ${see}`;
  }
}

// What every command takes.
const COMMON = { help: { type: 'boolean', short: 'h' }, quiet: { type: 'boolean', short: 'q' } };

// "--seconds -5" is a value that looks like an option to parseArgs: joined as
// "--seconds=-5", it reaches the command's own check, which says what is wanted.
function joinNegatives(args, options) {
  const joined = [];
  for (let i = 0; i < args.length; i++) {
    if (args[i] === '--') return [...joined, ...args.slice(i)];
    const name = /^--([^=]+)$/.exec(args[i])?.[1] ?? Object.keys(options).find((key) => args[i] === `-${options[key].short}`);
    if (options[name]?.type === 'string' && /^-\.?\d/.test(args[i + 1] ?? '')) joined.push(`--${name}=${args[++i]}`);
    else joined.push(args[i]);
  }
  return joined;
}

/**
 * The arguments against a command's options, -h/--help and -q/--quiet always
 * among them; --quiet silences io's say and warn and any progress bar.
 */
function parse(command, args, options, io) {
  const all = { ...COMMON, ...options };
  let parsed;
  try {
    parsed = parseArgs({ args: joinNegatives(args, all), allowPositionals: true, strict: true, options: all });
  } catch (error) {
    throw new UsageError(parseMessage(error, command, all));
  }
  if (parsed.values.quiet && io) Object.assign(io, { say() {}, warn() {}, isTTY: false });
  return parsed;
}

/**
 * Runs a command to its exit code: a wrong command line is told on standard
 * error with code 2, any other failure with code 1.
 */
async function execute(command, args, io) {
  try {
    return await command.run(args, { ...io, say: io.stdout, warn: io.stderr });
  } catch (error) {
    const usage = error instanceof UsageError;
    io.stderr(`kinovar: ${error.message}${usage && error.message.endsWith('\n') ? '' : '\n'}`);
    return usage ? USAGE : FAILED;
  }
}

const CONVERSION_FLAGS = {
  format: { type: 'string' }, orientation: { type: 'string' }, force: { type: 'boolean' },
  time: { type: 'string' }, timezone: { type: 'string' }, resample: { type: 'string' }, durable: { type: 'boolean' },
  calibrate: { type: 'string' },
};

// --calibrate, in the help of every command that converts or draws recordings.
const CALIBRATE_HELP = `  --calibrate <c>    auto (default; the classic CSV: off): fit the accelerometer and
                       the gyroscope's bias on the recording's still moments; off: raw;
                     FILE.json: the calibration kinovar calibrate -o wrote for this
                       device (--force applies another device's); docs/calibration.md
`;

// --durable, in the help of every command that writes outputs.
const DURABLE_HELP = `  --durable          force each output to the disk before it takes its name (slower;
                       a power cut then cannot leave a named file without its data)
`;

// The library's options as this command line spells them, where it spells them otherwise.
const FLAG_OF = { overwrite: 'force', imuNames: 'imu-names' };
const flag = (key) => `--${FLAG_OF[key] ?? key}`;

/** How the command line words the library's checks: by its flags (see the library's libraryWords). */
const FLAG_WORDS = {
  option: flag,
  about: (key) => (key ? `${flag(key)}: ` : ''),
  given: (key, value) => `${flag(key)} ${value}`,
  list: (values) => values,
  shown: (value) => `"${value}"`,
  hint: (value, values) => (typeof value === 'string' ? didYouMean(value, values) : ''),
};

/**
 * Runs one of the library's checks of a request, `check(words)`, in the
 * command line's words: what it refuses is a wrong command line (exit 2).
 */
function checked(check) {
  try {
    return check(FLAG_WORDS);
  } catch (error) {
    if (error instanceof TypeError || error instanceof RangeError || error.code === lib().codes.BIDS_LABEL) {
      throw new UsageError(error.message);
    }
    throw error;
  }
}

// A number given as text, or the text itself, which the library's check then names.
const numberOrText = (text) => (text.trim() !== '' && Number.isFinite(Number(text)) ? Number(text) : text);

/**
 * The API options of the conversion flags, as given: letter case aside for
 * the names, numbers as numbers. The library checks them (see checked).
 */
function conversionOptions(values) {
  const options = {};
  const lower = (key) => values[key]?.toLowerCase();
  if (values.format !== undefined) options.format = FORMAT_ALIASES[lower('format')] ?? lower('format');
  if (values.orientation !== undefined) options.orientation = values.orientation;
  if (values.calibrate !== undefined) {
    options.calibrate = ['auto', 'off'].includes(lower('calibrate')) ? lower('calibrate') : values.calibrate;
  }
  if (values.force) options.overwrite = true;
  if (values.durable) options.durable = true;
  if (values.time !== undefined) options.time = lower('time');
  if (values.resample !== undefined) options.resample = numberOrText(values.resample);
  if (values.timezone !== undefined) options.timezone = values.timezone;
  if (values.clock !== undefined) options.clock = lower('clock');
  return options;
}

// The estimators in the help texts, the library's default first; read from
// its schema, which loads no native module, so that the help comes without one.
const { ESTIMATORS, DEFAULT_ESTIMATOR, CLOCKS, DEFAULT_CLOCK, BIDS, FORMAT_ALIASES } = require('../lib/model/schema');
const ESTIMATOR_WORDS = {
  accurate: "learns the gyroscope's bias",
  classic: "the sensor software's filter, as the native read() writes",
  none: 'no columns',
};
const ORIENTATION_HELP = `  --orientation <e>  how the orientation is estimated (see docs/orientation.md):
${[DEFAULT_ESTIMATOR, ...ESTIMATORS.filter((e) => e !== DEFAULT_ESTIMATOR)]
    .map((e) => `                     ${e} (${e === DEFAULT_ESTIMATOR ? 'default; ' : ''}${ESTIMATOR_WORDS[e]})`).join('\n')}
`;

// --time and --timezone, in the help of the commands that write tables.
const TIME_HELP = `  --time <t>         relative (default): time in seconds from the first sample
                       (a set: from its common window's start);
                     absolute: plain and parquet get a datetime column too, the
                       recording's creation time standing at its first sample
  --timezone <zone>  with --time absolute: the IANA zone the sensor's clock was set
                       in (Europe/Paris); the datetime is then UTC. Without it:
                       the sensor's local time, with no offset
  --resample <Hz>    plain, parquet, opensense: the sensors and orientation on a
                       uniform grid from the first sample (a set: from its window
                       start), interpolated; low-passed first to a lower rate;
                       nothing across a gap (see docs/analysis.md)
`;

// --clock, in the help of the commands that convert sets; its values are the library's schema's.
const CLOCK_WORDS = {
  drift: "each by its clock's measured rate, on the first one's grid",
  offset: 'one offset each, the rows of the native readAndSync2',
};
const CLOCK_HELP = `  --clock <c>        how the recordings go onto one clock (see docs/sync.md):
${[DEFAULT_CLOCK, ...CLOCKS.filter((c) => c !== DEFAULT_CLOCK)]
    .map((c) => `                     ${c} (${c === DEFAULT_CLOCK ? 'default; ' : ''}${CLOCK_WORDS[c]})`).join('\n')}
`;

/** The --orientation value as an API option. */
function orientationOption(text) {
  if (text === undefined) return {};
  const { estimators } = lib();
  if (!estimators.includes(text)) throw new UsageError(`--orientation must be one of ${estimators.join(', ')}, not "${text}"`);
  return { orientation: text };
}

function positiveInteger(text, name) {
  if (!/^\d+$/.test(text) || Number(text) < 1) throw new UsageError(`${name} must be a whole number from 1 up, not "${text}"`);
  return Number(text);
}

function isFolder(file) {
  try {
    return fs.statSync(file).isDirectory();
  } catch {
    return false;  // missing, or a part of its path is no folder: the API says which
  }
}

/** A path ending in a separator, or an existing folder. */
const isFolderTarget = (target) => /[\\/]$/.test(target) || isFolder(target);

// Windows shells hand a pattern over as typed: '*', '?' and [classes] in the
// last part of a path are matched here as a POSIX shell would.
const PATTERN = /[*?[]/;
function patternRegExp(pattern) {
  const source = pattern.replace(/\[(!|\^)?([^\]]+)\]|[*?]|[^*?[]+|\[/g, (part, negate, set) => {
    if (set !== undefined) return `[${negate ? '^' : ''}${set.replace(/[\\^]/g, '\\$&')}]`;
    if (part === '*') return '.*';
    if (part === '?') return '.';
    return part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  });
  return new RegExp(`^${source}$`, process.platform === 'win32' ? 'i' : '');
}

/**
 * The inputs with each pattern replaced by the files it matches, sorted; a
 * name that exists as given is taken as it is.
 */
function expandPatterns(inputs) {
  return inputs.flatMap((input) => {
    const name = path.basename(input);
    if (!PATTERN.test(name) || fs.existsSync(input)) return [input];
    const folder = input.slice(0, input.length - name.length);
    const match = patternRegExp(name);
    let entries;
    try {
      entries = fs.readdirSync(folder || '.');
    } catch {
      entries = [];
    }
    // As in a shell, a leading dot is matched only by a dot.
    const found = entries.filter((entry) => match.test(entry) && (!entry.startsWith('.') || name.startsWith('.'))).sort();
    if (!found.length) throw new Error(`${input} matches no file; check the pattern and the folder`);
    return found.map((entry) => folder + entry);
  });
}

// A folder where a recording was expected gets the hint to name its files.
function checkInputs(recordings) {
  for (const file of recordings) {
    if (isFolder(file)) {
      throw new UsageError(`${file} is a folder; to convert the recordings in it, give ${file.replace(/[\\/]+$/, '')}/*.bin`);
    }
  }
}

/**
 * A one-line bar on a terminal's standard error for work that lasts: drawn
 * once it has run about a second (io.progressDelay ms), redrawn as it goes,
 * and wiped at the end; nothing when standard error is not a terminal or
 * with --quiet. update(fraction, label, count): fraction from 0 to 1, or
 * null when only the stage is known; a long label loses its start, never
 * the count before it ("3/10"). firstLabel and firstCount: what the bar says
 * until the first update, so that it appears on time even when the work's
 * first pass reports nothing.
 */
function progressBar(io, enabled, firstLabel = '', firstCount = '') {
  if (!enabled || !io.isTTY) return { update() {}, done() {} };
  const start = Date.now();
  const delay = io.progressDelay ?? 1000;
  let state = [0, firstLabel, firstCount];
  let drawn = '';
  const draw = () => {
    if (Date.now() - start < delay) return;
    const [fraction, label, count] = state;
    const width = 30;
    const filled = fraction === null ? 0 : Math.round(Math.min(1, fraction) * width);
    const name = label.length > 40 ? `...${label.slice(-37)}` : label;
    const line = `\r[${'#'.repeat(filled)}${'.'.repeat(width - filled)}] ${count ? `${count} ` : ''}${name}\x1b[K`;
    if (line !== drawn) io.stderr(line);
    drawn = line;
  };
  // A conversion may report nothing for a while: the bar still appears on time.
  const timer = setInterval(draw, 200);
  timer.unref();
  return {
    update(fraction, label = '', count = '') {
      state = [fraction, label, count];
      draw();
    },
    done() {
      clearInterval(timer);
      if (drawn) io.stderr('\r\x1b[K');
    },
  };
}

// The entities and placements of a BIDS dataset (--format bids); the library checks them.
const BIDS_FLAGS = {
  subject: { type: 'string' }, session: { type: 'string' }, task: { type: 'string' }, run: { type: 'string' },
  acquisition: { type: 'string' }, tracksys: { type: 'string' }, placements: { type: 'string' },
};
// `more`: lines a command adds before the options.
const bidsHelp = (more = '') => `                     bids: a BIDS motion dataset (Motion-BIDS) whose root is -o:
                       the recordings are one tracking system, each a tracked
                       point (see docs/bids.md)${more}; with:
  --subject <label>  the participant (required)
  --task <label>     the task (required)
  --session <label>, --acquisition <label>, --run <n>, --tracksys <label> (default kinovar)
  --placements <f>   a JSON file of each tracked point's placement on the body
`;

/**
 * The BIDS options of the command line, for --format bids only; the
 * placements file read. The labels are the library's to check.
 */
function bidsOptions(values, format) {
  const given = Object.keys(BIDS_FLAGS).filter((key) => values[key] !== undefined);
  if (format !== BIDS) {
    if (given.length) throw new UsageError(`--${given[0]} names a part of a BIDS dataset; it goes with --format bids`);
    return {};
  }
  const options = Object.fromEntries(given.map((key) => [key, values[key]]));
  if (values.placements !== undefined) {
    try {
      options.placements = JSON.parse(fs.readFileSync(values.placements, 'utf8'));
    } catch (error) {
      throw new UsageError(`--placements ${values.placements}: ${error.code ? `cannot be read (${error.code})` : 'is not JSON'}; ` +
        'give a JSON file such as {"pelvis": "left iliac crest"}');
    }
  }
  return options;
}

/** Writes recordings as a BIDS dataset, `write(onProgress)`, and says what was written. */
async function writeBids(write, values, io, label) {
  const bar = progressBar(io, !values.json, label);
  let written;
  try {
    written = await write(({ fraction }) => bar.update(fraction, label));
  } finally {
    bar.done();
  }
  const files = Array.isArray(written) ? [...written] : written.files;
  if (values.json) io.stdout(`${JSON.stringify({ ok: true, files, ...(Array.isArray(written) ? written.report : {}) }, null, 2)}\n`);
  else for (const file of files) io.say(`wrote  ${file}\n`);
  return OK;
}

/** An error as JSON output carries it. */
const describe = (error) => ({ code: error.code ?? error.name, message: error.message });

/** The line naming a recording that failed, and why (once, if the message names it already). */
const failedLine = (recording, { message }) => `failed ${message.includes(recording) ? message : `${recording}: ${message}`}\n`;

module.exports = {
  lib, OK, FAILED, USAGE, UsageError, didYouMean, parse, execute, CONVERSION_FLAGS, BIDS, BIDS_FLAGS, bidsHelp, bidsOptions, writeBids, ORIENTATION_HELP, CALIBRATE_HELP, TIME_HELP, DURABLE_HELP, CLOCK_HELP, conversionOptions, checked, orientationOption,
  positiveInteger, isFolderTarget, expandPatterns, checkInputs, progressBar, describe, failedLine,
};
