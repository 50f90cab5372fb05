'use strict';
const addon = require('./addon');

module.exports = {
  read: addon.read,
  readAndSync2: addon.readAndSync2,
  readConfig: addon.readConfig,
  writeConfig: addon.writeConfig,
  readConfigDeviceId: addon.readConfigDeviceId,
};
