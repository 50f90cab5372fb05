#!/usr/bin/env node
'use strict';
// The Python package against the Node library on the hour at 1000 Hz that
// bench/formats.js generates: load() time and peak memory in each (a fresh
// process per run), then four loads from four Python threads against the
// same four one after another.
//   node bench/python.js [work folder] [runs]
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const work = process.argv[2] ?? path.join(root, 'build', 'bench', 'workloads');
const runs = Number(process.argv[3] ?? process.env.KINOVAR_BENCH_RUNS ?? 3);
const recording = path.join(work, 'w1.bin');
const orientation = 'classic';  // as bench/formats.js loads it

const python = require('../scripts/python').findPython(['numpy']);
const built = fs.readdirSync(path.join(root, 'python', 'kinovar')).some((name) => name.startsWith('_core'));
if (!python || !built) {
  console.log('bench/python.js: skipped, the Python package is not built (cd python && python3 setup.py build_ext --inplace)');
  process.exit(0);
}
if (!fs.existsSync(recording)) {
  console.error(`bench/python.js: ${recording} is missing; bench/formats.js makes it`);
  process.exit(1);
}

// Each prints {seconds, peakAbove, bytes}: peak resident memory above the
// process's before the load, and the bytes of the arrays loaded.
const NODE = `
const kinovar = require(${JSON.stringify(root)});
const before = process.memoryUsage().rss;
const start = process.hrtime.bigint();
const { streams } = kinovar.load(process.argv[1], { orientation: '${orientation}' });
const seconds = Number(process.hrtime.bigint() - start) / 1e9;
let bytes = 0;
for (const stream of Object.values(streams)) for (const array of Object.values(stream)) bytes += array.byteLength;
process.stdout.write(JSON.stringify({ seconds, peakAbove: process.resourceUsage().maxRSS * 1024 - before, bytes }));
`;
const PYTHON = `
import json, resource, sys, time, kinovar
def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * resource.getpagesize()
before = rss()
start = time.perf_counter()
rec = kinovar.load(sys.argv[1], orientation='${orientation}')
seconds = time.perf_counter() - start
nbytes = sum(a.nbytes for s in rec.streams.values() for a in [s.time, *s.channels.values()])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({'seconds': seconds, 'peakAbove': peak - before, 'bytes': nbytes}))
`;
// Four loads one after another, then from four threads at once, each load
// with the core's threads (one per core) and with one thread. Both keep the
// four recordings, as a program that loads them does: one after another
// that drops each would reuse the memory the last one freed, and so skip
// the kernel's zeroing of fresh pages (much of a load's time) that four
// loads held together cannot skip. {serial, threads, serialOne, threadsOne}
// seconds, and the CPU seconds (user + system) each took.
const THREADS = `
import json, resource, sys, threading, time, kinovar
paths = [sys.argv[1]] * 4
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
def timed(together, threads):
    options = {'orientation': '${orientation}', 'threads': threads}
    held = []
    start, used = time.perf_counter(), cpu()
    if together:
        running = [threading.Thread(target=lambda p: held.append(kinovar.load(p, **options)), args=(p,)) for p in paths]
        for t in running: t.start()
        for t in running: t.join()
    else:
        for p in paths: held.append(kinovar.load(p, **options))
    return time.perf_counter() - start, cpu() - used
# An untimed round first: whichever mode ran first paid some 3 CPU s for
# memory touched for the first time, which favoured the other.
timed(True, None)
answer = {}
for key, together, threads in [('serial', False, None), ('threads', True, None), ('serialOne', False, 1), ('threadsOne', True, 1)]:
    answer[key], answer[key + 'Cpu'] = timed(together, threads)
print(json.dumps(answer))
`;

const env = { ...process.env, PYTHONPATH: path.join(root, 'python') };
const child = (command, script) => JSON.parse(execFileSync(command, [command === python ? '-c' : '-e', script, recording],
  { encoding: 'utf8', env }));
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

// In turn, so that the two meet the same load on the machine.
const node = [], py = [];
for (let i = 0; i < runs; i++) {
  node.push(child(process.execPath, NODE));
  py.push(child(python, PYTHON));
}
const MB = (bytes) => (bytes / 1e6).toFixed(1);
const row = (name, results) => {
  const seconds = median(results.map((r) => r.seconds)), peak = median(results.map((r) => r.peakAbove));
  console.log(`| ${name} | ${seconds.toFixed(2)} | ${MB(peak)} | ${MB(results[0].bytes)} | ${(peak / results[0].bytes).toFixed(2)} |`);
  return seconds;
};
console.log(`\nload() of one hour at 1000 Hz (${path.basename(recording)}, orientation ${orientation}), median of ${runs} runs in turn\n`);
console.log('| load | seconds | peak above start MB | arrays MB | peak / arrays |');
console.log('|---|---:|---:|---:|---:|');
const nodeSeconds = row('Node load()', node);
const pySeconds = row('Python kinovar.load', py);
console.log(`\nPython over Node: ${(pySeconds / nodeSeconds).toFixed(2)}`);

const threaded = Array.from({ length: runs }, () => child(python, THREADS));
const at = (key) => median(threaded.map((r) => r[key]));
// The CPU columns tell a busy machine from a slow load: on an idle one the
// four threads take all the cores; beside other work, only their share.
console.log('\n| four loads | one after another s (CPU s) | four threads s (CPU s) | speed-up |');
console.log('|---|---:|---:|---:|');
for (const [name, serial, parallel] of [['core threads: one per core', 'serial', 'threads'], ['one core thread each', 'serialOne', 'threadsOne']]) {
  const cell = (key) => `${at(key).toFixed(2)} (${at(`${key}Cpu`).toFixed(2)})`;
  console.log(`| ${name} | ${cell(serial)} | ${cell(parallel)} | ${(at(serial) / at(parallel)).toFixed(2)} |`);
}
