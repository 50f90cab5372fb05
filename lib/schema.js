'use strict';
// What our files look like: the recording's block, the streams and the
// table's columns, the formats and their extensions, and how each output
// of ours begins or ends. Every module that writes or recognises a file
// takes these from here, so that a writer and its recogniser cannot drift.

/** A recording is read in blocks of this size; the first holds its settings records. */
const BLOCK = 512;
/** Every settings record starts with these two bytes. */
const RECORD_MAGIC = [0x51, 0x37];

// Streams in the order they are listed to users, with their channel names.
const STREAMS = Object.freeze({
  accel: ['x', 'y', 'z'],
  gyro: ['x', 'y', 'z'],
  baro: ['pressure', 'temperature'],
  events: ['value'],
  orientation: ['w', 'x', 'y', 'z'],
});

// The table's columns after its time: name, unit, and the stream and
// channel they come from.
const COLUMNS = [
  ['gyro_x', 'deg/s', 'gyro', 'x'], ['gyro_y', 'deg/s', 'gyro', 'y'], ['gyro_z', 'deg/s', 'gyro', 'z'],
  ['accel_x', 'g', 'accel', 'x'], ['accel_y', 'g', 'accel', 'y'], ['accel_z', 'g', 'accel', 'z'],
  ['pressure', 'mBar', 'baro', 'pressure'], ['temperature', 'degree C', 'baro', 'temperature'],
  ['event', '', 'events', 'value'],
  ['quat_w', '', 'orientation', 'w'], ['quat_x', '', 'orientation', 'x'], ['quat_y', '', 'orientation', 'y'],
  ['quat_z', '', 'orientation', 'z'],
];

const ESTIMATORS = ['classic', 'accurate', 'none'];
/**
 * The estimator of our own API and command line when none is asked for. The
 * five native functions keep the classic filter, which 'classic' reproduces
 * byte for byte.
 */
const DEFAULT_ESTIMATOR = 'accurate';

// The formats of one recording, those of a set, and the extension of each format's files.
const FORMATS = ['csv', 'plain', 'parquet'];
const SET_FORMATS = [...FORMATS, 'opensense'];
const EXTENSIONS = Object.freeze({ csv: '.csv', plain: '.csv', parquet: '.parquet', opensense: '.sto' });

/** The classic CSV's first line. */
const BANNER = 'Quandrel - Kinovar data export';
/** The viewer's pages name their generator near the top. */
const VIEW_GENERATOR = '<meta name="generator" content="kinovar view">';
/** OpenSim's orientation table as we write it, up to its column names. */
const STO_HEAD = /^DataRate=[^\n]*\r?\nDataType=Quaternion\r?\nversion=3\r?\nOpenSimVersion=4\.5\r?\nendheader\r?\ntime\t/;

// Our Parquet files name their format in the footer's key-value metadata.
const PARQUET_MAGIC = 'PAR1';
const PARQUET_META = Object.freeze({ format: 'kinovar.format', recording: 'kinovar.recording', units: 'kinovar.units' });
const PARQUET_VERSION = 'kinovar table 1';

/**
 * How the outputs that may only be replaced by their own kind begin: a file
 * that starts with one of these strings, or whose first block matches one
 * of these patterns.
 */
const SIGNATURES = Object.freeze({
  csv: [`${BANNER}\n`, `${BANNER}\r\n`],
  html: [/^<!DOCTYPE html>\r?\n<html[^>]*><head><meta charset="utf-8">\r?\n<meta name="generator" content="kinovar[^"]*">/],
});

module.exports = {
  BLOCK, RECORD_MAGIC, STREAMS, COLUMNS, ESTIMATORS, DEFAULT_ESTIMATOR, FORMATS, SET_FORMATS, EXTENSIONS, BANNER, VIEW_GENERATOR, STO_HEAD,
  PARQUET_MAGIC, PARQUET_META, PARQUET_VERSION, SIGNATURES,
};
