'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { lib, OK, FAILED, UsageError, parse, positiveInteger, describe, failedLine } = require('../shared');
const {
  CONVERSION_FLAGS, ORIENTATION_HELP, CALIBRATE_HELP, TIME_HELP, DURABLE_HELP, conversionOptions, checked, BIDS, BIDS_FLAGS, bidsHelp, bidsOptions, writeBids,
} = require('../conversion');
const { isFolderTarget, expandPatterns, checkInputs } = require('../inputs');
const { progressBar } = require('../progress');
const { cores } = require('../../lib/workers/cores');

const summary = [['read <recording>...', 'convert recordings to CSV files']];

const help = `usage: kinovar read <recording>... [-o <file-or-folder>] [--format F] [--jobs N] [--orientation E] [--time T [--timezone Z]] [--resample Hz] [--force] [--durable] [--json] [--quiet]

Converts each recording into a CSV file (time, gyroscope, accelerometer,
pressure, events and orientation), several at once. To convert every
recording of a folder, give "folder/*.bin" (kinovar expands the pattern itself
when the shell has not).

options:
  -o, --out <path>   a path ending in "/" or an existing folder: the folder to
                     write <name>.csv (or .parquet) into, created if missing;
                     anything else: the output file itself, for one recording only,
                     its extension that of the format (.csv or .parquet);
                     "-": standard output, for one recording in a CSV format.
                     Default: each output beside its recording, named after it.
  --format <F>       plain (default): a CSV with one header row that pandas, R
                       and MATLAB read with no arguments (<name>.csv);
                     classic: the sensor software's export, a row per clock
                       tick under its own header block (<name>.csv; "csv",
                       its name in 0.1, still gives it);
                     parquet: the same table in a compressed, typed file
                       (<name>.parquet; chosen too by an -o file ending in .parquet)
${bidsHelp()}  --force            replace an existing file that kinovar did not write
                     (without it such files are refused)
${DURABLE_HELP}  -j, --jobs <N>     recordings converted at once (default: ${cores()}, the number of cores)
${ORIENTATION_HELP}${CALIBRATE_HELP}${TIME_HELP}  --json             print the results as JSON on standard output, no progress bar
  -q, --quiet        print nothing but errors (no progress, warnings or summary)
  -h, --help         this text

A recording that cannot be converted does not stop the others; the summary
names it with the reason, and the exit code is then 1. A settings file, or a
recording with no samples, is such a file ("kinovar config show" lists its
settings). A recording with gaps,
duplicate frames, blocks out of order or saturated samples is converted and
gets a one-line warning on standard error ("kinovar inspect" says more). The
classic CSV's Time column counts rows at the clock's period: after a gap, or
for a sensor whose rate does not divide the clock, it is not the samples'
time, which the warning then says; plain and parquet keep the true times.
`;

const options = {
  out: { type: 'string', short: 'o' }, jobs: { type: 'string', short: 'j' }, json: { type: 'boolean' }, ...CONVERSION_FLAGS, ...BIDS_FLAGS,
};

// The formats that write each extension, in words: ".csv (plain, classic) or .parquet (parquet)".
function extensionWords({ formats, extensions }) {
  const by = new Map();
  for (const format of formats) by.set(extensions[format], [...(by.get(extensions[format]) ?? []), format]);
  return [...by].map(([extension, names]) => `${extension} (${names.join(', ')})`).join(' or ');
}

// An -o file's name says what it holds: its extension must be one we write,
// and the one of --format when that is given. A name without one is as given.
function checkExtension(kinovar, file, format) {
  const extension = path.extname(file).toLowerCase();
  if (!extension) return;
  const { formats, extensions } = kinovar;
  if (!formats.some((f) => extensions[f] === extension)) {
    throw new UsageError(`-o ${file}: kinovar writes ${extensionWords(kinovar)} files, not ${extension}; ` +
      `name the file for its format`);
  }
  if (format !== undefined && extensions[format] !== extension) {
    throw new UsageError(`-o ${file} ends in ${extension}, but --format ${format} writes ${extensions[format]} files; ` +
      `name it ${file.slice(0, -extension.length)}${extensions[format]}, or give the format of ${extension}: ` +
      `${formats.filter((f) => extensions[f] === extension).join(' or ')}`);
  }
}

/**
 * A converted recording's warnings: its quality's problems and, in the
 * classic CSV, where its Time column does not give the samples' times.
 */
function warnings(kinovar, info, format, output) {
  const problems = kinovar.qualityProblems(info.quality);
  const classic = require('../../lib/checks/options').formatOf({ format }, output, 'read') === 'classic';
  const time = classic ? require('../../lib/checks/outcomes').classicTimeWarning(info.quality, info.frequency) : '';
  return time ? [...problems, time] : problems;
}

// Standard output may be a pipe, a terminal or a file: the CSV is made in a
// temporary folder and copied out, as it is on every system.
async function toStandardOutput(kinovar, recording, conversion, io) {
  const folder = require('../../lib/native/entry').temporaryFolder();
  try {
    const csv = path.join(folder, 'out.csv');
    const bar = progressBar(io, true, recording);
    let info;
    try {
      info = await kinovar.promises.readRecording(recording, csv, { ...conversion, onProgress: ({ fraction }) => bar.update(fraction, recording) });
    } finally {
      bar.done();
    }
    const problems = warnings(kinovar, info, conversion.format, csv);
    if (problems.length) io.warn(`warning ${recording}: ${problems.join('; ')}\n`);
    const fd = fs.openSync(csv, 'r');
    try {
      const chunk = Buffer.alloc(1 << 20);
      for (let n; (n = fs.readSync(fd, chunk)) > 0;) io.stdout(Buffer.from(chunk.subarray(0, n)));
    } finally {
      fs.closeSync(fd);
    }
  } finally {
    require('../../lib/native/entry').discardTemporary(folder);
  }
  return OK;
}

/** --format bids: one recording, written as a run of the dataset at -o. */
function readBids(kinovar, recordings, conversion, values, io) {
  if (values.out === undefined || values.out === '-') throw new UsageError('--format bids needs -o <folder>, the dataset\'s root');
  if (recordings.length !== 1) {
    throw new UsageError(`--format bids writes one recording per run, not ${recordings.length}; give a set made ` +
      'together to kinovar sync, or each recording with its own --run');
  }
  return writeBids((onProgress) => kinovar.promises.readRecording(recordings[0], values.out, { ...conversion, onProgress }),
    values, io, recordings[0]);
}

async function run(args, io) {
  const { values, positionals } = parse('read', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help}`);
  const jobs = values.jobs === undefined ? undefined : positiveInteger(values.jobs, '--jobs');
  const conversion = conversionOptions(values);
  const bids = bidsOptions(values, conversion.format);
  const recordings = expandPatterns(positionals);
  const file = values.out !== undefined && values.out !== '-' && !isFolderTarget(values.out) ? values.out : '';
  checked((words) => require('../../lib/checks/request').recordingRequest('read', recordings[0], file, { ...conversion, ...bids }, words));
  checkInputs(recordings);
  if (conversion.format === BIDS) return readBids(kinovar, recordings, { ...conversion, ...bids }, values, io);

  if (values.out === '-') {
    if (recordings.length !== 1) throw new UsageError(`-o - writes one recording to standard output, not ${recordings.length}`);
    if (conversion.format === 'parquet') throw new UsageError('-o - writes a CSV format (plain or classic); name a file for Parquet');
    if (values.json) throw new UsageError('-o - and --json would both write to standard output; choose one');
    return toStandardOutput(kinovar, recordings[0], conversion, io);
  }
  let items = recordings;
  let outDir;
  if (values.out !== undefined) {
    if (isFolderTarget(values.out)) {
      outDir = values.out;  // made by the batch before any recording is read
    } else if (recordings.length === 1) {
      checkExtension(kinovar, values.out, conversion.format);
      items = [{ recording: recordings[0], output: values.out }];
      kinovar.ensureFolder(path.dirname(values.out));
    } else {
      throw new UsageError(`-o ${values.out} names one file, but ${recordings.length} recordings need a folder: ` +
        `end it with "/" (${values.out}/) to make one`);
    }
  }

  const bar = progressBar(io, !values.json, '', `0/${items.length}`);
  // The bar counts the recordings done and the share of those under way.
  const underWay = new Map();
  const onProgress = ({ done, total, result, recording, fraction }) => {
    if (result) underWay.delete(result.recording);
    else underWay.set(recording, fraction);
    const share = [...underWay.values()].reduce((sum, f) => sum + f, 0);
    bar.update((done + share) / total, result?.recording ?? recording, `${done}/${total}`);
  };
  let results;
  try {
    results = await kinovar.promises.readRecordings(items, { outDir, jobs, ...conversion, onProgress });
  } catch (error) {
    if (error.code === kinovar.codes.DUPLICATE_OUTPUT) throw new UsageError(error.message);
    throw error;
  } finally {
    bar.done();
  }
  const failed = results.filter((r) => !r.ok);
  if (values.json) {
    io.stdout(`${JSON.stringify(results.map((r) => (r.ok
      ? { recording: r.recording, output: r.output, csv: r.csv, ok: true, info: r.info }
      : { recording: r.recording, output: r.output, csv: r.csv, ok: false, error: describe(r.error) })), null, 2)}\n`);
    return failed.length ? FAILED : OK;
  }
  for (const r of results) {
    if (!r.ok) continue;
    io.say(`wrote  ${r.output}  (${r.info.frequency} Hz clock, created ${r.info.createdAt})\n`);
    const problems = warnings(kinovar, r.info, conversion.format, r.output);
    if (problems.length) io.warn(`warning ${r.recording}: ${problems.join('; ')}\n`);
  }
  for (const r of failed) io.stderr(failedLine(r.recording, r.error));
  const summaryLine = `${results.length - failed.length} of ${results.length} recording${results.length === 1 ? '' : 's'} converted`;
  if (failed.length) io.stderr(`${summaryLine}, ${failed.length} failed\n`);
  else io.say(`${summaryLine}\n`);
  return failed.length ? FAILED : OK;
}

module.exports = { summary, help, options, run };
