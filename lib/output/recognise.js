'use strict';
// What stands where an output would go: the core knows our outputs from
// their bytes alone, whatever their format, so that a file of ours may be
// replaced and any other is kept.
const fs = require('node:fs');
const { getSystemErrorMap } = require('node:util');
const native = require('../native/entry');

/**
 * A system error the core named (its code, and the call that failed) as
 * Node gives its own: its errno and words are Node's for that name.
 * @param {{code: string, syscall: string}} failure
 */
function systemCause({ code, syscall }) {
  const [errno, [, words]] = [...getSystemErrorMap()].find(([, [name]]) => name === code) ?? [undefined, [code, code]];
  return { code, syscall, errno, message: `${code}: ${words}` };
}

/**
 * What an existing file is, as far as replacing it is concerned.
 * @param {string} file
 * @returns {{kind: 'missing'|'folder'|'device'|'empty'|'csv'|'html'|'output'|'recording'|'settings'|'other',
 *   size: number, ours: boolean, format?: string}} ours: an output may take its place unasked;
 *   format: that of an output of ours ('plain', 'csv', 'parquet', 'opensim', 'html', 'set', 'calibration')
 */
function inspect(file) {
  const found = native.existingFile(file);
  if (found.syscall) {
    const cause = systemCause(found);
    throw Object.assign(new Error(`${cause.message}, ${cause.syscall} '${file}'`), cause, { path: file });
  }
  return found;
}

function head(file, size) {
  const fd = fs.openSync(file, 'r');
  try {
    const bytes = Buffer.alloc(size);
    return bytes.subarray(0, fs.readSync(fd, bytes, 0, size, 0));
  } finally {
    fs.closeSync(fd);
  }
}

module.exports = { inspect, head, systemCause };
