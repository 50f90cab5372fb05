'use strict';
// Tables (a row per instant a sample was taken at) as Parquet files, read
// back whole or by a range of time. A recording's table is written by the
// core from the recording itself (native convertParquet); the tables of a
// set and the epochs are read here in pieces and handed to the core's
// encoder (tableWriter). See the core's parquet.h for what each column is
// encoded as.
//
// The encoder was parquet-wasm, fed one 64 Ki-row group at a time, with the
// sensor columns' dictionaries made here and the groups joined here under
// one footer. The core's own (snappy of its own too) writes the same
// columns, encodings, statistics, page indexes and metadata; an hour at
// 1000 Hz (3.6 M rows, 2 shared cores, least of three runs):
//   parquet-wasm and the JS dictionaries   3.22 s processor, 189 MB peak, 52.8 MB file
//   the core's encoder fed from here       2.18 s processor, 151 MB peak, 48.8 MB file
//   the core from the recording            2.17 s processor, 123 MB peak (six hours: 127 MB)
// Reading a range decodes only the row groups whose time statistics meet
// it, each on its own (parquet-wasm), so that the decoder's memory is a
// group's.
const { tableStreams, ESTIMATED_FROM } = require('../data/tables');
const { decode, encode, field, setField, T } = require('./thrift');
const { PARQUET_META, PARQUET_VERSION, PARQUET_MAGIC, COLUMNS } = require('../model/schema');
const native = require('../native/entry');

/** Rows per row group, the encoder's. */
const ROW_GROUP_ROWS = native.schema().parquetGroupRows;

/**
 * Rows per piece of a table read for a file: a quarter group, so that the
 * pieces in flight (made ahead, handed over, gathered into a group) cost a
 * few MB instead of a group's size each.
 */
const tablePieceRows = (groupRows = ROW_GROUP_ROWS) => Math.min(groupRows, 1 << 14);

// Field ids of the footer's structures that picking row groups touches.
const FILE = { SCHEMA: 2, NUM_ROWS: 3, ROW_GROUPS: 4, KEY_VALUES: 5 };
const GROUP = { COLUMNS: 1, NUM_ROWS: 3, FILE_OFFSET: 5 };
const CHUNK = { FILE_OFFSET: 2, META: 3, OFFSET_INDEX: 4 };
const META = { PATH: 3, COMPRESSED: 7, DATA_PAGE: 9, INDEX_PAGE: 10, DICTIONARY_PAGE: 11, STATISTICS: 12 };
const STATS = { MAX: 1, MIN: 2, MAX_VALUE: 5, MIN_VALUE: 6 };
const MAGIC = Buffer.from(PARQUET_MAGIC, 'latin1');

// The packages are loaded on first use: they take a while to load, and most
// conversions need neither.
let packages;
function load() {
  packages ??= { parquet: require('parquet-wasm'), arrow: require('apache-arrow') };
  return packages;
}

const shift = (fields, id, by) => {
  const value = field(fields, id);
  if (value !== undefined) setField(fields, id, value + by);
};

/** Where a column chunk's bytes start: its dictionary page, else its first data page. */
const chunkStart = (meta) => Math.min(...[META.DICTIONARY_PAGE, META.DATA_PAGE].map((id) => field(meta, id) ?? Infinity));

/**
 * A writer of one table, to be fed its rows in pieces (append: rows `from`
 * to `to` of each column's values, with a bitmap of the rows that have one,
 * or null) and finished with the description of what it holds: epochs.
 * @param {(bytes: Uint8Array) => void} write where the file's bytes go, in order
 * @param {{columns: Array<{name: string, unit: string, type: string}>, utcOffset?: number, rowGroupRows?: number}}
 *   table utcOffset: known for a datetime column in UTC, else it is the device's local time (no zone)
 * @returns {{append: (chunk: object) => void, finish: (about: {info: object}) => void, rowGroupRows: number}}
 */
function tableWriter(write, { columns, utcOffset, rowGroupRows = ROW_GROUP_ROWS }) {
  const handle = native.parquetWriter(columns.map(({ name, type }) => ({ name, type })), utcOffset !== undefined, rowGroupRows);
  const units = Object.fromEntries(columns.map((c) => [c.name, c.unit]));
  const written = (bytes) => {
    if (bytes.length) write(bytes);
  };
  return {
    rowGroupRows,
    append: ({ from, to, columns: pieces }) => written(native.parquetAppend(handle, from, to, pieces)),
    finish: ({ info }) => written(native.parquetFinish(handle, [
      [PARQUET_META.format, PARQUET_VERSION],
      [PARQUET_META.recording, JSON.stringify(info)],
      [PARQUET_META.units, JSON.stringify(units)],
    ])),
  };
}

/**
 * A numeric column as doubles, nulls as NaN, into `values` from `at`: chunk
 * by chunk, not value by value (an hour has millions).
 */
function asDoubles(vector, values, at) {
  for (const data of vector.data) {
    const chunk = data.values.subarray(0, data.length);  // a chunk's values start at its offset already
    // A datetime's microseconds since 1970 become milliseconds, as Date takes them.
    if (chunk instanceof BigInt64Array) for (let i = 0; i < chunk.length; i++) values[at + i] = Number(chunk[i]) / 1000;
    else values.set(chunk, at);
    if (data.nullCount > 0) {
      const bitmap = data.nullBitmap;
      for (let i = 0; i < data.length; i++) {
        const bit = data.offset + i;
        if (!((bitmap[bit >> 3] >> (bit & 7)) & 1)) values[at + i] = NaN;
      }
    }
    at += data.length;
  }
}

const notOurs = (why) => new Error(`not a Parquet file that kinovar wrote: ${why}`);
const text = (bytes) => Buffer.from(bytes).toString('utf8');

/** A double from a statistics value (8 bytes, little-endian), or undefined. */
function statistic(bytes) {
  return bytes?.length === 8 ? Buffer.from(bytes).readDoubleLE(0) : undefined;
}

/** The first and last time of a row group, from its time column's statistics (undefined when not kept). */
function timeSpan(group) {
  const time = field(group, GROUP.COLUMNS).items.map((c) => field(c, CHUNK.META))
    .find((meta) => text(field(meta, META.PATH).items[0]) === 'time');
  const stats = time && field(time, META.STATISTICS);
  if (!stats) return { first: undefined, last: undefined };
  return {
    first: statistic(field(stats, STATS.MIN_VALUE) ?? field(stats, STATS.MIN)),
    last: statistic(field(stats, STATS.MAX_VALUE) ?? field(stats, STATS.MAX)),
  };
}

/**
 * A row group of a file as a Parquet file of its own: its column chunks read
 * one after another, under the file's footer with that group alone (and
 * without page indexes, which the decoder does not need).
 */
function groupFile(read, footer, group) {
  const pieces = [MAGIC];
  let position = MAGIC.length;
  const chunks = field(group, GROUP.COLUMNS).items;
  for (const chunk of chunks) {
    const meta = field(chunk, CHUNK.META);
    const start = chunkStart(meta);
    pieces.push(read(start, field(meta, META.COMPRESSED)));
    const by = position - start;
    for (const id of [META.DATA_PAGE, META.INDEX_PAGE, META.DICTIONARY_PAGE]) shift(meta, id, by);
    position += field(meta, META.COMPRESSED);
    chunk.splice(0, chunk.length, ...chunk.filter(([id]) => id < CHUNK.OFFSET_INDEX));
    if (field(chunk, CHUNK.FILE_OFFSET)) setField(chunk, CHUNK.FILE_OFFSET, 0);
  }
  const kept = group.filter(([id]) => id !== GROUP.FILE_OFFSET);
  const fields = footer.map(([id, type, value]) => [id, type, id === FILE.NUM_ROWS ? field(group, GROUP.NUM_ROWS)
    : id === FILE.ROW_GROUPS ? { element: T.STRUCT, items: [kept] } : value]);
  const tail = encode(fields);
  const end = Buffer.alloc(8);
  end.writeUInt32LE(tail.length, 0);
  MAGIC.copy(end, 4);
  return Buffer.concat([...pieces, tail, end]);
}

/**
 * Reads a Parquet file that kinovar wrote, or the rows of a range of its time.
 * @param {(position: number, length: number) => Uint8Array} read the file's bytes at a position
 * @param {number} size the file's length
 * @param {{from?: number, to?: number, streams?: string[]}} [range] rows with from <= time < to (seconds);
 *   only the columns of the streams named (with time and datetime)
 * @returns {{info: object, units: object, rows: number, columns: object,
 *   streams: object, set?: object}} `columns` by name (nulls read as NaN; the
 *   event column as a Float64Array too); `streams` shaped as load() gives
 *   them, with the rows that have a value of each stream, timed by the table's
 *   time column; `set`: the report of the set the file was written with
 */
function readParquetFile(read, size, { from = -Infinity, to = Infinity, streams } = {}) {
  const { arrow, parquet } = load();
  if (size < 12 || text(read(size - 4, 4)) !== PARQUET_MAGIC) throw notOurs('it does not end as Parquet files do');
  const length = Buffer.from(read(size - 8, 4)).readUInt32LE(0);
  if (length > size - 12) throw notOurs('its footer is longer than the file');
  const footer = decode(read(size - 8 - length, length)).fields;
  const metadata = new Map(field(footer, FILE.KEY_VALUES)?.items.map((kv) => [text(field(kv, 1)), text(field(kv, 2) ?? [])]));
  if (metadata.get(PARQUET_META.format) !== PARQUET_VERSION) throw notOurs(`its metadata names no ${PARQUET_VERSION}`);
  const asked = streams && new Set(['time', 'datetime',
    ...COLUMNS.filter(([, , stream]) => streams.includes(stream)).map(([name]) => name)]);
  // The orientation's samples without an estimate are told by the columns it is estimated from.
  const wanted = asked && new Set([...asked, ...(streams.includes('orientation') ? ESTIMATED_FROM : [])]);
  const names = field(footer, FILE.SCHEMA).items.slice(1).map((element) => text(field(element, 4)))
    .filter((name) => !wanted || wanted.has(name));
  // The row groups that hold rows of the range, each decoded on its own into
  // the arrays, so that the decoder's memory is a group's, not the file's.
  const groups = field(footer, FILE.ROW_GROUPS).items.filter((group) => {
    const { first, last } = timeSpan(group);
    return !(last < from) && !(first >= to);
  });
  const total = groups.reduce((sum, group) => sum + field(group, GROUP.NUM_ROWS), 0);
  let columns = Object.fromEntries(names.map((name) => [name, new Float64Array(total)]));
  let rows = 0;
  for (const group of groups) {
    // Large batches: the decoder's default of 1024 rows makes an hour thousands of chunks, twice as slow.
    const bytes = groupFile(read, footer, group);
    const table = arrow.tableFromIPC(parquet.readParquet(bytes, { batchSize: 1 << 16, columns: names }).intoIPCStream());
    for (const name of names) asDoubles(table.getChild(name), columns[name], rows);
    // The groups' edges are not the range's: the rows outside it go.
    const time = columns.time.subarray(rows, rows + table.numRows);
    let first = 0;
    while (first < time.length && !(time[first] >= from)) first++;
    let last = first;
    while (last < time.length && time[last] < to) last++;
    if (first > 0) for (const name of names) columns[name].copyWithin(rows, rows + first, rows + last);
    rows += last - first;
  }
  if (rows < total) columns = Object.fromEntries(names.map((name) => [name, columns[name].slice(0, rows)]));
  const set = metadata.get(PARQUET_META.set);
  const found = tableStreams(columns);
  return {
    info: JSON.parse(metadata.get(PARQUET_META.recording)),
    units: JSON.parse(metadata.get(PARQUET_META.units)),
    rows,
    columns: asked ? Object.fromEntries(Object.entries(columns).filter(([name]) => asked.has(name))) : columns,
    streams: asked ? Object.fromEntries(Object.entries(found).filter(([stream]) => streams.includes(stream))) : found,
    ...(set ? { set: JSON.parse(set) } : {}),
  };
}

/** readParquetFile of the bytes of a whole file. */
function readParquetBytes(bytes, range) {
  return readParquetFile((position, length) => bytes.subarray(position, position + length), bytes.length, range);
}

module.exports = { tablePieceRows, tableWriter, readParquetFile, readParquetBytes };
