// The ESM entry: the CommonJS library, its public names as named exports.
// Named exports must be static, so they are listed; a test holds the list
// to lib/index.js.
import kinovar from './index.js';

export default kinovar;
export const {
  read, readAndSync2, readConfig, writeConfig, readConfigDeviceId,
  readRecording, epochs, checkEpochOptions, inspect, calibrate, syncRecordings, readSettings, readDeviceId, writeSettings, load, loadSet, readParquet,
  settingsText, writeFileAtomic, checkReplaceable, ensureFolder, qualityProblems, writeViewPage,
  generateRecording, generateSession, batch, mergeBatch,
  estimators, formats, setFormats, extensions, settingsKeys, sensorFields,
  promises, KinovarError, codes,
} = kinovar;
