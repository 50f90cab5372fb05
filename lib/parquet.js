'use strict';
// A recording's table (a row per instant a sample was taken at) as a
// Parquet file, and back. Arrow builds the
// columns, parquet-wasm (the Rust Parquet writer compiled to WebAssembly)
// encodes and compresses them: synchronous, no native build, one package
// for every platform Node runs on.
const { sampleTable, tableStreams } = require('./data');
const { PARQUET_META, PARQUET_VERSION } = require('./schema');

// Both packages are loaded on first use: they take a while to load, and
// most conversions need neither.
let packages;
function load() {
  packages ??= { arrow: require('apache-arrow'), parquet: require('parquet-wasm') };
  return packages;
}

function arrowColumn(arrow, { type, values, valid }, zone) {
  const arrowType = type === 'int32' ? new arrow.Int32()
    : type === 'timestamp' ? new arrow.TimestampMicrosecond(zone) : new arrow.Float64();
  return arrow.makeVector(arrow.makeData({
    type: arrowType, length: values.length, data: values, ...(valid ? { nullBitmap: valid } : {}),
  }));
}

/**
 * The Parquet bytes of a loaded recording's table.
 * @param {object} recording from load() or loadSet()
 * @param {{set?: object, time?: string, utcOffset?: number}} [options] set: the report of the set it
 *   belongs to, carried in the metadata; time 'absolute': a datetime column, in UTC when the zone's
 *   offset was known, else the device's local time (a timestamp without a zone)
 * @returns {Uint8Array}
 */
function parquetBytes(recording, { set, time, utcOffset } = {}) {
  const { arrow, parquet } = load();
  const table = sampleTable(recording, { datetime: time === 'absolute' });
  const vectors = {};
  const zone = utcOffset === undefined ? null : 'UTC';
  for (const column of table.columns) vectors[column.name] = arrowColumn(arrow, column, zone);
  const ipc = arrow.tableToIPC(new arrow.Table(vectors), 'stream');
  const units = Object.fromEntries(table.columns.map((c) => [c.name, c.unit]));
  const metadata = new Map([
    [PARQUET_META.format, PARQUET_VERSION],
    [PARQUET_META.recording, JSON.stringify(recording.info)],
    [PARQUET_META.units, JSON.stringify(units)],
    ...(set ? [[PARQUET_META.set, JSON.stringify(set)]] : []),
  ]);
  let builder = new parquet.WriterPropertiesBuilder()
    .setCompression(parquet.Compression.ZSTD)
    .setKeyValueMetadata(metadata);
  // Times and quaternions have (nearly) as many values as rows: a dictionary
  // only costs time there, while their bytes split by significance compress
  // well (the time column to a fiftieth). Sensor samples are few distinct
  // counts, which the dictionary suits.
  for (const { name } of table.columns) {
    if (name !== 'time' && !name.startsWith('quat_')) continue;
    builder = builder.setColumnDictionaryEnabled(name, false).setColumnEncoding(name, parquet.Encoding.BYTE_STREAM_SPLIT);
  }
  const properties = builder.build();
  // writeParquet takes the WebAssembly table over and frees it.
  return parquet.writeParquet(parquet.Table.fromIPCStream(ipc), properties);
}

/** A numeric column as doubles, nulls as NaN: chunk by chunk, not value by value (an hour has millions). */
function asDoubles(vector) {
  const values = new Float64Array(vector.length);
  let at = 0;
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
  return values;
}

/**
 * Reads a Parquet file that kinovar wrote.
 * @param {Uint8Array} bytes the file's content
 * @returns {{info: object, units: object, rows: number, columns: object,
 *   streams: object, set?: object}} `columns` by name (nulls read as NaN; the
 *   event column as a Float64Array too); `streams` shaped as load() gives
 *   them, with the rows that have a value of each stream, timed by the table's
 *   time column; `set`: the report of the set the file was written with
 */
function readParquetBytes(bytes) {
  const { arrow, parquet } = load();
  // Large batches: the decoder's default of 1024 rows makes an hour thousands of chunks, twice as slow.
  const table = arrow.tableFromIPC(parquet.readParquet(bytes, { batchSize: 1 << 16 }).intoIPCStream());
  const metadata = table.schema.metadata;
  if (metadata.get(PARQUET_META.format) !== PARQUET_VERSION) throw new Error('not a Parquet file that kinovar wrote');
  const columns = {};
  for (const field of table.schema.fields) columns[field.name] = asDoubles(table.getChild(field.name));
  const streams = tableStreams(columns);
  const set = metadata.get(PARQUET_META.set);
  return {
    info: JSON.parse(metadata.get(PARQUET_META.recording)),
    units: JSON.parse(metadata.get(PARQUET_META.units)),
    rows: table.numRows,
    columns,
    streams,
    ...(set ? { set: JSON.parse(set) } : {}),
  };
}

module.exports = { parquetBytes, readParquetBytes };
