#!/usr/bin/env node
'use strict';
// Makes the prebuilt binary for this platform: prebuildify drives a cmake-js
// build and names the addon the way node-gyp-build looks for it; the
// library's own module (native.node) and the recording generator go beside
// it, so that the library and the demo work without a compiler. Then checks
// that a copy of the package without any build loads it. On Linux it checks
// that the binaries load on older distributions and cross-builds the Windows
// binary as well.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { checkVersions } = require('./symbol-versions');

const root = path.join(__dirname, '..');
const tuple = `${process.platform}-${process.arch}`;
const folder = path.join(root, 'prebuilds', tuple);

function run(command, args, options = {}) {
  console.log(`> ${path.basename(command)} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', ...options });
  if (result.status !== 0) {
    console.error(`prebuild: ${path.basename(command)} failed`);
    process.exit(result.status ?? 1);
  }
}

run(process.execPath, [path.join(root, 'node_modules', 'prebuildify', 'bin.js'), '--napi', '--strip'], {
  env: { ...process.env, PREBUILD_NODE_GYP: path.join(__dirname, 'prebuild-backend.js') },
});
const gen = process.platform === 'win32' ? 'kinovar-gen.exe' : 'kinovar-gen';
fs.copyFileSync(path.join(root, 'build', 'prebuild', gen), path.join(folder, gen));
fs.copyFileSync(path.join(root, 'build', 'prebuild', 'Release', 'native.node'), path.join(folder, 'native.node'));
// prebuildify strips the addon alone.
if (process.platform === 'linux') run('strip', [path.join(folder, gen), path.join(folder, 'native.node')]);
console.log(`prebuilds/${tuple}: ${fs.readdirSync(folder).join(', ')}`);
if (process.platform === 'linux') for (const file of fs.readdirSync(folder)) checkVersions(path.join(folder, file), 'prebuild');

// A package without build/ must load the prebuilt binary.
const stage = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-prebuilt-'));
try {
  for (const part of ['lib', 'bin', 'prebuilds', 'package.json']) fs.cpSync(path.join(root, part), path.join(stage, part), { recursive: true });
  fs.symlinkSync(path.join(root, 'node_modules'), path.join(stage, 'node_modules'), 'junction');
  const probe = spawnSync(process.execPath, ['-e',
    'const k = require("./lib"); const p = require("node-gyp-build").path("."); console.log(Object.keys(k).slice(0, 5).join(), p)'],
  { cwd: stage, encoding: 'utf8' });
  if (probe.status !== 0 || !probe.stdout.includes(path.join('prebuilds', tuple))) {
    console.error(`prebuild: the prebuilt binary does not load:\n${probe.stdout}${probe.stderr}`);
    process.exit(1);
  }
  console.log(`loads without a build: ${probe.stdout.trim()}`);
} finally {
  fs.rmSync(stage, { recursive: true, force: true });
}

// Linux also cross-builds the Windows binary (its loading is checked under
// Wine by "npm run test:windows").
if (tuple === 'linux-x64') run(process.execPath, [path.join(__dirname, 'windows.js'), 'build']);
