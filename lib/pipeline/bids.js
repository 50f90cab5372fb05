'use strict';
// A recording, or a set of recordings made together, as one tracking system
// of a BIDS motion dataset: the set's tables merged into one table of a row
// per instant of its grid, each sensor a tracked point, with the sidecars,
// the scans and participants tables and the dataset's description. Every
// file of the run is written beside its target and takes its name with the
// others once all are complete, so a failure leaves the dataset as it was.
const fs = require('node:fs');
const path = require('node:path');
const native = require('../native/entry');
const output = require('../output/files');
const { progressOf } = require('../checks/options');
const { checkMembers, checkRecording, filesOf } = require('../checks/outcomes');
const { streamSet, streamTable } = require('../data/tables');
const { absoluteTime, timeCell } = require('../model/time');
const { KinovarError, codes } = require('../errors');
const { COLUMNS } = require('../model/schema');
const { version } = require('../../package.json');

/** Standard gravity, by which our g become m/s^2. */
const G = 9.80665;
const RADIANS = Math.PI / 180;
/**
 * Rows of two recordings within this of each other stand at one instant: a
 * grid's times computed apart differ by rounding only, far below any period.
 */
const SAME_INSTANT = 1e-7;
/** Rows of the motion table per piece of text handed on. */
const PIECE_ROWS = 1 << 12;

// Our table's streams as BIDS channel types, in the order of a tracked point's channels,
// with the factor that takes our unit to the one written.
const CHANNEL_TYPES = [
  { stream: 'accel', type: 'ACCEL', units: 'm/s^2', factor: G },
  { stream: 'gyro', type: 'GYRO', units: 'rad/s', factor: RADIANS },
  { stream: 'orientation', type: 'ORNT', units: 'n/a', factor: 1 },
  { stream: 'baro', type: 'MISC', units: { pressure: 'hPa', temperature: 'oC' }, factor: 1 },
];
const componentOf = (stream, channel) => (stream === 'orientation' ? `quat_${channel}` : stream === 'baro' ? 'n/a' : channel);

// The frames of our columns: the sensor's own axes, and the world the orientation turns them into.
const FRAMES = {
  LongName: 'reference frame',
  Description: 'the frame in which the channel\'s values are given',
  Levels: {
    sensor: {
      Description: 'the sensor\'s own axes, as printed on its case; they turn with the sensor',
      RotationRule: 'right-hand',
    },
    global: {
      Description: 'the world frame of the orientation estimate: z points up (against gravity), x and y are ' +
        'horizontal and their heading is where the estimate started (no magnetometer observes it). The ' +
        'quaternion (w, x, y, z) turns a vector in sensor axes into this frame; (1, 0, 0, 0) is a sensor lying level',
      SpatialAxes: '__S',
      RotationOrder: 'ZYX',
      RotationRule: 'right-hand',
    },
  },
};
const frameOf = (stream) => (stream === 'orientation' ? 'global' : stream === 'baro' ? 'n/a' : 'sensor');

/** The files of the run, named by their entities in BIDS order, and the folders that hold them. */
function layoutOf(root, entities) {
  const { subject, session, task, tracksys, acquisition, run } = entities;
  const sub = `sub-${subject}`;
  const ses = session === undefined ? undefined : `ses-${session}`;
  const folder = ses ? path.join(root, sub, ses) : path.join(root, sub);
  const stem = [sub, ses, `task-${task}`, `tracksys-${tracksys}`, acquisition && `acq-${acquisition}`, run && `run-${run}`]
    .filter(Boolean).join('_');
  const motion = path.join(folder, 'motion');
  const file = (suffix) => path.join(motion, `${stem}_${suffix}`);
  return {
    folders: [path.join(root, sub), ...(ses ? [folder] : []), motion],
    own: {
      motion: file('motion.tsv'), channels: file('channels.tsv'), channelsJson: file('channels.json'),
      motionJson: file('motion.json'), events: file('events.tsv'), eventsJson: file('events.json'),
    },
    scans: path.join(folder, `${[sub, ses].filter(Boolean).join('_')}_scans.tsv`),
    scanName: `motion/${stem}_motion.tsv`,
    participants: path.join(root, 'participants.tsv'),
    description: path.join(root, 'dataset_description.json'),
    subject: sub,
  };
}

/** What a dataset's root holds while runs of ours are making it: hidden files, subjects, and the shared files' temporaries. */
const MAKING = /^(\.|sub-[a-zA-Z0-9]+$|dataset_description\.json\.|participants\.tsv\.)/;

const notBids = (file, message) => new KinovarError(`${file}: ${message}`, codes.NOT_BIDS, { path: file });

/** How long a lock may stand before it is taken for one left by a run that died holding it. */
const STALE_LOCK_MS = 60000;

/**
 * Takes the dataset's lock, a file made only when absent: runs writing
 * into one dataset at once (a batch's units, other processes) read and
 * replace its shared tables one at a time, so that no row is lost.
 * @returns {() => void} lets it go
 */
function lock(root) {
  const file = path.join(root, '.kinovar-lock');
  const pause = new Int32Array(new SharedArrayBuffer(4));
  for (;;) {
    try {
      fs.closeSync(fs.openSync(file, 'wx'));
      return () => fs.rmSync(file, { force: true });
    } catch (error) {
      if (error.code !== 'EEXIST') throw output.systemError(error, file, 'lock the dataset');
      const since = fs.statSync(file, { throwIfNoEntry: false })?.mtimeMs;
      if (since !== undefined && Date.now() - since > STALE_LOCK_MS) fs.rmSync(file, { force: true });
      else Atomics.wait(pause, 0, 0, 20);
    }
  }
}

/** A TSV file as its header and rows, or null when missing. */
function readTsv(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw output.inputError(error, file);
  }
  const [header, ...rows] = text.replace(/^\uFEFF/, '').split(/\r?\n/).filter((line) => line !== '').map((line) => line.split('\t'));
  return { header: header ?? [], rows };
}

/**
 * Throws unless the run may be written into `root`: a new or empty folder, or
 * a BIDS dataset without this run (unless `overwrite`), whose shared tables
 * can take its rows. Nothing is written.
 */
function checkRoot(root, layout, entities, overwrite) {
  const stat = fs.statSync(root, { throwIfNoEntry: false });
  if (stat && !stat.isDirectory()) throw notBids(root, 'is a file, not a folder; give the root folder of the dataset');
  // Without a description the root may hold only what runs of ours make first (other runs may be under way).
  const foreign = stat && !fs.existsSync(layout.description) && fs.readdirSync(root).find((entry) => !MAKING.test(entry));
  if (foreign) {
    throw notBids(root, `is a folder that is not a BIDS dataset: it holds ${foreign} but no dataset_description.json; ` +
      'give a new or empty folder, or the root of a BIDS dataset');
  }
  for (const folder of layout.folders) {
    const found = fs.statSync(folder, { throwIfNoEntry: false });
    if (found && !found.isDirectory()) throw notBids(folder, 'is a file where the dataset needs a folder; move it away');
  }
  for (const file of Object.values(layout.own)) {
    const found = fs.statSync(file, { throwIfNoEntry: false });
    if (found?.isDirectory()) throw notBids(file, 'is a folder where the dataset needs a file; move it away');
    if (found && !overwrite) {
      throw new KinovarError(`${file} exists: this subject${entities.session ? ', session' : ''}, task and tracking ` +
        'system are already in the dataset. Give another --run (or --session, --acquisition), or replace them on ' +
        'purpose with --force (overwrite: true)', codes.BIDS_EXISTS, { path: file });
    }
  }
  sharedFiles(layout, entities);
}

/**
 * The dataset's shared files as they stand, with the run's subject: the
 * description (its bytes, or ours when missing) and the participants and
 * scans tables; an error names what in them is not BIDS.
 */
function sharedFiles(layout, entities) {
  let description;
  try {
    description = fs.readFileSync(layout.description);
  } catch (error) {
    if (error.code !== 'ENOENT') throw output.inputError(error, layout.description);
    description = `${JSON.stringify({
      Name: `${entities.task} (kinovar)`, BIDSVersion: '1.9.0', DatasetType: 'raw',
      GeneratedBy: [{ Name: 'kinovar', Version: version, Description: 'Motion-BIDS from Kinovar inertial sensor recordings' }],
    }, null, 2)}\n`;
  }
  let parsed;
  try {
    parsed = JSON.parse(description);
  } catch { /* told below */ }
  if (typeof parsed?.BIDSVersion !== 'string') {
    throw notBids(layout.description, 'is not a BIDS dataset description (no BIDSVersion); mend it, or give another folder');
  }
  const participants = readTsv(layout.participants) ?? { header: ['participant_id'], rows: [] };
  if (participants.header[0] !== 'participant_id') {
    throw notBids(layout.participants, 'does not begin with a participant_id column; mend it, or give another folder');
  }
  if (!participants.rows.some((row) => row[0] === layout.subject)) {
    participants.rows.push([layout.subject, ...participants.header.slice(1).map(() => 'n/a')]);
  }
  const scans = readTsv(layout.scans) ?? { header: ['filename', 'acq_time'], rows: [] };
  if (scans.header[0] !== 'filename') throw notBids(layout.scans, 'does not begin with a filename column; mend it');
  return { description, participants, scans };
}

const tsv = ({ header, rows }) => `${[header, ...rows].map((row) => row.join('\t')).join('\n')}\n`;

/** The scans table with the run's row at `acqTime`, replacing an earlier one of the same file. */
function scansText({ header, rows }, name, acqTime) {
  const columns = header.includes('acq_time') ? header : [...header, 'acq_time'];
  const widened = rows.filter((row) => row[0] !== name).map((row) => columns.map((_, i) => row[i] ?? 'n/a'));
  widened.push(columns.map((column) => (column === 'filename' ? name : column === 'acq_time' ? acqTime : 'n/a')));
  return tsv({ header: columns, rows: widened });
}


/** Microseconds since 1970 as BIDS's acq_time: to the microsecond, Z for UTC. */
function acqTime(micros, utc) {
  if (micros === undefined) return 'n/a';
  const whole = micros / 1000000n;
  const fraction = String(micros - whole * 1000000n).padStart(6, '0');
  const date = new Date(Number(whole) * 1000).toISOString().slice(0, 19);
  return `${date}.${fraction}${utc ? 'Z' : ''}`;
}

/**
 * The channels of the tables, in the motion table's order: each tracked
 * point's sensors, then the row's time.
 */
function channelsOf(tables, names, rates, placements, withBaro) {
  const channels = [];
  tables.forEach((table, i) => {
    for (const { stream, type, units, factor } of CHANNEL_TYPES) {
      if (stream === 'baro' && !withBaro) continue;
      for (const [column, , from, channel] of COLUMNS) {
        if (from !== stream) continue;
        const at = table.columns.findIndex((c) => c.name === column);
        if (at < 0) continue;
        channels.push({
          table: i, at, factor, stream, name: `${names[i]}_${column}`, component: componentOf(stream, channel), type,
          point: names[i], units: typeof units === 'string' ? units : units[channel],
          placement: placements[names[i]] ?? 'n/a', rate: rates(i, stream), frame: frameOf(stream),
        });
      }
    }
  });
  return channels;
}

/** A table's chunks walked a row at a time. */
class Cursor {
  constructor(table, rows) {
    this.pieces = table.chunks(rows)[Symbol.iterator]();
    this.event = table.columns.findIndex((c) => c.name === 'event');
    this.datetime = table.columns.findIndex((c) => c.name === 'datetime');
    this.k = 0;
    this.next();
  }

  next() {
    for (;;) {
      const { done, value } = this.pieces.next();
      if (done) {
        this.piece = null;
        return;
      }
      if (value.to > 0) {
        this.piece = value;
        this.time = value.columns[0].values;
        this.k = 0;
        return;
      }
    }
  }

  get t() { return this.time[this.k]; }

  advance() {
    if (++this.k >= this.piece.to) this.next();
  }

  has(column) {
    const { valid, values } = this.piece.columns[column];
    const k = this.k;
    return (!valid || ((valid[k >> 3] >> (k & 7)) & 1) === 1) && values[k] === values[k];
  }
}

/**
 * The motion table in pieces of text, the tables advancing together: a
 * row per instant at which any sensor has a motion sample, n/a where a
 * sensor has none; events go to `events` with their instants.
 * @returns {Generator<string>} and fills `state` with {rows, first, last, events, start}: start the first
 *   row's datetime (microseconds since 1970) when the tables have one
 */
function* motionRows(tables, channels, state) {
  const cursors = tables.map((table) => new Cursor(table, PIECE_ROWS));
  const byTable = tables.map((_, i) => channels.filter((c) => c.table === i));
  let lines = [];
  for (;;) {
    let t = Infinity;
    for (const c of cursors) if (c.piece && c.t < t) t = c.t;
    if (t === Infinity) break;
    const cells = [];
    let any = false;
    let stamp;
    cursors.forEach((c, i) => {
      const here = c.piece && c.t - t <= SAME_INSTANT;
      if (here && stamp === undefined && c.datetime >= 0) stamp = c.piece.columns[c.datetime].values[c.k];
      for (const channel of byTable[i]) {
        if (here && c.has(channel.at)) {
          cells.push(String(c.piece.columns[channel.at].values[c.k] * channel.factor));
          any = true;
        } else cells.push('n/a');
      }
      if (!here) return;
      if (c.event >= 0 && c.has(c.event)) state.events.push([c.t, c.piece.columns[c.event].values[c.k], i]);
      c.advance();
    });
    // A row of an event alone, or of a stream left out, is no instant of the grid.
    if (!any) continue;
    if (state.rows === 0) Object.assign(state, { first: t, start: stamp });
    state.last = t;
    state.rows++;
    cells.push(timeCell(t - state.first));
    lines.push(cells.join('\t'));
    if (lines.length >= PIECE_ROWS) {
      yield `${lines.join('\n')}\n`;
      lines = [];
    }
  }
  if (lines.length) yield `${lines.join('\n')}\n`;
}

const channelsText = (channels) => tsv({
  header: ['name', 'component', 'type', 'tracked_point', 'units', 'placement', 'sampling_frequency', 'status', 'reference_frame'],
  rows: [...channels.map((c) => [c.name, c.component, c.type, c.point, c.units, c.placement, c.rate, 'good', c.frame]),
    ['latency', 'n/a', 'LATENCY', 'n/a', 's', 'n/a', 'n/a', 'good', 'n/a']],
});

const json = (value) => `${JSON.stringify(value, null, 2)}\n`;

/** The motion sidecar: what was recorded, by what, and what was done to it. */
function motionJson({ entities, channels, names, infos, settings, state, rate, conversion, report }) {
  const count = (type) => channels.filter((c) => c.type === type).length;
  const span = state.rows > 1 ? state.last - state.first : 0;
  const devices = settings.map((s, i) => `${names[i]}: ${s?.deviceId ?? 'n/a'}`);
  const filters = {
    'kinovar orientation': {
      estimator: conversion.orientation,
      description: conversion.orientation === 'none' ? 'no orientation channels'
        : 'quaternions estimated from the accelerometer and gyroscope (see the kinovar documentation)',
    },
  };
  const calibrations = infos.map((info) => info.calibration);
  if (calibrations.some(Boolean)) {
    filters['kinovar calibration'] = {
      description: 'accelerometer fitted to gravity on still moments (offset, scale, temperature term per axis) and ' +
        'gyroscope bias removed, per tracked point; raw where refused (see the kinovar documentation)',
      trackedPoints: names,
      source: calibrations.map((c) => c?.source ?? 'off'),
      applied: calibrations.map((c) => c?.applied === true),
      accel: calibrations.map((c) => (c ? { accepted: c.accel.accepted, status: c.accel.status, offset: c.accel.offset,
        scale: c.accel.scale, temperature: c.accel.temperature, referenceTemperature: c.accel.referenceTemperature } : null)),
      gyro: calibrations.map((c) => (c ? { accepted: c.gyro.accepted, status: c.gyro.status, bias: c.gyro.bias } : null)),
    };
  }
  if (conversion.resample) {
    filters['kinovar resampling'] = {
      'rate (Hz)': conversion.resample,
      method: 'linear interpolation (orientation: slerp); to a lower rate low-passed first by a 2nd-order ' +
        'Butterworth, forwards and backwards, cut-off 0.4 x the rate; no value across a gap longer than two periods',
    };
  }
  if (report) {
    filters['kinovar clock alignment'] = {
      method: report.method, clock: report.clock ?? 'offset', trackedPoints: names, offsets: report.offsets,
      ppm: report.clocks.map((c) => c.ppm), rateMeasured: report.clocks.map((c) => c.rateMeasured), window: report.window,
      skipped: report.clocks.map((c) => c.skipped), repeated: report.clocks.map((c) => c.repeated),
    };
  }
  return json({
    TaskName: entities.task,
    TrackingSystemName: entities.tracksys,
    SamplingFrequency: rate,
    SamplingFrequencyEffective: span > 0 ? Number(((state.rows - 1) / span).toFixed(6)) : rate,
    RecordingType: 'continuous',
    RecordingDuration: Number((span + (state.rows ? 1 / rate : 0)).toFixed(6)),
    Manufacturer: 'Kinovar',
    ManufacturersModelName: [...new Set(settings.map((s) => `Kinovar inertial sensor, device type ${s?.deviceType ?? 'n/a'}`))].join('; '),
    DeviceSerialNumber: names.length === 1 ? String(settings[0]?.deviceId ?? 'n/a') : devices.join(', '),
    SoftwareVersions: `kinovar ${version}; firmware ${[...new Set(infos.map((i) => `${i.majorVersion}.${i.minorVersion}`))].join(', ')}`,
    TrackedPointsCount: names.length,
    MotionChannelCount: channels.length + 1,
    ACCELChannelCount: count('ACCEL'),
    GYROChannelCount: count('GYRO'),
    ORNTChannelCount: count('ORNT'),
    MISCChannelCount: count('MISC'),
    LATENCYChannelCount: 1,
    MissingValues: 'n/a',
    SoftwareFilters: filters,
  });
}

const EVENTS_JSON = json({
  onset: { Description: 'seconds from the first row of the motion table (acq_time in the scans table)', Units: 's' },
  duration: { Description: 'events are instants', Units: 's' },
  value: { Description: 'the value the sensor recorded with the event' },
  tracked_point: { Description: 'the sensor that recorded the event' },
});

/** The settings of a recording, for the device's identity, or null when it holds none. */
function settingsOf(file) {
  const text = native.readConfig(file);
  return text ? JSON.parse(text) : null;
}

/** A set aligned by offsets alone: its recordings' samples stand at instants of their own clocks. */
function noGrid(fn, outcome) {
  const settings = outcome.method === 'radio-settings';
  return new KinovarError(`${fn}: this set is aligned by one offset per recording (${settings
    ? 'radio settings give no clock rate' : '--clock offset'}), so each recording's samples stand at instants of ` +
    'its own clock and one motion table would interleave them; give --resample <Hz> (resample) to put them on one ' +
    `grid${settings ? '' : ', or align by drift (leave out --clock offset)'}`, codes.NO_GRID);
}

/**
 * Writes recordings as a tracking system of the BIDS dataset at `root`.
 * @param {string[]} recordingPaths one recording, or a set made together
 * @param {string} root the dataset's root folder
 * @param {object} request checked (see recordingRequest): the conversion, the tracked points (`names`),
 *   the labels (`entities`) and `placements`, with the entry's name `fn` and its onProgress
 * @returns {string[]|object} a set's files, with its report as `report`; for one recording its
 *   description, as readRecording answers, with `files`
 */
function convertBids(recordingPaths, root, request) {
  const { fn, names, entities, placements, conversion } = request;
  const isSet = recordingPaths.length > 1;
  const progress = progressOf(request);
  if (isSet) checkMembers(recordingPaths, root);
  else recordingPaths.forEach((file) => checkRecording(file));
  const layout = layoutOf(root, entities);
  const overwrite = conversion.overwrite === true;
  // Checked before any work; the shared files are read again under the lock when written.
  checkRoot(root, layout, entities, overwrite);
  const settings = recordingPaths.map(settingsOf);
  const createdAt = settings[0]?.createdAt ?? '';
  let timed;
  try {
    timed = absoluteTime(conversion, createdAt, recordingPaths[0]);
  } catch (error) {
    // Without a creation date the rows keep their times and acq_time is n/a.
    if (error.code !== codes.FORMAT) throw error;
    timed = { ...conversion, time: 'relative' };
  }
  const datetime = timed.time === 'absolute';
  // Off the motion grid the barometer would add rows of its own; resampled it shares the grid.
  const streams = ['accel', 'gyro', 'orientation', 'events', ...(conversion.resample ? ['baro'] : [])];
  // A set's tables are read together, so its progress is the time its rows have reached.
  const set = isSet ? streamSet(recordingPaths, timed, { datetime, streams })
    : oneTable(recordingPaths[0], { ...timed, progress }, datetime);
  const created = [];
  try {
    const outcome = isSet ? set.report() : null;
    if (isSet && outcome.clock !== 'drift' && !conversion.resample) throw noGrid(fn, outcome);
    const first = set.tables[0];
    const rates = (i, stream) => conversion.resample ?? (isSet ? first : set.tables[i]).rates[stream];
    const channels = channelsOf(set.tables, names, rates, placements, Boolean(conversion.resample));
    const rate = conversion.resample ?? Math.max(...['accel', 'gyro', 'orientation'].map((s) => first.rates[s] ?? 0));
    created.push(...output.ensureFolder(path.dirname(layout.own.motion)));
    const own = Object.values(layout.own);
    // A description that is there is left as it is; one made now may meet another run's, whose bytes it keeps.
    const describe = !fs.existsSync(layout.description);
    const files = [...own, layout.scans, layout.participants, ...(describe ? [layout.description] : [])];
    const state = { rows: 0, first: 0, last: 0, events: [] };
    let report;
    let unlock;
    try {
      output.writeInPieces(files, (append) => {
        for (const piece of motionRows(set.tables, channels, state)) {
          append(0, piece);
          if (isSet && set.span > 0) progress?.(state.last / set.span);
        }
        report = isSet ? set.report() : null;
        append(1, channelsText(channels));
        append(2, json({ reference_frame: FRAMES }));
        append(3, motionJson({ entities, channels, names, infos: set.tables.map((t) => t.info), settings, state, rate, conversion, report }));
        append(4, tsv({ header: ['onset', 'duration', 'value', 'tracked_point'],
          rows: state.events.map(([t, value, i]) => [timeCell(t - state.first), '0', String(value), names[i]]) }));
        append(5, EVENTS_JSON);
        // The shared files as they stand once the lock is held, until they take their names.
        unlock = lock(root);
        const now = sharedFiles(layout, entities);
        append(6, scansText(now.scans, layout.scanName, acqTime(state.start, timed.utcOffset !== undefined)));
        append(7, tsv(now.participants));
        if (describe) append(8, now.description);
      }, { durable: conversion.durable === true });
    } finally {
      unlock?.();
    }
    progress?.(1);
    return isSet ? filesOf({ ...report, files: own }) : { ...first.info, files: own };
  } catch (error) {
    output.removeFolders(created);
    if (error.syscall) throw output.systemError(error, error.path ?? root, 'write the BIDS dataset');
    throw error;
  } finally {
    set.close();
  }
}

/** One recording's table in the shape of a set's. */
function oneTable(file, conversion, datetime) {
  const table = streamTable(file, conversion, { datetime });
  return { tables: [{ ...table, rates: ratesOf(table.info) }], close: table.close };
}

/** A recording's rates by stream, from its quality report. */
function ratesOf(info) {
  const { streams } = info.quality;
  const rate = (name) => (streams[name]?.samples ? streams[name].rate : undefined);
  return { accel: rate('accel'), gyro: rate('gyro'), baro: rate('baro'), orientation: rate('accel') === rate('gyro') ? rate('accel') : undefined };
}

module.exports = { convertBids, layoutOf };
