'use strict';
// The checks every entry makes before any work: its arguments and options,
// once, in the words callers see; and whether an input is a recording.
const path = require('node:path');
const native = require('./native');
const { KinovarError, codes } = require('./errors');
const { inputHead } = require('./output');
const { BLOCK, ESTIMATORS, FORMATS } = require('./schema');

function requireString(value, fn, name) {
  if (typeof value !== 'string') throw new TypeError(`${fn}: ${name} must be a string, not ${typeof value}`);
}

function requirePaths(value, fn) {
  if (!Array.isArray(value) || !value.every((p) => typeof p === 'string')) {
    throw new TypeError(`${fn}: recordingPaths must be an array of strings`);
  }
}

/**
 * The conversion options the native layer takes, checked: only the fields
 * it knows, so that a worker can be handed them as they are.
 * @param {string} fn
 * @param {{orientation?: 'classic'|'accurate'|'none', threads?: number, overwrite?: boolean}} [options]
 */
function conversionOptions(fn, options) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object') throw new TypeError(`${fn}: options must be an object`);
  const { orientation, threads, overwrite } = options;
  const checked = {};
  if (threads !== undefined) {
    if (!Number.isInteger(threads) || threads < 1 || threads > 1024) {
      throw new TypeError(`${fn}: options.threads must be a whole number from 1 to 1024, not ${threads}`);
    }
    checked.threads = threads;
  }
  if (overwrite !== undefined) {
    if (typeof overwrite !== 'boolean') throw new TypeError(`${fn}: options.overwrite must be true or false`);
    checked.overwrite = overwrite;
  }
  if (orientation === undefined) return checked;
  if (!ESTIMATORS.includes(orientation)) {
    throw new TypeError(`${fn}: options.orientation must be one of ${ESTIMATORS.map((e) => `'${e}'`).join(', ')}, ` +
      `not ${typeof orientation === 'string' ? `'${orientation}'` : typeof orientation}`);
  }
  return { orientation, ...checked };
}

/** Every option of a conversion, checked, as a worker is handed them. */
function outputOptions(fn, options) {
  const checked = conversionOptions(fn, options);
  for (const key of ['format', 'overwrite', 'imuNames']) if (options?.[key] !== undefined) checked[key] = options[key];
  return checked;
}

/** The format an options object asks for; a target ending in .parquet or .sto chooses its own. */
function formatOf(options, target, fn, allowed = FORMATS) {
  let format = options?.format;
  if (format === undefined) {
    const extension = path.extname(target ?? '').toLowerCase();
    format = extension === '.parquet' ? 'parquet' : extension === '.sto' && allowed.includes('opensense') ? 'opensense' : 'csv';
  }
  if (!allowed.includes(format)) {
    throw new RangeError(`${fn}: format must be one of ${allowed.map((f) => `'${f}'`).join(', ')}, not ${JSON.stringify(format)}`);
  }
  return format;
}

/**
 * Throws unless the file starts like a recording: at least one block, with
 * a settings record in it. The native reader accepts anything and answers a
 * default document, which tells an API caller nothing.
 * @param {string} file
 */
function checkRecording(file) {
  const head = inputHead(file, BLOCK);
  if (head.length < BLOCK) {
    throw new KinovarError(`${file}: not a recording (${head.length} bytes, shorter than one ${BLOCK}-byte block)`,
      codes.FORMAT, { path: file });
  }
  if (native.hasSettingsRecord(head)) return;
  throw new KinovarError(`${file}: not a recording (no settings block at its start)`, codes.FORMAT, { path: file });
}

module.exports = { requireString, requirePaths, conversionOptions, outputOptions, formatOf, checkRecording };
