#!/usr/bin/env node
'use strict';
// Command line for kinovar: convert recordings, run the demo.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');

const usage = `usage: kinovar <command> [options]

commands:
  demo [folder]                 write a synthetic recording and convert it
  read <recording> -o <csv>     convert one recording to CSV; prints the JSON answer
  help                          this text
`;

function demo(args) {
  const { generateRecording } = require('../lib/generator');
  const kinovar = require('../lib');
  const folder = args[0] ? path.resolve(args[0]) : fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-demo-'));
  fs.mkdirSync(folder, { recursive: true });
  const recording = generateRecording(path.join(folder, 'pelvis.bin'), {
    seconds: 20, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 1, still: 2, rate: 45,
  });
  const csv = path.join(folder, 'pelvis.csv');
  const answer = kinovar.read(recording, csv);
  console.log(`recording: ${recording}`);
  console.log(`csv:       ${csv}`);
  console.log(`answer:    ${answer}`);
  return 0;
}

function read(args) {
  const { values, positionals } = parseArgs({ args, allowPositionals: true, options: { out: { type: 'string', short: 'o' } } });
  if (positionals.length !== 1 || !values.out) {
    process.stderr.write(usage);
    return 2;
  }
  const answer = require('../lib').read(positionals[0], values.out);
  console.log(answer);
  return answer.startsWith('{"error"') ? 1 : 0;
}

function main(argv) {
  const [command, ...rest] = argv;
  switch (command) {
    case 'demo': return demo(rest);
    case 'read': return read(rest);
    case undefined: case 'help': case '--help': case '-h':
      process.stdout.write(usage);
      return command ? 0 : 2;
    default:
      process.stderr.write(`kinovar: unknown command ${command}\n${usage}`);
      return 2;
  }
}

process.exitCode = main(process.argv.slice(2));
