'use strict';
// What every command shares: exit codes, the usage error and its words,
// the parse of its arguments and the run to an exit code.
// A command writes only through its io object, { stdout(text), stderr(text),
// isTTY (standard error is a terminal), env, cwd }, so that it runs the same
// in-process as from a shell. execute adds say(text) and warn(text) for what
// --quiet silences: summaries on standard output, warnings on standard error;
// stdout and stderr carry what was asked for and the errors. Paths go to the
// library as given, so that messages name them as the user wrote them; only
// demo's folder, which it prints whole, is resolved against cwd.
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

/** Edits from a to b, a swap of neighbours counting as one, letter case aside. */
function distance(a, b) {
  const [x, y] = [a.toLowerCase(), b.toLowerCase()];
  const d = Array.from({ length: x.length + 1 }, (_, i) => [i, ...Array(y.length).fill(0)]);
  for (let j = 1; j <= y.length; j++) d[0][j] = j;
  for (let i = 1; i <= x.length; i++) {
    for (let j = 1; j <= y.length; j++) {
      d[i][j] = Math.min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (x[i - 1] === y[j - 1] ? 0 : 1));
      if (i > 1 && j > 1 && x[i - 1] === y[j - 2] && x[i - 2] === y[j - 1]) d[i][j] = Math.min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[x.length][y.length];
}

/** "; did you mean X?" for the known name nearest a mistyped one, or '' when none is near. */
function didYouMean(word, known) {
  const near = known.map((name) => [distance(word, name), name]).filter(([d]) => d <= Math.max(1, Math.floor(word.length / 3)));
  if (!near.length) return '';
  return `; did you mean ${near.reduce((best, next) => (next[0] < best[0] ? next : best))[1]}?`;
}

// parseArgs's own texts quote unevenly and repeat its internals; ours say
// what was wrong in a line.
function parseMessage(error, command, options) {
  const quoted = /'([^']*)'/.exec(error.message)?.[1] ?? '';
  const see = `(see "kinovar ${command} --help")`;
  switch (error.code) {
    case 'ERR_PARSE_ARGS_UNKNOWN_OPTION': {
      const flags = Object.entries(options).flatMap(([name, { short }]) => [`--${name}`, ...(short ? [`-${short}`] : [])]);
      return `unknown option ${quoted}${didYouMean(quoted, flags)} ${see}`;
    }
    case 'ERR_PARSE_ARGS_INVALID_OPTION_VALUE': return `option ${quoted.replace(/ <value>$/, '')} needs a value ${see}`;
    case 'ERR_PARSE_ARGS_UNEXPECTED_POSITIONAL': return `unexpected argument ${quoted} ${see}`;
    default: return `${error.message} ${see}`;
  }
}

// What every command takes.
const COMMON = { help: { type: 'boolean', short: 'h' }, quiet: { type: 'boolean', short: 'q' } };

// "--seconds -5" is a value that looks like an option to parseArgs: joined as
// "--seconds=-5", it reaches the command's own check, which says what is wanted.
function joinNegatives(args, options) {
  const joined = [];
  for (let i = 0; i < args.length; i++) {
    if (args[i] === '--') return [...joined, ...args.slice(i)];
    const name = /^--([^=]+)$/.exec(args[i])?.[1] ?? Object.keys(options).find((key) => args[i] === `-${options[key].short}`);
    if (options[name]?.type === 'string' && /^-\.?\d/.test(args[i + 1] ?? '')) joined.push(`--${name}=${args[++i]}`);
    else joined.push(args[i]);
  }
  return joined;
}

/**
 * The arguments against a command's options, -h/--help and -q/--quiet always
 * among them; --quiet silences io's say and warn and any progress bar.
 */
function parse(command, args, options, io) {
  const all = { ...COMMON, ...options };
  let parsed;
  try {
    parsed = parseArgs({ args: joinNegatives(args, all), allowPositionals: true, strict: true, options: all });
  } catch (error) {
    throw new UsageError(parseMessage(error, command, all));
  }
  if (parsed.values.quiet && io) Object.assign(io, { say() {}, warn() {}, isTTY: false });
  return parsed;
}

/**
 * Runs a command to its exit code: a wrong command line is told on standard
 * error with code 2, any other failure with code 1.
 */
async function execute(command, args, io) {
  try {
    return await command.run(args, { ...io, say: io.stdout, warn: io.stderr });
  } catch (error) {
    const usage = error instanceof UsageError;
    io.stderr(`kinovar: ${error.message}${usage && error.message.endsWith('\n') ? '' : '\n'}`);
    return usage ? USAGE : FAILED;
  }
}

function positiveInteger(text, name) {
  if (!/^\d+$/.test(text) || Number(text) < 1) throw new UsageError(`${name} must be a whole number from 1 up, not "${text}"`);
  return Number(text);
}

/** An error as JSON output carries it. */
const describe = (error) => ({ code: error.code ?? error.name, message: error.message });

/** The line naming a recording that failed, and why (once, if the message names it already). */
const failedLine = (recording, { message }) => `failed ${message.includes(recording) ? message : `${recording}: ${message}`}\n`;

module.exports = { lib, OK, FAILED, USAGE, UsageError, didYouMean, parse, execute, positiveInteger, describe, failedLine };
