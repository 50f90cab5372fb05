'use strict';
// One worker's share of 55.workers.test.js: read, readAndSync2 and the
// settings round trip, into its own output folder.
const fs = require('node:fs');
const path = require('node:path');

function runJob(addon, job, out) {
  fs.mkdirSync(path.join(out, 'sync'), { recursive: true });
  const config = path.join(out, 'settings.cfg');
  return [
    addon.read(job.recording, path.join(out, 'read.csv')),
    addon.readAndSync2(job.set, path.join(out, 'sync')),
    addon.writeConfig(config, job.text),
    addon.readConfig(config),
    addon.readConfigDeviceId(config),
    addon.readConfig(job.recording),
  ];
}

module.exports = { runJob };
