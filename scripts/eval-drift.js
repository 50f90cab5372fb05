#!/usr/bin/env node
// Drift alignment of 1 h and 24 h generated sets, every sample checked
// against the generator's clocks (outside npm test: minutes and gigabytes).
//   npm run eval:drift [-- 1]   (1: the hour only)
'use strict';
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const build = path.join(root, 'build', 'bench');

function run(command, args) {
  console.log(`> ${command} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  if (result.error || result.status !== 0) process.exit(result.status || 1);
}

run('cmake', ['-S', '.', '-B', build, '-DKINOVAR_BENCH=ON', '-DCMAKE_BUILD_TYPE=Release']);
run('cmake', ['--build', build, '-j', '2', '--target', 'kinovar-eval-drift']);
run(path.join(build, 'kinovar-eval-drift'), process.argv.slice(2));
