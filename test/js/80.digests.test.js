'use strict';
// Every output's bytes, pinned: a change to any of them must be meant, and
// then the list is made again (node scripts/output-digests.js > test/js/digests.json).
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

// The pins are Linux's: Windows writes the CSV formats with CR LF.
test('every output keeps its pinned bytes', { skip: process.platform === 'win32' }, () => {
  const script = path.join(__dirname, '..', '..', 'scripts', 'output-digests.js');
  const run = spawnSync(process.execPath, [script, '--check', path.join(__dirname, 'digests.json')], { encoding: 'utf8' });
  assert.strictEqual(run.status, 0, run.stderr + run.stdout);
});
