'use strict';
// What every output of ours goes through, whatever its format: it is checked
// once before any work (a file that is not one of our outputs is not
// replaced unless the caller says so), missing output folders are made
// first, bytes made in JS are written by the native writer (complete or not
// at all), and a failure names the system's reason and what to do. Which
// files are ours is recognise.js's to tell.
const fs = require('node:fs');
const path = require('node:path');
const native = require('../native/entry');
const { KinovarError, codes } = require('../errors');
const { inspect, head, systemCause } = require('./recognise');

/**
 * The first two of the paths that would be one file, as [first, second],
 * or null. Where names fold is the native rule, which the set conversion
 * applies too; macOS besides files a name in any Unicode normalisation as one.
 * @param {string[]} files
 */
function outputClash(files) {
  return native.outputClash(files.map(filedName));
}

// A path as the file system files it, as far as the native rule cannot tell.
const filedName = (file) => (process.platform === 'darwin' ? path.resolve(file).normalize('NFC') : path.resolve(file));

/**
 * Why outputs may not take the names asked for, by the native rule every
 * writer applies: {problem: 'same-name' (two targets, as outputClash finds
 * them), 'device-name' (a target, Windows) or 'replaces-recording' (an
 * input), recordings: the indices it concerns}, or null.
 * @param {string[]} inputs
 * @param {string[]} targets
 */
const targetClash = (inputs, targets) => native.targetClash(inputs, targets.map(filedName));

/** Whether `target` names one of the existing `inputs` (through links or other spellings too). */
const namesInput = (inputs, target) => targetClash(inputs, [target])?.problem === 'replaces-recording';

/**
 * The system's reason why a file could not be created or replaced, as far
 * as looking at it and its folder tells; null when nothing there forbids it.
 * As the native writer does: an existing file (through a link, or a device
 * or pipe) needs only to be writable; a new one needs a folder we may write.
 * @param {string} file
 */
function writeObstacle(file) {
  try {
    if (fs.statSync(file, { throwIfNoEntry: false })) {
      fs.accessSync(file, fs.constants.W_OK);
      return null;
    }
    const folder = path.dirname(path.resolve(file));
    if (!fs.statSync(folder).isDirectory()) {
      return Object.assign(new Error(`not a folder: ${folder}`), { code: 'ENOTDIR', message: 'a part of the path is not a folder' });
    }
    fs.accessSync(folder, fs.constants.W_OK);
  } catch (error) {
    return error;
  }
  return null;
}

/** Why a file cannot be written on Windows under its name (the native rule), or ''. */
function deviceNameReason(file) {
  if (process.platform !== 'win32' || !native.isDeviceName(file)) return '';
  const name = path.win32.basename(file).split('.')[0];
  return ` (${name} is a device name on Windows, not a file; choose another name)`;
}

/** Throws when Windows would hand a device, not a file, to a write of `file`. */
function refuseDeviceName(file) {
  const reason = deviceNameReason(file);
  if (reason) throw new KinovarError(`${file} cannot be written${reason}`, codes.NOT_OURS, { path: file, found: 'device' });
}

const describe = {
  recording: 'a recording, ',
  settings: 'a settings file, ',
};

/**
 * Throws unless `file` may receive an output of `kind`: it does not exist,
 * is empty, is a pipe or device, or already is an output of ours (of any
 * format: one output of ours may replace another).
 * @param {string} file
 * @param {string} kind the output's format, for the words
 * @param {{overwrite?: boolean}} [options] overwrite allows any file
 */
function checkReplaceable(file, kind, options) {
  refuseDeviceName(file);
  return checkExisting(file, kind, options);
}

/** checkReplaceable for a caller that refuses device names itself, in its own order. */
function checkExisting(file, kind, { overwrite = false } = {}) {
  const found = inspect(file);
  if (found.kind === 'folder') {
    throw new KinovarError(`${file} is a folder; give a file name for the ${kind.toUpperCase()} output, or a folder path ending in "/"`,
      'EISDIR', { path: file });
  }
  if (found.ours || overwrite) return found;
  throw new KinovarError(`${file} exists and is not a file kinovar wrote (${describe[found.kind] ?? ''}${found.size} bytes): ` +
    'kinovar will not replace it. Choose another output name, or replace it on purpose with --force ' +
    '(overwrite: true in the API).',
  codes.NOT_OURS, { path: file, found: found.kind });
}

/**
 * Throws unless `target` may receive an output, checked once before any
 * work: it is none of the files the output is made from, it is not a file
 * kinovar did not write (unless `overwrite`), and nothing there forbids
 * writing it.
 * @param {string} target
 * @param {{kind: string, what: string, inputs?: string[], overwrite?: boolean, itself?: string, details?: object}} options
 *   kind as checkReplaceable takes it; what: for messages, e.g. "the CSV file"; itself: the message
 *   when the target is an input; details: added to a system error
 */
function checkTarget(target, { kind, what, inputs = [], overwrite = false, itself, details }) {
  if (namesInput(inputs, target)) {
    throw new KinovarError(itself ?? `${target} is one of the files being converted: an output must not replace it`,
      codes.NOT_OURS, { path: target, found: 'recording' });
  }
  checkReplaceable(target, kind, { overwrite });
  const obstacle = writeObstacle(target);
  if (obstacle) throw Object.assign(systemError(obstacle, target, `write ${what}`), details);
}

/**
 * Makes the folder and any missing parents.
 * @param {string} folder
 * @returns {string[]} the folders that did not exist before, outermost first (to remove them on failure)
 */
function ensureFolder(folder) {
  const missing = [];
  for (let dir = path.resolve(folder); ; dir = path.dirname(dir)) {
    if (fs.existsSync(dir)) break;
    missing.unshift(dir);
    if (path.dirname(dir) === dir) break;
  }
  try {
    fs.mkdirSync(folder, { recursive: true });
    for (const dir of missing) native.noteMadeFolder(dir);
  } catch (error) {
    // The folder's own name taken by a file: that part of the path is not a folder.
    const cause = error.code === 'EEXIST' ? Object.assign(new Error('not a folder'), { code: 'ENOTDIR' }) : error;
    throw systemError(cause, folder, 'create the folder');
  }
  return missing;
}

/** Removes the folders ensureFolder made, innermost first, while they are empty. */
function removeFolders(created) {
  for (const dir of [...created].reverse()) {
    try { fs.rmdirSync(dir); } catch { return; }
  }
}

const advice = {
  ENOENT: 'the folder does not exist; create it or choose another path',
  ENOTDIR: 'a part of the path is a file, not a folder; choose another path',
  EISDIR: 'it is a folder; give a file name',
  EACCES: 'no permission; choose a folder you may write to, or change its permissions',
  EPERM: 'not permitted; choose a folder you may write to',
  EROFS: 'the file system is read-only; write somewhere else',
  ENOSPC: 'the disk is full; free some space or write somewhere else',
  EDQUOT: 'the disk quota is used up; free some space or write somewhere else',
  EFBIG: 'the file would be larger than this file system or process allows; write somewhere else',
  ENAMETOOLONG: 'the path is too long; choose a shorter one',
  EBUSY: 'another program holds the file; close it and try again',
  EMFILE: 'too many files are open; convert fewer at once (--jobs)',
};

const readAdvice = {
  ENOENT: 'check the name and the folder',
  ENOTDIR: 'a part of the path is a file, not a folder; check the path',
  EISDIR: 'it is a folder; name a file in it',
  EACCES: 'no permission to read it; change its permissions or copy it somewhere you may read',
  EPERM: 'not permitted to read it; copy it somewhere you may read',
  EMFILE: advice.EMFILE,
  ENAMETOOLONG: advice.ENAMETOOLONG,
};

/**
 * The error of an input that cannot be opened or read: it names the file
 * first, keeps the system's code and says what to do.
 * @param {Error & {code?: string}} cause
 * @param {string} file
 */
function inputError(cause, file) {
  if (!cause.syscall) return cause;
  const code = cause.code ?? 'EIO';
  const reason = cause.message?.replace(/^[A-Z]+: /, '').replace(/,.*$/, '') || code;
  return new KinovarError(`${file}: cannot be read: ${reason} (${code}); ${readAdvice[code] ?? 'check the path and the disk'}`,
    code, { path: file, syscall: cause.syscall, errno: cause.errno });
}

/** The first bytes of an input (fewer when it is shorter); one that cannot be read throws inputError's error. */
function inputHead(file, size) {
  try {
    return head(file, size);
  } catch (error) {
    throw inputError(error, file);
  }
}

/**
 * An error that keeps the system's code and path and says what to do.
 * @param {Error & {code?: string}} cause a Node or native system error
 * @param {string} file
 * @param {string} action e.g. "write the CSV file"
 */
function systemError(cause, file, action) {
  const code = cause.code ?? 'EIO';
  const hint = advice[code] ?? 'check the path and the disk';
  const reason = cause.message?.replace(/^[A-Z]+: /, '').replace(/,.*$/, '') || code;
  const error = new KinovarError(`could not ${action} ${file}: ${reason} (${code}); ${hint}`, code,
    { path: file, syscall: cause.syscall, errno: cause.errno });
  return error;
}

/**
 * Writes the data as the file's whole content: into a temporary file beside
 * it, moved into place once complete (and on the medium, unless `durable`
 * is false). A failure leaves the old file as it was and throws with the
 * system's code.
 * @param {string} file
 * @param {Uint8Array|string} data a string is written as UTF-8
 * @param {string} [what] for the message, e.g. "the viewer page"
 * @param {boolean} [durable]
 */
function writeFileAtomic(file, data, what = 'the file', durable = true) {
  try {
    native.replaceFile(file, data, durable);
  } catch (error) {
    if (!error.syscall) throw error;
    throw systemError(error, file, `write ${what}`);
  }
}

/**
 * Writes files too large to hold whole as `write` hands out their pieces:
 * each into a temporary file beside its target, all taking their names
 * together once complete. A failure (or a throw from `write`) leaves every
 * target as it was; the system's errors keep their code and path.
 * @param {string[]} files
 * @param {(append: (index: number, bytes: Uint8Array|string) => void) => void} write
 * @param {{durable?: boolean}} [options] durable: force the data to the medium before the renames
 */
function writeInPieces(files, write, { durable = false } = {}) {
  const handle = native.openOutputs(files);
  try {
    write((index, bytes) => native.appendOutput(handle, index, bytes));
    native.commitOutputs(handle, durable);
  } catch (error) {
    native.discardOutputs(handle);
    throw error;
  }
}

module.exports = {
  writeFileAtomic, writeInPieces, checkTarget, checkReplaceable, checkExisting, outputClash, targetClash, ensureFolder, removeFolders,
  systemError, inputError, systemCause, inputHead, writeObstacle, namesInput, deviceNameReason, refuseDeviceName,
};
