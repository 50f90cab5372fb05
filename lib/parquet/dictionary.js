'use strict';
// A row group's column chunk of doubles that take few distinct values (a
// sensor's samples are counts times a scale: tens to a few thousand values a
// group), written here as a Parquet dictionary page and pages of indexes into
// it. The encoder's own dictionary took two thirds of its time for an hour;
// this is several times faster. The chunk is left uncompressed: bit-packed
// indexes are what snappy cannot shorten (it kept 99.97% of them), and the
// dictionary is a few hundred bytes.
const { encode, T, Writer } = require('./thrift');
const { ones } = require('./arrowstream');

const PAGE_TYPE = { DATA: 0, DICTIONARY: 2 };
const ENCODING = { PLAIN: 0, RLE: 3, RLE_DICTIONARY: 8 };

/** Rows per data page: a few per group, so that a reader skipping by the page index skips in steps of a few seconds. */
const PAGE_ROWS = 1 << 14;

/** A value's slot in a table of 2^(32 - shift) slots, from its two 32-bit halves. */
const slotOf = (lo, hi, shift) => Math.imul(lo ^ Math.imul(hi, 0x9e3779b1), 0x85ebca6b) >>> shift;

/**
 * Values [from, to) of `values` (each below 2^width) in the format's hybrid of
 * runs and bit packing: a run of 8 or more equal values as one, the rest
 * packed 8 to a group (the last group padded), at most 63 groups a header.
 */
function hybrid(out, values, from, to, width) {
  const bytes = (width + 7) >> 3;
  let packed = from;  // where the values not yet written start
  let i = from;
  const pack = (end) => {
    while (packed < end) {
      const groups = Math.min(63, Math.ceil((end - packed) / 8));
      out.varint((groups << 1) | 1);
      out.room(groups * width);
      const into = out.bytes;
      let at = out.length;
      let acc = 0;
      let bits = 0;
      const last = Math.min(end, packed + groups * 8);
      for (let k = packed; k < last; k++) {
        acc |= values[k] << bits;
        bits += width;
        while (bits >= 8) {
          into[at++] = acc & 0xff;
          acc >>>= 8;
          bits -= 8;
        }
      }
      // The last group padded with zeros.
      for (bits += (packed + groups * 8 - last) * width; bits > 0; bits -= 8) {
        into[at++] = acc & 0xff;
        acc >>>= 8;
      }
      out.length = at;
      packed = last;
    }
  };
  while (i < to) {
    const v = values[i];
    let j = i + 1;
    while (j < to && values[j] === v) j++;
    if (j - i >= 8) {
      pack(i);
      out.varint((j - i) * 2);
      out.room(bytes);
      for (let b = 0; b < bytes; b++) out.bytes[out.length++] = (v >>> (8 * b)) & 0xff;
      i = packed = j;
    } else i = Math.min(to, i + 8);
  }
  pack(to);
}

/**
 * Encodes column chunks of doubles, one after another, reusing its tables
 * from chunk to chunk.
 */
class DictionaryEncoder {
  constructor() {
    this.slots = new Int32Array(1 << 10);  // an entry's number + 1 at its hash's slot, 0 where free
    this.shift = 32 - 10;
    this.entries = 0;
    this.words = new Uint32Array(2 * 256);  // each entry's two 32-bit halves
    this.entrySlot = new Int32Array(256);  // where each entry stands in `slots`
    this.indexes = new Int32Array(1 << 16);
  }

  /** Makes the table twice as large, every entry in its new slot. */
  grow() {
    const size = this.slots.length * 2;
    this.slots = new Int32Array(size);
    this.shift--;
    const mask = size - 1;
    for (let e = 0; e < this.entries; e++) {
      let s = slotOf(this.words[2 * e], this.words[2 * e + 1], this.shift);
      while (this.slots[s] !== 0) s = (s + 1) & mask;
      this.slots[s] = e + 1;
      this.entrySlot[e] = s;
    }
  }

  /**
   * Each row's entry in the dictionary (rows without a value skipped), into
   * `indexes`; the dictionary grows with the values first seen.
   */
  index(values, valid, n) {
    const halves = new Uint32Array(values.buffer, values.byteOffset, 2 * n);
    if (this.indexes.length < n) this.indexes = new Int32Array(n);
    const { indexes } = this;
    let { slots, words, shift, entries } = this;
    let mask = slots.length - 1;
    let count = 0;
    for (let i = 0; i < n; i++) {
      if (!((valid[i >> 3] >> (i & 7)) & 1)) continue;
      const lo = halves[2 * i];
      const hi = halves[2 * i + 1];
      let s = slotOf(lo, hi, shift);
      let e = slots[s] - 1;
      while (e >= 0 && (words[2 * e] !== lo || words[2 * e + 1] !== hi)) {
        s = (s + 1) & mask;
        e = slots[s] - 1;
      }
      if (e < 0) {
        e = entries++;
        if (2 * e >= words.length) this.more();
        ({ words } = this);
        words[2 * e] = lo;
        words[2 * e + 1] = hi;
        slots[s] = e + 1;
        this.entrySlot[e] = s;
        if (2 * entries > slots.length) {
          this.entries = entries;
          this.grow();
          ({ slots, shift } = this);
          mask = slots.length - 1;
        }
      }
      indexes[count++] = e;
    }
    this.entries = entries;
  }

  /** Room for twice the entries. */
  more() {
    const words = new Uint32Array(this.words.length * 2);
    words.set(this.words);
    this.words = words;
    const entrySlot = new Int32Array(this.entrySlot.length * 2);
    entrySlot.set(this.entrySlot);
    this.entrySlot = entrySlot;
  }

  /** Forgets the dictionary, clearing only the slots it took. */
  clear() {
    for (let e = 0; e < this.entries; e++) this.slots[this.entrySlot[e]] = 0;
    this.entries = 0;
  }

  /**
   * The first `n` rows of a column, at least one with a value, as a column
   * chunk: its bytes (the dictionary page, then data pages, each behind its
   * header) and where its data pages start in them.
   * @param {{values: Float64Array, valid: Uint8Array}} column a bit set in `valid` for each row with a value
   * @returns {{bytes: Uint8Array, pages: Array<{offset: number, length: number, firstRow: number}>}}
   */
  chunk({ values, valid }, n) {
    this.index(values, valid, n);
    const { entries } = this;
    const out = new Writer();
    const dictionary = new Uint8Array(this.words.buffer, 0, 8 * entries);
    out.raw(encode([[1, T.I32, PAGE_TYPE.DICTIONARY], [2, T.I32, dictionary.length], [3, T.I32, dictionary.length],
      [7, T.STRUCT, [[1, T.I32, entries], [2, T.I32, ENCODING.PLAIN], [3, T.FALSE, false]]]]));
    out.raw(dictionary);
    const body = new Writer();
    const pages = [];
    for (let first = 0, taken = 0; first < n; first += PAGE_ROWS) {
      const rows = Math.min(PAGE_ROWS, n - first);
      body.length = 4;
      const have = definitions(body, valid, first, rows);
      new DataView(body.bytes.buffer).setUint32(0, body.length - 4, true);
      // As wide as the page's largest index needs: the first pages of a group know fewer entries.
      let largest = 0;
      for (let i = taken; i < taken + have; i++) largest |= this.indexes[i];
      const width = 32 - Math.clz32(largest);
      body.room(1);
      body.bytes[body.length++] = width;
      hybrid(body, this.indexes, taken, taken + have, width);
      taken += have;
      const offset = out.length;
      out.raw(encode([[1, T.I32, PAGE_TYPE.DATA], [2, T.I32, body.length], [3, T.I32, body.length],
        [5, T.STRUCT, [[1, T.I32, rows], [2, T.I32, ENCODING.RLE_DICTIONARY], [3, T.I32, ENCODING.RLE], [4, T.I32, ENCODING.RLE]]]]));
      out.raw(body.bytes.subarray(0, body.length));
      pages.push({ offset, length: out.length - offset, firstRow: first });
    }
    this.clear();
    return { bytes: out.bytes.slice(0, out.length), pages };
  }
}

/**
 * Rows [first, first + rows)'s definition levels (1: a value, 0: empty) into
 * `out` in the hybrid encoding of width 1, whose bit packing is the
 * bitmap's own layout: two or more whole bytes all set or all clear as a
 * run, the others as they are. `first` is a multiple of 8.
 * @returns {number} how many of the rows have a value
 */
function definitions(out, valid, first, rows) {
  const from = first >> 3;
  const whole = rows >> 3;
  const bytes = (rows + 7) >> 3;
  let have = 0;
  let packed = 0;
  const pack = (end) => {
    while (packed < end) {
      const groups = Math.min(63, end - packed);
      out.varint((groups << 1) | 1);
      out.raw(valid.subarray(from + packed, from + packed + groups));
      packed += groups;
    }
  };
  for (let k = 0; k < whole;) {
    const b = valid[from + k];
    have += ones[b];
    let j = k + 1;
    if (b === 0 || b === 0xff) {
      while (j < whole && valid[from + j] === b) j++;
      have += ones[b] * (j - k - 1);
    }
    if (j - k >= 2) {
      pack(k);
      out.varint((j - k) * 16);
      out.room(1);
      out.bytes[out.length++] = b & 1;
      packed = j;
    }
    k = j;
  }
  pack(whole);
  if (bytes > whole) {
    // The bits past the last row cleared.
    const b = valid[from + whole] & ((1 << (rows & 7)) - 1);
    have += ones[b];
    out.varint(3);
    out.room(1);
    out.bytes[out.length++] = b;
  }
  return have;
}

module.exports = { DictionaryEncoder, PAGE_TYPE, ENCODING };
