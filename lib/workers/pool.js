'use strict';
// A small pool of worker threads, each with its own copy of the addon.
// Idle workers are unreferenced so that a pool never keeps a process alive.
const path = require('node:path');
const { Worker, isMainThread } = require('node:worker_threads');
const native = require('../native/entry');
const { abortError, deserializeError } = require('../errors');
const { cores } = require('./cores');
const { filesOf } = require('../checks/outcomes');

const script = path.join(__dirname, '..', 'worker.js');

// A worker's young generation, smaller than V8's default: a conversion in
// pieces makes a few short-lived arrays a piece, which a small one lets go
// of sooner (a Parquet conversion peaks some 10 MB lower) at no cost in time.
const YOUNG_MB = 4;

const COMPLETED = Symbol('completed');

// Tasks running on this thread's pools, and those waiting for none to run.
let busy = 0;
const waiting = [];
const finished = () => {
  busy -= 1;
  if (busy === 0) for (const resolve of waiting.splice(0)) resolve();
};

/**
 * Resolves once no task of this thread's pools runs, or after `ms`:
 * an interruption gives the conversions it stopped that long to clean up.
 */
function settled(ms) {
  if (busy === 0) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    waiting.push(() => { clearTimeout(timer); resolve(); });
  });
}

// process.exit() does not wait for the workers' conversions to end: each is
// stopped at its next piece, its temporary files removed, none renamed.
let exitHooked = false;
function stopAtExit() {
  if (exitHooked || !isMainThread) return;
  exitHooked = true;
  process.once('exit', () => native.stopConversions());
}

class WorkerPool {
  /**
   * @param {number} size the most workers that run at once
   * @param {number} [shared] the cores the tasks share
   */
  constructor(size, shared = cores()) {
    this.size = Math.max(1, Math.floor(size) || 1);
    this.cores = shared;
    this.idle = [];
    this.workers = new Set();
    this.queue = [];
    this.nextId = 0;
    this.dispatching = false;
  }

  /**
   * Runs one API function in a worker.
   * @param {string} op the name of a public function (lib/index.js)
   * @param {unknown[] | ((threads: number) => unknown[])} args, or the arguments given the threads
   *   the task may keep busy when it starts: every core for a task alone, a share when tasks run
   *   or wait beside it (those asked for in one tick start as one batch)
   * @param {AbortSignal} [signal] an abort before the task starts cancels it; one while it
   *   runs stops its conversion at the next piece read, its unfinished files removed
   * @param {(progress: {fraction: number}) => void} [onProgress] handed to the function as its
   *   last argument's onProgress, called here as the worker reports
   * @param {(complete: boolean) => string} [left] what an abort leaves, for its message:
   *   complete when the task ended before it could stop
   */
  run(op, args, signal, onProgress, left) {
    if (signal?.aborted) return Promise.reject(abortError(signal, left?.(false)));
    stopAtExit();
    return new Promise((resolve, reject) => {
      const task = { id: this.nextId++, op, args, resolve, reject, signal, onProgress, left };
      if (signal) {
        task.cancel = native.cancelFlag();
        task.onAbort = () => {
          const queued = this.queue.indexOf(task);
          if (queued >= 0) {
            this.queue.splice(queued, 1);
            native.dropCancelFlag(task.cancel);
            reject(abortError(signal, left?.(false)));
          } else {
            native.cancel(task.cancel);
          }
        };
        signal.addEventListener('abort', task.onAbort, { once: true });
      }
      this.queue.push(task);
      if (!this.dispatching) {
        this.dispatching = true;
        queueMicrotask(() => {
          this.dispatching = false;
          this.dispatch();
        });
      }
    });
  }

  dispatch() {
    while (this.queue.length) {
      let worker = this.idle.pop();
      if (!worker) {
        if (this.workers.size >= this.size) return;
        worker = this.spawn();
      }
      const task = this.queue.shift();
      const running = [...this.workers].filter((w) => w.task).length;
      const threads = Math.max(1, Math.floor(this.cores / Math.min(this.size, running + 1 + this.queue.length)));
      worker.task = task;
      worker.ref();
      busy += 1;
      worker.postMessage({
        id: task.id, op: task.op, args: typeof task.args === 'function' ? task.args(threads) : task.args, progress: !!task.onProgress,
        cancel: task.cancel ?? 0,
      });
    }
  }

  spawn() {
    const worker = new Worker(script, { resourceLimits: { maxYoungGenerationSizeMb: YOUNG_MB } });
    this.workers.add(worker);
    worker.on('message', (message) => {
      const { task } = worker;
      if (message.progress) {
        task?.onProgress?.(message.progress);
        return;
      }
      worker.task = null;
      worker.unref();
      this.idle.push(worker);
      this.settle(task, message);
      this.dispatch();
    });
    const lost = (error) => {
      if (!this.workers.delete(worker)) return;
      this.idle = this.idle.filter((w) => w !== worker);
      if (worker.task) this.settle(worker.task, { ok: false, error: null, lost: error });
      worker.task = null;
      this.dispatch();
    };
    worker.on('error', lost);
    worker.on('exit', (code) => lost(new Error(`kinovar: a worker thread stopped (exit code ${code})`)));
    return worker;
  }

  settle(task, message) {
    finished();
    task.signal?.removeEventListener('abort', task.onAbort);
    if (task.cancel) native.dropCancelFlag(task.cancel);
    if (task.signal?.aborted) {
      const error = abortError(task.signal, task.left?.(message.ok === true));
      // A task that ended before the abort reached it: its value, for a batch's results.
      if (message.ok) error[COMPLETED] = message.report ? filesOf(message.report) : message.value;
      task.reject(error);
    }
    else if (message.ok) task.resolve(message.report ? filesOf(message.report) : message.value);
    else task.reject(message.error ? deserializeError(message.error) : message.lost);
  }

  /** Stops every worker; queued tasks are rejected. */
  async close() {
    for (const task of this.queue.splice(0)) task.reject(new Error('kinovar: the worker pool was closed'));
    const workers = [...this.workers];
    this.workers.clear();
    for (const worker of workers) {
      if (worker.task) this.settle(worker.task, { ok: false, lost: new Error('kinovar: the worker pool was closed') });
      worker.task = null;
    }
    this.idle = [];
    await Promise.all(workers.map((w) => w.terminate()));
  }
}

module.exports = { WorkerPool, settled, COMPLETED };
