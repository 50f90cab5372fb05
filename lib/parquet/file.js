'use strict';
// A recording's table (a row per instant a sample was taken at) as a Parquet
// file, written in row groups as its rows come, and read back whole or by a
// range of time. Each group's columns go as an Arrow stream (arrowstream.js)
// to parquet-wasm (the Rust Parquet writer compiled to WebAssembly), which
// encodes and compresses the group as a file of its own, and the groups are
// joined here under one footer.
//
// Chosen by measurement, one hour at 1000 Hz (3.6 M rows, 2 shared cores):
//   parquet-wasm's writeParquet of the whole table    4.3 s, 1.70 GB peak, 750 MB of WebAssembly memory (fails past ~5 h)
//   its transformParquetStream, 64 Ki-row batches    5.2 s to write, 394 MB of WebAssembly memory, asynchronous only
//   hyparquet-writer (snappy: Node 20 has no zstd)    17.7 s to write, twice the size, an ES module only
//   writeParquet per 64 Ki-row group, joined here     3.4 s to write, 20 MB of WebAssembly memory whatever the length
//   every other group on a second encoder thread       40 MB more at peak, and no faster on a busy machine
//                                                      (wall 1.07 times one encoder's without orientation)
//   the plain CSV, for scale                          2.2 s in all
// A native writer would need zstd, which a build from source cannot count on finding.
// Compression, in the encoder's processor time for an hour (least of five
// runs; the rows' making takes about 3 s besides) and the file's size:
//   zstd     1.58 s, 108 MB
//   snappy   1.14 s, 118 MB   chosen: a tenth of the whole conversion's time for a tenth more bytes
//   LZ4_RAW  1.3 s, 111 MB    hyparquet cannot read the encoder's LZ4_RAW ("lz4 offset out of range")
// The encoder's processor time for an hour without orientation (rows held in
// memory, least of three runs in each of four processes, in turn):
//   statistics and page indexes of every column   1.10-1.19 s, 19.64 MB
//   the time column's alone                        1.05-1.18 s, 19.56 MB   chosen
//   no dictionary for the sensor columns           0.63-0.68 s, 47.3 MB    not worth 2.4 times the bytes
//   gyroscope and accelerometer uncompressed       no faster (snappy leaves their indexes as they are), 0.3% more bytes
//   the quaternions uncompressed (classic filter)  7% less, for 1.9 times the bytes
// The dictionary was two thirds of the encoding: a sensor's samples in a
// group are few distinct counts (some 65 in a generated hour), which it
// suits. So the sensor columns' dictionaries and pages of indexes are made
// here (dictionary.js), several times faster, and the encoder is handed
// those columns empty: for the hour, 0.59-0.61 s instead of 1.01-1.05 (least
// of three runs in each of two processes), 19.48 MB. Page sizes and batch
// sizes change neither by a hundredth. The Arrow stream handed to the encoder
// is written here (see arrowstream.js) rather than by apache-arrow, which
// costs 65 ms to load and a copy of every column.
const { sampleTable, tableStreams, ESTIMATED_FROM } = require('../data/tables');
const { Hole, decode, encode, encodeOpen, fill, field, setField, T } = require('./thrift');
const { PARQUET_META, PARQUET_VERSION, PARQUET_MAGIC, COLUMNS } = require('../model/schema');
const { ArrowGroup, ones } = require('./arrowstream');
const { DictionaryEncoder, PAGE_TYPE, ENCODING } = require('./dictionary');

/** Rows per row group: 64 Ki keeps a group's encoding within a few tens of MB, and reads by range fine-grained. */
const ROW_GROUP_ROWS = 1 << 16;

/**
 * Rows per piece of a table read for a file: a quarter group, so that the
 * pieces in flight (made ahead, handed over, gathered into a group) cost a
 * few MB instead of a group's size each.
 */
const tablePieceRows = (groupRows = ROW_GROUP_ROWS) => Math.min(groupRows, 1 << 14);

// Field ids of the footer's structures that joining and picking row groups touch.
const FILE = { SCHEMA: 2, NUM_ROWS: 3, ROW_GROUPS: 4, KEY_VALUES: 5 };
const GROUP = { COLUMNS: 1, TOTAL_BYTE_SIZE: 2, NUM_ROWS: 3, FILE_OFFSET: 5, TOTAL_COMPRESSED_SIZE: 6, ORDINAL: 7 };
const CHUNK = { FILE_OFFSET: 2, META: 3, OFFSET_INDEX: 4, OFFSET_INDEX_LENGTH: 5, COLUMN_INDEX: 6, COLUMN_INDEX_LENGTH: 7 };
const META = { TYPE: 1, ENCODINGS: 2, PATH: 3, CODEC: 4, VALUES: 5, UNCOMPRESSED: 6, COMPRESSED: 7, DATA_PAGE: 9, INDEX_PAGE: 10,
  DICTIONARY_PAGE: 11, STATISTICS: 12, ENCODING_STATS: 13 };
const PAGE_LOCATIONS = 1;
const DOUBLE = 5;
const UNCOMPRESSED = 0;
const STATS = { MAX: 1, MIN: 2, MAX_VALUE: 5, MIN_VALUE: 6 };
const MAGIC = Buffer.from(PARQUET_MAGIC, 'latin1');

// The packages are loaded on first use: they take a while to load, and most
// conversions need neither. Writing needs the encoder alone.
let packages;
function load({ arrow = true } = {}) {
  packages ??= { parquet: require('parquet-wasm') };
  if (arrow) packages.arrow ??= require('apache-arrow');
  return packages;
}

/** The footer of a whole Parquet file in memory, and where it starts. */
function footerOf(bytes) {
  const length = new DataView(bytes.buffer, bytes.byteOffset + bytes.length - 8, 4).getUint32(0, true);
  const start = bytes.length - 8 - length;
  return { fields: decode(bytes, start).fields, start };
}

const shift = (fields, id, by) => {
  const value = field(fields, id);
  if (value !== undefined) setField(fields, id, value + by);
};

/** Where a column chunk's bytes start: its dictionary page, else its first data page. */
const chunkStart = (meta) => Math.min(...[META.DICTIONARY_PAGE, META.DATA_PAGE].map((id) => field(meta, id) ?? Infinity));

/** Bytes appended end to end in one growing buffer. */
class Bytes {
  constructor() {
    this.bytes = new Uint8Array(1 << 12);
    this.length = 0;
  }

  push(bytes) {
    if (this.length + bytes.length > this.bytes.length) {
      const grown = new Uint8Array(Math.max(this.bytes.length * 2, this.length + bytes.length));
      grown.set(this.bytes.subarray(0, this.length));
      this.bytes = grown;
    }
    this.bytes.set(bytes, this.length);
    this.length += bytes.length;
  }

  result() {
    return this.bytes.subarray(0, this.length);
  }
}

/**
 * Times and quaternions: (nearly) as many values as rows, so a dictionary
 * only costs time there, while their bytes split by significance compress
 * well (the time column to a fiftieth).
 */
const splitColumn = (name) => name === 'time' || name.startsWith('quat_');

/**
 * The footer's entry of a chunk that the dictionary encoder made for column
 * `name`, standing at `position` in the file, and its offset index.
 * @param {number} n the rows of the group
 */
function dictionaryChunkEntry(name, n, { bytes, pages }, position) {
  const meta = [
    [META.TYPE, T.I32, DOUBLE],
    [META.ENCODINGS, T.LIST, { element: T.I32, items: [ENCODING.PLAIN, ENCODING.RLE, ENCODING.RLE_DICTIONARY] }],
    [META.PATH, T.LIST, { element: T.BINARY, items: [new Uint8Array(Buffer.from(name, 'utf8'))] }],
    [META.CODEC, T.I32, UNCOMPRESSED],
    [META.VALUES, T.I64, n],
    [META.UNCOMPRESSED, T.I64, bytes.length],
    [META.COMPRESSED, T.I64, bytes.length],
    [META.DATA_PAGE, T.I64, position + pages[0].offset],
    [META.DICTIONARY_PAGE, T.I64, position],
    [META.ENCODING_STATS, T.LIST, { element: T.STRUCT, items: [
      [[1, T.I32, PAGE_TYPE.DATA], [2, T.I32, ENCODING.RLE_DICTIONARY], [3, T.I32, pages.length]],
      [[1, T.I32, PAGE_TYPE.DICTIONARY], [2, T.I32, ENCODING.PLAIN], [3, T.I32, 1]],
    ] }],
  ];
  const offsetIndex = [[PAGE_LOCATIONS, T.LIST, { element: T.STRUCT, items: pages.map(({ offset, length, firstRow }) => [
    [1, T.I64, position + offset], [2, T.I32, length], [3, T.I64, firstRow]]) }]];
  return { meta, offsetIndex };
}

/**
 * Whether a group's column is encoded here (dictionary.js) rather than by
 * the encoder: a sensor's samples, few distinct counts, on at least half the
 * rows. A sparser column's empty rows are a pattern that only compression
 * shortens, and its few values cost the encoder little; an empty one is the
 * encoder's too.
 */
function ownDictionary({ name, type }, { valid }, n) {
  if (type !== 'double' || splitColumn(name)) return false;
  let have = 0;
  for (let i = 0; i < n >> 3; i++) have += ones[valid[i]];
  return have > 0 && 2 * have >= n;
}

/**
 * Writes a table's rows as they come: whole row groups as soon as they are
 * full, the footer at `finish`.
 */
class ParquetWriter {
  /**
   * @param {(bytes: Uint8Array) => void} write where the file's bytes go, in order
   * @param {{columns: Array<{name: string, type: 'double'|'int32'|'timestamp'}>, zone?: string|null,
   *   rowGroupRows?: number}} layout
   */
  constructor(write, { columns, zone = null, rowGroupRows = ROW_GROUP_ROWS }) {
    this.write = write;
    this.columns = columns;
    this.zone = zone;
    this.groupRows = rowGroupRows;
    this.filled = 0;
    this.group = null;
    // Per group only bytes: its footer entry encoded but for where its page
    // indexes will be (holes, filled at the end), and the indexes end to end,
    // so that what a long recording holds until the footer is a few bytes a
    // group, not objects.
    this.groups = [];
    this.columnIndexes = new Bytes();
    this.offsetIndexes = new Bytes();
    this.template = null;
    this.dictionary = new DictionaryEncoder();
    this.rows = 0;
    this.position = MAGIC.length;
    write(MAGIC);
    // Now, while the first rows are being made ahead.
    load({ arrow: false });
  }

  /**
   * Rows `from` to `to` of the columns (in the order given to the writer):
   * values, and a bitmap of the rows that have one (null: all have).
   * @param {{from: number, to: number, columns: Array<{values: ArrayLike<number|bigint>, valid: Uint8Array|null}>}} chunk
   */
  append({ from, to, columns }) {
    for (let at = from; at < to;) {
      const n = Math.min(to - at, this.groupRows - this.filled);
      this.buffer(columns, at, n);
      if (this.filled === this.groupRows) this.flush();
      at += n;
    }
  }

  /** Gathers rows into the group's Arrow stream, where the encoder takes them from. */
  buffer(columns, from, n) {
    this.group ??= new ArrowGroup(this.columns, this.zone, Math.max(this.groupRows, 1));
    for (let c = 0; c < columns.length; c++) {
      const { values, valid } = columns[c];
      const into = this.group.columns[c];
      into.values.set(values.subarray(from, from + n), this.filled);
      if (from % 8 === 0 && this.filled % 8 === 0) {
        // Whole bytes of the bitmap, the bits past the rows cleared.
        const at = this.filled >> 3, bytes = (n + 7) >> 3;
        if (valid) into.valid.set(valid.subarray(from >> 3, (from >> 3) + bytes), at);
        else into.valid.fill(0xff, at, at + bytes);
        if (n % 8) into.valid[at + bytes - 1] &= (1 << (n % 8)) - 1;
        continue;
      }
      for (let i = 0; i < n; i++) {
        const r = from + i;
        const w = this.filled + i;
        if (!valid || (valid[r >> 3] >> (r & 7)) & 1) into.valid[w >> 3] |= 1 << (w & 7);
        else into.valid[w >> 3] &= ~(1 << (w & 7));
      }
    }
    this.filled += n;
  }

  flush() {
    this.group ??= new ArrowGroup(this.columns, this.zone, Math.max(this.groupRows, 1));
    this.writeGroup(this.filled);
    this.filled = 0;
  }

  properties() {
    const { parquet } = load({ arrow: false });
    // Statistics on the time column alone: its group minimum and maximum are
    // what reading a range skips groups by, and its page index lets other
    // readers skip pages too; the others' cost encoding time and are read by no one.
    let builder = new parquet.WriterPropertiesBuilder()
      .setCompression(parquet.Compression.SNAPPY)
      .setMaxRowGroupSize(Math.max(this.groupRows, 1))
      .setStatisticsEnabled(parquet.EnabledStatistics.None)
      .setColumnStatisticsEnabled('time', parquet.EnabledStatistics.Page);
    for (const { name } of this.columns) {
      if (!splitColumn(name)) continue;
      builder = builder.setColumnDictionaryEnabled(name, false).setColumnEncoding(name, parquet.Encoding.BYTE_STREAM_SPLIT);
    }
    return builder.build();
  }

  /**
   * Encodes the rows as a Parquet file of one row group, whose column chunks
   * are written on; its footer's description of them is kept, moved to where
   * they now stand, and its page indexes are kept for the end of the file.
   * The sensor columns' chunks are made here and take the place of the empty
   * ones the encoder was handed.
   */
  writeGroup(n) {
    const { parquet } = load({ arrow: false });
    const own = this.columns.map((column, c) => {
      if (!ownDictionary(column, this.group.columns[c], n)) return null;
      const chunk = this.dictionary.chunk(this.group.columns[c], n);
      this.group.columns[c].valid.fill(0, 0, (n + 7) >> 3);
      return chunk;
    });
    // writeParquet takes the WebAssembly table over and frees it.
    const bytes = parquet.writeParquet(parquet.Table.fromIPCStream(this.group.stream(n)), this.properties());
    const footer = footerOf(bytes);
    const [group, ...more] = field(footer.fields, FILE.ROW_GROUPS).items;
    if (!group || more.length) throw new Error(`parquet: a row group of ${n} rows was encoded as ${more.length + 1}`);
    this.template ??= footer.fields;
    const chunks = field(group, GROUP.COLUMNS).items;
    if (field(group, GROUP.FILE_OFFSET)) setField(group, GROUP.FILE_OFFSET, this.position);
    const sizes = [0, 0];
    chunks.forEach((chunk, c) => {
      let body;
      if (own[c]) {
        const { meta, offsetIndex } = dictionaryChunkEntry(this.columns[c].name, n, own[c], this.position);
        chunk.splice(0, chunk.length, [CHUNK.FILE_OFFSET, T.I64, 0], [CHUNK.META, T.STRUCT, meta],
          [CHUNK.OFFSET_INDEX, T.I64, 0], [CHUNK.OFFSET_INDEX_LENGTH, T.I32, 0]);
        body = own[c].bytes;
        this.offsetIndex(chunk, offsetIndex);
      } else {
        const meta = field(chunk, CHUNK.META);
        const start = chunkStart(meta);
        body = bytes.subarray(start, start + field(meta, META.COMPRESSED));
        const by = this.position - start;
        for (const id of [META.DATA_PAGE, META.INDEX_PAGE, META.DICTIONARY_PAGE]) shift(meta, id, by);
        if (field(chunk, CHUNK.FILE_OFFSET)) shift(chunk, CHUNK.FILE_OFFSET, by);
        const at = field(chunk, CHUNK.COLUMN_INDEX);
        if (at !== undefined) {
          setField(chunk, CHUNK.COLUMN_INDEX, new Hole(0, this.columnIndexes.length));
          this.columnIndexes.push(bytes.subarray(at, at + field(chunk, CHUNK.COLUMN_INDEX_LENGTH)));
        }
        if (field(chunk, CHUNK.OFFSET_INDEX) !== undefined) {
          const offsetIndex = decode(bytes, field(chunk, CHUNK.OFFSET_INDEX)).fields;
          for (const page of field(offsetIndex, PAGE_LOCATIONS).items) shift(page, 1, by);
          this.offsetIndex(chunk, offsetIndex);
        }
      }
      const meta = field(chunk, CHUNK.META);
      sizes[0] += field(meta, META.UNCOMPRESSED);
      sizes[1] += field(meta, META.COMPRESSED);
      this.write(body);
      this.position += body.length;
    });
    setField(group, GROUP.TOTAL_BYTE_SIZE, sizes[0]);
    if (field(group, GROUP.TOTAL_COMPRESSED_SIZE) !== undefined) setField(group, GROUP.TOTAL_COMPRESSED_SIZE, sizes[1]);
    if (field(group, GROUP.ORDINAL) !== undefined) setField(group, GROUP.ORDINAL, this.groups.length);
    this.groups.push(encodeOpen(group));
    this.rows += n;
  }

  /** A chunk's offset index kept for the end of the file, the chunk pointing at where it will be. */
  offsetIndex(chunk, fields) {
    const encoded = encode(fields);
    setField(chunk, CHUNK.OFFSET_INDEX, new Hole(1, this.offsetIndexes.length));
    setField(chunk, CHUNK.OFFSET_INDEX_LENGTH, encoded.length);
    this.offsetIndexes.push(encoded);
  }

  /**
   * Writes the rows still buffered, the page indexes and the footer.
   * @param {Map<string, string>} metadata the footer's key-value metadata: known only once the rows are
   *   (a recording's quality report is counted as it streams)
   */
  finish(metadata) {
    if (this.filled > 0 || this.groups.length === 0) this.flush();
    const out = (bytes) => {
      this.write(bytes);
      this.position += bytes.length;
    };
    // As one write of the whole table lays them out: every column index, then every offset index.
    const bases = [this.position, 0];
    if (this.columnIndexes.length) out(this.columnIndexes.result());
    bases[1] = this.position;
    if (this.offsetIndexes.length) out(this.offsetIndexes.result());
    const groups = this.groups.map((open) => fill(open, bases));
    // Ours first, in our order, then the encoder's own (its Arrow schema).
    const utf8 = (value) => new Uint8Array(Buffer.from(value, 'utf8'));
    const entries = field(this.template, FILE.KEY_VALUES).items;
    entries.unshift(...[...metadata].map(([key, value]) => [[1, T.BINARY, utf8(key)], [2, T.BINARY, utf8(value)]]));
    setField(this.template, FILE.NUM_ROWS, this.rows);
    setField(this.template, FILE.ROW_GROUPS, { element: T.STRUCT, items: groups });
    const footer = encode(this.template);
    const tail = Buffer.alloc(8);
    tail.writeUInt32LE(footer.length, 0);
    MAGIC.copy(tail, 4);
    out(footer);
    out(tail);
  }
}

/**
 * A loaded recording's table for the writer: its columns and their rows in
 * pieces. The one place that knows where rows come from.
 * @returns {{columns: Array<{name: string, unit: string, type: string}>, chunks: (rows: number) => Iterable<object>}}
 */
function recordingTable(recording, { datetime = false } = {}) {
  const table = sampleTable(recording, { datetime });
  return {
    columns: table.columns.map(({ name, unit, type }) => ({ name, unit, type })),
    * chunks(rows) {
      for (let from = 0; from < table.rows; from += rows) yield { from, to: Math.min(table.rows, from + rows), columns: table.columns };
    },
  };
}

/**
 * A writer of one recording's table, to be fed its rows in pieces (append,
 * see ParquetWriter) and finished with the recording's description: for a
 * recording loaded whole or one whose rows stream.
 * @param {(bytes: Uint8Array) => void} write where the file's bytes go, in order
 * @param {{columns: Array<{name: string, unit: string, type: string}>, utcOffset?: number, rowGroupRows?: number}}
 *   table utcOffset: known for a datetime column in UTC, else it is the device's local time (no zone)
 * @returns {{append: (chunk: object) => void, finish: (about: {info: object, set?: object}) => void, rowGroupRows: number}}
 *   finish's set: the report of the set the recording belongs to, carried in the metadata
 */
function tableWriter(write, { columns, utcOffset, rowGroupRows = ROW_GROUP_ROWS }) {
  const writer = new ParquetWriter(write, { columns, zone: utcOffset === undefined ? null : 'UTC', rowGroupRows });
  const units = Object.fromEntries(columns.map((c) => [c.name, c.unit]));
  return {
    rowGroupRows,
    append: (chunk) => writer.append(chunk),
    finish: ({ info, set }) => writer.finish(new Map([
      [PARQUET_META.format, PARQUET_VERSION],
      [PARQUET_META.recording, JSON.stringify(info)],
      [PARQUET_META.units, JSON.stringify(units)],
      ...(set ? [[PARQUET_META.set, JSON.stringify(set)]] : []),
    ])),
  };
}

/**
 * Writes a table as Parquet, row group by row group, then its footer.
 * @param {(bytes: Uint8Array) => void} write where the file's bytes go, in order
 * @param {{columns: Array<{name: string, unit: string, type: string}>, chunks: (rows: number) => Iterable<object>}} table
 *   its columns and its rows in pieces, as lib/data/tables.js's streamTable gives them
 * @param {{info: object, set?: object, utcOffset?: number, rowGroupRows?: number}} about as tableWriter and its
 *   finish take them
 */
function writeTable(write, table, { info, set, utcOffset, rowGroupRows }) {
  const writer = tableWriter(write, { columns: table.columns, utcOffset, rowGroupRows });
  for (const chunk of table.chunks(tablePieceRows(writer.rowGroupRows))) writer.append(chunk);
  writer.finish({ info, set });
}

/**
 * Writes a loaded recording's table as Parquet.
 * @param {(bytes: Uint8Array) => void} write where the file's bytes go, in order
 * @param {object} recording from load() or loadSet()
 * @param {{set?: object, time?: string, utcOffset?: number, rowGroupRows?: number}} [options] as writeTable's;
 *   time 'absolute': a datetime column
 */
function writeParquet(write, recording, { time, ...options } = {}) {
  writeTable(write, recordingTable(recording, { datetime: time === 'absolute' }), { ...options, info: recording.info });
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

module.exports = { tablePieceRows, tableWriter, recordingTable, writeTable, writeParquet, readParquetFile, readParquetBytes };
