'use strict';
// Public entry: the five native functions exactly as the addon has them,
// then the idiomatic layer (parsed results, thrown errors, promises).
const addon = require('./addon');
const api = require('./api');
const promises = require('./promises');
const { settingsText } = require('./settings');
const { KinovarError, codes } = require('./errors');
const data = require('./data');
const outputs = require('./output');

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
  promises,
  KinovarError,
  codes,
};
