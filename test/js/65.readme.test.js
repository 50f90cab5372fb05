'use strict';
// The README's examples, run as a reader would: its command lines in a
// shell, then its JavaScript in one script, in the same folder.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { scratch } = require('./helpers');

const root = path.join(__dirname, '..', '..');
const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
const blocks = (lang) => [...readme.matchAll(new RegExp(`\`\`\`${lang}\\n([\\s\\S]*?)\`\`\``, 'g'))].map((m) => m[1]);

test('the README examples run as written', { skip: process.platform === 'win32' && 'the examples use a POSIX shell' }, (t) => {
  const dir = scratch(t);
  const cli = `"${process.execPath}" "${path.join(root, 'bin', 'kinovar.js')}"`;
  const tour = blocks('sh').find((b) => b.includes('npx kinovar demo .'));
  for (const line of tour.split('\n').filter(Boolean)) {
    const command = line.replace(/\s+#.*$/, '').replace(/^npx kinovar/, cli);
    const run = spawnSync('sh', ['-c', command], { cwd: dir, encoding: 'utf8' });
    assert.equal(run.status, 0, `${line}\n${run.stderr}`);
  }
  assert.match(fs.readFileSync(path.join(dir, 'pelvis.csv'), 'latin1'), /^time,gyro_x,/);

  const script = blocks('js').join('\n').replaceAll("require('kinovar')", `require(${JSON.stringify(root)})`);
  const run = spawnSync(process.execPath, ['-e', `(async () => {\n${script}\n})().then(() => process.exit(0), (e) => { console.error(e); process.exit(1); });`],
    { cwd: dir, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(JSON.parse(spawnSync('sh', ['-c', `${cli} config device-id sensor.cfg`], { cwd: dir, encoding: 'utf8' }).stdout), 42);
  assert.deepEqual(fs.readdirSync(path.join(dir, 'out')).sort(), ['orientations.sto', 'pelvis.csv', 'set.json', 'shank.csv']);
});
