#!/usr/bin/env node
// Builds and runs the C++ unit tests through ctest, then the JavaScript tests.
'use strict';
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const fs = require('node:fs');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build', 'native');
const jobs = String(Math.max(2, require('node:os').availableParallelism?.() ?? 2));

function run(command, args) {
  console.log(`> ${command} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  if (result.error) {
    console.error(`could not run ${command}: ${result.error.message}`);
    process.exit(1);
  }
  if (result.status !== 0) process.exit(result.status ?? 1);
}

const extra = process.env.KINOVAR_CMAKE_ARGS ? process.env.KINOVAR_CMAKE_ARGS.split(' ') : [];
run('cmake', ['-S', '.', '-B', buildDir, '-DKINOVAR_TESTS=ON', ...extra]);
run('cmake', ['--build', buildDir, '-j', jobs]);
run('ctest', ['--test-dir', buildDir, '--output-on-failure', '-j', jobs]);

// Incremental: rebuilds the addon only where sources changed.
run(process.execPath, [require.resolve('cmake-js/bin/cmake-js'), 'compile', '--out', 'build/addon']);
const jsTests = fs.readdirSync(path.join(root, 'test', 'js'))
  .filter((name) => name.endsWith('.test.js'))
  .sort()
  .map((name) => path.join('test', 'js', name));
run(process.execPath, ['--test', ...jsTests]);

// The TypeScript declarations against their usage examples.
run(process.execPath, [path.join(root, 'node_modules', 'tsd', 'dist', 'cli.js')]);

// The Python package, where a Python 3 has pybind11, numpy and pytest (Debian's
// python3-pybind11, python3-numpy, python3-pytest): built in place over the
// core just built for the C++ tests.
const python = require('./python').findPython(['pybind11', 'numpy', 'pytest']);
if (python) {
  const inPython = { cwd: path.join(root, 'python'), stdio: 'inherit', env: { ...process.env, KINOVAR_CORE_BUILD: buildDir } };
  for (const args of [['setup.py', '-q', 'build_ext', '--inplace'], ['-m', 'pytest', '-q', 'tests']]) {
    console.log(`> (python) ${python} ${args.join(' ')}`);
    const result = spawnSync(python, args, inPython);
    if (result.status !== 0) process.exit(result.status ?? 1);
  }
} else if (process.env.KINOVAR_PYTHON_TESTS === 'required') {
  console.error('no python3 with pybind11, numpy and pytest: install python3-pybind11 python3-numpy python3-pytest');
  process.exit(1);
} else {
  console.log('Python tests skipped: no python3 with pybind11, numpy and pytest');
}
