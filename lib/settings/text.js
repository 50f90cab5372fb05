'use strict';
// Turns the object that readConfig returns (or its JSON text) back into the
// settings text that writeConfig takes, so a host can read a settings file,
// change some values and write it back.
//
// writeConfig stores sensors as the compact legacy records (one-byte rates
// and ranges). A sensor those cannot hold (a recording's 2000 deg/s range,
// 1000 Hz rate or calibration of 0.9995) goes as the newer record the device
// itself writes, handed to writeConfig as record bytes, which it copies; a
// value neither holds is refused with a RangeError (code
// ERR_KINOVAR_SETTINGS_VALUE) instead of being cut to its low byte on the
// device. The members writeConfig cannot write (gps, the dates, the clock
// frequency, measureId) are left out; readConfig reports them at their
// defaults for files that writeConfig made.

const { newSensorRecord, SettingsValueError, SENSOR_FIELDS } = require('./records');

const INT32 = [-2147483648, 2147483647];
const BYTE = [0, 255];
const WORD = [0, 65535];

function integer(value, name, [low, high]) {
  if (!Number.isInteger(value) || value < low || value > high) {
    throw new SettingsValueError(`settingsText: ${name} must be an integer from ${low} to ${high}, not ${value}`);
  }
  return value;
}

function sensorEntry(key, sensor) {
  const bytes = newSensorRecord(key, (name) => sensor?.[name.slice(key.length + 1)]);
  if (bytes[2] !== 2) return `unknownFrames,${bytes.toString('base64')}`;
  return [key, ...(key === 'baro' ? ['frequency'] : SENSOR_FIELDS).map((member) => sensor[member])].join(',');
}

const DEVICE_KEYS = ['deviceId', 'deviceType', 'bodyLocation', 'version', 'majorVersion', 'minorVersion',
  'radioMode', 'radioChannel'];

function settingsText(config) {
  if (typeof config === 'string') config = JSON.parse(config);
  if (config === null || typeof config !== 'object') throw new TypeError('settingsText: expected a readConfig object');
  const entries = [];

  const unknown = config.unknownFrames ?? '';
  if (typeof unknown !== 'string' || !/^[A-Za-z0-9+/]*={0,2}$/.test(unknown)) {
    throw new TypeError('settingsText: unknownFrames must be Base64 text');
  }
  if (unknown !== '') entries.push(`unknownFrames,${unknown}`);
  if (config.gyro) entries.push(sensorEntry('gyro', config.gyro));
  if (config.accel) entries.push(sensorEntry('accel', config.accel));
  if (config.baro) entries.push(sensorEntry('baro', config.baro));

  if (DEVICE_KEYS.some((key) => key in config)) {
    const value = (key, fallback, range) => integer(config[key] ?? fallback, key, range);
    // -1 throughout means the file had no device record: writing one would
    // turn the -1 type and location into 255.
    const id = value('deviceId', -1, INT32);
    const type = config.deviceType ?? -1;
    const location = config.bodyLocation ?? -1;
    const hasDevice = !(id === -1 && type === -1 && location === -1);
    if (hasDevice) entries.push(`device,${id},${integer(type, 'deviceType', BYTE)},${integer(location, 'bodyLocation', BYTE)}`);
    const firmware = [value('version', 0, WORD), value('majorVersion', 0, WORD), value('minorVersion', 0, WORD)];
    // Without a device record the firmware record is what marks the device
    // fields as known; otherwise zeros need no record.
    if (!hasDevice || firmware.some((v) => v !== 0)) entries.push(`firmware,${firmware.join(',')}`);
    const radio = [value('radioMode', 0, BYTE), value('radioChannel', 0, BYTE)];
    if (radio.some((v) => v !== 0)) entries.push(`radio,${radio.join(',')}`);
  }
  // An empty text makes an empty file, which readConfig rejects; a radio
  // record of zeros keeps it a settings file and reports nothing by itself.
  if (entries.length === 0) entries.push('radio,0,0');
  return entries.join(':');
}

module.exports = { settingsText };
