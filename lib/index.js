'use strict';
// Public entry: the five native functions exactly as the addon has them,
// then the idiomatic layer (parsed results, thrown errors, promises).
const fs = require('node:fs');
const path = require('node:path');
const addon = require('./addon');
const api = require('./api');
const promises = require('./promises');
const { settingsText } = require('./settings');
const { KinovarError, codes } = require('./errors');
const data = require('./data');
const outputs = require('./output');
const { FORMATS, SET_FORMATS } = require('./formats');
const { SETTINGS_KEYS, SENSOR_FIELDS } = require('./records');
const { writeViewPage } = require('./viewer');
const generator = require('./generator');

// Lists handed out are copies the caller cannot change under the library.
const list = (items) => Object.freeze([...items]);

/**
 * A synthetic recording, written whole; an existing file that is not an
 * output of ours (a recording there may be a real one) stays unless `overwrite`.
 */
function generateRecording(file, { overwrite = false, ...options } = {}) {
  outputs.writeAtomically([file], ([temporary]) => generator.generateRecording(temporary, options),
    { overwrite, what: 'the recording' });
  return file;
}

/**
 * A session of sensors that recorded together, written into an existing
 * folder as generateRecording writes one recording.
 */
function generateSession(folder, { overwrite = false, ...options } = {}) {
  // Generated aside on the same disk, so that each file is moved into place whole.
  const aside = fs.mkdtempSync(path.join(folder, '.kinovar-session-'));
  try {
    const made = generator.generateSession(aside, options);
    const targets = made.map((file) => path.join(folder, path.basename(file)));
    outputs.writeAtomically(targets, (temporary) => made.forEach((file, i) => fs.renameSync(file, temporary[i])),
      { overwrite, what: 'the recording' });
    return targets;
  } finally {
    fs.rmSync(aside, { recursive: true, force: true });
  }
}

module.exports = {
  read: addon.read,
  readAndSync2: addon.readAndSync2,
  readConfig: addon.readConfig,
  writeConfig: addon.writeConfig,
  readConfigDeviceId: addon.readConfigDeviceId,

  readRecording: api.readRecording,
  inspect: api.inspect,
  syncRecordings: api.syncRecordings,
  readSettings: api.readSettings,
  readDeviceId: api.readDeviceId,
  writeSettings: api.writeSettings,
  load: data.load,
  loadSet: data.loadSet,
  readParquet: (file) => require('./parquet').readParquetBytes(require('node:fs').readFileSync(file)),
  settingsText,
  writeFileAtomic: outputs.writeFileAtomic,
  checkReplaceable: outputs.checkReplaceable,
  ensureFolder: outputs.ensureFolder,
  qualityProblems: api.qualityProblems,
  writeViewPage,
  generateRecording,
  generateSession,
  estimators: list(api.ESTIMATORS),
  formats: list(FORMATS),
  setFormats: list(SET_FORMATS),
  settingsKeys: list(SETTINGS_KEYS),
  sensorFields: list(SENSOR_FIELDS),
  promises,
  KinovarError,
  codes,
};
