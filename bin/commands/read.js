'use strict';
const os = require('node:os');
const path = require('node:path');
const {
  lib, OK, FAILED, UsageError, parse, CONVERSION_FLAGS, conversionOptions, positiveInteger, isFolderTarget, checkInputs,
  progressBar, describe, failedLine,
} = require('../shared');

const summary = [['read <recording>...', 'convert recordings to CSV files']];

const help = `usage: kinovar read <recording>... [-o <file-or-folder>] [--format F] [--jobs N] [--orientation E] [--force] [--json]

Converts each recording into a CSV file (time, gyroscope, accelerometer,
pressure, events and orientation), several at once. To convert every
recording of a folder, give "folder/*.bin".

options:
  -o, --out <path>   a path ending in "/" or an existing folder: the folder to
                     write <name>.csv (or .parquet) into, created if missing;
                     anything else: the output file itself, for one recording only.
                     Default: each output beside its recording, named after it.
  --format <F>       csv: the classic export (default);
                     plain: a CSV with one header row that pandas, R and MATLAB
                       read with no arguments (<name>.csv);
                     parquet: the same table in a compressed, typed file
                       (<name>.parquet; chosen too by an -o file ending in .parquet)
  --force            replace an existing file that kinovar did not write
                     (without it such files are refused)
  -j, --jobs <N>     recordings converted at once (default: ${os.availableParallelism?.() ?? os.cpus().length}, the number of cores)
  --orientation <e>  how the orientation columns are estimated: classic (default,
                     the sensor software's filter), accurate (corrects the
                     gyroscope's bias; see docs/orientation.md) or none (no columns)
  --json             print the results as JSON on standard output, no progress bar
  -h, --help         this text

A recording that cannot be converted does not stop the others; the summary
names it with the reason, and the exit code is then 1. A recording with gaps,
duplicate frames, blocks out of order or saturated samples is converted and
gets a one-line warning on standard error ("kinovar inspect" says more).
`;

const options = { out: { type: 'string', short: 'o' }, jobs: { type: 'string', short: 'j' }, json: { type: 'boolean' }, ...CONVERSION_FLAGS };

async function run(args, io) {
  const { values, positionals } = parse('read', args, options);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help}`);
  const jobs = values.jobs === undefined ? undefined : positiveInteger(values.jobs, '--jobs');
  const conversion = conversionOptions(values, kinovar.formats);
  checkInputs(positionals);

  let items = positionals;
  let outDir;
  if (values.out !== undefined) {
    if (isFolderTarget(values.out)) {
      outDir = values.out;  // made by the batch before any recording is read
    } else if (positionals.length === 1) {
      items = [{ recording: positionals[0], csv: values.out }];
      kinovar.ensureFolder(path.dirname(values.out));
    } else {
      throw new UsageError(`-o ${values.out} names one file, but ${positionals.length} recordings need a folder: ` +
        `end it with "/" (${values.out}/) to make one`);
    }
  }

  const bar = progressBar(io, !values.json);
  let results;
  try {
    results = await kinovar.promises.readRecordings(items, {
      outDir, jobs, ...conversion, onProgress: ({ done, total, result }) => bar.update(done, total, result.recording),
    });
  } catch (error) {
    if (error.code === kinovar.codes.DUPLICATE_OUTPUT) throw new UsageError(error.message);
    throw error;
  } finally {
    bar.done();
  }
  const failed = results.filter((r) => !r.ok);
  if (values.json) {
    io.stdout(`${JSON.stringify(results.map((r) => (r.ok
      ? { recording: r.recording, csv: r.csv, ok: true, info: r.info }
      : { recording: r.recording, csv: r.csv, ok: false, error: describe(r.error) })), null, 2)}\n`);
    return failed.length ? FAILED : OK;
  }
  for (const r of results) {
    if (!r.ok) continue;
    io.stdout(`wrote  ${r.csv}  (${r.info.frequency} Hz clock, created ${r.info.createdAt})\n`);
    const problems = kinovar.qualityProblems(r.info.quality);
    if (problems.length) io.stderr(`warning ${r.recording}: ${problems.join('; ')}\n`);
  }
  for (const r of failed) io.stderr(failedLine(r.recording, r.error));
  const summaryLine = `${results.length - failed.length} of ${results.length} recording${results.length === 1 ? '' : 's'} converted`;
  if (failed.length) io.stderr(`${summaryLine}, ${failed.length} failed\n`);
  else io.stdout(`${summaryLine}\n`);
  return failed.length ? FAILED : OK;
}

module.exports = { summary, help, options, run };
