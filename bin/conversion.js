'use strict';
// The conversion flags every converting command shares: their help, their
// API options, and the library's checks of them worded by flags; a BIDS
// dataset's labels.
const fs = require('node:fs');
const { lib, OK, UsageError, didYouMean } = require('./shared');
const { progressBar } = require('./progress');

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
const FLAG_OF = {
  overwrite: 'force', imuNames: 'imu-names', validHours: 'valid-hours',
  'nonwear.sdMg': 'nonwear-sd', 'nonwear.rangeMg': 'nonwear-range', 'nonwear.windowMinutes': 'nonwear-window',
};
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

module.exports = {
  CONVERSION_FLAGS, BIDS, BIDS_FLAGS, bidsHelp, bidsOptions, writeBids, ORIENTATION_HELP, CALIBRATE_HELP, TIME_HELP, DURABLE_HELP, CLOCK_HELP,
  conversionOptions, checked,
};
