'use strict';
// Thrift's compact protocol, which a Parquet footer is written in: decoded
// into fields kept in their order, with their types, so that a footer
// encoded again for one row group is what was read, but for the values
// changed. Only what Parquet uses: no maps.

const T = Object.freeze({ TRUE: 1, FALSE: 2, BYTE: 3, I16: 4, I32: 5, I64: 6, DOUBLE: 7, BINARY: 8, LIST: 9, SET: 10, STRUCT: 12 });

class Reader {
  constructor(bytes, at = 0) {
    this.bytes = bytes;
    this.at = at;
  }

  byte() {
    if (this.at >= this.bytes.length) throw new RangeError('thrift: the structure ends early');
    return this.bytes[this.at++];
  }

  // Varints of up to 2^53: file offsets and counts, never larger.
  varint() {
    let value = 0;
    for (let scale = 1; ; scale *= 128) {
      const b = this.byte();
      value += (b & 0x7f) * scale;
      if (b < 0x80) return value;
    }
  }

  zigzag() {
    const v = this.varint();
    return v % 2 ? -(v + 1) / 2 : v / 2;
  }

  value(type) {
    switch (type) {
      case T.TRUE: case T.FALSE: return type === T.TRUE;
      case T.BYTE: return this.byte();
      case T.I16: case T.I32: case T.I64: return this.zigzag();
      case T.DOUBLE: {
        const view = new DataView(this.bytes.buffer, this.bytes.byteOffset + this.at, 8);
        this.at += 8;
        return view.getFloat64(0, true);
      }
      case T.BINARY: {
        const length = this.varint();
        const end = this.at + length;
        if (end > this.bytes.length) throw new RangeError('thrift: the structure ends early');
        const out = this.bytes.slice(this.at, end);
        this.at = end;
        return out;
      }
      case T.LIST: case T.SET: {
        const head = this.byte();
        const size = (head >> 4) === 15 ? this.varint() : head >> 4;
        const element = head & 15;
        // In a list a bool is a byte of its own, kept as read.
        const items = Array.from({ length: size }, () => (element === T.TRUE || element === T.FALSE ? this.byte() : this.value(element)));
        return { element, items };
      }
      case T.STRUCT: return this.struct();
      default: throw new RangeError(`thrift: field type ${type} is not one Parquet writes`);
    }
  }

  /** A struct as [[id, type, value], ...] in its order. */
  struct() {
    const fields = [];
    let last = 0;
    for (;;) {
      const head = this.byte();
      if (head === 0) return fields;
      const delta = head >> 4;
      const id = delta ? last + delta : this.zigzag();
      fields.push([id, head & 15, this.value(head & 15)]);
      last = id;
    }
  }
}

class Writer {
  constructor() {
    this.bytes = new Uint8Array(256);
    this.length = 0;
  }

  room(n) {
    if (this.length + n <= this.bytes.length) return;
    const grown = new Uint8Array(Math.max(this.bytes.length * 2, this.length + n));
    grown.set(this.bytes.subarray(0, this.length));
    this.bytes = grown;
  }

  byte(b) {
    this.room(1);
    this.bytes[this.length++] = b;
  }

  varint(value) {
    while (value >= 0x80) {
      this.byte((value % 128) | 0x80);
      value = Math.floor(value / 128);
    }
    this.byte(value);
  }

  zigzag(value) {
    this.varint(value < 0 ? -2 * value - 1 : 2 * value);
  }

  raw(bytes) {
    this.room(bytes.length);
    this.bytes.set(bytes, this.length);
    this.length += bytes.length;
  }

  value(type, value) {
    switch (type) {
      case T.TRUE: case T.FALSE: return;
      case T.BYTE: return this.byte(value);
      case T.I16: case T.I32: case T.I64:
        return this.zigzag(value);
      case T.DOUBLE: {
        this.room(8);
        new DataView(this.bytes.buffer, this.length, 8).setFloat64(0, value, true);
        this.length += 8;
        return;
      }
      case T.BINARY: {
        this.varint(value.length);
        this.room(value.length);
        this.bytes.set(value, this.length);
        this.length += value.length;
        return;
      }
      case T.LIST: case T.SET: {
        const { element, items } = value;
        if (items.length < 15) this.byte((items.length << 4) | element);
        else {
          this.byte(0xf0 | element);
          this.varint(items.length);
        }
        for (const item of items) {
          if (element === T.TRUE || element === T.FALSE) this.byte(item);
          else this.value(element, item);
        }
        return;
      }
      // A struct already encoded goes as it is.
      case T.STRUCT: return value instanceof Uint8Array ? this.raw(value) : this.struct(value);
      default: throw new RangeError(`thrift: field type ${type} is not one Parquet writes`);
    }
  }

  struct(fields) {
    let last = 0;
    for (const [id, type, value] of fields) {
      const wire = type === T.TRUE || type === T.FALSE ? (value ? T.TRUE : T.FALSE) : type;
      if (id > last && id - last <= 15) this.byte(((id - last) << 4) | wire);
      else {
        this.byte(wire);
        this.zigzag(id);
      }
      this.value(wire, value);
      last = id;
    }
    this.byte(0);
  }

  result() {
    return this.bytes.slice(0, this.length);
  }
}

/** The struct at `at` in the bytes, and where it ends. */
function decode(bytes, at = 0) {
  const reader = new Reader(bytes, at);
  const fields = reader.struct();
  return { fields, end: reader.at };
}

const encode = (fields) => {
  const writer = new Writer();
  writer.struct(fields);
  return writer.result();
};

/** A field's value by id, or undefined. */
const field = (fields, id) => fields.find((f) => f[0] === id)?.[2];

/** Sets a field that is there already (keeping its place and type). */
function setField(fields, id, value) {
  const found = fields.find((f) => f[0] === id);
  if (!found) throw new RangeError(`thrift: no field ${id} to set`);
  found[2] = value;
}

module.exports = { T, decode, encode, field, setField };
