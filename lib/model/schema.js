'use strict';
// What our files look like: the recording's block, the streams and the
// table's columns, the formats and their extensions, and how each output
// of ours begins or ends. Every module that writes or recognises a file
// takes these from here, so that a writer and its recogniser cannot drift.

/** A recording is read in blocks of this size; the first holds its settings records. */
const BLOCK = 512;
/** Every settings record starts with these two bytes. */
const RECORD_MAGIC = [0x51, 0x37];

// The streams with their channel names, the table's columns after its time
// (name, unit, and the stream and channel they come from) and the classic
// CSV's first line are the native writers': asked of them on first use, so
// that what only needs the lists below loads no native module.
let tables;
const native = () => (tables ??= require('../native/entry').schema());

const ESTIMATORS = ['classic', 'accurate', 'none'];
/** What a table's time counts: seconds from its first sample, or that with the wall-clock datetime beside. */
const TIMES = ['relative', 'absolute'];
/** The highest rate a table may be resampled to, in samples per second. */
const MAX_RESAMPLE_HZ = 100000;
/**
 * The estimator of our own API and command line when none is asked for. The
 * five native functions keep the classic filter, which 'classic' reproduces
 * byte for byte.
 */
const DEFAULT_ESTIMATOR = 'accurate';
/**
 * How a set goes onto one clock: each recording's measured clock model
 * ('drift', our API's default where the data give a rate), or one offset
 * each ('offset': the rows of the native readAndSync2).
 */
const CLOCKS = ['drift', 'offset'];
const DEFAULT_CLOCK = 'drift';

// The formats of one recording, those of a set, and the extension of each
// format's files. A .csv output is the plain table unless the classic CSV
// is asked for; 'csv', the classic CSV's name in 0.1, still names it.
const FORMATS = ['plain', 'classic', 'parquet'];
const SET_FORMATS = [...FORMATS, 'opensense'];
/** A BIDS motion dataset: a folder of its own files rather than a file of one format, so apart from the formats above. */
const BIDS = 'bids';
const DEFAULT_FORMAT = 'plain';
const FORMAT_ALIASES = Object.freeze({ csv: 'classic' });
const EXTENSIONS = Object.freeze({ plain: '.csv', classic: '.csv', parquet: '.parquet', opensense: '.sto' });

/** The viewer's pages name their generator near the top. */
const VIEW_GENERATOR = '<meta name="generator" content="kinovar view">';
/**
 * OpenSim's orientation table as we write it, up to its column names or to
 * the first sensor's calibration (a long header may pass the bytes read).
 */
const STO_HEAD = /^DataRate=[^\n]*\r?\nDataType=Quaternion\r?\nversion=3\r?\nOpenSimVersion=4\.5\r?\n(?:endheader\r?\ntime\t|calibration\.)/;

const PARQUET_MAGIC = 'PAR1';

/**
 * How the outputs that may only be replaced by their own kind begin: a file
 * that starts with one of these strings, or whose first block matches one
 * of these patterns.
 */
const signatures = () => Object.freeze({
  csv: [`${native().banner}\n`, `${native().banner}\r\n`],
  html: [/^<!DOCTYPE html>\r?\n<html[^>]*><head><meta charset="utf-8">\r?\n<meta name="generator" content="kinovar[^"]*">/],
});

module.exports = {
  BLOCK, RECORD_MAGIC, ESTIMATORS, CLOCKS, DEFAULT_CLOCK, TIMES, MAX_RESAMPLE_HZ, DEFAULT_ESTIMATOR, FORMATS, SET_FORMATS, BIDS, DEFAULT_FORMAT,
  FORMAT_ALIASES, EXTENSIONS, VIEW_GENERATOR, STO_HEAD,
  PARQUET_MAGIC,
};
for (const [name, value] of Object.entries({
  STREAMS: () => Object.freeze(native().streams),
  COLUMNS: () => Object.freeze(native().columns),
  SUMMARY_COLUMNS: () => Object.freeze([...native().epochColumns, ...native().dayColumns]),
  BANNER: () => native().banner,
  // Our Parquet files name their format in the footer's key-value metadata, which the core writes.
  PARQUET_META: () => Object.freeze(native().parquetMeta),
  PARQUET_VERSION: () => native().parquetVersion,
  // A calibration file (the report of kinovar calibrate, by which a device's later recordings are
  // calibrated) begins with the format the core writes it in.
  CALIBRATION_HEAD: () => new RegExp(`^\\{\\s*"format":\\s*"${native().calibrationFormat.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}"`),
  /** The status readAndSync2 gives each failure of a set, by the failure's name ('unparsed', 'output', ...). */
  SET_STATUSES: () => Object.freeze(native().setStatuses),
  // A set's report beside its plain CSV files or OpenSim table (written by the
  // core): its name, the format it begins with, by which it is recognised,
  // and the resampler's words its reports share.
  SET_FILE: () => native().set.file,
  SET_VERSION: () => native().set.format,
  SET_HEAD: () => new RegExp(`^\\{\\s*"format":\\s*"${native().set.format}"`),
  SET_WORDS: () => Object.freeze(native().set),
  SIGNATURES: signatures,
})) {
  let made;
  Object.defineProperty(module.exports, name, { enumerable: true, get: () => (made ??= value()) });
}
