'use strict';
const { lib, OK, FAILED, UsageError, parse, describe } = require('../shared');
const {
  CONVERSION_FLAGS, ORIENTATION_HELP, CALIBRATE_HELP, TIME_HELP, DURABLE_HELP, CLOCK_HELP, conversionOptions, checked, BIDS, BIDS_FLAGS, bidsHelp, bidsOptions, writeBids,
} = require('../conversion');
const { expandPatterns, checkInputs } = require('../inputs');
const { progressBar } = require('../progress');

const summary = [['sync <recording>... -o <dir>', 'convert recordings made together, on one time base']];

const help = `usage: kinovar sync <recording>... -o <folder> [--format F] [--orientation E] [--clock C] [--time T [--timezone Z]] [--resample Hz] [--force] [--durable] [--json] [--quiet]

Converts recordings that several sensors made at the same time: puts them on
one time base (by their time marks or radio data), cuts them to the time
they have in common and writes <folder>/<name>.csv for each.

options:
  -o, --out <folder> where the files go (created if missing); required
  --format <F>       plain (default), classic or parquet: one file per recording;
                     opensense: one OpenSim orientation table of the whole set,
                       <folder>/orientations.sto, for OpenSim's IMU placer and
                       inverse kinematics (see docs/analysis.md)
${bidsHelp()}  --imu-names <a,b>  the table's sensor names, in the order of the recordings
                     (default: <name>_imu; bids: <name>); OpenSim matches them to the model
${ORIENTATION_HELP}${CALIBRATE_HELP}${CLOCK_HELP}${TIME_HELP}  --force            replace an output file that kinovar did not write
${DURABLE_HELP}  --json             print what was done as JSON: {"ok":true, "files", "method",
                     "clock", "offsets", "window", "samples", "events", "clocks"}, or
                     the error with its "cause"
  -q, --quiet        print nothing but errors
  -h, --help         this text

The method (time marks, radio settings or radio stream) is chosen by the
first recording. Each recording's clock rate against the common one is
measured with its uncertainty (radio settings give none, and their sets
keep one offset); where clocks slip a whole sample against the grid, a
sample is skipped or repeated, and a row with no sample of a recording
near its instant (a gap) is left empty, counted per recording. Aligned by offset, a warning says where
that leaves a recording more than half a sample off at the window's end.
See docs/sync.md.
`;

const options = {
  out: { type: 'string', short: 'o' }, json: { type: 'boolean' }, 'imu-names': { type: 'string' }, clock: { type: 'string' }, ...CONVERSION_FLAGS, ...BIDS_FLAGS,
};

// The most slips of any stream: the rows' streams slip alike, a slower one less often.
function slipWords({ skipped, repeated, empty }) {
  const most = (counts) => Math.max(0, ...Object.values(counts ?? {}));
  const gaps = most(empty) ? `, ${most(empty)} row${most(empty) === 1 ? '' : 's'} empty (no sample near)` : '';
  return `${most(skipped)} sample${most(skipped) === 1 ? '' : 's'} skipped, ${most(repeated)} repeated${gaps}`;
}

// A rate and its uncertainty, and where the rate is lost in it, what the alignment rests on.
function rateWords(clock, report) {
  const ppm = `${clock.ppm >= 0 ? '+' : ''}${clock.ppm.toFixed(1)}`;
  const rate = `clock ${ppm} ± ${clock.ppmUncertainty.toFixed(1)} ppm`;
  if (clock.rateSignificant) return rate;
  const { start, end } = report.window;
  const spreadMs = clock.ppmUncertainty * 1e-6 * Math.max(end - start, 0) * 1000;
  const source = clock.measured === 'time-marks' ? 'the time marks' : 'the radio pairs';
  return `${rate}, not significant: the alignment rests on the offset from ${source}, ` +
    `and may be ${spreadMs.toFixed(1)} ms off at the window's end`;
}

const methodWords = { 'time-marks': 'time marks', 'radio-settings': 'radio settings', 'radio-stream': 'radio stream' };
const seconds = (value) => `${value.toFixed(3)} s`;
const signed = (value) => `${value < 0 ? '-' : '+'}${seconds(Math.abs(value))}`;

async function run(args, io) {
  const { values, positionals: given } = parse('sync', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (given.length === 0) throw new UsageError(`no recording given\n\n${help}`);
  if (!values.out) throw new UsageError(`-o <folder> is required\n\n${help}`);
  const conversion = conversionOptions(values);
  Object.assign(conversion, bidsOptions(values, conversion.format));
  const positionals = expandPatterns(given);
  if (values['imu-names'] !== undefined) {
    if (conversion.format !== 'opensense' && conversion.format !== BIDS) {
      throw new UsageError('--imu-names names the columns of --format opensense or the tracked points of --format bids only');
    }
    conversion.imuNames = values['imu-names'].split(',');
  }
  checked((words) => require('../../lib/checks/request').setRequest('sync', positionals, values.out, conversion, words));
  checkInputs(positionals);
  if (conversion.format === BIDS) {
    return writeBids((onProgress) => kinovar.promises.syncRecordings(positionals, values.out, { ...conversion, onProgress }),
      values, io, `${positionals.length} recordings`);
  }
  let report;
  const bar = progressBar(io, !values.json, `${positionals.length} recordings`);
  try {
    // The folder is made before any recording is read, and removed again if the set fails.
    ({ report } = await kinovar.promises.syncRecordings(positionals, values.out,
      { ...conversion, onProgress: ({ fraction }) => bar.update(fraction, `${positionals.length} recordings`) }));
  } catch (error) {
    bar.done();
    if (!error.status) throw error;
    if (values.json) {
      io.stdout(`${JSON.stringify({ ok: false, status: error.status, ...describe(error), cause: error.cause }, null, 2)}\n`);
    } else io.stderr(`kinovar sync: ${error.message}\n`);
    return FAILED;
  }
  bar.done();
  if (values.json) {
    io.stdout(`${JSON.stringify({ ok: true, ...report }, null, 2)}\n`);
    return OK;
  }
  // One file per recording, or one table for the whole set.
  const each = report.files.length === report.recordings.length;
  report.recordings.forEach((recording, i) => {
    const kept = Object.entries(report.samples[i]).map(([stream, n]) => `${n} ${stream}`).join(', ');
    const clock = report.clocks[i];
    const pieces = clock.pieces > 1 ? ` (radio pairs jump: ${clock.pieces} pieces fitted apart, the longest taken)` : '';
    const rate = clock.measured === 'master' ? 'the common clock'
      : clock.rateMeasured ? `${rateWords(clock, report)}${pieces}` : 'clock rate not measured';
    const slips = report.clock === 'drift' ? `; ${slipWords(clock)}` : '';
    io.say(`${each ? `wrote  ${report.files[i]}` : recording}  (offset ${signed(report.offsets[i])}; ${rate}${slips}; ${kept}; ` +
      `${report.events[i]} events)\n`);
  });
  // Half a sample of the fastest stream kept, whose rows drift first.
  const { start: from, end: to } = report.window;
  const fastest = Math.max(...report.samples.flatMap((kept) => Object.values(kept))) / Math.max(to - from, 1e-9);
  const halfSampleMs = 500 / fastest;
  report.clocks.forEach((clock, i) => {
    if (report.clock === 'drift' || !(clock.offsetOnlyAtEndMs > halfSampleMs)) return;
    const span = halfSampleMs / 1000 / (Math.abs(clock.ppm) * 1e-6);
    io.stderr(`kinovar sync: warning: ${report.recordings[i]} is ${clock.offsetOnlyAtEndMs.toFixed(1)} ms off at the ` +
      `window's end (its clock runs ${clock.ppm.toFixed(1)} ppm apart), more than half a sample; its rows hold ` +
      `within half a sample for about the first ${span.toFixed(0)} s of the window: cut longer recordings into ` +
      `shorter sets, or align by drift${conversion.clock === 'offset' ? ' (leave out --clock offset)' : ''}\n`);
  });
  if (!each) for (const file of report.files) io.say(`wrote  ${file}\n`);
  const { start, end } = report.window;
  io.say(`${report.recordings.length} recordings synchronised by ${methodWords[report.method]}` +
    `${report.clock === 'drift' ? ' and each clock\'s rate' : ''}, ` +
    `common window ${seconds(start)} to ${seconds(end)} (${seconds(end - start)})\n`);
  return OK;
}

module.exports = { summary, help, options, run };
