#!/usr/bin/env node
'use strict';
// The Python wheel as a release would make it: built with Debian's packages
// alone and linked for glibc 2.28 (KINOVAR_PORTABLE=1), its module checked
// for symbol versions, installed into a fresh virtual environment without
// network (numpy and pandas from the system), and the package's tests run
// against the installed copy.
//   node scripts/check-python-wheel.js   needs python3-build, python3-wheel, python3-venv, python3-pybind11
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { checkVersions } = require('./symbol-versions');

const root = path.join(__dirname, '..');
const python = require('./python').findPython(['pybind11', 'build', 'wheel', 'pytest']);
if (!python) {
  console.error('check-python-wheel: no python3 with pybind11, build, wheel and pytest; install python3-pybind11 ' +
    'python3-build python3-wheel python3-pytest python3-venv');
  process.exit(1);
}
const packageDir = path.join(root, 'python');

function run(command, args, options = {}) {
  console.log(`> ${path.basename(command)} ${args.join(' ')}`);
  const result = spawnSync(command, args, { stdio: 'inherit', ...options });
  if (result.error || result.status !== 0) {
    console.error(`check-python-wheel: ${path.basename(command)} failed (${result.error?.message ?? `exit ${result.status}`})`);
    process.exit(1);
  }
}

const ccache = spawnSync('ccache', ['--version'], { stdio: 'ignore' }).status === 0;
const env = { ...process.env, KINOVAR_PORTABLE: '1', ...(ccache && !process.env.CXX ? { CC: 'ccache gcc', CXX: 'ccache g++' } : {}) };
// A wheel of an earlier build could have been linked otherwise.
for (const stale of ['build', 'dist']) fs.rmSync(path.join(packageDir, stale), { recursive: true, force: true });
run(python, ['-m', 'build', '--wheel', '--no-isolation'], { cwd: packageDir, env });
const wheel = fs.readdirSync(path.join(packageDir, 'dist')).find((name) => name.endsWith('.whl'));

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-wheel-'));
try {
  run(python, ['-m', 'zipfile', '-e', path.join(packageDir, 'dist', wheel), path.join(scratch, 'unpacked')]);
  const modules = path.join(scratch, 'unpacked', 'kinovar');
  for (const file of fs.readdirSync(modules).filter((name) => name.endsWith('.so'))) {
    checkVersions(path.join(modules, file), 'check-python-wheel');
  }
  const venv = path.join(scratch, 'venv');
  run(python, ['-m', 'venv', '--system-site-packages', venv]);
  const venvPython = path.join(venv, 'bin', 'python');
  run(venvPython, ['-m', 'pip', 'install', '--no-index', '--no-deps', path.join(packageDir, 'dist', wheel)]);
  // From a folder of its own, so that the source tree's package is not the one imported.
  const installed = spawnSync(venvPython, ['-c', 'import kinovar; print(kinovar.__file__)'], { cwd: scratch, encoding: 'utf8' });
  if (!installed.stdout.startsWith(venv)) {
    console.error(`check-python-wheel: kinovar imports from ${installed.stdout.trim() || installed.stderr}, not the venv`);
    process.exit(1);
  }
  run(venvPython, ['-m', 'pytest', '-q', '-p', 'no:cacheprovider', path.join(packageDir, 'tests')], { cwd: scratch });
  console.log(`${wheel}: installs without network and passes its tests`);
} finally {
  fs.rmSync(scratch, { recursive: true, force: true });
}
