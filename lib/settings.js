'use strict';
// Turns the object that readConfig returns (or its JSON text) back into the
// settings text that writeConfig takes, so a host can read a settings file,
// change some values and write it back.
//
// writeConfig stores sensors as the compact legacy records (one-byte rates
// and ranges), so a value that would not survive that is refused here with a
// RangeError instead of being cut to its low byte on the device. The
// members writeConfig cannot write (gps, the dates, the clock frequency,
// measureId) are left out; readConfig reports them at their defaults for
// files that writeConfig made.

const INT32 = [-2147483648, 2147483647];
const BYTE = [0, 255];
const WORD = [0, 65535];

function integer(value, name, [low, high]) {
  if (!Number.isInteger(value) || value < low || value > high) {
    throw new RangeError(`settingsText: ${name} must be an integer from ${low} to ${high}, not ${value}`);
  }
  return value;
}

function sensorEntry(key, sensor) {
  const f = (member, range) => integer(sensor[member], `${key}.${member}`, range);
  return [key, f('frequency', BYTE), f('range', BYTE),
    f('offsetX', INT32), f('offsetY', INT32), f('offsetZ', INT32),
    f('gainX', INT32), f('gainY', INT32), f('gainZ', INT32)].join(',');
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
  if (config.baro) entries.push(`baro,${integer(config.baro.frequency, 'baro.frequency', BYTE)}`);

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
