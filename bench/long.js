#!/usr/bin/env node
'use strict';
// Long recordings through the command line: seconds and peak resident memory
// of read (each format, each estimator), inspect, view and a three-recording
// sync, for one hour and one day at 1000 Hz and a week at 100 Hz, with the
// ratios the targets name. Each command runs in a fresh process; outputs go
// to a scratch folder and are deleted as soon as they are measured.
//   node bench/long.js [work folder] [--short] [--long-sets] [--kinovar <checkout>]
//     [--runs N] [--only <text>] [--lengths 1h,24h,7d] [--max-rss-gb G] [--scratch <folder>]
// --short: the hour only. --long-sets: sync sets of a day and a week too
// (else of an hour only: a set takes three times the generation and time).
// --runs: runs of each (default 3 for the hour, 1 for the longer ones).
// --kinovar: measure another checkout's build (a baseline) with this script.
// --only: the rows whose name contains the text. --lengths: those lengths
// only (keep 1h: the others are compared with it). Without --short, it takes
// about an hour on two cores, and some 12 GB of /tmp beside the workloads.
const { spawn, spawnSync, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

function parseArgs(argv) {
  const options = { work: null, short: false, longSets: false, root: path.join(__dirname, '..'), runs: null, only: null,
    lengths: null, maxRssGb: 12, scratch: os.tmpdir() };
  for (let i = 0; i < argv.length; ++i) {
    const value = () => {
      if (i + 1 >= argv.length) throw new Error(`${argv[i]} needs a value`);
      return argv[++i];
    };
    if (argv[i] === '--short') options.short = true;
    else if (argv[i] === '--long-sets') options.longSets = true;
    else if (argv[i] === '--kinovar') options.root = path.resolve(value());
    else if (argv[i] === '--runs') options.runs = Number(value());
    else if (argv[i] === '--only') options.only = value();
    else if (argv[i] === '--lengths') options.lengths = value().split(',');
    else if (argv[i] === '--max-rss-gb') options.maxRssGb = Number(value());
    else if (argv[i] === '--scratch') options.scratch = path.resolve(value());
    else if (!argv[i].startsWith('-') && options.work === null) options.work = path.resolve(argv[i]);
    else throw new Error(`unknown argument ${argv[i]}`);
  }
  options.work ??= path.join(options.root, 'build', 'bench', 'workloads');
  return options;
}

// The I/O floor: the input read and as many bytes as the output had written,
// in large pieces, with plain file calls, into a new file in the outputs'
// folder; with --durable forced to the medium before it is closed.
if (process.argv[2] === '--floor') {
  const [, , , input, bytes, output, durable] = process.argv;
  const buffer = Buffer.alloc(4 << 20, 'x');
  const fdIn = fs.openSync(input, 'r');
  while (fs.readSync(fdIn, buffer, 0, buffer.length, null) > 0);
  fs.closeSync(fdIn);
  const fdOut = fs.openSync(output, 'w');
  for (let left = Number(bytes); left > 0; left -= buffer.length) fs.writeSync(fdOut, buffer, 0, Math.min(left, buffer.length));
  if (durable === '--durable') fs.fsyncSync(fdOut);
  fs.closeSync(fdOut);
  process.exit(0);
}

const options = parseArgs(process.argv.slice(2));
const cli = path.join(options.root, 'bin', 'kinovar.js');
const { generateRecording, generateSession } = require(path.join(options.root, 'lib', 'native', 'generator'));
const GB = 1e9;
const MB = (bytes) => (bytes / 1e6).toFixed(0);

const lengths = [
  { name: '1 h at 1000 Hz', key: '1h', seconds: 3600, hz: 1000 },
  { name: '24 h at 1000 Hz', key: '24h', seconds: 86400, hz: 1000 },
  { name: '7 days at 100 Hz', key: '7d', seconds: 7 * 86400, hz: 100 },
].filter((length) => (!options.short || length.key === '1h') && (!options.lengths || options.lengths.includes(length.key)));

const recipe = (length) => ({ seconds: length.seconds, clock: 1000, accel: length.hz, gyro: length.hz, baro: 25,
  events: 1 / 12, still: 5, rate: 30, noise: 8 });

function workloads(length) {
  fs.mkdirSync(options.work, { recursive: true });
  const recording = path.join(options.work, `long-${length.key}.bin`);
  if (!fs.existsSync(recording)) {
    console.log(`generating ${recording} ...`);
    generateRecording(`${recording}.part`, recipe(length));
    fs.renameSync(`${recording}.part`, recording);
  }
  if (length.key !== '1h' && !options.longSets) return { recording, set: null };
  const setFolder = path.join(options.work, `long-set-${length.key}`);
  if (!fs.existsSync(path.join(setFolder, 'done'))) {
    console.log(`generating ${setFolder} ...`);
    fs.rmSync(setFolder, { recursive: true, force: true });
    fs.mkdirSync(setFolder);
    generateSession(setFolder, recipe(length));
    fs.writeFileSync(path.join(setFolder, 'done'), '');
  }
  const set = fs.readdirSync(setFolder).filter((f) => f.endsWith('.bin')).sort().map((f) => path.join(setFolder, f));
  return { recording, set };
}

/** Every process below pid, pid included. */
function tree(pid) {
  const pids = [pid];
  for (let i = 0; i < pids.length; ++i) {
    try {
      for (const task of fs.readdirSync(`/proc/${pids[i]}/task`)) {
        const children = fs.readFileSync(`/proc/${pids[i]}/task/${task}/children`, 'utf8').trim();
        if (children) pids.push(...children.split(/\s+/).map(Number));
      }
    } catch { /* gone */ }
  }
  return pids;
}

function rss(pids) {
  let bytes = 0;
  for (const pid of pids) {
    try {
      const match = /VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
      if (match) bytes += Number(match[1]) * 1024;
    } catch { /* gone */ }
  }
  return bytes;
}

const timeBinary = fs.existsSync('/usr/bin/time') ? '/usr/bin/time' : null;

/**
 * Runs a command niced, its peak resident memory from the kernel (through
 * time(1)) where it can, else sampled. A run that grows past the limit is
 * stopped, so that a baseline that cannot finish does not take the machine.
 */
function measure(command, args) {
  return new Promise((resolve) => {
    spawnSync('sync');
    const report = path.join(options.scratch, `kinovar-long-time-${process.pid}`);
    const argv = timeBinary ? [timeBinary, '-f', '%e %M %U %S', '-o', report, command, ...args] : [command, ...args];
    const start = process.hrtime.bigint();
    const child = spawn('nice', ['-n', '10', ...argv], { stdio: ['ignore', 'ignore', 'pipe'] });
    let stderr = '';
    child.stderr.on('data', (chunk) => { stderr = (stderr + chunk).slice(-2000); });
    let sampled = 0, stopped = false;
    const watch = setInterval(() => {
      const now = rss(tree(child.pid));
      sampled = Math.max(sampled, now);
      if (now > options.maxRssGb * GB && !stopped) {
        stopped = true;
        for (const pid of tree(child.pid).reverse()) try { process.kill(pid, 'SIGKILL'); } catch { /* gone */ }
      }
    }, 100);
    child.on('close', (code) => {
      clearInterval(watch);
      const seconds = Number(process.hrtime.bigint() - start) / 1e9;
      let peak = sampled, cpu = null;
      try {
        const [, kib, user, system] = fs.readFileSync(report, 'utf8').trim().split('\n').pop().split(' ').map(Number);
        if (kib > 0) peak = kib * 1024, cpu = user + system;
        fs.rmSync(report, { force: true });
      } catch { /* no report */ }
      const failure = stopped ? `stopped above ${options.maxRssGb} GB` : code !== 0 ? lastLine(stderr) || `exit ${code}` : null;
      resolve({ seconds, cpu, peak, failure });
    });
  });
}

// Why a run failed: the reason the summary's recording was given, else the last line.
function lastLine(text) {
  const lines = text.replace(/\r[^\n]*?\x1b\[K/g, '').trim().split('\n').filter((l) => !/^\s*Command (exited|terminated)/.test(l));
  return lines.find((l) => /^failed /.test(l))?.replace(/^failed .*?: /, '') ?? lines.pop() ?? '';
}

function sizeOf(target) {
  if (!fs.existsSync(target)) return 0;
  const stat = fs.statSync(target);
  if (!stat.isDirectory()) return stat.size;
  return fs.readdirSync(target).reduce((sum, f) => sum + sizeOf(path.join(target, f)), 0);
}

function readHelp() {
  return execFileSync(process.execPath, [cli, 'read', '--help'], { encoding: 'utf8' });
}

// Formats named by this checkout's read (a later one may write more).
const help = readHelp();
const formats = [['csv', '.csv'], ['plain', '.csv'], ['parquet', '.parquet'], ['opensim', '.sto']]
  .filter(([format]) => format === 'csv' || new RegExp(`^\\s+${format}:`, 'm').test(help));
const estimators = ['classic', 'accurate', 'none'];

function jobs(length, { recording, set }, scratch) {
  const list = [];
  for (const [format, extension] of formats) {
    for (const estimator of length.key === '1h' ? estimators : ['classic', 'accurate']) {
      const out = path.join(scratch, `out${extension}`);
      list.push({ name: `read --format ${format} --orientation ${estimator}`, kind: 'read', format, estimator, out,
        args: [cli, 'read', recording, '-o', out, '--format', format, '--orientation', estimator, '--quiet'] });
    }
  }
  list.push({ name: 'inspect', args: [cli, 'inspect', recording, '--quiet'] });
  // Epochs to Parquet against the plain CSV without orientation, the target they are held to, at the
  // same calibration: the default (a fit, then the pass) and none.
  const plain = path.join(scratch, 'plain.csv');
  const epochs = path.join(scratch, 'epochs.parquet');
  for (const off of [false, true]) {
    const calibrate = off ? ['--calibrate', 'off'] : [];
    if (length.key !== '1h' || off) {
      list.push({ name: `read --format plain --orientation none${off ? ' --calibrate off' : ''}`, kind: 'read', out: plain,
        args: [cli, 'read', recording, '-o', plain, '--format', 'plain', '--orientation', 'none', ...calibrate, '--quiet'] });
    }
    list.push({ name: `epochs --epoch 5 to parquet${off ? ' --calibrate off' : ''}`, out: epochs,
      args: [cli, 'epochs', recording, '-o', epochs, ...calibrate, '--quiet'] });
  }
  const page = path.join(scratch, 'page.html');
  list.push({ name: 'view', out: page, args: [cli, 'view', recording, '-o', page, '--quiet'] });
  for (const format of set ? ['csv', 'opensense'] : []) {
    const folder = path.join(scratch, 'set');
    list.push({ name: `sync ×${set.length} --format ${format} --orientation accurate`, kind: 'sync', out: folder,
      args: [cli, 'sync', ...set, '-o', folder, '--format', format, '--orientation', 'accurate', '--quiet'] });
  }
  return list.filter((job) => !options.only || job.name.includes(options.only));
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function main() {
  const commit = spawnSync('git', ['-C', options.root, 'log', '-1', '--format=%h %s'], { encoding: 'utf8' }).stdout.trim();
  const scratch = fs.mkdtempSync(path.join(options.scratch, 'kinovar-long-'));
  const results = {};
  console.log(`\nLong recordings, ${commit.slice(0, 80)}`);
  console.log(`${os.cpus().length} cores, ${(os.totalmem() / GB).toFixed(0)} GB; median of ${options.runs ?? '3 (the hour) or 1'} run(s), ` +
    `each a fresh niced process; load average at start ${os.loadavg()[0].toFixed(1)}\n`);
  console.log('| length | work | seconds | CPU s | peak MB | output MB | × I/O floor | floor s (median, max) | floor to medium s | × 1 h (per sample) | CPU × 1 h (per sample) |');
  console.log('|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|');
  try {
    for (const length of lengths) {
      const inputs = workloads(length);
      for (const job of jobs(length, inputs, scratch)) {
        const runs = [], floors = [];
        let bytes = 0, medium = null;
        // The floor is a process like the run, timed the same way, in the
        // same folder, after every run of the hour (the first also to the
        // medium), so that runs and floors alternate and meet the same state
        // of the disk and its cache.
        const floorRun = (durable) => measure(process.execPath, [__filename, '--floor', inputs.recording, String(bytes),
          path.join(scratch, 'floor.out'), ...(durable ? ['--durable'] : [])])
          .finally(() => fs.rmSync(path.join(scratch, 'floor.out'), { force: true }));
        const floored = job.kind === 'read' && length.key === '1h';
        for (let r = 0; r < (options.runs ?? (length.key === '1h' ? 3 : 1)); ++r) {
          const result = await measure(process.execPath, job.args);
          if (job.out) bytes = sizeOf(job.out);
          if (job.out) fs.rmSync(job.out, { recursive: true, force: true });
          runs.push(result);
          if (result.failure) break;
          if (floored && r === 0) medium = await floorRun(true);
          if (floored) floors.push(await floorRun(false));
        }
        const okFloors = floors.filter((f) => !f.failure);
        const floor = okFloors.length ? { seconds: median(okFloors.map((f) => f.seconds)),
          low: Math.min(...okFloors.map((f) => f.seconds)), high: Math.max(...okFloors.map((f) => f.seconds)),
          medium: medium && !medium.failure ? medium.seconds : null } : null;
        const failure = runs.find((r) => r.failure)?.failure;
        const result = { seconds: median(runs.map((r) => r.seconds)), cpu: median(runs.map((r) => r.cpu)), peak: Math.max(...runs.map((r) => r.peak)), bytes, failure };
        (results[job.name] ??= {})[length.key] = result;
        const hour = results[job.name]['1h'];
        // Against the hour, in wall and in processor time: the plain ratio,
        // and per sample (1.00 is linear).
        const samples = length.seconds * length.hz / 3.6e6;
        const ratio = (a, b) => a && b ? `${(a / b).toFixed(1)} (${(a / b / samples).toFixed(2)})` : '';
        const linear = length.key !== '1h' && hour && !hour.failure && !failure
          ? `${ratio(result.seconds, hour.seconds)} | ${ratio(result.cpu, hour.cpu)}` : ' | ';
        const seconds = failure ? `fails after ${result.seconds.toFixed(0)} s: ${failure}` : result.seconds.toFixed(2);
        // Best against best: what others do on the machine only ever adds to either.
        const best = Math.min(...runs.map((r) => r.seconds));
        const floorCell = floor && !failure ? `${(best / floor.low).toFixed(2)} | ${floor.low.toFixed(2)} ` +
          `(${floor.seconds.toFixed(2)}, ${floor.high.toFixed(2)}) | ${floor.medium?.toFixed(2) ?? ''}` : ' | | ';
        console.log(`| ${length.name} | ${job.name} | ${seconds} | ${result.cpu?.toFixed(2) ?? ''} | ${MB(result.peak)} | ${bytes ? MB(bytes) : ''} | ` +
          `${floorCell} | ${linear} |`);
      }
    }
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }

  // Parquet against the plain CSV: a row per length, a column per estimator.
  const ratios = lengths.map((length) => estimators.map((estimator) => {
    const parquet = results[`read --format parquet --orientation ${estimator}`]?.[length.key];
    const plain = results[`read --format plain --orientation ${estimator}`]?.[length.key];
    if (!parquet || !plain || parquet.failure || plain.failure) return '';
    const cpu = parquet.cpu && plain.cpu ? ` (${(parquet.cpu / plain.cpu).toFixed(2)})` : '';
    return `${(parquet.seconds / plain.seconds).toFixed(2)}${cpu}`;
  }));
  const lines = lengths.map((length, l) => ratios[l].some(Boolean) && `| ${length.name} | ${ratios[l].join(' | ')} |`).filter(Boolean);
  if (lines.length) {
    console.log(['\nParquet against the plain CSV: its seconds over theirs (CPU s over theirs), by estimator',
      `| length | ${estimators.join(' | ')} |`, `|---|${estimators.map(() => '---:|').join('')}`, ...lines].join('\n'));
  }
  const epochLines = lengths.flatMap((length) => ['', ' --calibrate off'].map((calibrate) => {
    const epochs = results[`epochs --epoch 5 to parquet${calibrate}`]?.[length.key];
    const plain = results[`read --format plain --orientation none${calibrate}`]?.[length.key];
    if (!epochs || !plain || epochs.failure || plain.failure) return null;
    return `| ${length.name} | ${calibrate ? 'off' : 'auto'} | ${(epochs.seconds / plain.seconds).toFixed(2)} ` +
      `(${(epochs.cpu / plain.cpu).toFixed(2)}) | ${MB(epochs.peak)} |`;
  })).filter(Boolean);
  if (epochLines.length) {
    console.log(['\nEpochs to Parquet against read to the plain CSV without orientation, each calibrated alike (target: at most 0.5, and 256 MB)',
      '| length | calibrate | seconds over theirs (CPU) | peak MB |', '|---|---|---:|---:|', ...epochLines].join('\n'));
  }
  console.log('\nSeconds: wall time; CPU s: user and system time of every thread (what a busy machine changes least).' +
    '\nI/O floor: a process that reads the input and writes as many bytes as the output into the same folder with plain' +
    '\ncalls, timed as the runs are (process start included), after each run so that both meet the same state of the disk;' +
    '\nits least wall time, then its median and most. × I/O floor divides the run\'s least wall time by the floor\'s least into' +
    '\nthe page cache, since read forces nothing to the medium without --durable (the floor to the medium, fsync before' +
    '\nclose, is beside it): a shared disk\'s writeback throttles either by seconds that have nothing to do with them.' +
    '\nThe last columns: the time against the hour\'s, and in brackets per sample (1.00: linear in length).');
}

main().then(() => {
  // Calibration's cost on the day its target names (100 Hz, not these lengths' rates), and its accuracy.
  if (!options.short && !options.only) {
    spawnSync(process.execPath, [path.join(__dirname, 'calibration.js'), options.work, '--day'], { stdio: 'inherit' });
  }
}).catch((error) => {
  console.error(`bench/long.js: ${error.message}`);
  process.exit(1);
});
