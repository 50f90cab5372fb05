'use strict';
// Settings records edited in place. An edit changes exactly the fields it
// names, in the record that holds each of them and in that record's own form
// (a type-3 accelerometer stays type 3, with its range code); every other
// byte stays as it was, unknown records and their order included.

const { BLOCK, RECORD_MAGIC: MAGIC } = require('../model/schema');
const { codes } = require('../errors');

// The addon loads only when a block is walked or a date checked, not for the lists below.
const native = () => require('../native/entry');

const INT32 = [-2147483648, 2147483647];

// Fields of one record kind: [name, offset, width] read big-endian; width 4
// is signed, as the native reader stores it.
function plain(min, fields, extra = {}) {
  return { min, fields: Object.fromEntries(fields.map(([name, offset, width]) => [name, { offset, width }])), ...extra };
}

const SENSOR_FIELDS = ['frequency', 'range', 'offsetX', 'offsetY', 'offsetZ', 'gainX', 'gainY', 'gainZ'];
// Indexed by the stored code; the unit is what a person sets the range in.
const ACCEL_CODES = Object.assign([2, 16, 4, 8], { unit: 'g' });
const GYRO_CODES = Object.assign([245, 500, 1000, 2000, 125], { unit: 'deg/s' });

function legacySensor(group) {
  const fields = [[`${group}.frequency`, 1, 1], [`${group}.range`, 2, 1]];
  ['X', 'Y', 'Z'].forEach((axis, i) => {
    fields.push([`${group}.offset${axis}`, 3 + 4 * i, 4], [`${group}.gain${axis}`, 15 + 4 * i, 4]);
  });
  return plain(27, fields, { group, form: 'the older form: rate and range in one byte each, calibration in whole numbers' });
}

function modernSensor(group, codes) {
  const fields = { [`${group}.frequency`]: { offset: 1, width: 2 }, [`${group}.range`]: { offset: 3, codes } };
  ['X', 'Y', 'Z'].forEach((axis, i) => {
    fields[`${group}.offset${axis}`] = { offset: 4 + 4 * i, width: 4, scale: 10000 };
    fields[`${group}.gain${axis}`] = { offset: 16 + 4 * i, width: 4, scale: 10000 };
  });
  return { min: 30, fields, group, form: 'the newer form: rate in two bytes, calibration in steps of 0.0001' };
}

const date = (name) => ({ min: 7, fields: { [name]: { offset: 0, date: true } } });

// What each recognised record kind holds, by "type/subtype".
const KINDS = {
  '1/1': plain(6, [['deviceId', 0, 4], ['deviceType', 4, 1], ['bodyLocation', 5, 1]]),
  '1/2': { min: 4, exact: [4, 6], firmware: true },
  '1/5': plain(2, [['radioMode', 0, 1], ['radioChannel', 1, 1]]),
  '2/0': legacySensor('accel'),
  '2/1': legacySensor('gyro'),
  '2/2': plain(2, [['baro.frequency', 1, 1]], { group: 'baro', form: 'the older form: its rate in one byte' }),
  '3/0': date('createdAt'),
  '3/2': modernSensor('accel', ACCEL_CODES),
  '3/3': modernSensor('gyro', GYRO_CODES),
  '3/4': plain(5, [['baro.frequency', 1, 2]], { group: 'baro', form: 'the newer form: its rate in two bytes' }),
  '3/6': date('endDate'),
  '3/7': { min: 5, exact: [5, 8], gps: true, group: 'gps' },
  '3/8': plain(2, [['frequency', 0, 2]]),
  '3/9': { min: 8, radio: true },
  '3/21': plain(2, [['measureId', 0, 2]]),
};

const FIRMWARE = ['version', 'majorVersion', 'minorVersion'];

/**
 * The records of a settings block, as the core walks them.
 * @param {Buffer} bytes the file's first bytes (at most one block is read)
 * @returns {{records: Array<{start: number, type: number, subtype: number, length: number,
 *   recognised: boolean}>, end: number}|null}
 */
function walkRecords(bytes) {
  const text = native().settingsRecords(bytes);
  return text === '' ? null : JSON.parse(text);
}

function kindOf(record) {
  const kind = KINDS[`${record.type}/${record.subtype}`];
  if (!kind || record.length < kind.min || (kind.exact && !kind.exact.includes(record.length))) return null;
  return kind;
}

// The fields a record of this kind and length holds, with their codecs.
function fieldsOf(record, kind) {
  if (kind.firmware) return Object.fromEntries(FIRMWARE.map((name) => [name, { firmware: true }]));
  if (kind.gps) {
    return { 'gps.frequency': record.length === 5 ? { offset: 1, width: 2 } : { offset: 1, period: true } };
  }
  if (kind.radio) {
    const fields = { radioMode: { offset: 0, width: 1 } };
    if (record.length >= 10) fields.radioChannel = { offset: 9, width: 1 };
    return fields;
  }
  return kind.fields;
}

const pad = (value, width) => String(value).padStart(width, '0');

function readField(payload, field) {
  if (field.firmware) return null;  // read as a triple, below
  if (field.date) {
    const p = payload;
    const year = p.readUInt16BE(5);
    return `${year === 0 ? '0000' : year}-${pad(p[4], 2)}-${pad(p[3], 2)} ${pad(p[2], 2)}:${pad(p[1], 2)}:${pad(p[0], 2)}`;
  }
  if (field.codes) return field.codes[payload[field.offset]] ?? (field.codes === ACCEL_CODES ? 4 : 1000);
  if (field.period) {
    const period = payload.readUInt32BE(field.offset);
    return period === 0 ? 0 : Math.trunc(1 / (period * 0.001));
  }
  const raw = field.width === 1 ? payload[field.offset]
    : field.width === 2 ? payload.readUInt16BE(field.offset) : payload.readInt32BE(field.offset);
  return field.scale ? raw / field.scale : raw;
}

function readFirmware(payload, length) {
  if (length === 6) return [payload.readUInt16BE(0), payload.readUInt16BE(2), payload.readUInt16BE(4)];
  const n = payload.readInt32BE(0);
  if (n > 999) return [0, 0, 0];
  const version = Math.trunc(n / 100);
  const major = Math.trunc((n - 100 * version) / 10);
  return [version, major, n - 100 * version - 10 * major];
}

/**
 * Every field the block's records set, as the native reader leaves it (the
 * last record wins), with calibration values exact, and for each field the
 * record it comes from.
 * @param {Buffer} bytes
 */
function decodeFields(bytes) {
  const walk = walkRecords(bytes);
  if (!walk) return null;
  const block = Buffer.alloc(BLOCK);
  bytes.copy(block, 0, 0, Math.min(bytes.length, BLOCK));
  const values = new Map();
  const owners = new Map();
  for (const record of walk.records) {
    const kind = kindOf(record);
    if (!kind) continue;
    const payload = block.subarray(record.start + 5, record.start + 5 + record.length);
    if (kind.firmware) {
      readFirmware(payload, record.length).forEach((value, i) => {
        values.set(FIRMWARE[i], value);
        owners.set(FIRMWARE[i], record);
      });
      continue;
    }
    for (const [name, field] of Object.entries(fieldsOf(record, kind))) {
      values.set(name, readField(payload, field));
      owners.set(name, record);
    }
  }
  return { walk, block, values, owners };
}

class SettingsValueError extends RangeError {
  constructor(message) {
    super(message);
    this.code = codes.SETTINGS_VALUE;
  }
}

function refuse(name, allowed, value, where) {
  throw new SettingsValueError(`${name} must be ${allowed}${where ? ` (${where})` : ''}, not ${JSON.stringify(value)}`);
}

function integerIn(name, value, [low, high], where) {
  if (!Number.isInteger(value) || value < low || value > high) refuse(name, `an integer from ${low} to ${high}`, value, where);
  return value;
}

// Stores one field's new value into a record's payload, in the record's form.
function writeField(payload, name, field, value, where) {
  if (field.date) {
    const match = /^(\d{1,5})-(\d{1,3})-(\d{1,3}) (\d{1,3}):(\d{1,3}):(\d{1,3})$/.exec(String(value));
    const parts = match?.slice(1).map(Number);
    if (!parts || parts[0] > 65535 || parts.slice(1).some((v) => v > 255)) {
      refuse(name, 'a date "YYYY-MM-DD hh:mm:ss" (year up to 65535, the others up to 255)', value, where);
    }
    const [year, month, day, hour, minute, second] = parts;
    // All zeros is a date never set, as a new settings file has it.
    const problem = parts.some((v) => v !== 0) && native().dateProblem(...parts);
    if (problem) refuse(name, `a real date and time: ${problem}`, value, where);
    payload.writeUInt16BE(year, 5);
    [second, minute, hour, day, month].forEach((v, i) => { payload[i] = v; });
    return;
  }
  if (field.codes) {
    const code = field.codes.indexOf(value);
    if (code < 0) refuse(name, `one of ${[...field.codes].sort((a, b) => a - b).join(', ')} (${field.codes.unit})`, value);
    payload[field.offset] = code;
    return;
  }
  if (field.period) {
    // The record keeps a period in whole milliseconds; a rate is stored only
    // when some period reads back as exactly that rate.
    integerIn(name, value, [0, 1000], where);
    const period = value === 0 ? 0 : [Math.floor(1000 / value), Math.ceil(1000 / value)]
      .find((p) => p > 0 && Math.trunc(1 / (p * 0.001)) === value);
    if (period === undefined) refuse(name, 'a rate that a whole period in milliseconds gives (1000, 500, 333, 250, 200, ...)', value, where);
    payload.writeUInt32BE(period, field.offset);
    return;
  }
  if (field.scale) {
    const stored = Math.round(value * field.scale);
    if (typeof value !== 'number' || !Number.isFinite(value) || stored / field.scale !== value ||
        stored < INT32[0] || stored > INT32[1]) {
      refuse(name, `a multiple of 0.0001 from ${INT32[0] / field.scale} to ${INT32[1] / field.scale}`, value, where);
    }
    payload.writeInt32BE(stored, field.offset);
    return;
  }
  if (field.width === 1) payload[field.offset] = integerIn(name, value, [0, 255], where);
  else if (field.width === 2) payload.writeUInt16BE(integerIn(name, value, [0, 65535], where), field.offset);
  else payload.writeInt32BE(integerIn(name, value, INT32, where), field.offset);
}

function writeFirmware(payload, length, triple, where) {
  if (length === 6) {
    triple.forEach((v, i) => payload.writeUInt16BE(integerIn(FIRMWARE[i], v, [0, 65535], where), 2 * i));
    return;
  }
  triple.forEach((v, i) => integerIn(FIRMWARE[i], v, [0, 9], where));
  payload.writeInt32BE(100 * triple[0] + 10 * triple[1] + triple[2], 0);
}

// New records for fields the block has no record for, in the form the
// native writer uses for a new file.
const record = (type, subtype, payload) => Buffer.from([...MAGIC, type, subtype, payload.length, ...payload, 0xff, 0xfe]);

const SENSOR_RECORDS = { accel: ['2/0', '3/2', 19], gyro: ['2/1', '3/3', 20], baro: ['2/2', '3/4', 21] };

/**
 * A new sensor record: the native writer's one-byte form when the values fit
 * it, else the newer form the device itself writes (two-byte rate, range by
 * its code, calibration in steps of 0.0001), so that what a recording's
 * settings hold (a 2000 deg/s range, a 1000 Hz rate, 0.9995) can be written
 * to a new file. The frame ids are the native writer's.
 * @param {'accel'|'gyro'|'baro'} group
 * @param {(name: string) => *} get the value of a flat name ("gyro.range")
 * @returns {Buffer}
 * @throws {SettingsValueError} naming the field and the values allowed when neither form holds it
 */
function newSensorRecord(group, get) {
  const [legacy, modern, frameId] = SENSOR_RECORDS[group];
  const names = Object.keys(KINDS[modern].fields);
  const byte = (v) => Number.isInteger(v) && v >= 0 && v <= 255;
  const fitsLegacy = names.every((name) => (/\.(frequency|range)$/.test(name) ? byte(get(name)) :
    Number.isInteger(get(name)) && get(name) >= INT32[0] && get(name) <= INT32[1]));
  const [type, subtype] = (fitsLegacy ? legacy : modern).split('/').map(Number);
  const kind = KINDS[fitsLegacy ? legacy : modern];
  const payload = Buffer.alloc(kind.min);
  payload[0] = frameId;
  const where = fitsLegacy ? '' : `beyond the one-byte form, a new ${SENSOR_WORDS[group]} record takes ${kind.form}`;
  for (const [name, field] of Object.entries(kind.fields)) writeField(payload, name, field, get(name), where);
  return record(type, subtype, [...payload]);
}

function newRecord(group, get) {
  const where = 'kinovar adds it in the one-byte form of its settings files';
  const be32 = (name) => {
    const b = Buffer.alloc(4);
    b.writeInt32BE(integerIn(name, get(name), INT32, where));
    return [...b];
  };
  if (group === 'accel' || group === 'gyro' || group === 'baro') return newSensorRecord(group, get);
  if (group === 'device') {
    return record(1, 1, [...be32('deviceId'), integerIn('deviceType', get('deviceType'), [0, 255], where),
      integerIn('bodyLocation', get('bodyLocation'), [0, 255], where)]);
  }
  if (group === 'firmware') {
    const b = Buffer.alloc(6);
    FIRMWARE.forEach((name, i) => b.writeUInt16BE(integerIn(name, get(name), [0, 65535], where), 2 * i));
    return record(1, 2, [...b]);
  }
  return record(1, 5, [integerIn('radioMode', get('radioMode'), [0, 255], where),
    integerIn('radioChannel', get('radioChannel'), [0, 255], where)]);
}

// Which new record holds a field the block lacks; the others cannot be added.
function newGroupOf(name) {
  if (name.startsWith('accel.') || name.startsWith('gyro.') || name === 'baro.frequency') return name.split('.')[0];
  if (['deviceId', 'deviceType', 'bodyLocation'].includes(name)) return 'device';
  if (FIRMWARE.includes(name)) return 'firmware';
  if (name === 'radioMode' || name === 'radioChannel') return 'radio';
  return null;
}

const SENSOR_WORDS = { accel: 'accelerometer', gyro: 'gyroscope', baro: 'barometer' };

// What a setting that cannot be added is, in words.
const ADDABLE_NOT = {
  'gps.frequency': 'GPS rate', frequency: 'clock frequency', measureId: 'measure id', createdAt: 'creation date',
  endDate: 'end date',
};

const DEFAULTS = { range: 0, offsetX: 0, offsetY: 0, offsetZ: 0, gainX: 1, gainY: 1, gainZ: 1 };

/**
 * The block with the given fields changed, each in the record that holds it;
 * a field no record holds gets a new record of the native writer's form.
 * @param {Buffer} bytes the current file (at most one block is kept)
 * @param {Map<string, *>|object} changes flat names ("deviceId", "accel.gainX", "createdAt") to new values
 * @returns {Buffer}
 * @throws {RangeError} naming the field and the values allowed when a record cannot hold a value
 */
function editRecords(bytes, changes) {
  const decoded = decodeFields(bytes);
  if (!decoded) throw new SettingsValueError('the file holds no settings record to edit');
  const { walk, block, values, owners } = decoded;
  const size = Math.min(bytes.length, BLOCK);
  const out = Buffer.from(block.subarray(0, size));
  const entries = changes instanceof Map ? [...changes] : Object.entries(changes);
  const firmwareChanges = new Map();
  const added = new Map();
  for (const [name, value] of entries) {
    if (values.has(name) && values.get(name) === value) continue;
    const owner = owners.get(name);
    if (!owner) {
      const group = newGroupOf(name);
      if (!group) {
        // Only the settings our own settings files hold have a form kinovar knows how to add.
        throw new SettingsValueError(`${name} cannot be set in this file: it holds no ${ADDABLE_NOT[name] ?? name} setting to ` +
          'change, and kinovar can add only the settings its own settings files hold (device, firmware, radio, ' +
          'accelerometer, gyroscope and barometer). Edit a file that already has it, such as one the device itself wrote');
      }
      if (!added.has(group)) added.set(group, new Map());
      added.get(group).set(name, value);
      continue;
    }
    const kind = kindOf(owner);
    const payload = out.subarray(owner.start + 5, owner.start + 5 + owner.length);
    const where = kind.form ? `this file stores the ${SENSOR_WORDS[kind.group]} settings in ${kind.form}` : '';
    if (kind.firmware) {
      firmwareChanges.set(name, value);
      continue;
    }
    writeField(payload, name, fieldsOf(owner, kind)[name], value, where);
  }
  if (firmwareChanges.size) {
    const owner = owners.get('version');
    const triple = FIRMWARE.map((name) => (firmwareChanges.has(name) ? firmwareChanges.get(name) : values.get(name)));
    writeFirmware(out.subarray(owner.start + 5, owner.start + 5 + owner.length), owner.length, triple,
      owner.length === 6 ? '' : 'this file stores the three as one number up to 999, a digit each');
  }
  if (added.size === 0) return out;
  const extra = [];
  for (const [group, named] of added) {
    const get = (name) => {
      if (named.has(name)) return named.get(name);
      if (values.has(name)) return values.get(name);
      const field = name.split('.')[1];
      return field in DEFAULTS ? DEFAULTS[field] : 0;
    };
    extra.push(newRecord(group, get));
  }
  const result = Buffer.concat([out.subarray(0, walk.end), ...extra, out.subarray(walk.end)]);
  const used = walk.end + extra.reduce((n, b) => n + b.length, 0);
  if (used > BLOCK) throw new SettingsValueError(`the settings no longer fit in one ${BLOCK}-byte block (${used} bytes)`);
  // Filler after the records (a recording's block is padded) keeps the block's size.
  return size === BLOCK ? result.subarray(0, BLOCK) : result;
}

/** Flat names of a settings object: "deviceId", "accel.gainX", ... */
function flatten(settings) {
  const flat = new Map();
  for (const [key, value] of Object.entries(settings)) {
    if (value && typeof value === 'object') for (const [k, v] of Object.entries(value)) flat.set(`${key}.${k}`, v);
    else flat.set(key, value);
  }
  return flat;
}

// The flat names an edit may change: every field a recognised record holds.
const SETTINGS_KEYS = [...new Set([...Object.values(KINDS).flatMap((kind) => Object.keys(kind.fields ?? {})),
  ...FIRMWARE, 'radioMode', 'radioChannel', 'gps.frequency'])];

module.exports = {
  walkRecords, decodeFields, editRecords, newSensorRecord, flatten, SettingsValueError, BLOCK,
  SETTINGS_KEYS, SENSOR_FIELDS,
};
