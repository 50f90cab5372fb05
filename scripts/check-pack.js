#!/usr/bin/env node
'use strict';
// The package as a user gets it: packs it (npm pack runs prepack, which makes
// the prebuilt binaries), checks that the tarball carries them for Linux x64
// and Windows x64, installs it into a new project whose PATH holds nothing but
// node and npm (no compiler, no CMake) with optional dependencies (cmake-js)
// left out, runs the demo there and converts a recording, which must give the
// bytes this checkout gives. Where Wine is installed (npm run test:windows
// installs it), Windows Node runs the demo from the same install on the
// Windows binaries. Last, the tarball installed with a build from source
// forced (as where no prebuilt binary serves) must build and give those bytes.
//   node scripts/check-pack.js [kinovar-x.y.z.tgz]   check that tarball instead of packing anew
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
const tuples = ['linux-x64', 'win32-x64'];

function fail(message) {
  console.error(`check-pack: ${message}`);
  process.exit(1);
}

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', ...options });
  if (result.error || result.status !== 0) {
    fail(`${path.basename(command)} ${args.join(' ')} failed (${result.error?.message ?? `exit ${result.status}`})\n` +
      `${result.stdout ?? ''}${result.stderr ?? ''}`);
  }
  return result.stdout;
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-pack-'));
// fail() exits at once: the folder goes then too.
process.on('exit', () => fs.rmSync(work, { recursive: true, force: true }));

// npm's own settings for the script that runs us must not reach the npm runs below.
const env = Object.fromEntries(Object.entries(process.env).filter(([name]) => !/^npm_/i.test(name)));

let tarball = process.argv[2] && path.resolve(process.argv[2]);
if (!tarball) {
  console.log('> npm pack (prepack makes the prebuilt binaries)');
  const packed = spawnSync('npm', ['pack', '--pack-destination', work], { cwd: root, env, stdio: 'inherit' });
  if (packed.status !== 0) fail(`npm pack failed (exit ${packed.status ?? packed.error?.message})`);
  tarball = path.join(work, fs.readdirSync(work).find((name) => name.endsWith('.tgz')));
}

// Each platform's folder holds the library's modules and the generator, and
// the tarball every file of them.
const entries = new Set(run('tar', ['-tzf', tarball]).split('\n').map((line) => line.trim()).filter(Boolean));
const shipped = (tuple) => [...entries].filter((entry) => entry.startsWith(`package/prebuilds/${tuple}/`))
  .map((entry) => entry.slice(`package/prebuilds/${tuple}/`.length));
const modules = (files) => files.filter((file) => file.endsWith('.node') && !/^(node\.napi|kinovar)\.node$/.test(file)).sort();
for (const tuple of tuples) {
  const files = shipped(tuple);
  const generator = tuple.startsWith('win32') ? 'kinovar-gen.exe' : 'kinovar-gen';
  if (!files.some((file) => /^(node\.napi|kinovar)\.node$/.test(file)) || !files.includes(generator)) {
    fail(`the tarball's prebuilds/${tuple} holds ${files.join(', ') || 'nothing'}: it needs the addon and ${generator}`);
  }
  const local = path.join(root, 'prebuilds', tuple);
  const missing = fs.existsSync(local) ? fs.readdirSync(local).filter((file) => !files.includes(file)) : [];
  if (missing.length > 0) fail(`the tarball lacks prebuilds/${tuple}/${missing.join(', ')}`);
}
const [linux, windows] = tuples.map((tuple) => modules(shipped(tuple)).join(', '));
if (linux !== windows) fail(`the Linux prebuild has the modules ${linux || 'none'} beside the addon, Windows ${windows || 'none'}`);
console.log(`${path.basename(tarball)}: ${tuples.map((tuple) => `prebuilds/${tuple} (${shipped(tuple).join(', ')})`).join(', ')}`);

// PATH with node, npm and the shell npm runs scripts with: whatever the
// install runs finds no compiler.
const bin = path.join(work, 'bin');
fs.mkdirSync(bin);
fs.symlinkSync(process.execPath, path.join(bin, 'node'));
for (const tool of ['npm', 'sh']) {
  const found = spawnSync('sh', ['-c', `command -v ${tool}`], { encoding: 'utf8' }).stdout.trim();
  if (!found) fail(`${tool} is not on the PATH`);
  fs.symlinkSync(fs.realpathSync(found), path.join(bin, tool));
}
const bare = { ...env, PATH: bin };

const app = path.join(work, 'app');
fs.mkdirSync(app);
fs.writeFileSync(path.join(app, 'package.json'), '{ "name": "app", "private": true }\n');
console.log('> npm install <tarball> --omit=optional, PATH with node and npm only');
run(path.join(bin, 'npm'), ['install', tarball, '--omit=optional', '--no-audit', '--no-fund'], { cwd: app, env: bare });
const installed = path.join(app, 'node_modules', 'kinovar');
for (const [folder, why] of [[path.join(installed, 'build'), 'the install built from source'],
  [path.join(app, 'node_modules', 'cmake-js'), 'cmake-js was installed although optional dependencies were left out']]) {
  if (fs.existsSync(folder)) fail(`${why} (${folder})`);
}

const demo = spawnSync(path.join(app, 'node_modules', '.bin', 'kinovar'), ['demo', 'demo'],
  { cwd: app, env: bare, encoding: 'utf8' });
if (demo.status !== 0) fail(`"kinovar demo demo" failed in the installed package (exit ${demo.status}):\n${demo.stdout}${demo.stderr}`);
console.log('kinovar demo: done with the prebuilt binaries');

// The same recording converted by the package and by this checkout.
const recording = path.join(app, 'demo', 'thigh.bin');
const convert = `const k = require(process.argv[1]); k.readRecording(${JSON.stringify(recording)}, process.argv[2]);`;
run(path.join(bin, 'node'), ['-e', convert, 'kinovar', path.join(work, 'packed.csv')], { cwd: app, env: bare });
// And through the package's ES module entry.
run(path.join(bin, 'node'), ['--input-type=module', '-e', `import { readRecording } from 'kinovar'; ` +
  `readRecording(${JSON.stringify(recording)}, ${JSON.stringify(path.join(work, 'imported.csv'))});`], { cwd: app, env: bare });
run(process.execPath, ['-e', convert, root, path.join(work, 'here.csv')], { env });
for (const file of ['packed.csv', 'imported.csv']) {
  if (!fs.readFileSync(path.join(work, file)).equals(fs.readFileSync(path.join(work, 'here.csv')))) {
    fail(`the installed package (${file === 'packed.csv' ? 'required' : 'imported'}) and this checkout write different ` +
      'CSV files for the same recording');
  }
}
console.log('the installed package, required or imported, writes the bytes this checkout writes');

if (spawnSync('sh', ['-c', 'command -v wine'], { stdio: 'ignore' }).status === 0) {
  const windows = spawnSync(process.execPath, [path.join(__dirname, 'windows.js'), 'node',
    path.join('node_modules', 'kinovar', 'bin', 'kinovar.js'), 'demo', 'windows-demo'], { cwd: app, env, encoding: 'utf8' });
  // Wine may lose a process's exit code: the files must be there too.
  const written = ['pelvis', 'thigh', 'shank'].every((name) => fs.existsSync(path.join(app, 'windows-demo', 'csv', `${name}.csv`)));
  if (windows.status !== 0 || !written) fail(`the demo failed under Wine on the Windows binaries:\n${windows.stdout}${windows.stderr}`);
  console.log('kinovar demo under Wine: done with the prebuilt Windows binaries');
} else {
  console.log('Windows binaries not run: Wine is not installed ("npm run test:windows" installs it)');
}

const source = path.join(work, 'source');
fs.mkdirSync(source);
fs.writeFileSync(path.join(source, 'package.json'), '{ "name": "source", "private": true }\n');
console.log('> npm install <tarball>, built from source');
run('npm', ['install', tarball, '--no-audit', '--no-fund'], { cwd: source, env: { ...env, npm_config_build_from_source: 'true' } });
if (!fs.existsSync(path.join(source, 'node_modules', 'kinovar', 'build', 'addon', 'Release', 'native.node'))) {
  fail('the install built nothing although a build from source was asked for');
}
run(process.execPath, ['-e', convert, 'kinovar', path.join(work, 'built.csv')], { cwd: source, env });
if (!fs.readFileSync(path.join(work, 'built.csv')).equals(fs.readFileSync(path.join(work, 'here.csv')))) {
  fail('the package built from source writes other bytes than this checkout');
}
console.log('built from source on install: the same bytes');
