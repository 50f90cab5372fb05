'use strict';
// Our outputs recognised from their bytes alone, whatever their format, so
// that a file of ours may be replaced and any other is kept; recognising a
// Parquet file loads no Parquet decoder.
const fs = require('node:fs');
const {
  BLOCK, RECORD_MAGIC, BANNER, VIEW_GENERATOR, STO_HEAD, COLUMNS, SUMMARY_COLUMNS, SIGNATURES, PARQUET_MAGIC, PARQUET_VERSION, SET_HEAD, CALIBRATION_HEAD,
} = require('../model/schema');

// The plain CSV's column names (datetime with absolute time), and those of the epoch and day tables.
let plainNames;
const plainName = (name) => (plainNames ??= new Set(['time', 'datetime', ...COLUMNS.map(([n]) => n), ...SUMMARY_COLUMNS])).has(name);

function readRange(fd, position, length) {
  const buffer = Buffer.alloc(length);
  return buffer.subarray(0, fs.readSync(fd, buffer, 0, length, position));
}

/** True when a first line is the plain CSV's header: time, then names of our columns. */
function isPlainHeader(line) {
  return line.startsWith('time') && line.split(',').every(plainName);
}

/** True when the file is one of the outputs kinovar writes (any format). */
function isOurOutput(file) {
  const fd = fs.openSync(file, 'r');
  try {
    const size = fs.fstatSync(fd).size;
    if (size === 0) return true;  // an empty file holds nothing to lose
    const head = readRange(fd, 0, BLOCK).toString('latin1');
    if (head.startsWith(BANNER) || STO_HEAD.test(head) || head.includes(VIEW_GENERATOR) || SET_HEAD.test(head) ||
      CALIBRATION_HEAD.test(head)) return true;
    if (head.includes('\n') && isPlainHeader(head.split(/\r?\n/)[0])) return true;
    return head.startsWith(PARQUET_MAGIC) && isOurParquet(readRange(fd, Math.max(0, size - 65536), 65536));
  } finally {
    fs.closeSync(fd);
  }
}

/**
 * True when the bytes end like a Parquet file of ours: the footer, which
 * holds the key-value metadata, names our format. Read from the bytes, so
 * that recognising a file loads no Parquet decoder.
 */
function isOurParquet(tail) {
  return tail.length >= 8 && tail.subarray(tail.length - 4).toString('latin1') === PARQUET_MAGIC &&
    tail.includes(PARQUET_VERSION, 0, 'latin1');
}

function matches(bytes, start) {
  if (start instanceof RegExp) return start.test(bytes.toString('latin1'));
  return bytes.subarray(0, Buffer.byteLength(start)).equals(Buffer.from(start));
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

function hasSettingsMagic(bytes) {
  for (let i = 0; i + 5 <= Math.min(bytes.length, BLOCK); i++) {
    if (bytes[i] === RECORD_MAGIC[0] && bytes[i + 1] === RECORD_MAGIC[1]) return true;
  }
  return false;
}

/**
 * What an existing file is, in words, as far as replacing it is concerned.
 * @param {string} file
 * @returns {{kind: 'missing'|'folder'|'empty'|'recording'|'settings'|'other'|string, size?: number}}
 *   a kind of SIGNATURES when it begins like one of our outputs
 */
function inspect(file) {
  let info;
  try {
    info = fs.statSync(file);
  } catch (error) {
    // Nothing there to lose; writing says why the path is wrong.
    if (error.code === 'ENOENT' || error.code === 'ENOTDIR') return { kind: 'missing' };
    throw error;
  }
  if (info.isDirectory()) return { kind: 'folder' };
  if (!info.isFile()) return { kind: 'device' };  // a pipe or device is written as it is
  if (info.size === 0) return { kind: 'empty', size: 0 };
  const bytes = head(file, BLOCK);
  for (const [kind, starts] of Object.entries(SIGNATURES)) {
    if (starts.some((start) => matches(bytes, start))) {
      return { kind, size: info.size };
    }
  }
  // Another format of ours (plain CSV, Parquet, OpenSim table, a set's report) may give way to any
  // output of ours. Known before the settings records are looked for: a path in a set's report may
  // hold their two magic letters.
  if (isOurOutput(file)) return { kind: 'output', size: info.size };
  if (hasSettingsMagic(bytes)) return { kind: info.size > BLOCK ? 'recording' : 'settings', size: info.size };
  return { kind: 'other', size: info.size };
}

module.exports = { isOurOutput, isOurParquet, isPlainHeader, inspect, head };
