'use strict';
// Settings files are made and edited by the core, which owns the record
// format: an edit changes exactly the fields it names, each in the record
// (and the form) that holds it, and keeps every other byte. This turns the
// core's refusals into the errors callers catch.

const { codes } = require('../errors');

// The addon loads only when settings are written or listed.
const native = () => require('../native/entry');

class SettingsValueError extends RangeError {
  constructor(message) {
    super(message);
    this.code = codes.SETTINGS_VALUE;
  }
}

const REFUSALS = { type: TypeError, range: RangeError, value: SettingsValueError };

/**
 * What writing a settings object makes of a settings block, or of nothing.
 * @param {Buffer|null} source a file's first bytes; with settings records in them, they are edited
 * @param {object} settings shaped as readSettings returns it
 * @returns {{edit: true, bytes: Buffer}|{text: string}} the edited block, or a new file's settings text
 * @throws {RangeError} naming the field and the values allowed when a record cannot hold a value
 */
function settingsWrite(source, settings) {
  // NaN and the infinities are refused as values, not taken as null: they go as the words JSON lacks.
  const json = JSON.stringify(settings, (key, value) => (typeof value === 'number' && !Number.isFinite(value) ?
    `\0${value}\0` : value)).replace(/"\\u0000(NaN|-?Infinity)\\u0000"/g, '$1');
  const made = native().settingsWrite(source, json);
  if (made.refusal) throw new REFUSALS[made.refusal](made.message);
  return made;
}

/** The flat names an edit may change ("deviceId", "accel.gainX", ...) and a sensor's members. */
const settingsLists = () => native().settingsLists();

module.exports = { settingsWrite, settingsLists, SettingsValueError };
