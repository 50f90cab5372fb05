'use strict';
// What the commands share: exit codes, argument checks and terminal output.
// A command writes only through its io object, { stdout(text), stderr(text),
// isTTY (standard error is a terminal), env, cwd }, so that it runs the same
// in-process as from a shell. Paths go to the library as given, so that
// messages name them as the user wrote them; only demo's folder, which it
// prints whole, is resolved against cwd.
const fs = require('node:fs');
const { parseArgs } = require('node:util');

// The library loads the native module: only once a command needs it, so that
// the version and the help (all but config's, which lists the library's
// settings keys) come even where it is not built.
const lib = () => require('../lib');

const OK = 0;
const FAILED = 1;
const USAGE = 2;

/** The command line itself is wrong: exit code 2. */
class UsageError extends Error {}

// parseArgs's own texts quote unevenly and repeat its internals; ours say
// what was wrong in a line.
function parseMessage(error, command) {
  const quoted = /'([^']*)'/.exec(error.message)?.[1] ?? '';
  const see = `(see "kinovar ${command} --help")`;
  switch (error.code) {
    case 'ERR_PARSE_ARGS_UNKNOWN_OPTION': return `unknown option ${quoted} ${see}`;
    case 'ERR_PARSE_ARGS_INVALID_OPTION_VALUE': return `option ${quoted.replace(/ <value>$/, '')} needs a value ${see}`;
    case 'ERR_PARSE_ARGS_UNEXPECTED_POSITIONAL': return `unexpected argument ${quoted} ${see}`;
    default: return `${error.message} ${see}`;
  }
}

/** The arguments against a command's options, -h/--help always among them. */
function parse(command, args, options) {
  try {
    return parseArgs({ args, allowPositionals: true, strict: true, options: { help: { type: 'boolean', short: 'h' }, ...options } });
  } catch (error) {
    throw new UsageError(parseMessage(error, command));
  }
}

/**
 * Runs a command to its exit code: a wrong command line is told on standard
 * error with code 2, any other failure with code 1.
 */
async function execute(command, args, io) {
  try {
    return await command.run(args, io);
  } catch (error) {
    const usage = error instanceof UsageError;
    io.stderr(`kinovar: ${error.message}${usage && error.message.endsWith('\n') ? '' : '\n'}`);
    return usage ? USAGE : FAILED;
  }
}

const CONVERSION_FLAGS = { format: { type: 'string' }, orientation: { type: 'string' }, force: { type: 'boolean' } };

/** The API options of --format (one of `formats`), --orientation and --force. */
function conversionOptions(values, formats) {
  const options = {};
  if (values.format !== undefined) {
    if (!formats.includes(values.format)) throw new UsageError(`--format must be one of ${formats.join(', ')}, not "${values.format}"`);
    options.format = values.format;
  }
  Object.assign(options, orientationOption(values.orientation));
  if (values.force) options.overwrite = true;
  return options;
}

/** The --orientation value as an API option. */
function orientationOption(text) {
  if (text === undefined) return {};
  const { estimators } = lib();
  if (!estimators.includes(text)) throw new UsageError(`--orientation must be one of ${estimators.join(', ')}, not "${text}"`);
  return { orientation: text };
}

function positiveInteger(text, name) {
  if (!/^\d+$/.test(text) || Number(text) < 1) throw new UsageError(`${name} must be a whole number from 1 up, not "${text}"`);
  return Number(text);
}

function isFolder(file) {
  try {
    return fs.statSync(file).isDirectory();
  } catch {
    return false;  // missing, or a part of its path is no folder: the API says which
  }
}

/** A path ending in a separator, or an existing folder. */
const isFolderTarget = (target) => /[\\/]$/.test(target) || isFolder(target);

// A folder where a recording was expected gets the hint to name its files.
function checkInputs(recordings) {
  for (const file of recordings) {
    if (isFolder(file)) {
      throw new UsageError(`${file} is a folder; to convert the recordings in it, give ${file.replace(/[\\/]+$/, '')}/*.bin`);
    }
  }
}

/** A one-line bar on a terminal's standard error; nothing when it is piped. */
function progressBar(io, enabled) {
  if (!enabled || !io.isTTY) return { update() {}, done() {} };
  let shown = false;
  return {
    update(done, total, label) {
      const width = 30;
      const filled = Math.round((done / total) * width);
      const name = label.length > 40 ? `...${label.slice(-37)}` : label;
      io.stderr(`\r[${'#'.repeat(filled)}${'.'.repeat(width - filled)}] ${done}/${total} ${name}\x1b[K`);
      shown = true;
    },
    done() {
      if (shown) io.stderr('\r\x1b[K');
    },
  };
}

/** An error as JSON output carries it. */
const describe = (error) => ({ code: error.code ?? error.name, message: error.message });

/** The line naming a recording that failed, and why (once, if the message names it already). */
const failedLine = (recording, { message }) => `failed ${message.includes(recording) ? message : `${recording}: ${message}`}\n`;

module.exports = {
  lib, OK, FAILED, USAGE, UsageError, parse, execute, CONVERSION_FLAGS, conversionOptions, orientationOption, positiveInteger,
  isFolderTarget, checkInputs, progressBar, describe, failedLine,
};
