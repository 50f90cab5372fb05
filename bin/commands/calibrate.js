'use strict';
const { lib, OK, FAILED, UsageError, parse, describe } = require('../shared');
const { DURABLE_HELP } = require('../conversion');
const { progressBar } = require('../progress');

const summary = [['calibrate <recording>', "fit the accelerometer's calibration and the gyroscope's bias"]];

const help = `usage: kinovar calibrate <recording> [--json] [-o <file.json>] [--force] [--durable]

Fits the accelerometer's offset, scale and temperature term per axis on the
recording's still moments (every 10 s window in which the sensor lay still
must read 1 g), and the gyroscope's bias over them; converts nothing. Tells
whether the fit was accepted and why, the error at rest before and after,
and how much of the sphere the still moments covered. With -o, the result is
kept as a calibration file: --calibrate FILE.json then applies it to other
recordings of the same device (docs/calibration.md).

options:
  --json             print the report as JSON
  -o, --out <file>   write the report as a calibration file
  --force            replace a file that kinovar did not write
${DURABLE_HELP}  -h, --help         this text
`;

const options = {
  json: { type: 'boolean' }, out: { type: 'string', short: 'o' }, force: { type: 'boolean' }, durable: { type: 'boolean' },
};

async function run(args, io) {
  const { values, positionals } = parse('calibrate', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length !== 1) throw new UsageError(`calibrate takes one recording\n\n${help}`);
  const [recording] = positionals;
  const bar = progressBar(io, !values.json, recording);
  let report;
  try {
    report = await kinovar.promises.calibrate(recording, { out: values.out, overwrite: values.force, durable: values.durable });
  } catch (error) {
    if (!values.json) throw error;
    io.stdout(`${JSON.stringify({ recording, ok: false, error: describe(error) }, null, 2)}\n`);
    return FAILED;
  } finally {
    bar.done();
  }
  if (values.json) io.stdout(`${JSON.stringify(report, null, 2)}\n`);
  else io.say(table(recording, report));
  if (values.out !== undefined && !values.json) io.say(`wrote ${values.out}\n`);
  return OK;
}

/** The report as lines: each sensor's verdict, then the coefficients per axis. */
function table(recording, r) {
  const lines = [`${recording} (device ${r.deviceId})`];
  const a = r.accel;
  if (a) {
    lines.push(`  accelerometer: ${a.status}`);
    lines.push(`    still windows ${a.windows}, idle left out ${a.idleWindows}, error at rest ${a.errorBeforeMg.toFixed(2)} mg ` +
      `before, ${a.errorAfterMg.toFixed(2)} mg after, ${a.iterations} iterations`);
    const rows = [['axis', 'offset [mg]', 'scale', 'temp [mg/°C]', 'lowest [g]', 'highest [g]']];
    ['x', 'y', 'z'].forEach((axis, k) => rows.push([axis, (1000 * a.offset[k]).toFixed(2), a.scale[k].toFixed(5),
      (1000 * a.temperature[k]).toFixed(3), a.lowest[k].toFixed(3), a.highest[k].toFixed(3)]));
    const widths = rows[0].map((_, c) => Math.max(...rows.map((row) => row[c].length)));
    for (const row of rows) lines.push(`    ${row.map((cell, c) => (c ? cell.padStart(widths[c]) : cell.padEnd(widths[c]))).join('  ')}`);
    if (a.referenceTemperature !== null) lines.push(`    reference temperature ${a.referenceTemperature.toFixed(2)} °C`);
  }
  const g = r.gyro;
  if (g) lines.push(`  gyroscope: ${g.status}${g.accepted ? `; bias ${g.bias.map((b) => b.toFixed(3)).join(', ')} °/s` : ''}`);
  return `${lines.join('\n')}\n`;
}

module.exports = { summary, help, options, run };
