#!/usr/bin/env node
// Release build of the benchmarks, then the end-to-end tables (workloads are
// generated once into build/bench/workloads) and the micro-benchmarks.
'use strict';
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const build = path.join(root, 'build', 'bench');
const runs = process.env.KINOVAR_BENCH_RUNS || '5';

function run(command, args) {
  console.log(`> ${command} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit' });
  if (result.error || result.status !== 0) process.exit(result.status || 1);
}

run('cmake', ['-S', '.', '-B', build, '-DKINOVAR_BENCH=ON', '-DCMAKE_BUILD_TYPE=Release']);
run('cmake', ['--build', build, '-j', '2']);
run(path.join(build, 'bench', 'kinovar-bench-table'), [path.join(build, 'workloads'), runs]);
run(path.join(build, 'bench', 'kinovar-bench-micro'), ['--benchmark_min_time=0.2']);
run(process.execPath, [path.join(root, 'bench', 'formats.js'), path.join(build, 'workloads'), runs]);
// The Python package's load() against Node's, when it is built.
run(process.execPath, [path.join(root, 'bench', 'python.js'), path.join(build, 'workloads'), runs]);
run(process.execPath, [path.join(root, 'bench', 'view.js'), path.join(build, 'workloads')]);
// The hour of the long table; npm run bench:long adds a day and a week.
run(process.execPath, [path.join(root, 'bench', 'long.js'), path.join(build, 'workloads'), '--short']);
// Calibration's cost (an hour here; npm run bench:long takes a day) and its accuracy.
run(process.execPath, [path.join(root, 'bench', 'calibration.js'), path.join(build, 'workloads')]);
