#!/usr/bin/env node
'use strict';
// Command line for kinovar. Exit codes: 0 done, 1 something was not done
// (the output says what and why), 2 the command line itself is wrong.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const { codes } = require('../lib/errors');

const OK = 0;
const FAILED = 1;
const USAGE = 2;

class UsageError extends Error {}

const help = {
  main: `usage: kinovar <command> [options]

Converts Kinovar sensor recordings to CSV, synchronises sets of recordings,
shows and edits settings files and draws recordings as an HTML page.

commands:
  read <recording>...           convert recordings to CSV files
  inspect <recording>...        report lost frames, clock jumps, saturation and cut tails
  sync <recording>... -o <dir>  convert recordings made together, on one time base
  config show <file>            list the settings of a settings file or recording
  config set <file> key=value   change settings, keeping the rest
  config device-id <file>       print the device identifier
  view <recording|csv|parquet>  write an interactive HTML page of a recording
  demo [folder]                 write a synthetic session of three sensors and convert it
  gen <file.bin> [options]      write one synthetic recording (the generator demo uses)

Run "kinovar <command> --help" for the options of a command; "kinovar --version"
prints the version.
Exit codes: 0 done, 1 some work failed (the summary says which and why), 2 bad command line.
`,
  read: `usage: kinovar read <recording>... [-o <file-or-folder>] [--format F] [--jobs N] [--orientation E] [--force] [--json]

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
`,
  inspect: `usage: kinovar inspect <recording>... [--json]

Reports what happened in each recording before you trust it: per stream the
samples, declared and seen rate, first and last time, duplicate frames
dropped, gaps (samples missing by the declared rate, and the longest gap)
and saturated samples; for the file the blocks whose ticks run backwards,
the tail shorter than a block that was never read, and the settings
records that were malformed or not recognised.

options:
  --json             print the reports as JSON: an array of {recording, ok, quality} or {recording, ok, error}
  -h, --help         this text
`,
  sync: `usage: kinovar sync <recording>... -o <folder> [--format F] [--orientation E] [--force] [--json]

Converts recordings that several sensors made at the same time: puts them on
one time base (by their time marks or radio data), cuts them to the time
they have in common and writes <folder>/<name>.csv for each.

options:
  -o, --out <folder> where the files go (created if missing); required
  --format <F>       csv (default), plain or parquet: one file per recording;
                     opensense: one OpenSim orientation table of the whole set,
                       <folder>/orientations.sto, for OpenSim's IMU placer and
                       inverse kinematics (see docs/analysis.md)
  --imu-names <a,b>  the table's sensor names, in the order of the recordings
                     (default: <name>_imu); OpenSim matches them to the model
  --orientation <e>  how the orientation columns are estimated: classic (default,
                     the sensor software's filter), accurate (corrects the
                     gyroscope's bias; see docs/orientation.md) or none (no columns)
  --force            replace an output file that kinovar did not write
  --json             print what was done as JSON: {"ok":true, "files", "method",
                     "offsets", "window", "samples", "events"}, or the error
                     with its "cause"

The method (time marks, radio settings or radio stream) is chosen by the
first recording. Each CSV's rows run at that recording's own clock rate.
See docs/sync.md.
  -h, --help         this text
`,
  config: `usage: kinovar config show <file> [--json]
       kinovar config set <file> key=value... [-o <file>] [--force]
       kinovar config device-id <file>

show       lists every setting as key = value (the keys that "set" takes);
           --json prints the settings object instead.
set        changes exactly the given settings and writes the file back (or to
           -o); every other byte stays, unknown records included. Each value is
           written in the form its record already has; one the record cannot
           hold is refused and nothing is written. A recording is never
           written to (use -o to make a settings file from its settings). Keys:
             deviceId deviceType bodyLocation version majorVersion minorVersion
             radioMode radioChannel baro.frequency gps.frequency
             accel.<field> gyro.<field> with <field> one of frequency range
               offsetX offsetY offsetZ gainX gainY gainZ
             frequency measureId createdAt endDate (where the file has them)
           Values are integers, calibration of type-3 records may have four
           decimals, dates read "YYYY-MM-DD hh:mm:ss".
           --force replaces a -o file that is not a settings file.
device-id  prints the device identifier (-1 when the file names none).
`,
  view: `usage: kinovar view <recording|csv|parquet> [-o <page.html>] [--size MB] [--orientation E] [--force]

Writes one self-contained HTML page (works offline) with interactive plots
of the accelerometer, gyroscope, pressure and temperature, and orientation
(roll, pitch, yaw; the quaternion a click away) on one time axis, events
marked with their values. Each pixel column shows the lowest and highest
sample it covers at any zoom, so no peak is lost, whatever the length.
Reads a recording, a classic CSV export or a Parquet file kinovar wrote
(its orientation is the one it was written with).

options:
  -o, --out <file>   the page (default: <name>.html beside the input)
  --size <MB>        the plots' data in the page, before Base64 (default 16); more
                     keeps finer detail for deep zooms into long recordings
  --force            replace the page file even when kinovar did not write it
  --max-points <N>   no longer used (every sample counts now); accepted for old scripts
  --orientation <e>  for a recording: how its orientation is estimated: classic (default,
                     the sensor software's filter), accurate (corrects the
                     gyroscope's bias; see docs/orientation.md) or none (no columns)
  --force            replace an existing file that is not a viewer page of kinovar
  -h, --help         this text
`,
  demo: `usage: kinovar demo [folder] [--force]

Writes a synthetic session of three sensors (pelvis, thigh, shank) into the
folder (default: a new temporary folder), converts each recording, converts
the set synchronised and writes a viewer page of the first sensor. The
recordings come from the generator that "kinovar gen" runs.

options:
  --force            replace pelvis.bin, thigh.bin and shank.bin if the folder has them
`,
  gen: `usage: kinovar gen <file.bin> [options]

Writes one synthetic recording with known content: a sensor held still, then
turning about one axis at a steady rate.

options:
  --seconds <S>      length (default 10)
  --clock <HZ>       clock rate (default 1000)
  --accel <HZ>       accelerometer rate, 0 leaves it out (default 100)
  --gyro <HZ>        gyroscope rate, 0 leaves it out (default 100)
  --baro <HZ>        barometer rate, 0 leaves it out (default 25)
  --events <HZ>      event rate, 0 for none (default 0)
  --still <S>        seconds held still at the start (default 2)
  --rate <DEG/S>     turning rate after that (default 45)
  --seed <N>         noise seed
  --force            replace an existing file (a recording there may be a real one)
  -h, --help         this text
`,
};

// parseArgs's own texts quote unevenly and repeat its internals; ours say
// what was wrong in a line.
function parseMessage(error, command) {
  const quoted = /'([^']*)'/.exec(error.message)?.[1] ?? '';
  const see = `(see "kinovar ${command} --help")`;
  switch (error.code) {
    case 'ERR_PARSE_ARGS_UNKNOWN_OPTION': return `unknown option ${quoted} ${see}`;
    case 'ERR_PARSE_ARGS_INVALID_OPTION_VALUE': return `option ${quoted.replace(/ <value>$/, '')} needs a value ${see}`;
    case 'ERR_PARSE_ARGS_UNEXPECTED_POSITIONAL': return `unexpected argument ${quoted} ${see}`;
    default: return `${error.message} ${see}`;
  }
}

function parse(command, args, options, positionals = true) {
  try {
    return parseArgs({ args, allowPositionals: positionals, strict: true, options: { help: { type: 'boolean', short: 'h' }, ...options } });
  } catch (error) {
    throw new UsageError(parseMessage(error, command));
  }
}

const CONVERSION_FLAGS = { format: { type: 'string' }, orientation: { type: 'string' }, force: { type: 'boolean' } };

/** The API options of --format, --orientation and --force. */
function conversionOptions(values, formats) {
  const options = {};
  if (values.format !== undefined) {
    if (!formats.includes(values.format)) throw new UsageError(`--format must be one of ${formats.join(', ')}, not "${values.format}"`);
    options.format = values.format;
  }
  Object.assign(options, orientationOption(values.orientation));
  if (values.force) options.overwrite = true;
  return options;
}

function positiveInteger(text, name) {
  if (!/^\d+$/.test(text) || Number(text) < 1) throw new UsageError(`${name} must be a whole number from 1 up, not "${text}"`);
  return Number(text);
}

const ESTIMATORS = ['classic', 'accurate', 'none'];

/** The --orientation value as an API option. */
function orientationOption(text) {
  if (text === undefined) return {};
  if (!ESTIMATORS.includes(text)) throw new UsageError(`--orientation must be one of ${ESTIMATORS.join(', ')}, not "${text}"`);
  return { orientation: text };
}

const out = (text) => process.stdout.write(text);
const err = (text) => process.stderr.write(text);
// A reader that stops early (kinovar inspect --json x.bin | head) closes the
// pipe: not a failure, so stop quietly, as other command-line tools do.
process.stdout.on('error', (error) => {
  if (error.code !== 'EPIPE') throw error;
  process.exit(process.exitCode ?? 0);
});

/** A one-line bar on a terminal's standard error; nothing when it is piped. */
function progressBar(enabled) {
  if (!enabled) return { update() {}, done() {} };
  let shown = false;
  return {
    update(done, total, label) {
      const width = 30;
      const filled = Math.round((done / total) * width);
      const name = label.length > 40 ? `...${label.slice(-37)}` : label;
      process.stderr.write(`\r[${'#'.repeat(filled)}${'.'.repeat(width - filled)}] ${done}/${total} ${name}\x1b[K`);
      shown = true;
    },
    done() {
      if (shown) process.stderr.write('\r\x1b[K');
    },
  };
}

const describe = (error) => ({ code: error.code ?? error.name, message: error.message });

function isFolderTarget(target) {
  return /[\\/]$/.test(target) || (fs.existsSync(target) && fs.statSync(target).isDirectory());
}

// A folder where a recording was expected gets the hint to name its files.
function checkInputs(recordings) {
  for (const file of recordings) {
    if (fs.existsSync(file) && fs.statSync(file).isDirectory()) {
      throw new UsageError(`${file} is a folder; to convert the recordings in it, give ${file.replace(/[\\/]+$/, '')}/*.bin`);
    }
  }
}

// Output folders are made before any recording is read.
function ensureFolder(folder) {
  const { ensureFolder: make } = require('../lib/output');
  return make(folder);
}

async function read(args) {
  const { values, positionals } = parse('read', args, {
    out: { type: 'string', short: 'o' }, jobs: { type: 'string', short: 'j' }, json: { type: 'boolean' }, ...CONVERSION_FLAGS,
  });
  if (values.help) return out(help.read), OK;
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help.read}`);
  const jobs = values.jobs === undefined ? undefined : positiveInteger(values.jobs, '--jobs');
  const conversion = conversionOptions(values, ['csv', 'plain', 'parquet']);
  checkInputs(positionals);
  const { promises } = require('../lib');

  let items = positionals;
  let outDir;
  if (values.out !== undefined) {
    if (isFolderTarget(values.out)) {
      outDir = values.out;
      ensureFolder(outDir);
    } else if (positionals.length === 1) {
      items = [{ recording: positionals[0], csv: values.out }];
      ensureFolder(path.dirname(values.out));
    } else {
      throw new UsageError(`-o ${values.out} names one file, but ${positionals.length} recordings need a folder: ` +
        `end it with "/" (${values.out}/) to make one`);
    }
  }

  const bar = progressBar(process.stderr.isTTY && !values.json);
  let results;
  try {
    results = await promises.readRecordings(items, {
      outDir, jobs, ...conversion, onProgress: ({ done, total, result }) => bar.update(done, total, result.recording),
    });
  } catch (error) {
    if (error.code === codes.DUPLICATE_OUTPUT) throw new UsageError(error.message);
    throw error;
  } finally {
    bar.done();
  }
  const failed = results.filter((r) => !r.ok);
  if (values.json) {
    out(`${JSON.stringify(results.map((r) => (r.ok
      ? { recording: r.recording, csv: r.csv, ok: true, info: r.info }
      : { recording: r.recording, csv: r.csv, ok: false, error: describe(r.error) })), null, 2)}\n`);
  } else {
    const { qualityProblems } = require('../lib/api');
    for (const r of results) {
      if (!r.ok) continue;
      out(`wrote  ${r.csv}  (${r.info.frequency} Hz clock, created ${r.info.createdAt})\n`);
      const problems = qualityProblems(r.info.quality);
      if (problems.length) err(`warning ${r.recording}: ${problems.join('; ')}\n`);
    }
    for (const r of failed) {
      const { message } = r.error;
      err(`failed ${message.includes(r.recording) ? message : `${r.recording}: ${message}`}\n`);
    }
    const summary = `${results.length - failed.length} of ${results.length} recording${results.length === 1 ? '' : 's'} converted`;
    (failed.length ? err : out)(`${summary}${failed.length ? `, ${failed.length} failed` : ''}\n`);
  }
  return failed.length ? FAILED : OK;
}

async function inspect(args) {
  const { values, positionals } = parse('inspect', args, { json: { type: 'boolean' } });
  if (values.help) return out(help.inspect), OK;
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help.inspect}`);
  const kinovar = require('../lib');
  const { qualityProblems } = require('../lib/api');
  const results = positionals.map((recording) => {
    try {
      return { recording, ok: true, quality: kinovar.inspect(recording) };
    } catch (error) {
      return { recording, ok: false, error };
    }
  });
  if (values.json) {
    out(`${JSON.stringify(results.map((r) => (r.ok ? r : { ...r, error: describe(r.error) })), null, 2)}\n`);
  } else {
    for (const r of results) {
      if (!r.ok) {
        err(`failed ${r.error.message.includes(r.recording) ? r.error.message : `${r.recording}: ${r.error.message}`}\n`);
        continue;
      }
      out(formatQuality(r.recording, r.quality, qualityProblems(r.quality)));
    }
  }
  return results.every((r) => r.ok) ? OK : FAILED;
}

function formatQuality(recording, q, problems) {
  const lines = [`${recording}: ${problems.length ? problems.join('; ') : 'no lost, repeated, reordered or saturated samples'}`];
  const rows = [['stream', 'samples', 'rate', 'seen', 'first [s]', 'last [s]', 'duplicates', 'missing', 'gaps', 'longest [s]', 'saturated']];
  const fixed = (x, digits) => (x === null ? '-' : x.toFixed(digits));
  for (const [name, s] of Object.entries(q.streams)) {
    rows.push([name, s.samples, s.rate, fixed(s.rateSeen, 3), fixed(s.first, 3), fixed(s.last, 3), s.duplicates,
      s.gaps.missing, s.gaps.count, fixed(s.gaps.longest, 3), s.saturated].map(String));
  }
  const widths = rows[0].map((_, c) => Math.max(...rows.map((row) => row[c].length)));
  for (const row of rows) lines.push(`  ${row.map((cell, c) => (c ? cell.padStart(widths[c]) : cell.padEnd(widths[c]))).join('  ')}`);
  lines.push(`  blocks out of order: ${q.outOfOrder}; tail bytes never read: ${q.tailBytes}`);
  for (const r of q.settingsRecords) {
    lines.push(`  settings record ${r.type}/${r.subtype} (length ${r.length}) at byte ${r.offset}: ${r.problem}`);
  }
  return `${lines.join('\n')}\n`;
}

const methodWords = { 'time-marks': 'time marks', 'radio-settings': 'radio settings', 'radio-stream': 'radio stream' };
const seconds = (value) => `${value.toFixed(3)} s`;
const signed = (value) => `${value < 0 ? '-' : '+'}${seconds(Math.abs(value))}`;

async function sync(args) {
  const { values, positionals } = parse('sync', args, {
    out: { type: 'string', short: 'o' }, json: { type: 'boolean' }, 'imu-names': { type: 'string' }, ...CONVERSION_FLAGS,
  });
  if (values.help) return out(help.sync), OK;
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help.sync}`);
  if (!values.out) throw new UsageError(`-o <folder> is required\n\n${help.sync}`);
  const conversion = conversionOptions(values, ['csv', 'plain', 'parquet', 'opensense']);
  if (values['imu-names'] !== undefined) {
    if (conversion.format !== 'opensense') throw new UsageError('--imu-names names the columns of --format opensense only');
    conversion.imuNames = values['imu-names'].split(',');
    if (conversion.imuNames.length !== positionals.length) {
      throw new UsageError(`--imu-names gives ${conversion.imuNames.length} names for ${positionals.length} recordings`);
    }
  }
  checkInputs(positionals);
  // Made before any parsing; on failure only what this run made is removed.
  const created = ensureFolder(values.out);
  const { promises } = require('../lib');
  try {
    const { report } = await promises.syncRecordings(positionals, values.out, conversion);
    if (values.json) out(`${JSON.stringify({ ok: true, ...report }, null, 2)}\n`);
    else {
      // One file per recording, or one table for the whole set.
      const each = report.files.length === report.recordings.length;
      report.recordings.forEach((recording, i) => {
        const kept = Object.entries(report.samples[i]).map(([stream, n]) => `${n} ${stream}`).join(', ');
        out(`${each ? `wrote  ${report.files[i]}` : recording}  (offset ${signed(report.offsets[i])}; ${kept}; ` +
          `${report.events[i]} events)\n`);
      });
      if (!each) for (const file of report.files) out(`wrote  ${file}\n`);
      const { start, end } = report.window;
      out(`${report.recordings.length} recordings synchronised by ${methodWords[report.method]}, ` +
        `common window ${seconds(start)} to ${seconds(end)} (${seconds(end - start)})\n`);
    }
    return OK;
  } catch (error) {
    require('../lib/output').removeFolders(created);
    if (!error.status) throw error;
    if (values.json) {
      out(`${JSON.stringify({ ok: false, status: error.status, ...describe(error), cause: error.cause }, null, 2)}\n`);
    } else err(`kinovar sync: ${error.message} (status ${error.status})\n`);
    return FAILED;
  }
}

// The keys "config set" takes, with their place in the settings object.
const SENSOR_FIELDS = ['frequency', 'range', 'offsetX', 'offsetY', 'offsetZ', 'gainX', 'gainY', 'gainZ'];
const TOP_KEYS = ['deviceId', 'deviceType', 'bodyLocation', 'version', 'majorVersion', 'minorVersion', 'radioMode',
  'radioChannel', 'frequency', 'measureId'];
const SETTABLE = new Set([...TOP_KEYS, 'baro.frequency', 'gps.frequency', 'createdAt', 'endDate',
  ...['accel', 'gyro'].flatMap((s) => SENSOR_FIELDS.map((f) => `${s}.${f}`))]);

function flatten(settings) {
  const rows = [];
  for (const [key, value] of Object.entries(settings)) {
    if (value && typeof value === 'object') for (const [k, v] of Object.entries(value)) rows.push([`${key}.${k}`, v]);
    else rows.push([key, value]);
  }
  return rows;
}

// "key=value" into the change it names; values stay as typed until a record
// says what it can hold.
function parseSetting(assignment) {
  const match = /^([A-Za-z.]+)=(.*)$/s.exec(assignment);
  if (!match) throw new UsageError(`"${assignment}" is not key=value`);
  const [, key, raw] = match;
  const text = raw.trim();
  if (key === 'unknownFrames') throw new UsageError('unknownFrames cannot be set: unknown records are kept as they are');
  if (!SETTABLE.has(key)) throw new UsageError(`unknown setting ${key} (see "kinovar config --help")`);
  if (key === 'createdAt' || key === 'endDate') return [key, text];
  if (!/^-?\d+(\.\d+)?$/.test(text)) throw new UsageError(`${key} must be a number, not "${raw}"`);
  return [key, Number(text)];
}

function nest(changes) {
  const settings = {};
  for (const [key, value] of changes) {
    const [group, field] = key.split('.');
    if (field) (settings[group] ??= {})[field] = value;
    else settings[key] = value;
  }
  return settings;
}

function config(args) {
  const [action, ...rest] = args;
  const kinovar = require('../lib');
  if (action === undefined || action === '--help' || action === '-h' || action === 'help') {
    out(help.config);
    return action ? OK : USAGE;
  }
  if (action === 'show') {
    const { values, positionals } = parse('config', rest, { json: { type: 'boolean' } });
    if (values.help) return out(help.config), OK;
    if (positionals.length !== 1) throw new UsageError(`config show takes one file\n\n${help.config}`);
    const settings = kinovar.readSettings(positionals[0]);
    if (values.json) out(`${JSON.stringify(settings, null, 2)}\n`);
    else {
      const rows = flatten(settings);
      const width = Math.max(...rows.map(([key]) => key.length));
      for (const [key, value] of rows) out(`${key.padEnd(width)} = ${value}\n`);
    }
    return OK;
  }
  if (action === 'set') {
    const { values, positionals } = parse('config', rest, { out: { type: 'string', short: 'o' }, force: { type: 'boolean' } });
    if (values.help) return out(help.config), OK;
    if (positionals.length < 2) throw new UsageError(`config set takes a file and at least one key=value\n\n${help.config}`);
    const [file, ...assignments] = positionals;
    const changes = assignments.map(parseSetting);
    kinovar.readSettings(file);  // a missing file or one without settings says so first
    const target = values.out ?? file;
    if (values.out !== undefined) ensureFolder(path.dirname(values.out));
    try {
      kinovar.writeSettings(target, nest(changes), { from: file, overwrite: values.force });
    } catch (error) {
      if (error instanceof RangeError) throw new UsageError(`nothing written: ${error.message}`);
      throw error;
    }
    out(`wrote ${target}: ${assignments.join(' ')}\n`);
    return OK;
  }
  if (action === 'device-id') {
    const { values, positionals } = parse('config', rest, {});
    if (values.help) return out(help.config), OK;
    if (positionals.length !== 1) throw new UsageError(`config device-id takes one file\n\n${help.config}`);
    out(`${kinovar.readDeviceId(positionals[0])}\n`);
    return OK;
  }
  throw new UsageError(`unknown config action ${action}\n\n${help.config}`);
}

function view(args) {
  const { values, positionals } = parse('view', args, {
    out: { type: 'string', short: 'o' }, 'max-points': { type: 'string' }, orientation: { type: 'string' },
    size: { type: 'string' }, force: { type: 'boolean' },
  });
  if (values.help) return out(help.view), OK;
  if (positionals.length !== 1) throw new UsageError(`view takes one recording, CSV or Parquet file\n\n${help.view}`);
  const input = positionals[0];
  if (values['max-points'] !== undefined) positiveInteger(values['max-points'], '--max-points');
  const options = { ...orientationOption(values.orientation), force: values.force };
  if (values.size !== undefined) options.budget = positiveInteger(values.size, '--size') * 1e6;
  const page = values.out ?? path.join(path.dirname(input), `${path.basename(input).replace(/\.[^.]*$/, '')}.html`);
  const { bytes } = writePage(input, page, options);
  out(`wrote ${page} (${(bytes / 1e6).toFixed(1)} MB)\n`);
  if (values.orientation !== undefined && require('../lib/viewer').inputKind(input) !== 'recording') {
    err(`note: --orientation applies to recordings; ${input} shows the orientation it was written with\n`);
  }
  return OK;
}

function writePage(input, page, options = {}) {
  return require('../lib/viewer').writeViewPage(input, page, options);
}

async function demo(args) {
  const { values, positionals } = parse('demo', args, { force: { type: 'boolean' } });
  if (values.help) return out(help.demo), OK;
  if (positionals.length > 1) throw new UsageError(`demo takes at most one folder\n\n${help.demo}`);
  const { generateSession } = require('../lib/generator');
  const { promises } = require('../lib');
  const folder = positionals[0] ? path.resolve(positionals[0]) : fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-demo-'));
  ensureFolder(folder);
  const { checkReplaceable } = require('../lib/output');
  for (const name of ['pelvis', 'thigh', 'shank']) {
    checkReplaceable(path.join(folder, `${name}.bin`), 'recording', { overwrite: values.force === true });
  }

  const recordings = generateSession(folder, { seconds: 20, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 1, still: 2, rate: 45 });
  out(`Synthetic session of ${recordings.length} sensors in ${folder}:\n`);
  for (const file of recordings) out(`  ${path.basename(file)}  ${fs.statSync(file).size} bytes\n`);

  const csvDir = path.join(folder, 'csv');
  fs.mkdirSync(csvDir, { recursive: true });
  const results = await promises.readRecordings(recordings, { outDir: csvDir });
  out(`\nConverted each recording (kinovar read):\n`);
  for (const r of results) {
    if (r.ok) {
      const rows = /Total data points: (\d+)/.exec(fs.readFileSync(r.csv, 'latin1').slice(0, 200))[1];
      out(`  ${path.relative(folder, r.csv)}  ${rows} rows, ${r.info.frequency} Hz clock, created ${r.info.createdAt}\n`);
    } else {
      out(`  ${path.basename(r.recording)}  failed: ${r.error.message}\n`);
    }
  }

  out(`\nSynchronised the set (kinovar sync):\n`);
  const syncDir = path.join(folder, 'synchronised');
  fs.mkdirSync(syncDir, { recursive: true });
  try {
    for (const file of await promises.syncRecordings(recordings, syncDir)) out(`  ${path.relative(folder, file)}\n`);
  } catch (error) {
    out(`  not done: ${error.message}${error.status ? ` (status ${error.status})` : ''}\n`);
  }

  if (results[0].ok) {
    const page = path.join(folder, `${path.basename(recordings[0], '.bin')}.html`);
    writePage(results[0].csv, page);
    out(`\nViewer page (kinovar view): ${page}\n`);
  }
  return results.every((r) => r.ok) ? OK : FAILED;
}

function gen(args) {
  const numbers = ['seconds', 'clock', 'accel', 'gyro', 'baro', 'events', 'still', 'rate', 'seed'];
  const { values, positionals } = parse('gen', args, {
    ...Object.fromEntries(numbers.map((name) => [name, { type: 'string' }])), force: { type: 'boolean' },
  });
  if (values.help) return out(help.gen), OK;
  if (positionals.length !== 1) throw new UsageError(`gen takes one file to write\n\n${help.gen}`);
  const options = {};
  for (const name of numbers) {
    if (values[name] === undefined) continue;
    if (!/^\d+(\.\d+)?$/.test(values[name])) throw new UsageError(`--${name} must be a number from 0 up, not "${values[name]}"`);
    options[name] = Number(values[name]);
  }
  const [file] = positionals;
  ensureFolder(path.dirname(file));
  // A recording there may be a real one: replaced only with --force, and whole.
  require('../lib/output').writeAtomically([file], ([temporary]) =>
    require('../lib/generator').generateRecording(temporary, { seconds: 10, ...options }),
  { overwrite: values.force === true, what: 'the recording' });
  out(`wrote ${file}  ${fs.statSync(file).size} bytes\n`);
  return OK;
}

async function main(argv) {
  const [command, ...rest] = argv;
  switch (command) {
    case '--version': case '-V': case 'version':
      out(`${require('../package.json').version}\n`);
      return OK;
    case 'gen': return gen(rest);
    case 'read': return read(rest);
    case 'inspect': return inspect(rest);
    case 'sync': return sync(rest);
    case 'config': return config(rest);
    case 'view': return view(rest);
    case 'demo': return demo(rest);
    case 'help': case '--help': case '-h':
      if (rest[0] && help[rest[0]]) out(help[rest[0]]);
      else out(help.main);
      return OK;
    case undefined:
      err(help.main);
      return USAGE;
    default:
      throw new UsageError(`unknown command ${command}\n\n${help.main}`);
  }
}

main(process.argv.slice(2)).then(
  (code) => { process.exitCode = code; },
  (error) => {
    if (error instanceof UsageError) {
      err(`kinovar: ${error.message}${error.message.endsWith('\n') ? '' : '\n'}`);
      process.exitCode = USAGE;
    } else {
      err(`kinovar: ${error.message}\n`);
      process.exitCode = FAILED;
    }
  },
);
