'use strict';
const path = require('node:path');
const { lib, OK, UsageError, parse, positiveInteger } = require('../shared');
const { checked, ORIENTATION_HELP, CALIBRATE_HELP, DURABLE_HELP } = require('../conversion');
const { isFolderTarget } = require('../inputs');
const { progressBar } = require('../progress');

const summary = [['view <recording|csv|parquet>', 'write an interactive HTML page of a recording']];

const help = `usage: kinovar view <recording|csv|parquet> [-o <page.html>] [--size MB] [--orientation E] [--calibrate C] [--force] [--durable] [--quiet]

Writes one self-contained HTML page (works offline) with interactive plots
of the accelerometer, gyroscope, pressure and temperature, and orientation
(roll, pitch, yaw; the quaternion a click away) on one time axis, events
marked with their values. Each pixel column shows the lowest and highest
sample it covers at any zoom, so no peak is lost, whatever the length.
Reads a recording, or a CSV (classic or plain) or Parquet file kinovar
wrote (its orientation and calibration are those it was written with). The
page states whether and how the samples were calibrated: a recording's are
fitted on its own still moments by default (see docs/calibration.md).

options:
  -o, --out <file>   the page (default: <name>.html beside the input); a path ending
                     in "/" or an existing folder: the folder for <name>.html,
                     created if missing
  --size <MB>        the plots' data in the page, before Base64 (default 16); more
                     keeps finer detail for deep zooms into long recordings
  --force            replace an existing file that is not a viewer page of kinovar
${DURABLE_HELP}  --max-points <N>   no longer used (every sample counts now); accepted for old scripts
${ORIENTATION_HELP}${CALIBRATE_HELP}  -q, --quiet        print nothing but errors
  -h, --help         this text
`;

const options = {
  out: { type: 'string', short: 'o' }, 'max-points': { type: 'string' }, orientation: { type: 'string' },
  size: { type: 'string' }, force: { type: 'boolean' }, durable: { type: 'boolean' }, calibrate: { type: 'string' },
};

async function run(args, io) {
  const { values, positionals } = parse('view', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length !== 1) throw new UsageError(`view takes one recording, CSV or Parquet file\n\n${help}`);
  const [input] = positionals;
  if (values['max-points'] !== undefined) positiveInteger(values['max-points'], '--max-points');
  const pageOptions = { overwrite: values.force, durable: values.durable };
  if (values.orientation !== undefined) pageOptions.orientation = values.orientation;
  if (values.calibrate !== undefined) pageOptions.calibrate = values.calibrate;
  checked((words) => require('../../lib/checks/options').viewOptions('writeViewPage', pageOptions, words));
  if (values.size !== undefined) pageOptions.budget = positiveInteger(values.size, '--size') * 1e6;
  const name = `${path.basename(input).replace(/\.[^.]*$/, '')}.html`;
  const out = values.out ?? path.dirname(input);
  const page = values.out === undefined || isFolderTarget(values.out) ? path.join(out, name) : out;
  const bar = progressBar(io, true, input);
  let written;
  try {
    written = await kinovar.promises.writeViewPage(input, page, { ...pageOptions, onProgress: ({ fraction }) => bar.update(fraction, input) });
  } finally {
    bar.done();
  }
  const { bytes, inputKind } = written;
  io.say(`wrote ${page} (${(bytes / 1e6).toFixed(1)} MB)\n`);
  if (values.orientation !== undefined && inputKind !== 'recording') {
    io.warn(`note: --orientation applies to recordings; ${input} shows the orientation it was written with\n`);
  }
  if (values.calibrate !== undefined && inputKind !== 'recording') {
    io.warn(`note: --calibrate applies to recordings; ${input} shows the samples as they were written\n`);
  }
  return OK;
}

module.exports = { summary, help, options, run };
