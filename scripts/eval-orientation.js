#!/usr/bin/env node
// Inclination accuracy of the classic and the accurate orientation estimator
// on recordings with optical truth (outside npm test: the data is not ours).
//   npm run eval:orientation [-- <folder>]
// The folder holds NAME.bin beside NAME.truth.csv; by default the shared
// trials in ../shared/data/orientation beside this project, or the folder
// named by KINOVAR_ORIENTATION_DATA.
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const build = path.join(root, 'build', 'bench');
const data = path.resolve(process.argv[2] ?? process.env.KINOVAR_ORIENTATION_DATA ??
  path.join(root, '..', 'shared', 'data', 'orientation'));

function run(command, args) {
  console.log(`> ${command} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  if (result.error || result.status !== 0) process.exit(result.status || 1);
}

if (!fs.existsSync(data)) {
  console.error(`no trials in ${data}: give their folder as "npm run eval:orientation -- <folder>" ` +
    'or in KINOVAR_ORIENTATION_DATA');
  process.exit(1);
}
run('cmake', ['-S', '.', '-B', build, '-DKINOVAR_BENCH=ON', '-DCMAKE_BUILD_TYPE=Release']);
run('cmake', ['--build', build, '-j', '2', '--target', 'kinovar-eval-orientation']);
run(path.join(build, 'kinovar-eval-orientation'), [data]);
