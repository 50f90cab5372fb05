'use strict';
// A pool worker: runs the public synchronous functions off the host's event loop.
const { parentPort } = require('node:worker_threads');
const kinovar = require('./index');
const { serializeError } = require('./errors');

// The sample buffers of loaded recordings move to the host instead of being copied.
function buffersOf(value, found = new Set()) {
  if (ArrayBuffer.isView(value)) found.add(value.buffer);
  else if (value && typeof value === 'object') for (const member of Object.values(value)) buffersOf(member, found);
  return found;
}

parentPort.on('message', ({ id, op, args }) => {
  try {
    const value = kinovar[op](...args);
    // A message keeps no array's own properties: a set's report goes beside its files.
    const report = Array.isArray(value) ? value.report : undefined;
    parentPort.postMessage({ id, ok: true, value, report }, op.startsWith('load') ? [...buffersOf(value)] : []);
  } catch (error) {
    parentPort.postMessage({ id, ok: false, error: serializeError(error) });
  }
});
