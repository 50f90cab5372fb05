'use strict';
// The addon in several worker threads at once: every output byte must equal
// what one thread alone produces.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const { generateRecording, generateSession } = require('../../lib/native/generator');
const { scratch } = require('./helpers');
const { runJob } = require('./workers-job');

const WORKERS = 4;
const ROUNDS = 3;

const workerSource = `
const path = require('node:path');
const { workerData, parentPort } = require('node:worker_threads');
const addon = require(workerData.addon);
const { runJob } = require(workerData.jobModule);
const gate = new Int32Array(workerData.gate);
Atomics.add(gate, 0, 1);
Atomics.wait(gate, 1, 0);  // all workers start together
const answers = [];
for (let round = 0; round < workerData.rounds; ++round)
  answers.push(runJob(addon, workerData.job, path.join(workerData.out, String(round))));
parentPort.postMessage(answers);
`;

// Every file under dir, by relative name.
function contents(dir) {
  const files = {};
  for (const name of fs.readdirSync(dir, { recursive: true })) {
    const file = path.join(dir, name);
    if (fs.statSync(file).isFile()) files[name] = fs.readFileSync(file);
  }
  return files;
}

test('four workers at once write exactly what one thread writes', async (t) => {
  const dir = scratch(t, 'kinovar-workers-');
  const jobs = Array.from({ length: WORKERS }, (_, i) => {
    const own = path.join(dir, `input${i}`);
    fs.mkdirSync(own);
    return {
      recording: generateRecording(path.join(own, 'rec.bin'), { seconds: 30 + 10 * i, seed: 10 + i, rate: 30 * (i + 1), events: i }),
      set: generateSession(own, { method: ['marks', 'radio', 'stream', 'marks'][i], clock: 100, baro: 0, seconds: 4 + i,
        seed: i + 1, sensors: [[0, 0.5, 'a'], [-i, 0, 'b']] }),
      text: `device,${1000 + i},3,${i}:firmware,1,2,${i}:accel,100,16,${i},0,0,10000,10000,10000:baro,${25 * i}`,
    };
  });

  const addonPath = require.resolve('../../lib/native/addon');
  const expected = jobs.map((job, i) => {
    const answers = runJob(require(addonPath), job, path.join(dir, `single${i}`));
    assert.notEqual(answers[0], '{"error":"Error during data loading."}');
    assert.deepEqual(answers.slice(1, 3), ['OK', 'OK']);
    return { answers, files: contents(path.join(dir, `single${i}`)) };
  });

  const gate = new SharedArrayBuffer(8);
  const counters = new Int32Array(gate);
  const results = jobs.map((job, i) => new Promise((resolve, reject) => {
    const worker = new Worker(workerSource, {
      eval: true,
      workerData: { addon: addonPath, jobModule: require.resolve('./workers-job'), gate, job, rounds: ROUNDS, out: path.join(dir, `worker${i}`) },
    });
    worker.once('message', resolve);
    worker.once('error', reject);
    worker.once('exit', (code) => { if (code !== 0) reject(new Error(`worker ${i} exited with ${code}`)); });
  }));
  while (Atomics.load(counters, 0) < WORKERS) await new Promise((resolve) => setTimeout(resolve, 5));
  Atomics.store(counters, 1, 1);
  Atomics.notify(counters, 1);
  const answers = await Promise.all(results);

  for (let i = 0; i < WORKERS; ++i) {
    for (let round = 0; round < ROUNDS; ++round) {
      assert.deepEqual(answers[i][round], expected[i].answers, `worker ${i} round ${round}`);
      const files = contents(path.join(dir, `worker${i}`, String(round)));
      assert.deepEqual(Object.keys(files).sort(), Object.keys(expected[i].files).sort());
      for (const [name, bytes] of Object.entries(files))
        assert.ok(bytes.equals(expected[i].files[name]), `worker ${i} round ${round}: ${name} differs`);
    }
  }
});

test('process.exit() during a promise conversion ends the process cleanly, the conversion stopped and its file removed', (t) => {
  const dir = scratch(t);
  const recording = generateRecording(path.join(dir, 'long.bin'), { seconds: 600, accel: 1000, gyro: 1000 });
  const out = path.join(dir, 'out.csv');
  fs.writeFileSync(out, 'old');
  // It aborted (134): a call into a worker's environment being torn down threw where nothing could catch it.
  // The child exits once the unfinished file has bytes; 4 if the conversion ended first.
  const child = spawnSync(process.execPath, ['-e', `const fs = require('node:fs'); const path = require('node:path');
    const dir = ${JSON.stringify(dir)};
    require(${JSON.stringify(require.resolve('../../lib'))}).promises.readRecording(${JSON.stringify(recording)},
      ${JSON.stringify(out)}, { overwrite: true, orientation: 'classic' }).then(() => process.exit(4));
    setInterval(() => fs.readdirSync(dir).some((name) => name.includes('.kinovar-') &&
      fs.statSync(path.join(dir, name), { throwIfNoEntry: false })?.size > 0) && process.exit(3), 1);`], { encoding: 'utf8' });
  assert.deepEqual([child.status, child.signal, child.stderr], [3, null, '']);
  assert.deepEqual(fs.readdirSync(dir).sort(), ['long.bin', 'out.csv']);
  assert.equal(fs.readFileSync(out, 'utf8'), 'old');
});
