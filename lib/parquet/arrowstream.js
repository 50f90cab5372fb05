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

/** A message: its metadata padded to 8 bytes behind the continuation mark and its length. */
function message(kind, header, bodyLength) {
  const metadata = Flat.build(table([[2, V5], [1, kind], header, [8, bodyLength]]));
  const padded = Math.ceil(metadata.length / 8) * 8;
  const bytes = new Uint8Array(8 + padded);
  const view = new DataView(bytes.buffer);
  view.setInt32(0, -1, true);
  view.setInt32(4, padded, true);
  bytes.set(metadata, 8);
  return bytes;
}

const ones = new Uint8Array(256).map((_, b) => {
  let n = 0;
  for (let v = b; v; v >>= 1) n += v & 1;
  return n;
});

const padded = (n) => Math.ceil(n / 8) * 8;

/**
 * A row group's Arrow stream (a schema, one record batch, the end mark) in
 * one buffer kept from group to group, whose columns' arrays are where the
 * batch's body has them: rows gathered into `columns` are sent as they lie.
 */
class ArrowGroup {
  /**
   * @param {Array<{name: string, type: 'double'|'int32'|'timestamp'}>} layouts the columns
   * @param {string|null} zone the timestamps' zone
   * @param {number} capacity rows at most
   */
  constructor(layouts, zone, capacity) {
    this.capacity = capacity;
    const fields = layouts.map((layout) => {
      const [kind, type] = typeOf(layout, zone);
      // Every column may be empty on a row, as the whole table's writer declared them.
      return table([string(layout.name), [1, 1], [1, kind], type, undefined, tables([])]);
    });
    this.schema = message(SCHEMA, table([undefined, tables(fields)]), 0);
    // Each column's bitmap, then its values, at 8-byte boundaries.
    let at = 0;
    this.regions = layouts.map(({ type }) => {
      const size = type === 'int32' ? 4 : 8;
      const region = { valid: at, values: at + padded((capacity + 7) >> 3), size };
      at = region.values + padded(capacity * size);
      return region;
    });
    this.bodyLength = at;
    // The batch's metadata is as long whatever its numbers.
    this.head = this.schema.length + this.batch(0).length;
    this.bytes = new Uint8Array(this.head + this.bodyLength + 8);
    const { buffer } = this.bytes;
    this.columns = layouts.map(({ type }, c) => {
      const { valid, values } = this.regions[c];
      const Values = type === 'int32' ? Int32Array : type === 'timestamp' ? BigInt64Array : Float64Array;
      return { values: new Values(buffer, this.head + values, capacity), valid: new Uint8Array(buffer, this.head + valid, (capacity + 7) >> 3) };
    });
  }

  /** The record batch's message for the first `n` rows of the columns. */
  batch(n) {
    const nodes = [];
    const buffers = [];
    this.regions.forEach(({ valid, values, size }, c) => {
      const bitmap = this.columns?.[c].valid;
      let nulls = 0;
      if (bitmap) {
        const bytes = n >> 3;
        for (let i = 0; i < bytes; i++) nulls += 8 - ones[bitmap[i]];
        if (n & 7) nulls += (n & 7) - ones[bitmap[bytes] & ((1 << (n & 7)) - 1)];
      }
      nodes.push(n, nulls);
      buffers.push(valid, nulls ? (n + 7) >> 3 : 0, values, n * size);
    });
    return message(RECORD_BATCH, table([[8, n], longs(nodes, 2), longs(buffers, 2)]), this.bodyLength);
  }

  /**
   * The stream of the first `n` rows of `columns` (a bitmap bit set for each
   * row that has a value), a view of the kept buffer.
   */
  stream(n) {
    const batch = this.batch(n);
    if (this.schema.length + batch.length !== this.head) throw new Error('arrow: a record batch\'s metadata changed length');
    this.bytes.set(this.schema, 0);
    this.bytes.set(batch, this.schema.length);
    this.bytes.set([0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0], this.head + this.bodyLength);
    return this.bytes;
  }
}

module.exports = { ArrowGroup, ones };
