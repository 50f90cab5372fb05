'use strict';
// Absolute time: a datetime column beside time, the recording's creation
// time standing at its first sample (a set's first recording's, carried onto
// the set's base, natively). The creation time carries no zone: a zone
// given by name turns it into UTC; without one the column is the device's
// local time without an offset.
const { KinovarError, codes } = require('../errors');

const wallParts = (text) => /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})$/.exec(text)?.slice(1).map(Number);

/** Seconds east of UTC that `zone` is at the instant `ms` (milliseconds since 1970, UTC). */
function offsetAt(zone, ms) {
  const parts = Object.fromEntries(new Intl.DateTimeFormat('en-US', {
    timeZone: zone, hourCycle: 'h23', year: 'numeric', month: '2-digit', day: '2-digit', hour: '2-digit', minute: '2-digit', second: '2-digit',
  }).formatToParts(ms).map(({ type, value }) => [type, Number(value)]));
  return (Date.UTC(parts.year, parts.month - 1, parts.day, parts.hour, parts.minute, parts.second) - Math.floor(ms / 1000) * 1000) / 1000;
}

/**
 * The native conversion options of absolute time for recordings whose time
 * stands on the creation time `createdAt` ('YYYY-MM-DD hh:mm:ss'): the
 * zone's offset from UTC at that wall time, when a zone is given.
 */
function absoluteTime(conversion, createdAt, recordingPath) {
  if (conversion.time !== 'absolute') return conversion;
  const wall = wallParts(createdAt);
  if (!wall || wall[1] === 0) {
    throw new KinovarError(`${recordingPath}: has no creation date, which absolute time stands on; convert it ` +
      'without time: \'absolute\' (--time absolute)', codes.FORMAT, { path: recordingPath });
  }
  const problem = require('../native/entry').dateProblem(...wall);
  if (problem) {
    throw new KinovarError(`${recordingPath}: its creation date ${createdAt} is no real date and time (${problem}), so ` +
      'absolute time has nothing to stand on; convert it without time: \'absolute\' (--time absolute)',
    codes.FORMAT, { path: recordingPath });
  }
  const { timezone, ...rest } = conversion;
  if (timezone === undefined) return rest;
  const local = Date.UTC(wall[0], wall[1] - 1, wall[2], wall[3], wall[4], wall[5]) / 1000;
  const zone = (seconds) => offsetAt(timezone, seconds * 1000);
  const { wallTimeOffset, wallTimeChange } = require('../native/entry');
  // The instant whose wall time in the zone is the creation time: the zone's offset there.
  const offset = wallTimeOffset(zone, local);
  const change = wallTimeChange(zone, local);
  if (change) {
    process.emitWarning(`${recordingPath}: its creation time ${createdAt} ${change === 'skipped'
      ? 'does not exist' : 'occurs twice'} in ${timezone} (a change of daylight-saving time ${change} it); the ` +
      `datetime column takes it at UTC${offset < 0 ? '-' : '+'}${new Date(Math.abs(offset) * 1000).toISOString().slice(11, 16)}: ` +
      'check the device\'s clock, or give the zone it kept (--timezone)', { code: 'KINOVAR_LOCAL_TIME' });
  }
  return { ...rest, utcOffset: offset };
}

/** A time to the nanosecond, which holds any tick and drops the last bits a subtraction leaves. */
const timeCell = (seconds) => String(Number(seconds.toFixed(9)) || 0);

module.exports = { absoluteTime, timeCell, offsetAt };
