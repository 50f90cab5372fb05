'use strict';
// The native entries lib/ calls, in one place: no other module of lib/
// reaches into the native modules, so a change of how they are bound stays
// here. The five classic functions come from the addon; the rest from this
// library's own entry, which throws KinovarError (handed to it here), each
// with a code: a system error's (ENOENT, ...) with errno, syscall and path,
// ERR_KINOVAR_FORMAT, or ERR_KINOVAR_INTERNAL and ERR_KINOVAR_OUT_OF_MEMORY.
const addon = require('./addon');
const entry = require('./addon-path').loadNative();
const { KinovarError } = require('../errors');

entry.init(KinovarError);

module.exports = {
  /** (recording, target, conversion) -> {info, quality}, or null when the CSV file was not written; throws a system error */
  convertRecording: entry.convertRecording,
  /** (recordings, folder, conversion) -> the set's outcome, its CSV files (plain ones with set.json) written together into <folder> */
  convertSet: entry.convertSet,
  /** (recordings, folder, {...conversion, names}) -> the set's outcome, OpenSim's table and set.json written into <folder> */
  convertOpenSim: entry.convertOpenSim,
  /** (recordings, root, {...conversion, names, placements, entities, overwrite, fn, version}) -> the run's outcome, its files written into the BIDS dataset at root */
  writeBids: entry.writeBids,
  /** (root, entities) -> the run's own files by kind: {motion, channels, channelsJson, motionJson, events, eventsJson} */
  bidsLayout: entry.bidsLayout,
  bidsLabelFits: entry.bidsLabelFits,
  bidsPlacementFits: entry.bidsPlacementFits,
  /** (name) -> the name with each blank, comma or control character, which OpenSim's table cannot hold in a column's name, made '_' */
  mendedName: entry.mendedName,
  /** (calibration report as JSON text) -> what it did to the samples, on one line */
  calibrationSummary: entry.calibrationSummary,
  /** (recording) -> the quality report, or null */
  inspect: entry.inspect,
  /** (recording[, cancel, out, durable]) -> the calibration its still moments give, or null; with out, written there as a calibration file */
  calibrate: entry.calibrate,
  /** (clock, rate) -> clock ticks per sample when the rate does not divide the clock, else 0 */
  ticksOffClock: entry.ticksOffClock,
  /** (year, month, day, hour, minute, second) -> why they are no real date and time, or '' */
  dateProblem: entry.dateProblem,
  /** (path) -> the name a recording's outputs take */
  fileStem: entry.fileStem,
  /** (paths) -> [first, second] of two that the file system would file as one, or null */
  outputClash: entry.outputClash,
  targetClash: entry.targetClash,
  /** (path) -> whether Windows opens a device, not a file, under its name */
  isDeviceName: entry.isDeviceName,
  /** () -> {banner, streams, columns, parquetGroupRows, …}: what the tables look like, as the native writers make them */
  schema: entry.schema,
  /** (path) -> null for a recording, else {reason, bytes} and for one that cannot be read {code, errno, syscall} */
  checkRecordingFile: entry.checkRecordingFile,
  /** (path) -> {kind, size, ours, format}: what stands where an output would go, or {code, errno, syscall} */
  existingFile: entry.existingFile,
  /** (path) -> readConfig's JSON text with the calibration exact, or '' when the file holds no settings */
  readSettings: entry.readSettings,
  /** (source bytes or null, settings JSON) -> {edit: true, bytes} | {text} | {refusal: 'type'|'range'|'value', message} */
  settingsWrite: entry.settingsWrite,
  /** () -> {settingsKeys, sensorFields}: the flat names an edit may change, a sensor's members */
  settingsLists: entry.settingsLists,
  /** (recording, target, conversion, calibrated) -> {parsed, written, info, quality, calibration}: the table as Parquet */
  convertParquet: entry.convertParquet,
  /** (recordings, folder, conversion, calibrated) -> the set's outcome: a Parquet file per recording, named together */
  convertParquetSet: entry.convertParquetSet,
  /** (time: Float64Array, timeBase) -> BigInt64Array: the datetime column, microseconds since 1970 */
  datetimes: entry.datetimes,
  /** (columns: [{name, type}], utc, groupRows) -> a Parquet writer's handle */
  parquetWriter: entry.parquetWriter,
  /** (handle, from, to, columns: [{values, valid}]) -> the file's bytes made of rows from..to */
  parquetAppend: entry.parquetAppend,
  /** (handle, metadata: [[key, value]]) -> the file's last bytes */
  parquetFinish: entry.parquetFinish,
  /** (recording, conversion) -> {parsed, info, quality, streams} */
  loadRecording: entry.loadRecording,
  /** (recording, conversion) -> {handle, parsed, info, quality, timeBase, columns: [{name, unit, stream, channel}]} */
  openTable: entry.openTable,
  /** (handle, maxRows) -> {rows, time, columns: [{values, valid}]}, or null after the last row */
  nextRows: entry.nextRows,
  /** (handle) -> the recording is let go at once */
  closeTable: entry.closeTable,
  /** (recording, conversion, request) -> {handle, refusal, info, quality, timeBase, columns: [{name, unit, integer}]} */
  openEpochs: entry.openEpochs,
  /** (handle, offsetAt(utcSeconds) -> seconds east of UTC) -> the days are the zone's local days instead of 24 h steps */
  planDays: entry.planDays,
  /** (offsetAt(utcSeconds) -> seconds east of UTC, local seconds read as UTC) -> the offset the zone takes that wall time at */
  wallTimeOffset: entry.wallTimeOffset,
  /** (offsetAt, local seconds read as UTC) -> 'skipped' or 'repeated' when a change of daylight-saving time does that to the wall time, else '' */
  wallTimeChange: entry.wallTimeChange,
  /** (handle, maxRows[, store]) -> {rows, time, columns: [{values, valid}]}, or null after the last epoch */
  nextEpochs: entry.nextEpochs,
  /** (handle, maxRows, header, conversion) -> the next epochs as plain CSV text, or null after the last */
  nextEpochText: entry.nextEpochText,
  /** (handle) -> the fraction of the accelerometer's samples read */
  epochProgress: entry.epochProgress,
  /** (handle) -> {epochs, recordedHours, wornHours, notWornHours, clippedSamples, validDays, days} once all are read */
  epochSummary: entry.epochSummary,
  /** (handle) -> the days as plain CSV text */
  dayText: entry.dayText,
  /** (handle) -> the recording is let go at once */
  closeEpochs: entry.closeEpochs,
  /** (times: Float64Array[], at most five) -> {rows, rowOf: Uint32Array[]}: the table's row of each sample */
  sampleRows: entry.sampleRows,
  /** (recordings, conversion) -> the set's outcome with {handle, timeBase, recordings: [{info, quality, columns}]} */
  openSetTable: entry.openSetTable,
  /** (handle, i, maxRows) -> recording i's next rows as nextRows gives them, or null after its last */
  /** (handle) -> the set's outcome, its slips those of the rows read */
  /** (handle) -> the recordings are let go at once */
  closeSetTable: entry.closeSetTable,
  /** (recordings, conversion) -> the set's outcome with its recordings */
  loadRecordingSet: entry.loadSet,
  /** (input, 'recording'|'csv', {orientation, budget}) -> the viewer's data */
  viewData: entry.viewData,
  /** (streams, created, {budget, quality}) -> the viewer's data */
  viewSamples: entry.viewSamples,
  /** (path, bytes[, durable]) -> the bytes become the file's content, all or nothing, on the medium unless
   * durable is false; throws a system error */
  replaceFile: (file, bytes, durable) => entry.replaceFiles([file], [bytes], durable),
  /** (paths, contents[, durable]) -> as replaceFile, each file taking its name only once all are complete */
  replaceFiles: entry.replaceFiles,
  /** (paths) -> a handle of files written in pieces, each beside its target; throws a system error */
  openOutputs: entry.openOutputs,
  /** (handle, index, bytes or string) -> appended to the index-th file */
  appendOutput: entry.appendOutput,
  /** (handle, durable) -> the files take their names together, all or none */
  commitOutputs: entry.commitOutputs,
  /** (handle) -> the files are removed, the targets untouched */
  discardOutputs: entry.discardOutputs,
  /** ([parent]) -> a new scratch folder of ours (in the system's temporary folder without a parent) */
  temporaryFolder: entry.temporaryFolder,
  /** (temporary) -> removes a temporary file or scratch folder of ours */
  discardTemporary: entry.discardTemporary,
  /** () -> {files, folders}: an interruption; this process's temporaries removed, with the output folders it made left empty */
  abandonTemporaries: entry.abandonTemporaries,
  /** (folder) -> a folder made for outputs, removed at an interruption when left empty */
  noteMadeFolder: entry.noteMadeFolder,
  /** (code) -> ends the process at once, conversions under way or not */
  exitNow: entry.exitNow,
  /** () -> the process's allocator keeps few per-thread pools (for the command line, which owns its process) */
  limitAllocatorPools: entry.limitAllocatorPools,
  /** () -> every conversion of the process stops at its next piece, and no temporary takes its name */
  stopConversions: entry.stopConversions,
  /** () -> the number of a new flag, given as a conversion's `cancel`; cancel(id) raises it from any thread */
  cancelFlag: entry.cancelFlag,
  cancel: entry.cancel,
  /** (id) -> the flag's number is forgotten */
  dropCancelFlag: entry.dropCancelFlag,
  /** (id) -> conversions on this thread that name no flag take this one; 0: none */
  cancelOn: entry.cancelOn,
  readConfig: addon.readConfig,
  readConfigDeviceId: addon.readConfigDeviceId,
  writeConfig: addon.writeConfig,
};
