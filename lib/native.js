'use strict';
// The native entries lib/ calls, in one place: no other module of lib/
// reaches into the addon, so a change of how they are bound stays here.
const addon = require('./addon');

module.exports = {
  /** (recording, target, conversion) -> '{"info":...,"quality":...}', or the error document; throws a system error */
  convertRecording: addon.readWithOptions,
  /** (recordings, folder, conversion) -> the set's outcome, its CSV files written together as <folder>/<stem>.csv */
  convertSet: addon.readAndSyncReport,
  /** (recording) -> the quality report as JSON, or '' */
  inspect: addon.inspect,
  /** (path) -> the name a recording's outputs take */
  fileStem: addon.fileStem,
  /** (paths) -> [first, second] of two that the file system would file as one, or null */
  outputClash: addon.outputClash,
  /** (path) -> whether Windows opens a device, not a file, under its name */
  isDeviceName: addon.isDeviceName,
  /** (first block) -> whether it holds a settings record */
  hasSettingsRecord: addon.hasSettingsRecord,
  /** (recording, conversion) -> {parsed, info, quality, rows, frequency, streams} */
  loadRecording: addon.loadRecording,
  /** (recordings, conversion) -> the set's outcome with its recordings */
  loadRecordingSet: addon.loadRecordingSet,
  /** (input, 'recording'|'csv', {orientation, budget}) -> the viewer's data */
  viewData: addon.viewData,
  /** (streams, created, {budget, quality}) -> the viewer's data */
  viewSamples: addon.viewSamples,
  /** (path, bytes) -> the bytes become the file's content, all or nothing; throws a system error */
  replaceFile: addon.replaceFile,
  /** (paths, contents) -> as replaceFile, each file taking its name only once all are complete */
  replaceFiles: addon.replaceFiles,
  readConfig: addon.readConfig,
  readConfigDeviceId: addon.readConfigDeviceId,
  writeConfig: addon.writeConfig,
};
