'use strict';
// Public entry: the five native functions exactly as the addon has them,
// then the idiomatic layer (parsed results, thrown errors, promises).
const addon = require('./native/addon');
const api = require('./api');
const promises = require('./promises');
const { settingsText } = require('./settings/text');
const { KinovarError, codes } = require('./errors');
const outputs = require('./output/files');
const { ESTIMATORS, FORMATS, SET_FORMATS, EXTENSIONS } = require('./model/schema');
const { settingsLists } = require('./settings/records');
const { writeViewPage } = require('./viewer/page');

// Lists handed out are copies the caller cannot change under the library.
const list = (items) => Object.freeze([...items]);

module.exports = {
  read: addon.read,
  readAndSync2: addon.readAndSync2,
  readConfig: addon.readConfig,
  writeConfig: addon.writeConfig,
  readConfigDeviceId: addon.readConfigDeviceId,

  readRecording: api.readRecording,
  epochs: api.epochs,
  checkEpochOptions: api.checkEpochOptions,
  inspect: api.inspect,
  calibrate: api.calibrate,
  syncRecordings: api.syncRecordings,
  readSettings: api.readSettings,
  readDeviceId: api.readDeviceId,
  writeSettings: api.writeSettings,
  load: api.load,
  loadSet: api.loadSet,
  readParquet: api.readParquet,
  settingsText,
  writeFileAtomic: outputs.writeFileAtomic,
  checkReplaceable: outputs.checkReplaceable,
  ensureFolder: outputs.ensureFolder,
  qualityProblems: api.qualityProblems,
  writeViewPage,
  generateRecording: api.generateRecording,
  generateSession: api.generateSession,
  batch: api.batch,
  mergeBatch: api.mergeBatch,
  estimators: list(ESTIMATORS),
  formats: list(FORMATS),
  setFormats: list(SET_FORMATS),
  extensions: EXTENSIONS,
  settingsKeys: list(settingsLists().settingsKeys),
  sensorFields: list(settingsLists().sensorFields),
  promises,
  KinovarError,
  codes,
};
