'use strict';
// OpenSim's orientation table (.sto) of a synchronised set, made in pieces
// of text from the sensors' orientations, read a piece at a time.
const { KinovarError, codes } = require('../errors');
const { timeCell } = require('../model/time');
const { COLUMNS } = require('../model/schema');
const { calibrationSummary } = require('../checks/outcomes');

/** Cells of OpenSim's table: shortest text that reads back as the same double. */
const cell = (value) => String(value);

/**
 * Rows of OpenSim's table per piece of text handed on, and per piece of a
 * sensor's orientation read: about a MB of text, short-lived enough to be
 * collected young (a piece of 65536 rows left three sensors of 15 minutes
 * at 1000 Hz at 313 MB against 206 MB).
 */
const STO_PIECE_ROWS = 1 << 12;

/**
 * A sensor's orientation read a piece at a time from its table (only the
 * orientation's columns), walked forward to the sample nearest each instant
 * asked for: only its piece and the next are held.
 */
class Orientations {
  constructor(table, pieceRows) {
    const at = (channel) => table.columns.findIndex((c) => c.name === COLUMNS.find((column) =>
      column[2] === 'orientation' && column[3] === channel)[0]);
    this.channels = ['w', 'x', 'y', 'z'].map(at);
    this.pieces = table.chunks(pieceRows)[Symbol.iterator]();
    this.piece = this.read();
    this.ahead = undefined;
    this.k = 0;
  }

  read() {
    const { done, value } = this.pieces.next();
    if (done) return null;
    const [w, x, y, z] = this.channels.map((c) => value.columns[c]);
    // A quaternion without an estimate has no value on its row.
    return { rows: value.to, time: value.columns[0].values, w: w.values, x: x.values, y: y.values, z: z.values, valid: w.valid };
  }

  /**
   * Steps to the sample nearest `t`, the later of two as near, from where
   * the last instant left it: instants rise, so that is where every earlier
   * one would have left it too. False when the sensor has no sample at all.
   */
  nearest(t) {
    let { piece, k } = this;
    if (!piece) return false;
    for (;;) {
      let next;
      if (k + 1 < piece.rows) {
        next = piece.time[k + 1];
      } else {
        if (this.ahead === undefined) this.ahead = this.read();
        if (!this.ahead) break;
        next = this.ahead.time[0];
      }
      if (!(Math.abs(next - t) <= Math.abs(piece.time[k] - t))) break;
      if (k + 1 < piece.rows) {
        k++;
      } else {
        piece = this.piece = this.ahead;
        this.ahead = undefined;
        k = 0;
      }
    }
    this.k = k;
    return true;
  }
}

/** The sample `k` of a piece as a cell, or null where it has no estimate. */
function quaternionCell(piece, k) {
  const { valid } = piece;
  if ((valid && !((valid[k >> 3] >> (k & 7)) & 1)) || piece.w[k] !== piece.w[k]) return null;
  return `${cell(piece.w[k])},${cell(piece.x[k])},${cell(piece.y[k])},${cell(piece.z[k])}`;
}

/**
 * OpenSim's orientation table (.sto) of a synchronised set, in pieces of
 * text: a column per sensor, a row per sample of the first sensor where
 * every sensor has an estimate at that instant (its own sample within half a
 * period), at the first sensor's time on the set's base. The sensors are read
 * a piece at a time, all advancing together.
 * @param {{tables: object[], span: number}} set from streamSet() with only the orientation;
 *   span: the window's length in seconds, against which the first sensor's time is progress
 * @param {string[]} recordingPaths the recordings, to name one without an orientation
 * @param {string[]} names the column names
 * @param {number} [pieceRows] rows per piece
 * @param {(fraction: number) => void} [progress]
 * @returns {Generator<string>}
 */
function* openSensePieces(set, recordingPaths, names, pieceRows = STO_PIECE_ROWS, progress = undefined) {
  const sensors = set.tables.map((table, i) => {
    const rate = table.rates.orientation;
    if (!rate) {
      throw new KinovarError(`${recordingPaths[i]}: has no orientation estimate (it needs accelerometer and gyroscope at one rate)`,
        codes.NO_ORIENTATION, { path: recordingPaths[i] });
    }
    return { table, rate };
  });
  const rate = sensors[0].rate;
  const other = sensors.find((s) => s.rate !== rate);
  if (other) {
    throw new KinovarError(`the sensors estimate orientation at different rates (${rate} and ${other.rate} Hz); ` +
      'an OpenSim table has one rate for all', codes.FORMAT);
  }
  // What each sensor's samples went through before its orientation was
  // estimated, as key=value lines that OpenSim keeps as the table's metadata.
  const calibrations = set.tables.map(({ info }, i) =>
    `calibration.${names[i]}=${info.calibration ? calibrationSummary(info.calibration) : calibrationSummary({ source: 'off' })}`);
  let lines = [`DataRate=${rate}`, 'DataType=Quaternion', 'version=3', 'OpenSimVersion=4.5', ...calibrations, 'endheader',
    ['time', ...names].join('\t')];
  const half = 0.5 / rate + 1e-9;
  const [first, ...others] = sensors.map(({ table }) => new Orientations(table, pieceRows));
  const span = set.span > 0 ? set.span : 1;
  for (let piece = first.piece; piece; piece = first.read()) {
    for (let i = 0; i < piece.rows; i++) {
      const t = piece.time[i];
      const row = [timeCell(t), quaternionCell(piece, i)];
      for (const sensor of others) {
        const near = sensor.nearest(t);
        // No sample at this instant (a gap), or no estimate: the row is left out.
        if (row[row.length - 1] === null) continue;
        const { piece: at, k } = sensor;
        row.push(near && Math.abs(at.time[k] - t) <= half ? quaternionCell(at, k) : null);
      }
      if (row[row.length - 1] !== null) lines.push(row.join('\t'));
      if (lines.length >= pieceRows) {
        yield `${lines.join('\n')}\n`;
        lines = [];
      }
    }
    if (piece.rows) progress?.(piece.time[piece.rows - 1] / span);
  }
  if (lines.length) yield `${lines.join('\n')}\n`;
}

module.exports = { openSensePieces, STO_PIECE_ROWS };
