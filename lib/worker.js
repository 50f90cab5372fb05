'use strict';
// A pool worker: runs the public synchronous functions off the host's event loop.
const { parentPort } = require('node:worker_threads');
const kinovar = require('./index');
const native = require('./native/entry');
const { serializeError } = require('./errors');
const { runRecording, runSet } = require('./pipeline/convert');
const { runLoad, runLoadSet } = require('./data/tables');
const { runEpochs } = require('./pipeline/epochs');

// Requests the host's thread checked (see checks/request, data/tables, pipeline/epochs): run as they are.
const TRUSTED = { runRecording, runSet, runLoad, runLoadSet, runEpochs };

// The sample buffers of loaded recordings move to the host instead of being copied.
function buffersOf(value, found = new Set()) {
  if (ArrayBuffer.isView(value)) found.add(value.buffer);
  else if (value && typeof value === 'object') for (const member of Object.values(value)) buffersOf(member, found);
  return found;
}

/**
 * The value with its arrays on copies of their buffers, which can move.
 * The native side hands over its own memory, which Node 22 and later refuse
 * to transfer; channels that shared a buffer share its copy.
 */
function onOwnBuffers(value, copies = new Map()) {
  for (const [key, member] of Object.entries(value)) {
    if (ArrayBuffer.isView(member)) {
      if (!copies.has(member.buffer)) copies.set(member.buffer, member.buffer.slice(0));
      value[key] = new member.constructor(copies.get(member.buffer), member.byteOffset, member.length);
    } else if (member && typeof member === 'object') {
      onOwnBuffers(member, copies);
    }
  }
  return value;
}

function post(message, moving) {
  if (!moving) return parentPort.postMessage(message);
  try {
    parentPort.postMessage(message, [...buffersOf(message.value)]);
  } catch (error) {
    if (error.name !== 'DataCloneError') throw error;
    const value = onOwnBuffers(message.value);
    parentPort.postMessage({ ...message, value }, [...buffersOf(value)]);
  }
}

parentPort.on('message', ({ id, op, args, progress, cancel }) => {
  // The task's conversions stop when the pool raises its flag (an abort of its signal).
  native.cancelOn(cancel);
  try {
    if (progress) {
      const last = args.length - 1;
      args[last] = { ...args[last], onProgress: (p) => parentPort.postMessage({ id, progress: p }) };
    }
    const value = (TRUSTED[op] ?? kinovar[op])(...args);
    // A message keeps no array's own properties: a set's report goes beside its files.
    const report = Array.isArray(value) ? value.report : undefined;
    post({ id, ok: true, value, report }, /^(load|runLoad)/.test(op));
  } catch (error) {
    parentPort.postMessage({ id, ok: false, error: serializeError(error) });
  } finally {
    native.cancelOn(0);
  }
});
