'use strict';
// Errors of the idiomatic layer: every failure the native answers hide
// becomes an Error with a stable code that callers can switch on. `codes` is
// the one list of our codes; the README table and index.d.ts are tested
// against it.

const codes = Object.freeze({
  FORMAT: 'ERR_KINOVAR_FORMAT',
  // A classic CSV file keeps the code it always had; every other output has the general one.
  CSV_NOT_WRITTEN: 'ERR_KINOVAR_CSV_NOT_WRITTEN',
  OUTPUT_NOT_WRITTEN: 'ERR_KINOVAR_OUTPUT_NOT_WRITTEN',
  UNREADABLE: 'ERR_KINOVAR_UNREADABLE',
  NO_ORIENTATION: 'ERR_KINOVAR_NO_ORIENTATION',
  NOT_SYNCHRONISABLE: 'ERR_KINOVAR_NOT_SYNCHRONISABLE',
  NO_SETTINGS: 'ERR_KINOVAR_NO_SETTINGS',
  NO_SAMPLES: 'ERR_KINOVAR_NO_SAMPLES',
  NO_ACCELEROMETER: 'ERR_KINOVAR_NO_ACCELEROMETER',
  SETTINGS_NOT_WRITTEN: 'ERR_KINOVAR_SETTINGS_NOT_WRITTEN',
  // A settings value that no record kinovar writes can hold (a RangeError, as it always was).
  SETTINGS_VALUE: 'ERR_KINOVAR_SETTINGS_VALUE',
  DUPLICATE_OUTPUT: 'ERR_KINOVAR_DUPLICATE_OUTPUT',
  // A batch's work list (its inputs, manifest or shard) cannot be planned.
  WORK_LIST: 'ERR_KINOVAR_WORK_LIST',
  NOT_OURS: 'ERR_KINOVAR_NOT_OURS',
  IS_RECORDING: 'ERR_KINOVAR_IS_RECORDING',
  // A BIDS dataset: a label missing or holding what BIDS forbids; a root that is not a dataset;
  // a run the dataset holds already; a set whose recordings share no grid of instants.
  BIDS_LABEL: 'ERR_KINOVAR_BIDS_LABEL',
  NOT_BIDS: 'ERR_KINOVAR_NOT_BIDS',
  BIDS_EXISTS: 'ERR_KINOVAR_BIDS_EXISTS',
  NO_GRID: 'ERR_KINOVAR_NO_GRID',
  UNKNOWN_STATUS: 'ERR_KINOVAR_UNKNOWN_STATUS',
  CALIBRATION_FILE: 'ERR_KINOVAR_CALIBRATION_FILE',
  OTHER_DEVICE: 'ERR_KINOVAR_OTHER_DEVICE',
  NOT_BUILT: 'ERR_KINOVAR_NOT_BUILT',
  ADDON_INVALID: 'ERR_KINOVAR_ADDON_INVALID',
  // The core met a state it should never reach (a fault of ours), or memory ran out.
  INTERNAL: 'ERR_KINOVAR_INTERNAL',
  OUT_OF_MEMORY: 'ERR_KINOVAR_OUT_OF_MEMORY',
  ABORTED: 'ABORT_ERR',
});

/** An operation that did not do what was asked; `code` names the cause. */
class KinovarError extends Error {
  /**
   * @param {string} message
   * @param {string} code one of `codes`
   * @param {object} [details] extra properties copied onto the error (path, status, files)
   */
  constructor(message, code, details = {}) {
    super(message);
    this.name = 'KinovarError';
    this.code = code;
    Object.assign(this, details);
  }
}

/**
 * The error a cancelled operation rejects with, shaped like Node's own.
 * @param {AbortSignal} [signal]
 * @param {string} [left] what the operation left, added to the message
 */
function abortError(signal, left) {
  const message = `The operation was aborted${left ? `: ${left}` : ''}`;
  const error = new Error(message, signal?.reason === undefined ? undefined : { cause: signal.reason });
  error.name = 'AbortError';
  error.code = codes.ABORTED;
  return error;
}

// Errors cross the worker boundary as plain objects; the structured clone
// of an Error drops its own properties such as `code` and `path`.
function serializeError(error) {
  if (!(error instanceof Error)) return { name: 'Error', message: String(error), props: {} };
  const props = {};
  for (const key of Object.keys(error)) {
    try { props[key] = structuredClone(error[key]); } catch { /* not cloneable: left out */ }
  }
  return { name: error.name, message: error.message, stack: error.stack, props };
}

const builtins = { TypeError, RangeError, SyntaxError };

function deserializeError({ name, message, stack, props }) {
  let error;
  if (name === 'KinovarError') error = new KinovarError(message, props.code);
  else if (builtins[name]) error = new builtins[name](message);
  else {
    error = new Error(message);
    if (name !== 'Error') error.name = name;
  }
  Object.assign(error, props);
  if (stack) error.stack = stack;
  return error;
}

module.exports = { KinovarError, codes, abortError, serializeError, deserializeError };
