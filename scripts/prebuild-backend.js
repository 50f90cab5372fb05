#!/usr/bin/env node
'use strict';
// Stands in for node-gyp under prebuildify: builds with cmake-js and puts the
// addon where prebuildify collects it (build/Release), alone there so that it
// is the one collected (prebuild.js copies the library's native.node). The
// target version prebuildify passes does not matter: the addon uses Node-API
// only. The build has its own folder, linked to load on older systems
// (KINOVAR_PORTABLE), so that the developer's build/addon keeps its settings.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const debug = process.argv.includes('--debug');
const kind = debug ? 'Debug' : 'Release';
const args = [require.resolve('cmake-js/bin/cmake-js'), 'compile', '--out', 'build/prebuild', '--CDKINOVAR_PORTABLE=ON',
  ...(debug ? ['--debug'] : [])];
const run = spawnSync(process.execPath, args, { cwd: root, stdio: 'inherit' });
if (run.status !== 0) process.exit(run.status ?? 1);
fs.mkdirSync(path.join(root, 'build', kind), { recursive: true });
fs.copyFileSync(path.join(root, 'build', 'prebuild', kind, 'addon.node'), path.join(root, 'build', kind, 'addon.node'));
