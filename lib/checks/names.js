'use strict';
// The names a conversion request carries, checked where it enters: a set's
// IMU names (the columns of OpenSim's table, a BIDS dataset's tracked
// points) and a BIDS dataset's labels. Messages name the options in the
// entry's own words (see libraryWords).
const native = require('../native/entry');
const { KinovarError, codes } = require('../errors');

// What a column name of OpenSim's table cannot hold made '_': the core's rule.
const mended = (name) => native.mendedName(name);

/**
 * The IMU names of a set: as given (checked), or derived from the file names
 * and mended. A BIDS dataset's tracked points are named the same way, from
 * the file name alone.
 */
function imuNamesOf(options, recordingPaths, words, { suffix = '_imu', holder = "OpenSim's table" } = {}) {
  const given = options?.imuNames;
  const names = given ?? recordingPaths.map((p) => mended(`${native.fileStem(p)}${suffix}`));
  if (!Array.isArray(names) || names.length !== recordingPaths.length || !names.every((n) => typeof n === 'string')) {
    throw new TypeError(`${words.option('imuNames')} must be ${recordingPaths.length} names, one per recording`);
  }
  // A name given on purpose matches the model's: changing it would break that match silently.
  const about = words.about(given ? 'imuNames' : undefined);
  const bad = names.find((n) => n === '' || mended(n) !== n);
  if (bad !== undefined) {
    throw new RangeError(bad === '' ? `${about}an IMU name is empty; give each sensor the name of its place on the body`
      : `${about}IMU name ${JSON.stringify(bad)} holds a blank, comma or control character, which ${holder} ` +
        `cannot hold in a name; use ${JSON.stringify(mended(bad))}`);
  }
  const second = names.findIndex((n, i) => names.indexOf(n) !== i);
  if (second >= 0) {
    const first = names.indexOf(names[second]);
    throw new RangeError(`${about}two sensors have the same IMU name ${JSON.stringify(names[second])} ` +
      `(${recordingPaths[first]} and ${recordingPaths[second]}); ` +
      `${given ? 'give each its own' : 'name each sensor with imuNames (--imu-names)'}`);
  }
  return names;
}

const DEFAULT_TRACKSYS = 'kinovar';

/** An error of the options or labels: nothing has been read or written. */
const labelError = (words, message) => new KinovarError(`${words.about()}${message}`, codes.BIDS_LABEL);

/**
 * The entities of the files, checked: subject and task required, session,
 * acquisition and the tracking system's name optional labels, run a number.
 */
function entitiesOf(words, options) {
  const entities = {};
  const fields = [['subject', '--subject', true], ['session', '--session'], ['task', '--task', true],
    ['tracksys', '--tracksys'], ['acquisition', '--acquisition'], ['run', '--run']];
  for (const [key, flag, required] of fields) {
    let value = options?.[key] ?? (key === 'tracksys' ? DEFAULT_TRACKSYS : undefined);
    if (value === undefined) {
      if (required) {
        throw labelError(words, `a BIDS dataset names the ${key} of every file: give options.${key} (${flag} <label>), ` +
          'letters and digits only');
      }
      continue;
    }
    if (key === 'run' && Number.isInteger(value) && value >= 0) value = String(value);
    const valid = typeof value === 'string' && native.bidsLabelFits(key, value);
    if (!valid) {
      const wanted = key === 'run' ? 'a whole number (1, 2, ...)' : 'letters and digits only (BIDS forbids "-", "_", ' +
        'blanks and any other character in a label, since they separate the parts of a file name)';
      throw labelError(words, `options.${key} (${flag}) must be ${wanted}, not ${JSON.stringify(value)}`);
    }
    entities[key] = value;
  }
  return entities;
}

/** The placements of the tracked points, checked: a text per name, or none. */
function placementsOf(words, placements, names) {
  if (placements === undefined) return {};
  if (placements === null || typeof placements !== 'object' || Array.isArray(placements)) {
    throw labelError(words, 'options.placements must be an object of a text per tracked point ({"pelvis": "left iliac crest"})');
  }
  for (const [name, text] of Object.entries(placements)) {
    if (!names.includes(name)) {
      throw labelError(words, `options.placements names ${JSON.stringify(name)}, which is not a tracked point of this ` +
        `set (${names.join(', ')})`);
    }
    if (typeof text !== 'string' || !native.bidsPlacementFits(text)) {
      throw labelError(words, `the placement of ${name} must be a text on one line without tabs, not ${JSON.stringify(text)}`);
    }
  }
  return placements;
}

module.exports = { imuNamesOf, entitiesOf, placementsOf };
