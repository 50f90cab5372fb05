'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

/** A fresh scratch folder, removed when the test ends. */
function scratch(t, prefix = 'kinovar-') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Deterministic, so that a failing input can be made again.
function prng(seed) {
  let state = seed >>> 0;
  return (n) => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return Math.floor((state / 0x100000000) * n); // high bits: the low ones of an LCG cycle short
  };
}

// The CSV is a text file: Windows stores each line end as CR LF.
const EOL = process.platform === 'win32' ? '\r\n' : '\n';

// The answers of read that hosts compare as text.
const errorDocument = '{"error":"Error during data loading."}';
const defaultDocument =
  '{"createdAt":"0000-00-00 00:00:00","endDate":"0000-00-00 00:00:00","frequency":0,' +
  '"version":"0","minorVersion":"0","majorVersion":"0","measureId":-1}';
const headerOnly =
  'Quandrel - Kinovar data export\nCreated on: 0000-00-00 00:00:00\nTotal data points: 0\n\nTime [0 hz],\nTime,\n[s],\n'
    .replaceAll('\n', EOL);

module.exports = { scratch, prng, errorDocument, defaultDocument, headerOnly, EOL };
