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

module.exports = { scratch };
