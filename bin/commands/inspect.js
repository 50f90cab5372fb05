'use strict';
const { lib, OK, FAILED, UsageError, parse, describe, failedLine } = require('../shared');
const { expandPatterns } = require('../inputs');
const { progressBar } = require('../progress');

const summary = [['inspect <recording>...', 'report lost frames, clock jumps, saturation and cut tails']];

const help = `usage: kinovar inspect <recording>... [--json] [--strict] [--quiet]

Reports what happened in each recording before you trust it: per stream the
samples, declared and seen rate, first and last time, duplicate frames
dropped, gaps (samples missing by the declared rate, the longest gap, and
where the first five start, in seconds from the first sample, and how long
they are; --json lists them all), saturated samples, and a rate that does
not divide the clock (the classic CSV's time then runs slow for that sensor,
as it stands early after a gap; plain, parquet and opensense keep true time); for
the file the blocks whose ticks run backwards, the tail shorter than a block
that was never read, and the settings records that were malformed or not
recognised. Then the accelerometer's error at rest (the mean distance of its
still 10 s windows from 1 g) raw and after the fit on its still moments, or
why none was fitted, and the gyroscope's bias at rest, with a warning when
the raw error is above 10 mg. The fit reads the motion sensors once more,
which about doubles inspect's time (see docs/calibration.md).

options:
  --json             print the reports as JSON: an array of {recording, ok, quality} or {recording, ok, error}
  --strict           exit with 1 when anything is reported (a problem, a tail never
                     read, a settings record), for scripts and pipelines
  -q, --quiet        print nothing but errors (with --strict: only the exit code and
                     the names of the recordings with something reported)
  -h, --help         this text
`;

const options = { json: { type: 'boolean' }, strict: { type: 'boolean' } };

/** Whether a report holds anything beyond counts: what --strict fails on. */
const reportsAnything = (kinovar, q) => kinovar.qualityProblems(q).length > 0 || q.tailBytes > 0 || q.settingsRecords.length > 0;

async function run(args, io) {
  const { values, positionals } = parse('inspect', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length === 0) throw new UsageError(`no recording given\n\n${help}`);
  const recordings = expandPatterns(positionals);
  const bar = progressBar(io, !values.json);
  const results = [];
  try {
    // On a worker, so that an interruption is handled at once.
    for (const [i, recording] of recordings.entries()) {
      bar.update(i / recordings.length, recording, `${i}/${recordings.length}`);
      try {
        results.push({ recording, ok: true, quality: await kinovar.promises.inspect(recording) });
      } catch (error) {
        results.push({ recording, ok: false, error });
      }
    }
  } finally {
    bar.done();
  }
  if (values.json) {
    io.stdout(`${JSON.stringify(results.map((r) => (r.ok ? r : { ...r, error: describe(r.error) })), null, 2)}\n`);
  } else {
    for (const r of results) {
      if (r.ok) io.say(report(r.recording, r.quality));
      else io.stderr(failedLine(r.recording, r.error));
    }
  }
  const reported = values.strict ? results.filter((r) => r.ok && reportsAnything(kinovar, r.quality)) : [];
  if (reported.length) io.stderr(`kinovar inspect --strict: something reported for ${reported.map((r) => r.recording).join(', ')}\n`);
  return results.every((r) => r.ok) && !reported.length ? OK : FAILED;
}

const GAPS_SHOWN = 5;

/** The problems in a line, then a table of the streams, then the file's own findings. */
function report(recording, q) {
  const time = require('../../lib/checks/outcomes').classicTimeWarning(q);
  const problems = [...lib().qualityProblems(q), ...(time ? [time] : [])];
  const lines = [`${recording}: ${problems.length ? problems.join('; ') : 'no lost, repeated, reordered or saturated samples'}`];
  const rows = [['stream', 'samples', 'rate', 'seen', 'first [s]', 'last [s]', 'duplicates', 'missing', 'gaps', 'longest [s]', 'saturated']];
  const fixed = (x, digits) => (x === null ? '-' : x.toFixed(digits));
  for (const [name, s] of Object.entries(q.streams)) {
    rows.push([name, s.samples, s.rate, fixed(s.rateSeen, 3), fixed(s.first, 3), fixed(s.last, 3), s.duplicates,
      s.gaps.missing, s.gaps.count, fixed(s.gaps.longest, 3), s.saturated].map(String));
  }
  const widths = rows[0].map((_, c) => Math.max(...rows.map((row) => row[c].length)));
  for (const row of rows) lines.push(`  ${row.map((cell, c) => (c ? cell.padStart(widths[c]) : cell.padEnd(widths[c]))).join('  ')}`);
  // The first few gaps of each stream where they are; --json gives them all.
  for (const [name, s] of Object.entries(q.streams)) {
    const list = s.gaps.list ?? [];
    if (!list.length) continue;
    const shown = list.slice(0, GAPS_SHOWN).map((g) => `${g.start.toFixed(3)} s (${g.length.toFixed(3)} s long)`);
    const more = list.length > GAPS_SHOWN ? ` and ${list.length - GAPS_SHOWN} more` : '';
    lines.push(`  ${name} ${list.length === 1 ? 'gap' : 'gaps'} at ${shown.join(', ')}${more}`);
  }
  lines.push(`  blocks out of order: ${q.outOfOrder}; tail bytes never read: ${q.tailBytes}`);
  for (const r of q.settingsRecords) {
    lines.push(`  settings record ${r.type}/${r.subtype} (length ${r.length}) at byte ${r.offset}: ${r.problem}`);
  }
  if (q.calibration) lines.push(...calibrationLines(q.calibration));
  return `${lines.join('\n')}\n`;
}

/** The error at rest before and after the fit, or why there is none; the gyroscope's bias; the warning. */
function calibrationLines({ accel, gyro, warning }) {
  const lines = [];
  if (accel && accel.windows > 0) {
    const after = accel.accepted ? `${accel.errorAfterMg.toFixed(2)} mg after the fit` : `not fitted: ${accel.status}`;
    lines.push(`  accelerometer error at rest: ${accel.errorBeforeMg.toFixed(2)} mg raw over ${accel.windows} still windows; ${after}`);
  } else if (accel) {
    lines.push(`  accelerometer error at rest: not measured: ${accel.status}`);
  }
  if (gyro) lines.push(`  gyroscope bias at rest: ${gyro.accepted ? `${gyro.bias.map((b) => b.toFixed(3)).join(', ')} deg/s; ${gyro.status}` : gyro.status}`);
  if (warning) lines.push(`  warning: ${warning}`);
  return lines;
}

module.exports = { summary, help, options, run };
