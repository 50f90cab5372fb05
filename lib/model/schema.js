'use strict';
// What our files look like: the recording's block, the streams and the
// table's columns, the formats and their extensions. The core's lists are
// asked of it; our outputs are recognised by the core beside its writers.

/** A recording is read in blocks of this size; the first holds its settings records. */
const BLOCK = 512;

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

const PARQUET_MAGIC = 'PAR1';

module.exports = {
  BLOCK, ESTIMATORS, CLOCKS, DEFAULT_CLOCK, TIMES, MAX_RESAMPLE_HZ, DEFAULT_ESTIMATOR, FORMATS, SET_FORMATS, BIDS, DEFAULT_FORMAT,
  FORMAT_ALIASES, EXTENSIONS,
  PARQUET_MAGIC,
};
for (const [name, value] of Object.entries({
  STREAMS: () => Object.freeze(native().streams),
  COLUMNS: () => Object.freeze(native().columns),
  BANNER: () => native().banner,
  // Our Parquet files name their format in the footer's key-value metadata, which the core writes.
  PARQUET_META: () => Object.freeze(native().parquetMeta),
  PARQUET_VERSION: () => native().parquetVersion,
  /** The status readAndSync2 gives each failure of a set, by the failure's name ('unparsed', 'output', ...). */
  SET_STATUSES: () => Object.freeze(native().setStatuses),
  // A set's report beside its plain CSV files or OpenSim table (written by the
  // core): its name, the format it begins with, and the resampler's words its reports share.
  SET_FILE: () => native().set.file,
  SET_VERSION: () => native().set.format,
  SET_WORDS: () => Object.freeze(native().set),
  /** The viewer's pages name their generator near the top, by which they are known as ours. */
  VIEW_GENERATOR: () => native().viewGenerator,
})) {
  let made;
  Object.defineProperty(module.exports, name, { enumerable: true, get: () => (made ??= value()) });
}
