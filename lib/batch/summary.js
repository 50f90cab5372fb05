'use strict';
// One summary of a batch, joined from its shards' ledgers: a row per unit,
// as CSV and as Parquet.
const fs = require('node:fs');
const path = require('node:path');
const { writeFileAtomic, inputHead } = require('../output/files');
const { inspect: inspectFile } = require('../output/recognise');
const { KinovarError, codes } = require('../errors');
const { PARQUET_META, PARQUET_MAGIC } = require('../model/schema');
const { LEDGERS, STATUSES, readLedgers } = require('./ledgers');

const SUMMARY_VERSION = 'kinovar batch summary 1';
const SUMMARY = 'summary';

// ---------------------------------------------------------------- summary

// The summary's columns: name, type, and how a ledger row gives it.
const COLUMNS = [
  ['unit', 'string', (r) => r.key], ['kind', 'string', (r) => r.kind],
  ['inputs', 'string', (r) => r.inputs.map((i) => i.path).join(';')],
  // Each recording's start and device, in the order of the inputs.
  ['start', 'string', (r) => r.identities?.map((i) => i.start ?? '').join(';')],
  ['device_id', 'string', (r) => r.identities?.map((i) => i.deviceId ?? '').join(';')],
  ['outputs', 'string', (r) => r.outputs.map((o) => o.path).join(';')],
  ['status', 'string', (r) => r.status], ['converted_because', 'string', (r) => r.redone], ['error_code', 'string', (r) => r.errorCode], ['error', 'string', (r) => r.error],
  ['duration_s', 'number', (r) => r.duration], ['accel_hz', 'number', (r) => r.accelHz], ['gyro_hz', 'number', (r) => r.gyroHz],
  ['baro_hz', 'number', (r) => r.baroHz], ['accel_samples', 'number', (r) => r.accelSamples],
  ['gyro_samples', 'number', (r) => r.gyroSamples], ['baro_samples', 'number', (r) => r.baroSamples],
  ['missing_samples', 'number', (r) => r.missing], ['duplicates', 'number', (r) => r.duplicates],
  ['saturated', 'number', (r) => r.saturated], ['blocks_out_of_order', 'number', (r) => r.outOfOrder],
  ['short_of_settings_s', 'number', (r) => r.shortOfSettings],
  // The accelerometer's distance from 1 g on its still moments once calibrated (kinovar calibrate).
  ['calibration_error_mg', 'number', (r) => r.calibrationErrorMg],
  // With --epochs: hours worn, and days worn long enough to count.
  ['worn_hours', 'number', (r) => r.wornHours], ['valid_days', 'number', (r) => r.validDays],
  ['sync_method', 'string', (r) => r.syncMethod], ['clock_ppm_max', 'number', (r) => r.clockPpm],
  ['format', 'string', (r) => r.recipe.format], ['estimator', 'string', (r) => r.recipe.orientation],
  ['clock', 'string', (r) => r.recipe.clock],
  ['input_bytes', 'number', (r) => r.inputs.reduce((sum, i) => sum + (i.size ?? 0), 0)],
  ['sha256', 'string', (r) => r.inputs.map((i) => i.sha256 ?? '').join(';')],
  ['seconds', 'number', (r) => r.seconds], ['node', 'string', (r) => r.node], ['shard', 'string', (r) => r.shard],
  ['finished', 'string', (r) => r.finished],
];

const csvCell = (value) => {
  if (value === undefined || value === null || (typeof value === 'number' && !Number.isFinite(value))) return '';
  const text = String(value);
  return /[",\r\n]/.test(text) ? `"${text.replaceAll('"', '""')}"` : text;
};

function summaryCsv(rows) {
  const lines = [COLUMNS.map(([name]) => name).join(','), ...rows.map((row) => COLUMNS.map(([, , of]) => csvCell(of(row))).join(','))];
  return `${lines.join('\n')}\n`;
}

function summaryParquet(rows) {
  const arrow = require('apache-arrow');
  const parquet = require('parquet-wasm');
  const vectors = {};
  for (const [name, type, of] of COLUMNS) {
    const values = rows.map((row) => {
      const value = of(row);
      return value === undefined || (typeof value === 'number' && !Number.isFinite(value)) ? null : value;
    });
    vectors[name] = arrow.vectorFromArray(values, type === 'number' ? new arrow.Float64() : new arrow.Utf8());
  }
  const ipc = arrow.tableToIPC(new arrow.Table(vectors), 'stream');
  const properties = new parquet.WriterPropertiesBuilder().setCompression(parquet.Compression.ZSTD)
    .setKeyValueMetadata(new Map([[PARQUET_META.format, SUMMARY_VERSION]])).build();
  return parquet.writeParquet(parquet.Table.fromIPCStream(ipc), properties);
}

// A summary's header as every version of it has it: its first columns, and
// columns named as ours are; versions add columns, so no list is fixed.
const SUMMARY_HEAD = /^unit,kind,inputs(,[a-z0-9_]+)*,status(,[a-z0-9_]+)*\n/;

// A summary is replaced only by a summary: the header it starts with, or the format its Parquet footer names.
function isSummary(file, kind) {
  const found = inspectFile(file);
  if (['missing', 'empty'].includes(found.kind)) return true;
  if (found.kind !== 'other' && found.kind !== 'output') return false;
  if (kind === 'csv') return SUMMARY_HEAD.test(inputHead(file, 4096).toString('latin1'));
  const bytes = fs.readFileSync(file);
  return bytes.subarray(0, 4).toString('latin1') === PARQUET_MAGIC && bytes.subarray(-65536).includes(SUMMARY_VERSION, 0, 'latin1');
}

/**
 * Joins the ledgers of an output folder into summary.csv and summary.parquet
 * there: the latest record of each unit, sorted by unit.
 * @param {string} outDir
 * @param {{overwrite?: boolean}} [options] overwrite: replace summary files kinovar did not write
 * @returns {{rows: object[], files: string[]}}
 */
function mergeLedgers(outDir, { overwrite = false } = {}) {
  const records = readLedgers(outDir);
  if (!records.size) {
    throw new KinovarError(`${outDir} holds no ledger (${path.join(outDir, LEDGERS)}); run "kinovar batch ... -o ${outDir}" first`,
      'ENOENT', { path: outDir });
  }
  const rows = [...records.values()].sort((a, b) => (a.key < b.key ? -1 : a.key > b.key ? 1 : 0));
  const files = [];
  for (const [kind, bytes] of [['csv', () => summaryCsv(rows)], ['parquet', () => summaryParquet(rows)]]) {
    const file = path.join(outDir, `${SUMMARY}.${kind}`);
    if (!overwrite && !isSummary(file, kind)) {
      throw new KinovarError(`${file} exists and is not a summary kinovar wrote: it will not replace it. Move it, or replace it on ` +
        'purpose with --force', codes.NOT_OURS, { path: file });
    }
    writeFileAtomic(file, bytes(), 'the summary');
    files.push(file);
  }
  return { rows, files };
}


/** The units of each status among a shard's rows. */
const countsOf = (rows) => Object.fromEntries(STATUSES.map((s) => [s, rows.filter((r) => r.status === s).length]));

module.exports = { COLUMNS, SUMMARY, countsOf, mergeLedgers };
