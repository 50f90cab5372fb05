#!/usr/bin/env node
// SHA-256 of every output kinovar writes, made from generated recordings: the
// five native functions, each format and estimator of one recording and of a
// set, the settings files, load() and the viewer page. A restructuring must
// leave all of them as they were: `--check FILE` compares with a saved list.
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
const kinovar = require(root);
const { generateRecording, generateSession } = require(path.join(root, 'lib', 'native', 'generator'));
const viewer = require(path.join(root, 'lib', 'viewer', 'page'));

const sha = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');
// Reports name their files: the temporary folder's name is not part of them.
const json = (value) => JSON.stringify(value, (k, v) => (ArrayBuffer.isView(v) ? Array.from(v) : v)).split(dir).join('<dir>');
const fileSha = (file) => sha(fs.readFileSync(file));
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-digests-'));
const digests = {};
const put = (name, value) => { digests[name] = value; };

// The recordings keep the end date they had when the digests were taken;
// the generator now writes each one's real end by default.
const endDate = '2017-03-21 15:00:00';

// inspect's details (each gap, a rate that does not divide the clock) came
// after the digests were taken and have tests of their own; the summary
// every answer shares stays pinned.
function inspectSummary(report) {
  for (const stream of Object.values(report.streams)) {
    delete stream.gaps.list;
    delete stream.ticksPerSample;
    delete stream.rowsPerSample;
  }
  return report;
}

try {
  const one = generateRecording(path.join(dir, 'one.bin'), { seconds: 12, events: 1, seed: 7, baro: 25, endDate });
  const rough = generateRecording(path.join(dir, 'rough.bin'),
    { seconds: 12, seed: 3, cutBlocks: 3, swapBlocks: true, duplicateTicks: true, spike: 5, endDate });
  const odd = generateRecording(path.join(dir, 'odd.bin'), { seconds: 6, clock: 1024, accel: 300, gyro: 300, seed: 5, endDate });

  // The five native functions.
  for (const [name, file] of Object.entries({ one, rough, odd })) {
    const csv = path.join(dir, `native-${name}.csv`);
    put(`read(${name}).answer`, sha(kinovar.read(file, csv)));
    put(`read(${name}).csv`, fileSha(csv));
  }
  for (const method of ['marks', 'radio', 'stream']) {
    const folder = path.join(dir, `set-${method}`);
    fs.mkdirSync(folder);
    const set = generateSession(folder, { method, seconds: 8, events: 1, radioHz: method === 'stream' ? 10 : undefined, endDate });
    const out = path.join(dir, `native-sync-${method}`);
    fs.mkdirSync(out);
    put(`readAndSync2(${method}).status`, kinovar.readAndSync2(set, out));
    for (const f of fs.readdirSync(out).sort()) put(`readAndSync2(${method}).${f}`, fileSha(path.join(out, f)));

    for (const format of ['csv', 'plain', 'parquet', 'opensense']) {
      for (const orientation of ['classic', 'accurate']) {
        const target = path.join(dir, `sync-${method}-${format}-${orientation}`);
        const files = kinovar.syncRecordings(set, target, { format, orientation });
        put(`syncRecordings(${method},${format},${orientation}).report`, sha(json(files.report)));
        for (const f of fs.readdirSync(target).sort()) {
          put(`syncRecordings(${method},${format},${orientation}).${f}`, fileSha(path.join(target, f)));
        }
      }
    }
    const loaded = kinovar.loadSet(set, { orientation: 'accurate' });
    put(`loadSet(${method})`, sha(json(loaded)));
  }
  // A master whose signed counter passes 2^31 ticks after a slave's first radio pair.
  const late = path.join(dir, 'set-master-past-2^31');
  fs.mkdirSync(late);
  const lateSet = generateSession(late, { method: 'stream', seconds: 12, events: 1, radioHz: 10, endDate,
    sensors: [[1 - 2147483.648, 1.5, 'pelvis'], [-3.25, 0.5, 'thigh'], [7.125, 7.5, 'shank']] });
  const lateOut = path.join(dir, 'native-sync-master-past-2^31');
  fs.mkdirSync(lateOut);
  put('readAndSync2(stream,master past 2^31).status', kinovar.readAndSync2(lateSet, lateOut));
  for (const f of fs.readdirSync(lateOut).sort()) put(`readAndSync2(stream,master past 2^31).${f}`, fileSha(path.join(lateOut, f)));

  // Every format and estimator of one recording, through the API.
  for (const [name, file] of Object.entries({ one, rough, odd })) {
    for (const format of ['csv', 'plain', 'parquet']) {
      for (const orientation of ['classic', 'accurate', 'none']) {
        const target = path.join(dir, `api-${name}-${format}-${orientation}.${format === 'parquet' ? 'parquet' : 'csv'}`);
        const info = kinovar.readRecording(file, target, { format, orientation });
        put(`readRecording(${name},${format},${orientation}).answer`, sha(json(info)));
        put(`readRecording(${name},${format},${orientation}).file`, fileSha(target));
      }
    }
    put(`inspect(${name})`, sha(json(inspectSummary(kinovar.inspect(file)))));
    const loaded = kinovar.load(file, { orientation: 'accurate' });
    put(`load(${name})`, sha(json(loaded)));
    const page = path.join(dir, `view-${name}.html`);
    viewer.writeViewPage(file, page, {});
    put(`view(${name})`, fileSha(page));
    const csvPage = path.join(dir, `view-${name}-csv.html`);
    viewer.writeViewPage(path.join(dir, `native-${name}.csv`), csvPage, {});
    put(`view(${name}.csv)`, fileSha(csvPage));
    const parquetPage = path.join(dir, `view-${name}-parquet.html`);
    viewer.writeViewPage(path.join(dir, `api-${name}-parquet-classic.parquet`), parquetPage, {});
    put(`view(${name}.parquet)`, fileSha(parquetPage));
  }

  // Settings files.
  const cfg = path.join(dir, 'sensor.cfg');
  const settings = JSON.parse(kinovar.readConfig(one));
  settings.deviceId = 1234;
  settings.accel.frequency = 200;
  settings.gyro.range = 250;
  const text = kinovar.settingsText(settings);
  put('settingsText', sha(text));
  put('writeConfig', kinovar.writeConfig(cfg, text));
  put('writeConfig.file', fileSha(cfg));
  put('readConfig', sha(kinovar.readConfig(cfg)));
  put('readConfigDeviceId', sha(kinovar.readConfigDeviceId(cfg)));
  put('readConfig(recording)', sha(kinovar.readConfig(one)));
  put('readSettings(recording)', sha(json(kinovar.readSettings(one))));
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}

const check = process.argv.indexOf('--check');
if (check < 0) {
  process.stdout.write(`${JSON.stringify(digests, null, 1)}\n`);
} else {
  const pinned = JSON.parse(fs.readFileSync(process.argv[check + 1], 'utf8'));
  const names = new Set([...Object.keys(pinned), ...Object.keys(digests)]);
  let differ = 0;
  for (const name of names) {
    if (pinned[name] !== digests[name]) {
      differ++;
      console.error(`differs: ${name}`);
    }
  }
  console.log(`${names.size - differ} passed, ${differ} failed`);
  process.exit(differ ? 1 : 0);
}
