'use strict';
// A table's rows as an Arrow IPC stream (a schema, one record batch, the end
// mark), written here for the Parquet encoder: the columns are flat numbers,
// so the stream needs a few flatbuffer tables, not the Arrow library, whose
// loading and buffer copies cost a Parquet conversion more than this does.

/** Flatbuffer tables in order of appearance, each child after what refers to it (offsets point forward). */
class Flat {
  constructor() {
    this.bytes = new Uint8Array(512);
    this.view = new DataView(this.bytes.buffer);
    this.length = 0;
  }

  room(n) {
    if (this.length + n <= this.bytes.length) return;
    const grown = new Uint8Array(Math.max(this.bytes.length * 2, this.length + n));
    grown.set(this.bytes);
    this.bytes = grown;
    this.view = new DataView(grown.buffer);
  }

  pad(to, extra = 0) {
    while ((this.length + extra) % to) this.put(1, 0);
  }

  put(size, value, at = this.length) {
    this.room(at + size - this.length);
    if (size === 1) this.view.setUint8(at, value);
    else if (size === 2) this.view.setInt16(at, value, true);
    else if (size === 4) this.view.setInt32(at, value, true);
    else this.view.setBigInt64(at, BigInt(value), true);
    if (at === this.length) this.length += size;
  }

  /** The buffer of `root`: a table of slots, each [size, value] or a child (table, vector or string). */
  static build(root) {
    const out = new Flat();
    out.put(4, 0);
    const queue = [[0, root]];
    while (queue.length) {
      const [from, child] = queue.shift();
      const at = child.write(out, queue);
      out.put(4, at - from, from);
    }
    return out.bytes.subarray(0, out.length);
  }
}

const table = (slots) => ({
  write(out, queue) {
    // Widest fields first, each aligned to its size from a table aligned to 8.
    const order = slots.map((slot, id) => ({ slot, id, size: slot && (Array.isArray(slot) ? slot[0] : 4) }))
      .filter(({ slot }) => slot).sort((a, b) => b.size - a.size);
    let end = 4;
    for (const field of order) {
      end = Math.ceil(end / field.size) * field.size;
      field.offset = end;
      end += field.size;
    }
    out.pad(2);
    const vtable = out.length;
    out.put(2, 4 + 2 * slots.length);
    out.put(2, end);
    const offsets = new Array(slots.length).fill(0);
    for (const { id, offset } of order) offsets[id] = offset;
    for (const offset of offsets) out.put(2, offset);
    out.pad(8);
    const at = out.length;
    out.put(4, at - vtable);
    for (const { slot, offset, size } of order) {
      while (out.length < at + offset) out.put(1, 0);
      if (Array.isArray(slot)) out.put(size, slot[1]);
      else {
        queue.push([out.length, slot]);
        out.put(4, 0);
      }
    }
    while (out.length < at + end) out.put(1, 0);
    return at;
  },
});

const tables = (items) => ({
  write(out, queue) {
    out.pad(4);
    const at = out.length;
    out.put(4, items.length);
    for (const item of items) {
      queue.push([out.length, item]);
      out.put(4, 0);
    }
    return at;
  },
});

/** A vector of structs of 64-bit integers, `width` to a struct. */
const longs = (items, width) => ({
  write(out) {
    out.pad(8, 4);
    const at = out.length;
    out.put(4, items.length / width);
    for (const value of items) out.put(8, value);
    return at;
  },
});

const string = (text) => ({
  write(out) {
    const bytes = Buffer.from(text, 'utf8');
    out.pad(4);
    const at = out.length;
    out.put(4, bytes.length);
    for (const byte of bytes) out.put(1, byte);
    out.put(1, 0);
    return at;
  },
});

// The format's numbers: metadata version 5, message and type kinds.
const V5 = 4;
const SCHEMA = 1;
const RECORD_BATCH = 3;
const INT = 2;
const FLOAT = 3;
const TIMESTAMP = 10;
const DOUBLE = 2;
const MICROSECOND = 2;

const typeOf = ({ type }, zone) => (type === 'int32' ? [INT, table([[4, 32], [1, 1]])]
  : type === 'timestamp' ? [TIMESTAMP, table([[2, MICROSECOND], zone === null ? undefined : string(zone)])]
    : [FLOAT, table([[2, DOUBLE]])]);

const message = (kind, header, bodyLength) => Flat.build(table([[2, V5], [1, kind], header, [8, bodyLength]]));

/** Bytes appended end to end in one buffer kept from stream to stream. */
class Sink {
  constructor() {
    this.bytes = new Uint8Array(1 << 12);
    this.length = 0;
  }

  push(bytes, length = bytes.length) {
    if (this.length + length > this.bytes.length) {
      const grown = new Uint8Array(Math.max(this.bytes.length * 2, this.length + length));
      grown.set(this.bytes.subarray(0, this.length));
      this.bytes = grown;
    }
    if (bytes) this.bytes.set(bytes, this.length);
    else this.bytes.fill(0, this.length, this.length + length);
    this.length += length;
  }

  /** A message: its metadata padded to 8 bytes behind the continuation mark and length. */
  message(metadata) {
    const padded = Math.ceil((metadata.length + 8) / 8) * 8 - 8;
    const head = new DataView(new ArrayBuffer(8));
    head.setInt32(0, -1, true);
    head.setInt32(4, padded, true);
    this.push(new Uint8Array(head.buffer));
    this.push(metadata);
    this.push(null, padded - metadata.length);
  }
}

const ones = new Uint8Array(256).map((_, b) => {
  let n = 0;
  for (let v = b; v; v >>= 1) n += v & 1;
  return n;
});

/**
 * Writes the stream of `n` rows into `sink` (emptied first): the columns'
 * layouts ({name, type}), their values and bitmaps of the rows that have one
 * (null: all have), both starting at the first row.
 * @returns {Uint8Array} the stream, a view of the sink's buffer
 */
function arrowStream(sink, layouts, zone, columns, n) {
  sink.length = 0;
  const fields = layouts.map((layout) => {
    const [kind, type] = typeOf(layout, zone);
    // Every column may be empty on a row, as the whole table's writer declared them.
    return table([string(layout.name), [1, 1], [1, kind], type, undefined, tables([])]);
  });
  sink.message(message(SCHEMA, table([undefined, tables(fields)]), 0));
  const nodes = [];
  const buffers = [];
  const body = [];
  let offset = 0;
  const add = (bytes) => {
    buffers.push(offset, bytes ? bytes.length : 0);
    if (!bytes) return;
    body.push(bytes);
    offset += Math.ceil(bytes.length / 8) * 8;
  };
  for (const { values, valid } of columns) {
    let nulls = 0;
    if (valid) {
      const bytes = n >> 3;
      for (let i = 0; i < bytes; i++) nulls += 8 - ones[valid[i]];
      if (n & 7) nulls += (n & 7) - ones[valid[bytes] & ((1 << (n & 7)) - 1)];
    }
    nodes.push(n, nulls);
    add(nulls ? valid.subarray(0, (n + 7) >> 3) : null);
    const data = values.subarray(0, n);
    add(new Uint8Array(data.buffer, data.byteOffset, data.byteLength));
  }
  sink.message(message(RECORD_BATCH, table([[8, n], longs(nodes, 2), longs(buffers, 2)]), offset));
  for (const bytes of body) {
    sink.push(bytes);
    sink.push(null, Math.ceil(bytes.length / 8) * 8 - bytes.length);
  }
  sink.push(new Uint8Array([0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0]));
  return sink.bytes.subarray(0, sink.length);
}

module.exports = { arrowStream, Sink };
