'use strict';
// A pool worker: runs the synchronous API off the host's event loop.
const { parentPort } = require('node:worker_threads');
const api = require('./api');
const { load, loadSet } = require('./data');
const { serializeError } = require('./errors');

// A worker's answer loses an array's own properties: a set's report goes alone.
const ops = { ...api, load, loadSet, syncRecordingsReport: (...args) => api.syncRecordings(...args).report };

// The sample buffers of loaded recordings move to the host instead of being copied.
function buffersOf(value, found = new Set()) {
  if (ArrayBuffer.isView(value)) found.add(value.buffer);
  else if (value && typeof value === 'object') for (const member of Object.values(value)) buffersOf(member, found);
  return found;
}

parentPort.on('message', ({ id, op, args }) => {
  try {
    const value = ops[op](...args);
    parentPort.postMessage({ id, ok: true, value }, op.startsWith('load') ? [...buffersOf(value)] : []);
  } catch (error) {
    parentPort.postMessage({ id, ok: false, error: serializeError(error) });
  }
});
