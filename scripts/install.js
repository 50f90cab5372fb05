#!/usr/bin/env node
'use strict';
// npm install: use the prebuilt binary when one loads on this machine,
// otherwise build from source with cmake-js. A git checkout always builds,
// so that a developer never runs a stale binary.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const fromSource = process.env.npm_config_build_from_source === 'true' || fs.existsSync(path.join(root, '.git'));

// Both modules: the addon node-gyp-build picks, and the library's entry beside it.
function prebuiltLoads() {
  const probe = spawnSync(process.execPath, ['-e',
    'const p = require("node-gyp-build").path(process.argv[1]); require(p); require(require("path").join(require("path").dirname(p), "native.node"))',
    root], { encoding: 'utf8' });
  return probe.status === 0;
}

if (!fromSource && prebuiltLoads()) {
  console.log(`kinovar: using the prebuilt binary for ${process.platform}-${process.arch}`);
  process.exit(0);
}
// cmake-js is an optional dependency: only a build from source needs it.
let cmakeJs;
try {
  cmakeJs = require.resolve('cmake-js/bin/cmake-js');
} catch {
  console.error(`kinovar: no prebuilt binary for ${process.platform}-${process.arch} loads here, and cmake-js, which ` +
    'builds from source, is not installed (optional dependencies were left out); install kinovar again without ' +
    '--omit=optional (the build also needs CMake and a C++20 compiler)');
  process.exit(1);
}
const build = spawnSync(process.execPath, [cmakeJs, 'compile', '--out', 'build/addon'], { cwd: root, stdio: 'inherit' });
if (build.status !== 0) {
  console.error('kinovar: the build from source failed; it needs CMake and a C++20 compiler ' +
    `(no prebuilt binary for ${process.platform}-${process.arch} loads here)`);
}
process.exit(build.status ?? 1);
