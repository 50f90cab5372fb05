'use strict';
// Files we write appear complete or not at all: each is written to a
// temporary file beside its target and renamed over it when done. A target
// that exists and is not something kinovar wrote is left alone unless the
// caller asks for it to be replaced.
const fs = require('node:fs');
const path = require('node:path');
const crypto = require('node:crypto');
const { KinovarError, codes } = require('./errors');
const { COLUMNS } = require('./data');

const BANNER = 'Quandrel - Kinovar data export';
const PLAIN_NAMES = new Set(['time', ...COLUMNS.map(([name]) => name)]);
// The viewer's pages name their generator near the top.
const VIEW_PAGE = '<meta name="generator" content="kinovar view">';
const STO_HEAD = /^DataRate=[^\n]*\r?\nDataType=Quaternion\r?\nversion=3\r?\nOpenSimVersion=4\.5\r?\nendheader\r?\ntime\t/;

function readRange(fd, position, length) {
  const buffer = Buffer.alloc(length);
  return buffer.subarray(0, fs.readSync(fd, buffer, 0, length, position));
}

/** True when the file is one of the outputs kinovar writes (any format). */
function isOurOutput(file) {
  const { isOurParquet } = require('./parquet');
  const fd = fs.openSync(file, 'r');
  try {
    const size = fs.fstatSync(fd).size;
    if (size === 0) return true;  // an empty file holds nothing to lose
    const head = readRange(fd, 0, 512).toString('latin1');
    if (head.startsWith(BANNER) || STO_HEAD.test(head) || head.includes(VIEW_PAGE)) return true;
    const firstLine = head.split(/\r?\n/)[0];
    if (head.includes('\n') && firstLine.startsWith('time') && firstLine.split(',').every((n) => PLAIN_NAMES.has(n))) return true;
    return head.startsWith('PAR1') && isOurParquet(readRange(fd, Math.max(0, size - 65536), 65536));
  } finally {
    fs.closeSync(fd);
  }
}

/** Throws unless `target` may be written: missing, one of ours, or `overwrite` is set. */
function checkTarget(target, overwrite) {
  let stat;
  try {
    stat = fs.statSync(target);
  } catch (error) {
    if (error.code === 'ENOENT') return;
    throw error;
  }
  if (stat.isDirectory()) {
    throw new KinovarError(`${target} is a folder; name a file to write`, codes.NOT_OURS, { path: target });
  }
  if (!overwrite && !isOurOutput(target)) {
    throw new KinovarError(`${target} exists and is not a file kinovar wrote; it was left as it is. ` +
      'Choose another name, or pass overwrite: true (--force) to replace it', codes.NOT_OURS, { path: target });
  }
}

/** A name for a temporary file beside `target`, hidden where dot files are. */
function temporaryBeside(target) {
  return path.join(path.dirname(target), `.${path.basename(target)}.${crypto.randomBytes(6).toString('hex')}.tmp`);
}

/**
 * Writes several files so that each appears only when all were written:
 * `write(temporaryPaths)` fills the temporary files; they are then renamed
 * onto the targets. On any failure the temporary files are removed.
 * @param {string[]} targets
 * @param {(temporaryPaths: string[]) => void} write
 * @param {{overwrite?: boolean}} [options]
 */
function writeAtomically(targets, write, { overwrite = false } = {}) {
  for (const target of targets) checkTarget(target, overwrite);
  const temporary = targets.map(temporaryBeside);
  try {
    write(temporary);
    targets.forEach((target, i) => fs.renameSync(temporary[i], target));
  } finally {
    for (const file of temporary) fs.rmSync(file, { force: true });
  }
}

module.exports = { writeAtomically, isOurOutput, checkTarget };
