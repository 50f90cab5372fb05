'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { lib, OK, UsageError, parse } = require('../shared');

const summary = [['gen <file.bin> [options]', 'write one synthetic recording (the generator demo uses)']];

const help = `usage: kinovar gen <file.bin> [options]

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
`;

const NUMBERS = ['seconds', 'clock', 'accel', 'gyro', 'baro', 'events', 'still', 'rate', 'seed'];
const options = { ...Object.fromEntries(NUMBERS.map((name) => [name, { type: 'string' }])), force: { type: 'boolean' } };

function run(args, io) {
  const { values, positionals } = parse('gen', args, options);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length !== 1) throw new UsageError(`gen takes one file to write\n\n${help}`);
  const generator = { seconds: 10 };
  for (const name of NUMBERS) {
    if (values[name] === undefined) continue;
    if (!/^\d+(\.\d+)?$/.test(values[name])) throw new UsageError(`--${name} must be a number from 0 up, not "${values[name]}"`);
    generator[name] = Number(values[name]);
  }
  const [file] = positionals;
  kinovar.ensureFolder(path.dirname(file));
  kinovar.generateRecording(file, { ...generator, overwrite: values.force === true });
  io.stdout(`wrote ${file}  ${fs.statSync(file).size} bytes\n`);
  return OK;
}

module.exports = { summary, help, options, run };
