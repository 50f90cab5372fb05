'use strict';
const path = require('node:path');
const { lib, OK, FAILED, UsageError, parse, positiveInteger, describe, failedLine } = require('../shared');
const { DURABLE_HELP, CALIBRATE_HELP, checked } = require('../conversion');
const { isFolderTarget, expandPatterns, checkInputs } = require('../inputs');
const { progressBar } = require('../progress');

const summary = [['epochs <recording>...', 'activity per epoch, non-wear and days']];

// The epoch's length and the non-wear rule, as epochs and batch --epochs take them.
const EPOCH_HELP = `  --epoch <s>        the epoch's length in seconds, 1 to 3600 (default 5)
  --nonwear <on|off> find non-wear (default on): 60 min windows stepping by 15,
                     non-wear where two axes have SD and range below the thresholds
  --nonwear-sd <mg>  the SD threshold (default 13 mg)
  --nonwear-range <mg> the range threshold (default 150 mg)
  --nonwear-window <min> the window (default 60 minutes; it steps by a quarter)
`;
const VALID_HOURS_HELP = `  --valid-hours <h>  hours worn that make a day valid (default 16)
`;
const EPOCH_FLAGS = {
  epoch: { type: 'string' }, nonwear: { type: 'string' }, 'nonwear-sd': { type: 'string' }, 'nonwear-range': { type: 'string' },
  'nonwear-window': { type: 'string' }, 'valid-hours': { type: 'string' },
};

const help = `usage: kinovar epochs <recording>... [-o <file-or-folder>] [--epoch S] [--nonwear on|off]
                     [--nonwear-sd MG] [--nonwear-range MG] [--nonwear-window MIN]
                     [--time absolute [--timezone Z]] [--days <file-or-folder>] [--valid-hours H]
                     [--calibrate C] [--jobs N] [--force] [--durable] [--json] [--quiet]

Summarises each recording in epochs: one row per epoch with the accelerometer
samples it holds, ENMO, MAD, anglez, each axis's mean and SD, clipped samples
and non-wear (docs/epochs.md gives every formula).

options:
  -o, --out <path>   the output file (.csv: a plain CSV; .parquet), for one
                     recording; a path ending in "/" or an existing folder:
                     <name>.epochs.csv in it. Default: beside each recording
${EPOCH_HELP}  --time <t>         relative (default): time in seconds from the first sample;
                     absolute: a datetime column too, epochs at whole clock times
  --timezone <zone>  with --time absolute: the IANA zone the sensor's clock was set
                     in (Europe/Paris): days are its local calendar days
  --days <path>      one row per day as a plain CSV (a folder: <name>.days.csv):
                     hours recorded, worn, not worn and clipped, worn ENMO, valid.
                     Without --timezone days run 24 h from the first epoch
${VALID_HOURS_HELP}${CALIBRATE_HELP}  --force            replace an existing file that kinovar did not write
${DURABLE_HELP}  -j, --jobs <N>     recordings summarised at once (default: the number of cores)
  --json             print each recording's report as JSON: worn and not-worn
                     hours, valid days, the epoch count
  -q, --quiet        print nothing but errors
  -h, --help         this text
`;

const options = {
  out: { type: 'string', short: 'o' }, jobs: { type: 'string', short: 'j' }, json: { type: 'boolean' }, ...EPOCH_FLAGS,
  time: { type: 'string' }, timezone: { type: 'string' }, days: { type: 'string' },
  force: { type: 'boolean' }, durable: { type: 'boolean' }, calibrate: { type: 'string' },
};

const number = (text, flag) => {
  const value = Number(text);
  if (text === '' || Number.isNaN(value)) throw new UsageError(`${flag} must be a number, not "${text}"`);
  return value;
};

/** The API's options from the command line, checked by the library's own rules. */
function epochOptions(values) {
  const chosen = {};
  if (values.epoch !== undefined) chosen.epoch = number(values.epoch, '--epoch');
  if (values.nonwear !== undefined && !['on', 'off'].includes(values.nonwear.toLowerCase())) {
    throw new UsageError(`--nonwear must be on or off, not "${values.nonwear}"`);
  }
  if (values.nonwear?.toLowerCase() === 'off') {
    chosen.nonwear = false;
  } else {
    chosen.nonwear = {};
    for (const [flag, key] of [['nonwear-sd', 'sdMg'], ['nonwear-range', 'rangeMg'], ['nonwear-window', 'windowMinutes']]) {
      if (values[flag] !== undefined) chosen.nonwear[key] = number(values[flag], `--${flag}`);
    }
  }
  if (values.time !== undefined) chosen.time = values.time.toLowerCase();
  if (values.timezone !== undefined) chosen.timezone = values.timezone;
  if (values['valid-hours'] !== undefined) chosen.validHours = number(values['valid-hours'], '--valid-hours');
  if (values.days !== undefined) chosen.days = 'days.csv';  // its own path comes per recording
  if (values.calibrate !== undefined) chosen.calibrate = values.calibrate;
  if (values.force) chosen.overwrite = true;
  if (values.durable) chosen.durable = true;
  checked((words) => require('../../lib/pipeline/epochs').checkEpochOptions(chosen, words));
  return chosen;
}

/** Where a recording's file goes: the file named, <name><suffix> in a folder, or beside the recording. */
function placed(out, recording, suffix) {
  const stem = path.basename(recording, path.extname(recording));
  if (out === undefined) return path.join(path.dirname(recording), `${stem}${suffix}`);
  return isFolderTarget(out) ? path.join(out, `${stem}${suffix}`) : out;
}

async function run(args, io) {
  const { values, positionals } = parse('epochs', args, options, io);
  if (values.help) return io.stdout(help), OK;
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help}`);
  const jobs = values.jobs === undefined ? undefined : positiveInteger(values.jobs, '--jobs');
  const chosen = epochOptions(values);
  const recordings = expandPatterns(positionals);
  checkInputs(recordings);
  for (const [flag, out] of [['-o', values.out], ['--days', values.days]]) {
    if (out !== undefined && recordings.length > 1 && !isFolderTarget(out)) {
      throw new UsageError(`${flag} ${out} names one file, but ${recordings.length} recordings need a folder: end it with "/"`);
    }
  }
  const kinovar = lib();
  for (const out of [values.out, values.days]) if (out !== undefined) kinovar.ensureFolder(isFolderTarget(out) ? out : path.dirname(out));
  const items = recordings.map((recording) => ({
    recording,
    output: placed(values.out, recording, '.epochs.csv'),
    days: values.days === undefined ? undefined : placed(values.days, recording, '.days.csv'),
  }));
  const bar = progressBar(io, !values.json, '', `0/${items.length}`);
  const fractions = new Map();
  let done = 0;
  const results = [];
  const queue = [...items];
  const worker = async () => {
    for (let item; (item = queue.shift());) {
      const onProgress = ({ fraction }) => {
        fractions.set(item.recording, fraction);
        bar.update((done + [...fractions.values()].reduce((a, b) => a + b, 0)) / items.length, item.recording, `${done}/${items.length}`);
      };
      try {
        const report = await kinovar.promises.epochs(item.recording, item.output, { ...chosen, days: item.days, onProgress });
        results.push({ ...item, ok: true, report });
      } catch (error) {
        results.push({ ...item, ok: false, error });
      }
      fractions.delete(item.recording);
      done++;
    }
  };
  try {
    await Promise.all(Array.from({ length: Math.min(items.length, jobs ?? items.length) }, worker));
  } finally {
    bar.done();
  }
  results.sort((a, b) => items.indexOf(items.find((i) => i.recording === a.recording)) - items.indexOf(items.find((i) => i.recording === b.recording)));
  const failed = results.filter((r) => !r.ok);
  if (values.json) {
    io.stdout(`${JSON.stringify(results.map((r) => (r.ok
      ? { recording: r.recording, output: r.output, days: r.days, ok: true, report: r.report }
      : { recording: r.recording, output: r.output, ok: false, error: describe(r.error) })), null, 2)}\n`);
    return failed.length ? FAILED : OK;
  }
  for (const r of results) {
    if (!r.ok) continue;
    const { epochs, wornHours, notWornHours, validDays, calibration } = r.report;
    io.say(`wrote  ${r.output}${r.days ? ` and ${r.days}` : ''}  (${epochs} epochs, ${wornHours.toFixed(1)} h worn, ` +
      `${notWornHours.toFixed(1)} h not worn${r.days ? `, ${validDays} valid day${validDays === 1 ? '' : 's'}` : ''}` +
      `${calibration ? `, ${calibration.applied ? 'calibrated' : 'raw'}` : ''})\n`);
  }
  for (const r of failed) io.stderr(failedLine(r.recording, r.error));
  const line = `${results.length - failed.length} of ${results.length} recording${results.length === 1 ? '' : 's'} summarised`;
  if (failed.length) io.stderr(`${line}, ${failed.length} failed\n`);
  else io.say(`${line}\n`);
  return failed.length ? FAILED : OK;
}

module.exports = { summary, help, options, run, EPOCH_HELP, VALID_HOURS_HELP, EPOCH_FLAGS, epochOptions };
