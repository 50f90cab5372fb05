'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { lib, OK, FAILED, UsageError, parse } = require('../shared');

const summary = [['demo [folder]', 'write a synthetic session of three sensors and convert it']];

const help = `usage: kinovar demo [folder] [--force] [--quiet]

Writes a synthetic session of three sensors (pelvis, thigh, shank) into the
folder, converts each recording, converts the set synchronised and writes a
viewer page of the first sensor. The recordings come from the generator that
"kinovar gen" runs. Without a folder the demo works in a temporary folder and
removes it when done: name a folder to keep the files and open the page.

options:
  --force            replace pelvis.bin, thigh.bin and shank.bin if the folder has them
  -q, --quiet        print nothing but errors
`;

const options = { force: { type: 'boolean' } };

async function run(args, io) {
  const { values, positionals } = parse('demo', args, options, io);
  if (values.help) return io.stdout(help), OK;
  const kinovar = lib();
  if (positionals.length > 1) throw new UsageError(`demo takes at most one folder\n\n${help}`);
  if (positionals[0]) {
    const folder = path.resolve(io.cwd, positionals[0]);
    kinovar.ensureFolder(folder);
    return demo(kinovar, folder, values, io);
  }
  // Nobody asked for these files: none may stay behind in the temporary folder.
  const native = require('../../lib/native/entry');
  const folder = native.temporaryFolder();
  try {
    return await demo(kinovar, folder, values, io);
  } finally {
    native.discardTemporary(folder);
    io.say(`\nRemoved ${folder}; run "kinovar demo <folder>" to keep the files and open the page.\n`);
  }
}

async function demo(kinovar, folder, values, io) {
  const recordings = kinovar.generateSession(folder, {
    seconds: 20, clock: 1000, accel: 100, gyro: 100, baro: 25, events: 1, still: 2, rate: 45, overwrite: values.force === true,
  });
  io.say(`Synthetic session of ${recordings.length} sensors in ${folder}:\n`);
  for (const file of recordings) io.say(`  ${path.basename(file)}  ${fs.statSync(file).size} bytes\n`);

  const results = await kinovar.promises.readRecordings(recordings, { outDir: path.join(folder, 'csv') });
  io.say(`\nConverted each recording (kinovar read):\n`);
  for (const r of results) {
    if (r.ok) {
      // The plain table: a header line, then a row per instant with a sample.
      const rows = fs.readFileSync(r.output, 'latin1').split('\n').length - 2;
      io.say(`  ${path.relative(folder, r.output)}  ${rows} rows, ${r.info.frequency} Hz clock, created ${r.info.createdAt}\n`);
    } else {
      io.stderr(`  ${path.basename(r.recording)}  failed: ${r.error.message}\n`);
    }
  }

  io.say(`\nSynchronised the set (kinovar sync):\n`);
  try {
    const files = await kinovar.promises.syncRecordings(recordings, path.join(folder, 'synchronised'));
    for (const file of files) io.say(`  ${path.relative(folder, file)}\n`);
  } catch (error) {
    io.stderr(`  not done: ${error.message}\n`);
  }

  if (results[0].ok) {
    const page = path.join(folder, `${path.basename(recordings[0], '.bin')}.html`);
    kinovar.writeViewPage(results[0].output, page);
    io.say(`\nViewer page (kinovar view): ${page}\n`);
  }
  return results.every((r) => r.ok) ? OK : FAILED;
}

module.exports = { summary, help, options, run };
