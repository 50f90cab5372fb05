'use strict';
// A pool worker: runs the synchronous API off the host's event loop.
const { parentPort } = require('node:worker_threads');
const api = require('./api');
const { serializeError } = require('./errors');

parentPort.on('message', ({ id, op, args }) => {
  try {
    parentPort.postMessage({ id, ok: true, value: api[op](...args) });
  } catch (error) {
    parentPort.postMessage({ id, ok: false, error: serializeError(error) });
  }
});
