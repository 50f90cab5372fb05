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

const { settingsWrite } = require('./records');

function settingsText(config) {
  if (typeof config === 'string') config = JSON.parse(config);
  if (config === null || typeof config !== 'object') throw new TypeError('settingsText: expected a readConfig object');
  return settingsWrite(null, config).text;
}

module.exports = { settingsText };
