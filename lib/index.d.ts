/// <reference types="node" />

/** The description of a recording that `read` answers with. */
export interface RecordingInfo {
  /** Start of the recording as `YYYY-MM-DD hh:mm:ss`; zeros when unknown. */
  createdAt: string;
  /** End of the recording, written the same way. */
  endDate: string;
  /** Ticks per second of the sensor's clock, the CSV's row rate. */
  frequency: number;
  version: string;
  minorVersion: string;
  majorVersion: string;
  /** -1 when the recording names none. */
  measureId: number;
  /** The sensor that made the recording; -1 when its settings name none. */
  deviceId: number;
  /** What happened in the recording, as `inspect` reports it. */
  quality: QualityReport;
}

/** What happened to one stream of a recording. */
export interface StreamQuality {
  /** Samples kept. */
  samples: number;
  /** The declared rate, samples per second. */
  rate: number;
  /** (samples - 1) over the time from the first to the last; 0 under two samples. */
  rateSeen: number;
  /** Seconds of the first and last sample; null without samples. */
  first: number | null;
  last: number | null;
  /** Frames dropped because a frame with their tick came earlier. */
  duplicates: number;
  gaps: {
    /** Samples absent by the declared rate between consecutive samples (0 for event streams). */
    missing: number;
    count: number;
    /** Seconds between the samples on either side of the longest gap. */
    longest: number;
    /**
     * inspect() only, when there are gaps: each one, in time order. start: seconds from the
     * recording's first sample to the sample before the gap; length: seconds to the sample after it.
     */
    list?: Array<{ start: number; length: number }>;
  };
  /** Samples with an axis at the end of its range (accelerometer, gyroscope, three-axis source). */
  saturated: number;
  /**
   * inspect() only, for an accelerometer, gyroscope or barometer whose rate does not divide the
   * clock: clock ticks per sample, and the rows apart the tables (every format) place its samples.
   */
  ticksPerSample?: number;
  rowsPerSample?: number;
}

/** A settings record the recording's settings block holds but that was not used. */
export interface SettingsRecordProblem {
  /** Byte offset in the settings block. */
  offset: number;
  type: number;
  subtype: number;
  length: number;
  /** Shorter than its kind needs, of no known kind, or running past the block (the walk stops there). */
  problem: 'malformed' | 'unknown' | 'truncated';
}

/** What happened in a recording, counted while it was read. */
export interface QualityReport {
  streams: Partial<Record<'accel' | 'gyro' | 'baro' | 'threeAxis' | 'events' | 'radioTime' | 'secondEvents', StreamQuality>>;
  /** Blocks whose ticks run backwards from the block before. */
  outOfOrder: number;
  /** Bytes of a part shorter than a block at the end, never read. */
  tailBytes: number;
  /**
   * When there are any: blocks whose base tick lies far off both neighbours' (as from a flipped
   * bit), left out of every table but the classic CSV, which keeps them at their wrong times.
   */
  corruptBlocks?: number;
  /**
   * When it happens: seconds from the first sample to where the device's tick counter passes
   * 2^31. Every table keeps true time across it; the classic CSV's ticks turn negative there.
   */
  signedWrapAt?: number;
  /**
   * When the samples end more than 2 s before the settings' end date: the seconds they span (first
   * to last sample), and the seconds from the settings' creation date to their end date.
   */
  shorterThanSettings?: { seconds: number; settings: number };
  settingsRecords: SettingsRecordProblem[];
}

/** An inertial sensor of a settings file. */
export interface SensorSettings {
  frequency: number;
  range: number;
  offsetX: number;
  offsetY: number;
  offsetZ: number;
  gainX: number;
  gainY: number;
  gainZ: number;
}

/** The content of a settings file, as `readConfig` returns it. */
export interface Settings {
  /** Records not interpreted, whole, as Base64; written back unchanged. */
  unknownFrames: string;
  gyro?: SensorSettings;
  accel?: SensorSettings;
  baro?: { frequency: number };
  gps?: { frequency: number };
  deviceId?: number;
  deviceType?: number;
  bodyLocation?: number;
  version?: number;
  majorVersion?: number;
  minorVersion?: number;
  radioMode?: number;
  radioChannel?: number;
  createdAt: string;
  endDate: string;
  frequency: number;
  measureId: number;
}

/**
 * What `writeSettings` accepts. Editing an existing settings file, the members
 * whose values differ from the file's are written (the dates, clock frequency,
 * measure id and GPS rate only where the file has their records); members left
 * out keep their values. Sensor members may be given in part.
 */
export type SettingsInput = Partial<Omit<Settings, 'gyro' | 'accel' | 'baro' | 'gps'>> & {
  gyro?: Partial<SensorSettings>;
  accel?: Partial<SensorSettings>;
  baro?: { frequency?: number };
  gps?: { frequency?: number };
} & Record<string, unknown>;

/** Options of the conversions. */
export interface OutputOptions {
  /** Replace an existing file that is not a CSV file of kinovar (a recording, anything else). Default false. */
  overwrite?: boolean;
}

export interface WriteSettingsOptions {
  /** Replace an existing file that is not a settings file (a recording is never replaced). Default false. */
  overwrite?: boolean;
  /** Edit the records of this settings file or recording, and write the result to the target. */
  from?: string;
}

/** The native `readAndSync2` statuses. */
export type SyncStatus = 'OK' | '-10' | '-13' | '-11' | '-12';

/** How the clocks of a set were put on one time base; chosen by the first recording. */
export type SyncMethod = 'time-marks' | 'radio-settings' | 'radio-stream';

/** What a synchronised conversion did. Arrays run in the order of the recordings. */
export interface SyncReport {
  /** `'none'` for an empty set of recordings. */
  method: SyncMethod | 'none';
  recordings: string[];
  /** The files written: one per recording, or the one OpenSim table of the set; none for loadSet. */
  files: string[];
  /** `'drift'` when each recording's clock model placed its samples on one grid; absent when aligned by offset. */
  clock?: 'drift';
  /** Seconds added to each recording's own clock to reach the common time base (aligned by drift: at its time 0). */
  offsets: number[];
  /** The time all recordings cover, in seconds of the common time base. */
  window: { start: number; end: number };
  /** Samples kept per recording and stream; a stream not in every recording is left out. */
  samples: Array<{ accel?: number; gyro?: number; baro?: number; quaternion?: number }>;
  /** Events kept per recording. */
  events: number[];
  /**
   * Each recording's clock as measured: common time = offset + (1 + ppm / 1e6) x own time. offsetOnlyAtEndMs
   * says how far one offset would be off at the window's end.
   */
  clocks: Array<{
    offset: number;
    ppm: number;
    measured: 'time-marks' | 'radio-settings' | 'radio-stream' | 'master';
    /** False where the data give no rate (radio settings): ppm is then 0. */
    rateMeasured: boolean;
    /** The rate's standard uncertainty in ppm (time marks: from their resolution and distance); null where not measured. */
    ppmUncertainty: number | null;
    /** The rate differs from the common clock's by more than its uncertainty (false for the master and where not measured). */
    rateSignificant: boolean;
    pairs: number;
    /** Radio stream: pairs left out of the fit (noise, duplicates). */
    outliers: number;
    /** Radio stream: pieces fitted apart where the pairs jump (a reset); the longest is the model. */
    pieces: number;
    residualsMs: { rms: number; largest: number };
    offsetOnlyAtEndMs: number;
    /**
     * Aligned by drift: per stream, samples passed over, rows holding the row before's sample (a slip of the
     * clock), and rows left empty, with no sample within half a period of their instant (a gap).
     */
    skipped?: { accel?: number; gyro?: number; baro?: number; quaternion?: number };
    repeated?: { accel?: number; gyro?: number; baro?: number; quaternion?: number };
    empty?: { accel?: number; gyro?: number; baro?: number; quaternion?: number };
  }>;
  /** When the set was resampled: the grid's rate and how. */
  resample?: { rate: number; grid: string; method: string };
}

/** The files of a synchronised conversion, with the report of what was done. */
export type SyncFiles = string[] & { readonly report: SyncReport };

/** Why a recording of a set did not parse. */
export interface UnparsedRecording {
  path: string;
  reason: 'missing' | 'unreadable' | 'not-a-recording' | 'cut-short' | 'unknown';
  /** The system's error for a missing or unreadable file (ENOENT, EACCES, EISDIR). */
  code?: string;
}

/** The cause of a failed synchronised conversion, as data. */
export type SyncCause =
  | { reason: 'unreadable-recordings'; recordings: UnparsedRecording[] }
  | { reason: 'no-orientation'; recordings: string[] }
  | { reason: 'too-few-recordings'; count: number }
  | { reason: 'no-master' | 'several-masters' | 'no-radio-data' | 'no-clock' | 'no-common-streams';
      method: SyncMethod; recordings: string[] }
  | { reason: 'other-channel'; method: SyncMethod; recordings: string[]; channels: number[]; channel: number }
  | { reason: 'same-name' | 'replaces-recording' | 'device-name' | 'not-written'; recordings: string[]; path: string }
  | { reason: 'unknown-status' };

export declare const codes: Readonly<{
  FORMAT: 'ERR_KINOVAR_FORMAT';
  /** A classic CSV file (format 'classic') could not be written; the code it always had. */
  CSV_NOT_WRITTEN: 'ERR_KINOVAR_CSV_NOT_WRITTEN';
  /** A plain CSV, Parquet file or OpenSim table could not be written (these had CSV_NOT_WRITTEN before). */
  OUTPUT_NOT_WRITTEN: 'ERR_KINOVAR_OUTPUT_NOT_WRITTEN';
  UNREADABLE: 'ERR_KINOVAR_UNREADABLE';
  NO_ORIENTATION: 'ERR_KINOVAR_NO_ORIENTATION';
  NOT_SYNCHRONISABLE: 'ERR_KINOVAR_NOT_SYNCHRONISABLE';
  NO_SETTINGS: 'ERR_KINOVAR_NO_SETTINGS';
  NO_SAMPLES: 'ERR_KINOVAR_NO_SAMPLES';
  /** Epochs asked of a recording without accelerometer samples. */
  NO_ACCELEROMETER: 'ERR_KINOVAR_NO_ACCELEROMETER';
  SETTINGS_NOT_WRITTEN: 'ERR_KINOVAR_SETTINGS_NOT_WRITTEN';
  /** A settings value that no record kinovar writes can hold; thrown as a RangeError naming the field. */
  SETTINGS_VALUE: 'ERR_KINOVAR_SETTINGS_VALUE';
  DUPLICATE_OUTPUT: 'ERR_KINOVAR_DUPLICATE_OUTPUT';
  /** batch(): its inputs, manifest or shard cannot be planned; the message names every bad row. */
  WORK_LIST: 'ERR_KINOVAR_WORK_LIST';
  NOT_OURS: 'ERR_KINOVAR_NOT_OURS';
  IS_RECORDING: 'ERR_KINOVAR_IS_RECORDING';
  /** Format 'bids': a subject or task missing, or a label with what BIDS forbids (only letters and digits; run a number). */
  BIDS_LABEL: 'ERR_KINOVAR_BIDS_LABEL';
  /** Format 'bids': the root holds files but is not a BIDS dataset, or a file where the dataset needs a folder. */
  NOT_BIDS: 'ERR_KINOVAR_NOT_BIDS';
  /** Format 'bids': the dataset holds this run already; `overwrite: true` replaces it. */
  BIDS_EXISTS: 'ERR_KINOVAR_BIDS_EXISTS';
  /** Format 'bids': a set aligned by offset has no common grid of instants; resample it, or align by drift. */
  NO_GRID: 'ERR_KINOVAR_NO_GRID';
  UNKNOWN_STATUS: 'ERR_KINOVAR_UNKNOWN_STATUS';
  /** A calibration file that cannot be read or holds no calibration of ours. */
  CALIBRATION_FILE: 'ERR_KINOVAR_CALIBRATION_FILE';
  /** A calibration file fitted on another device than the recording's (overwrite/--force applies it anyway). */
  OTHER_DEVICE: 'ERR_KINOVAR_OTHER_DEVICE';
  NOT_BUILT: 'ERR_KINOVAR_NOT_BUILT';
  ADDON_INVALID: 'ERR_KINOVAR_ADDON_INVALID';
  INTERNAL: 'ERR_KINOVAR_INTERNAL';
  OUT_OF_MEMORY: 'ERR_KINOVAR_OUT_OF_MEMORY';
  ABORTED: 'ABORT_ERR';
}>;

/** The system's name for a file system failure, as Node gives it. */
export type SystemErrorCode = 'ENOENT' | 'ENOTDIR' | 'EISDIR' | 'EACCES' | 'EPERM' | 'EROFS' | 'ENOSPC' | 'EDQUOT' |
  'EFBIG' | 'EBUSY' | 'ENAMETOOLONG' | 'EMFILE' | 'EIO' | (string & {});

export type ErrorCode = (typeof codes)[keyof typeof codes] | SystemErrorCode;

/** An operation that did not do what was asked; `code` names the cause. */
export declare class KinovarError extends Error {
  constructor(message: string, code: ErrorCode, details?: object);
  name: 'KinovarError';
  /** One of `codes` for what is ours; the system's code (ENOTDIR, EACCES, ENOSPC, ...) for a file system failure. */
  code: ErrorCode;
  /** The file concerned, when there is one. */
  path?: string;
  /** For a system failure: the step that failed ("open", "write", "rename", ...). */
  syscall?: string;
  /** For ERR_KINOVAR_NOT_OURS: what the existing file is. */
  found?: 'recording' | 'settings' | 'other' | string;
  /** The recording whose CSV could not be written. */
  recording?: string;
  /** The native status of a failed synchronised conversion. */
  status?: Exclude<SyncStatus, 'OK'>;
  /** For status -10: the recordings that did not parse. */
  files?: string[];
  /** What made a synchronised conversion fail, as data. */
  cause?: SyncCause;
}

// The native functions, unchanged.

/** Converts a recording to CSV; answers its JSON description or `{"error":"Error during data loading."}`. */
export declare function read(recordingPath: string, csvPath: string): string;
/** Converts recordings made together, synchronised, into `<outputFolder>/<name>.csv`. */
export declare function readAndSync2(recordingPaths: string[], outputFolder: string): SyncStatus;
/** The settings of a file as JSON text, or `""`. */
export declare function readConfig(settingsPath: string): string;
/** Writes a settings file from settings text; `"OK"` or `"ERROR"`. */
export declare function writeConfig(settingsPath: string, settingsText: string): 'OK' | 'ERROR';
/** `{"deviceId":N}`, or `""`. */
export declare function readConfigDeviceId(settingsPath: string): string;

// The idiomatic layer.

/**
 * How the orientation (the quaternion columns) is estimated: `'accurate'` (the default of every
 * function of the idiomatic layer and of the command line) the offline estimator with gyroscope
 * bias estimation; `'classic'` the sensor software's filter, which the five native functions
 * always use: choose it for files byte-identical to theirs; `'none'` no orientation and no
 * quaternion columns.
 */
export type Estimator = 'classic' | 'accurate' | 'none';

/**
 * Output of a conversion. `plain`: one header row (time, gyro_x, ...), a row per instant with a
 * sample, no trailing comma. `classic`: the sensor software's export, a row per clock tick.
 * `parquet`: the plain table, typed and compressed.
 */
export type Format = 'plain' | 'classic' | 'parquet';

/**
 * Format `'bids'`: the recordings as one tracking system of the BIDS motion dataset whose root is the
 * output path (see docs/bids.md). Labels hold letters and digits only.
 */
export interface BidsOptions {
  /** Required with format 'bids'. */
  subject?: string;
  /** Required with format 'bids'. */
  task?: string;
  session?: string;
  acquisition?: string;
  run?: string | number;
  /** The tracking system's name (default `'kinovar'`). */
  tracksys?: string;
  /** Each tracked point's placement on the body, by its name. */
  placements?: Record<string, string>;
  /**
   * One name per recording, in order: OpenSense's column names (default `<file stem>_imu`), or a BIDS
   * dataset's tracked points (default: the file stems, mended).
   */
  imuNames?: string[];
}

export interface ConversionOptions extends OutputOptions, BidsOptions {
  orientation?: Estimator;
  /**
   * `'auto'` (the default; for the classic CSV, `'off'`) fits the accelerometer and the gyroscope's bias on the
   * recording's still moments, and keeps the raw samples where the fit is refused; `'off'` keeps the raw samples;
   * a path applies a calibration file of the same device
   * (another device's only with `overwrite`). See docs/calibration.md.
   */
  calibrate?: 'auto' | 'off' | (string & {});
  /**
   * Default: `'parquet'` for a path ending in .parquet, else `'plain'` (0.1 wrote the classic CSV).
   * `'csv'`, the classic CSV's name in 0.1, still gives it. `'bids'`: the output path is a dataset's root.
   */
  format?: Format | 'csv' | 'bids';
  /** Replace an output file that kinovar did not write (refused otherwise). */
  overwrite?: boolean;
  /** The most threads one conversion keeps busy, 1 to 1024 (default: one per core). Batches, and promise calls running at once, divide the cores. */
  threads?: number;
  /**
   * `'absolute'`: the plain CSV and Parquet get a `datetime` column, the recording's creation time standing at
   * its first sample (a set's first recording's, on the set's base); refused for other formats.
   */
  time?: 'relative' | 'absolute';
  /** With time `'absolute'`: the IANA zone the sensor's clock was set in; the datetime is then UTC. Default: local time, no offset. */
  timezone?: string;
  /** Plain CSV, Parquet, OpenSim table: samples per second of a uniform grid the samples are resampled onto. */
  resample?: number;
  /** Force each output to the disk before it takes its name (slower; survives a power cut). */
  durable?: boolean;
}

export interface ProgressOptions {
  /** Called as the conversion goes, with the fraction (0 to 1) of its input consumed; 1 at the end. */
  onProgress?: (progress: { fraction: number }) => void;
}

/**
 * How a set goes onto one clock: `'drift'` (default), each recording by its clock's measured rate, the rows on
 * the first recording's grid; `'offset'`, one offset each, the rows of the native `readAndSync2`.
 */
export type SetClock = 'drift' | 'offset';

export interface SetConversionOptions extends Omit<ConversionOptions, 'format'> {
  /** `'opensense'`: one OpenSim orientation table, `<outputFolder>/orientations.sto`; `'bids'`: `outputFolder` is a dataset's root. */
  format?: Format | 'csv' | 'opensense' | 'bids';
  clock?: SetClock;
}

/**
 * Converts a recording, written whole or not at all. Throws the system's code for the recording or the output
 * file, `ERR_KINOVAR_FORMAT`, or `ERR_KINOVAR_NOT_OURS` for an existing file that kinovar did not write.
 */
export declare function readRecording(recordingPath: string, csvPath: string,
  options?: ConversionOptions & ProgressOptions): RecordingInfo & { /** Format 'bids': the run's files. */ files?: string[] };
/** Epoch summaries: the options of `epochs()` (docs/epochs.md). */
export interface EpochOptions extends ProgressOptions {
  /** Seconds per epoch, 1 to 3600 (default 5). */
  epoch?: number;
  /** `false`: no non-wear; otherwise the van Hees (2013) thresholds (default 13 mg, 150 mg, 60 minutes). */
  nonwear?: false | { sdMg?: number; rangeMg?: number; windowMinutes?: number };
  /** A .csv file of one row per day (local days with `timezone`, else 24 h from the first epoch). */
  days?: string;
  /** Hours worn that make a day valid (default 16). */
  validHours?: number;
  /** `'absolute'`: a datetime column, and epochs at whole clock times. */
  time?: 'relative' | 'absolute';
  /** With time 'absolute': the IANA zone the sensor's clock was set in. */
  timezone?: string;
  overwrite?: boolean;
  durable?: boolean;
}
export interface EpochDay {
  time: number;
  day: number;
  /** YYYY-MM-DD in the zone; empty for 24 h days. */
  date: string;
  hours: number;
  recorded_hours: number;
  worn_hours: number;
  nonwear_hours: number;
  clipped_hours: number;
  /** Mean ENMO over worn time, g; null without any. */
  enmo_worn: number | null;
  valid: 0 | 1;
}
export interface EpochReport extends RecordingInfo {
  epochs: number;
  recordedHours: number;
  wornHours: number;
  notWornHours: number;
  clippedSamples: number;
  validDays: number;
  /** With `days`. */
  days?: EpochDay[];
}
/**
 * Epoch summaries of a recording into `target` (.csv or .parquet): ENMO, MAD, anglez, means, SDs, clipping and
 * non-wear per epoch. Throws `ERR_KINOVAR_NO_ACCELEROMETER`, `ERR_KINOVAR_NO_SAMPLES`, a RangeError for an option
 * out of range, and what readRecording throws; nothing is written then.
 */
export declare function epochs(recordingPath: string, target: string, options?: EpochOptions): EpochReport;
/** Throws what `epochs()` would throw for these options. */
export declare function checkEpochOptions(options?: EpochOptions): void;
/** inspect()'s report: what happened in the recording, and how far its accelerometer is from 1 g at rest. */
export interface InspectReport extends QualityReport {
  /**
   * The calibration the recording's still moments give, as calibrate() reports it (the fit costs one more
   * pass over the motion sensors); `warning` when the raw error at rest is above 10 mg, saying what to do.
   */
  calibration: CalibrationReport & { warning?: string };
}
/** What happened in a recording. Throws `ENOENT`, `ERR_KINOVAR_FORMAT` or `ERR_KINOVAR_UNREADABLE`. */
export declare function inspect(recordingPath: string): InspectReport;

/** What calibration found or applied (docs/calibration.md). */
export interface CalibrationReport {
  source: 'fitted' | 'file' | 'off';
  file?: string;
  deviceId: number;
  applied: boolean;
  accel: {
    accepted: boolean; status: string;
    offset: number[]; scale: number[]; temperature: number[]; referenceTemperature: number | null;
    errorBeforeMg: number; errorAfterMg: number; windows: number; idleWindows: number; iterations: number;
    lowest: number[]; highest: number[];
  } | null;
  gyro: { accepted: boolean; status: string; bias: number[]; restSeconds: number } | null;
}

/**
 * Fits a recording's calibration on its still moments, converting nothing; with `out` also writes it as a
 * calibration file, which `calibrate: FILE` applies to the device's other recordings.
 */
export declare function calibrate(recordingPath: string,
  options?: { out?: string; overwrite?: boolean; durable?: boolean }): CalibrationReport;
/**
 * Synchronised conversion into `outputFolder` (made when missing); the files written, with `report`
 * saying what was done (classic CSV only). Throws a KinovarError with the status's code and the
 * `cause` named, or with the system's code (ENOTDIR, EACCES, ...) and `path` when a file could not be written.
 */
export declare function syncRecordings(recordingPaths: string[], outputFolder: string,
  options?: SetConversionOptions & ProgressOptions): SyncFiles;

/**
 * Samples of one sensor: `time` in seconds from the recording's first sample (for a set, from its
 * window start), each sample's own time from its clock ticks; then one array per channel.
 */
export interface XyzStream { time: Float64Array; x: Float64Array; y: Float64Array; z: Float64Array }
export interface LoadedStreams {
  /** g */
  accel?: XyzStream;
  /** degrees per second */
  gyro?: XyzStream;
  /** millibar, degrees Celsius */
  baro?: { time: Float64Array; pressure: Float64Array; temperature: Float64Array };
  events?: { time: Float64Array; value: Float64Array };
  /** Unit quaternions; with the classic filter, all four NaN where there is no estimate. */
  orientation?: { time: Float64Array; w: Float64Array; x: Float64Array; y: Float64Array; z: Float64Array };
}
export interface LoadedRecording {
  info: RecordingInfo;
  streams: LoadedStreams;
}
export interface LoadOptions {
  orientation?: Estimator;
  /**
   * `'auto'` (the default; for the classic CSV, `'off'`) fits the accelerometer and the gyroscope's bias on the
   * recording's still moments, and keeps the raw samples where the fit is refused; `'off'` keeps the raw samples;
   * a path applies a calibration file of the same device
   * (another device's only with `overwrite`). See docs/calibration.md.
   */
  calibrate?: 'auto' | 'off' | (string & {});
  /** Samples per second of a uniform grid from the first sample (a set: its window start); see docs/analysis.md. */
  resample?: number;
}
/**
 * A recording's samples in memory; with a range, only its samples are read into memory (a week a day at a time).
 * Throws `ENOENT` or `ERR_KINOVAR_FORMAT`.
 */
export declare function load(recordingPath: string, options?: LoadOptions & RangeOptions): LoadedRecording;
/** Recordings made together, on one time base and cut to their common window. */
export declare function loadSet(recordingPaths: string[], options?: LoadOptions & RangeOptions & { clock?: SetClock }): {
  recordings: Array<LoadedRecording & { path: string }>;
  /** What the synchronisation did; `files` is empty. */
  report: SyncReport;
};
/** A part of a recording: its rows with `from <= time < to` (seconds on its table's time), of the streams named. */
export interface RangeOptions {
  from?: number;
  to?: number;
  /** Only these streams (time, and datetime where there is one, always). */
  streams?: Array<keyof LoadedStreams>;
}
/**
 * Reads a Parquet file kinovar wrote: its table by column (nulls as NaN) and the streams of load(); with a range, only
 * the row groups that hold its rows are read. Throws `ERR_KINOVAR_FORMAT` for another file, or the system's code.
 */
export declare function readParquet(file: string, options?: RangeOptions): {
  info: RecordingInfo;
  units: Record<string, string>;
  rows: number;
  /** By name; a datetime column in milliseconds since 1970, as `Date` takes them. */
  columns: Record<string, Float64Array>;
  /** Timed by the table's time column; an orientation sample without an estimate is NaN, as load() gives it. */
  streams: LoadedStreams;
  /** The report of the set the file was written with (method, offsets, window, files, ...). */
  set?: SyncReport & { time: string };
};
/** Throws `ENOENT` or `ERR_KINOVAR_NO_SETTINGS`. */
export declare function readSettings(settingsPath: string): Settings;
/** The device identifier, -1 when the file names none. */
export declare function readDeviceId(settingsPath: string): number;
/**
 * Writes or edits a settings file. Throws a RangeError with the code `ERR_KINOVAR_SETTINGS_VALUE` (naming the field
 * and the values allowed) for a value its record cannot hold, before anything is written; `ERR_KINOVAR_IS_RECORDING`
 * for a recording, `ERR_KINOVAR_NOT_OURS` for another file that is not a
 * settings file, or the system's code.
 */
export declare function writeSettings(settingsPath: string, settings: SettingsInput | string, options?: WriteSettingsOptions): void;
/**
 * Writes the data as the whole content of the file: into a temporary file beside it, moved into place once complete
 * (and forced to the disk first, unless `durable` is false).
 * A failure throws the system's code and leaves the old file as it was. For outputs of other formats.
 */
export declare function writeFileAtomic(file: string, data: Uint8Array | string, what?: string, durable?: boolean): void;
/**
 * Throws `ERR_KINOVAR_NOT_OURS` unless `file` is missing, empty, or already an output of this kind (by its first bytes).
 * @param kind a kind of output with a known signature, such as 'csv'
 */
export declare function checkReplaceable(file: string, kind: string, options?: OutputOptions): void;
/** The settings text `writeConfig` takes for a settings object. */
export declare function settingsText(settings: SettingsInput | string): string;
/** Makes the folder and any missing parents; the folders it made, outermost first. Throws the system's code. */
export declare function ensureFolder(folder: string): string[];
/** The report's problems in words, one line each ("accel: 3 samples missing in 1 gap ..."); empty when there are none. */
export declare function qualityProblems(quality: QualityReport): string[];

export interface ViewPageOptions {
  /** For a recording; a CSV or Parquet file shows the orientation it was written with. */
  orientation?: Estimator;
  /**
   * For a recording (a CSV or Parquet file shows the samples as written): `'auto'` (the default) fits the
   * accelerometer and the gyroscope's bias on its still moments, and keeps the raw samples where the fit is
   * refused; `'off'` keeps the raw samples; a path applies a calibration file of the same device (another
   * device's only with `overwrite`). The page states which. See docs/calibration.md.
   */
  calibrate?: 'auto' | 'off' | (string & {});
  /** Bytes of the plots' data in the page (default 16e6). */
  budget?: number;
  /** Replace a file that is not a viewer page of kinovar (refused otherwise), as every other call takes it. */
  overwrite?: boolean;
  /** The older name of `overwrite`. */
  force?: boolean;
  /** Force the page to the disk before it takes its name. */
  durable?: boolean;
}
/** Writes one self-contained HTML page of a recording, or of a CSV (classic or plain) or Parquet file kinovar wrote. */
export declare function writeViewPage(input: string, page: string, options?: ViewPageOptions): {
  bytes: number;
  inputKind: 'recording' | 'csv' | 'plain' | 'parquet';
};

export interface GeneratorOptions {
  /** Length (default 10 for generateRecording). */
  seconds?: number;
  /** Clock rate, Hz. */
  clock?: number;
  /** Stream rates in Hz; 0 leaves the stream out. */
  accel?: number;
  gyro?: number;
  baro?: number;
  events?: number;
  /** Seconds held still before turning. */
  still?: number;
  /** Turning rate after that, degrees per second. */
  rate?: number;
  seed?: number;
}
/** Writes a synthetic recording with known content, whole; a file kinovar did not write stays unless `overwrite`. */
export declare function generateRecording(file: string, options?: GeneratorOptions & { overwrite?: boolean }): string;
/** Writes a session of three sensors (pelvis, thigh, shank) that recorded together into an existing folder, as generateRecording; their paths. */
export declare function generateSession(folder: string, options?: GeneratorOptions & { overwrite?: boolean }): string[];

/** The values `orientation` takes. */
export declare const estimators: readonly Estimator[];
/** The formats one recording converts into. */
export declare const formats: readonly Format[];
/** The formats a synchronised set converts into. */
export declare const setFormats: readonly (Format | 'opensense')[];
/** The extension of each format's files: ".csv", ".parquet", ".sto". */
export declare const extensions: Readonly<Record<Format | 'opensense', string>>;
/** The names writeSettings edits, flat: "deviceId", "accel.gainX", "createdAt", ... */
export declare const settingsKeys: readonly string[];
/** The fields of an inertial sensor's settings, in their order. */
export declare const sensorFields: readonly (keyof SensorSettings)[];

export interface AbortOptions {
  /**
   * Cancels a task not yet started, and stops a conversion under way at the next piece it reads: its unfinished
   * files are removed and old outputs keep their content. The promise then rejects with an AbortError.
   */
  signal?: AbortSignal;
}

/** What an aborted promise version rejects with: its message says what was left. */
export interface AbortError extends Error {
  name: 'AbortError';
  code: 'ABORT_ERR';
  /** batch: the rows of the units done before the abort. */
  rows?: CohortRow[];
  /** readRecordings: the results of the files finished before the abort. */
  results?: BatchResult[];
}

/** A recording and the file it goes to, in any format; `{ recording, csv }`, the former name, is taken too. */
export type BatchItem = { recording: string; output: string } | { recording: string; csv: string };

interface BatchTarget {
  recording: string;
  /** The file written, in the batch's format. */
  output: string;
  /** @deprecated `output` under its former name, kept for older callers. */
  csv: string;
}
export type BatchResult =
  | (BatchTarget & { ok: true; info: RecordingInfo })
  | (BatchTarget & { ok: false; error: Error });

/** A file done (with its result), or one converting (with its recording and the fraction of it converted). */
export type BatchProgress =
  | { done: number; total: number; result: BatchResult }
  | { done: number; total: number; recording: string; fraction: number; result?: undefined };

export interface BatchOptions extends AbortOptions, ConversionOptions {
  /** Where recordings given as paths go (default: beside each recording); made when missing. */
  outDir?: string;
  /** Conversions at once (default: the number of cores). */
  jobs?: number;
  onProgress?: (progress: BatchProgress) => void;
}

/** A unit of a batch's work list as its ledger records it: what it was made from and what came of it. */
export interface CohortRow {
  /** The output's path inside the output folder, with "/": a recording's file, or a set's folder. */
  key: string;
  kind: 'recording' | 'set';
  /** `current`: its last record stands; `failed`: converted and failed now, or failed before with the same bytes. */
  status: 'converted' | 'current' | 'failed';
  /** Why it was converted again ('not converted yet', 'recording changed', 'failed before', ...). */
  redone?: string;
  inputs: Array<{ path: string; size?: number; mtimeMs?: number; sha256?: string | null }>;
  outputs: Array<{ path: string; size?: number }>;
  /** Each recording's start (its settings' creation time) and device, in the order of the inputs; null where unread. */
  identities?: Array<{ start: string | null; deviceId: number | null }>;
  errorCode?: string;
  error?: string;
  /** A failure its recordings' bytes decide: not tried again until they change, or `retryFailed`. */
  lasting?: boolean;
  /** The options that change the outputs' bytes, and the kinovar that wrote them. */
  recipe: Record<string, unknown>;
  shard: string;
  node: string;
  seconds: number;
  finished: string;
  checked: string;
  [figure: string]: unknown;
}

export interface CohortOptions extends Omit<SetConversionOptions, 'imuNames'> {
  /** A CSV with a `path` column and optional `output` and `set` columns (docs/cohorts.md). */
  manifest?: string;
  /** `'i/n'`, `'env'` (SLURM or a Kubernetes Indexed Job) or `{ index, count }`; default the whole list. */
  shard?: string | { index: number; count: number };
  /** The number of shards, with `shard: 'env'`. */
  shards?: number;
  /** Hash every recording again, even one whose size and time are as recorded. */
  rehash?: boolean;
  /** Convert again the units that failed with bytes unchanged since. */
  retryFailed?: boolean;
  /**
   * Also write each recording's epochs (`<name>.epochs.csv`, `.epochs.parquet` with the Parquet format) and days
   * (`<name>.days.csv`) beside its table; the summary then gives worn hours and valid days. Not for sets or BIDS.
   */
  epochs?: boolean;
  /** With `epochs`: as epochs() takes them. */
  epoch?: EpochOptions['epoch'];
  nonwear?: EpochOptions['nonwear'];
  validHours?: EpochOptions['validHours'];
  /** Called once a unit is done (or found current), with its ledger row. */
  onProgress?: (progress: { done: number; total: number; row: CohortRow }) => void;
}

export interface CohortRun {
  /** A ledger row per unit of the shard, in the order of the sorted work list. */
  rows: CohortRow[];
  counts: { converted: number; current: number; failed: number };
}

/**
 * Converts a study into `outDir`, resuming from its ledgers (docs/cohorts.md): every recording given, every
 * recording (*.bin) under the folders given, or the rows of `options.manifest`. Runs on the calling thread.
 */
export declare function batch(inputs: string[], outDir: string, options?: CohortOptions): CohortRun;
/** Joins a batch folder's ledgers into summary.csv and summary.parquet there. */
export declare function mergeBatch(outDir: string, options?: { overwrite?: boolean }): { rows: CohortRow[]; files: string[] };

/** The same functions on worker threads. */
export declare namespace promises {
  /**
   * batch() with `jobs` units at once on worker threads. An abort stops the units under way (their outputs as
   * they were), keeps the ledger of what was done and rejects with an AbortError whose `rows` holds it.
   */
  function batch(inputs: string[], outDir: string, options?: CohortOptions & AbortOptions & { jobs?: number }): Promise<CohortRun>;
  function readRecording(recordingPath: string, csvPath: string,
    options?: AbortOptions & ConversionOptions & ProgressOptions): Promise<RecordingInfo>;
  function inspect(recordingPath: string, options?: AbortOptions): Promise<InspectReport>;
  function calibrate(recordingPath: string,
    options?: AbortOptions & { out?: string; overwrite?: boolean; durable?: boolean }): Promise<CalibrationReport>;
  function epochs(recordingPath: string, target: string, options?: AbortOptions & EpochOptions): Promise<EpochReport>;
  function syncRecordings(recordingPaths: string[], outputFolder: string,
    options?: AbortOptions & SetConversionOptions & ProgressOptions): Promise<SyncFiles>;
  /** load() on a worker thread; the arrays move to the caller's thread without a copy. */
  function load(recordingPath: string, options?: AbortOptions & LoadOptions): Promise<LoadedRecording>;
  function loadSet(recordingPaths: string[], options?: AbortOptions & LoadOptions & RangeOptions & { clock?: SetClock }): Promise<{
    recordings: Array<LoadedRecording & { path: string }>;
    report: SyncReport;
  }>;
  function readSettings(settingsPath: string, options?: AbortOptions): Promise<Settings>;
  function readDeviceId(settingsPath: string, options?: AbortOptions): Promise<number>;
  function writeSettings(settingsPath: string, settings: SettingsInput | string, options?: AbortOptions & WriteSettingsOptions): Promise<void>;
  /**
   * Converts many recordings; resolves with one result per item, in order.
   * An abort rejects with an AbortError whose `results` holds the finished ones.
   */
  function readRecordings(items: Array<string | BatchItem>, options?: BatchOptions): Promise<BatchResult[]>;
  function writeViewPage(input: string, page: string, options?: AbortOptions & ViewPageOptions & ProgressOptions):
    Promise<{ bytes: number; inputKind: 'recording' | 'csv' | 'plain' | 'parquet' }>;
  function generateRecording(file: string, options?: AbortOptions & GeneratorOptions & { overwrite?: boolean }): Promise<string>;
  function generateSession(folder: string, options?: AbortOptions & GeneratorOptions & { overwrite?: boolean }): Promise<string[]>;
}
