#!/usr/bin/env node
'use strict';
// Command line for kinovar. Exit codes: 0 done, 1 something was not done
// (the output says what and why), 2 the command line itself is wrong.
// Each command lives in commands/<name>.js; this file only dispatches.
const { OK, USAGE, UsageError, didYouMean, execute } = require('./shared');

// In the order the main help lists them.
const commands = Object.fromEntries(['read', 'inspect', 'calibrate', 'epochs', 'sync', 'batch', 'config', 'view', 'demo', 'gen']
  .map((name) => [name, require(`./commands/${name}`)]));

const mainHelp = `usage: kinovar <command> [options]

Converts Kinovar sensor recordings to CSV, synchronises sets of recordings,
shows and edits settings files and draws recordings as an HTML page.

commands:
${Object.values(commands).flatMap((c) => c.summary).map(([usage, words]) => `  ${usage.padEnd(30)}${words}\n`).join('')}
Run "kinovar <command> --help" for the options of a command; "kinovar --version"
prints the version. Every command takes -q, --quiet: nothing but errors (and
the output asked for: --json, -o -, config show) is printed.
Exit codes: 0 done, 1 some work failed (the summary says which and why), 2 bad command line.
`;

// What is not a command's own: the version, the help, and what no command takes.
const dispatcher = {
  run([command, ...rest], io) {
    switch (command) {
      case '--version': case '-V': case 'version':
        io.stdout(`${require('../package.json').version}\n`);
        return OK;
      case 'help': case '--help': case '-h':
        io.stdout(Object.hasOwn(commands, rest[0] ?? '') ? commands[rest[0]].help : mainHelp);
        return OK;
      case undefined:
        io.stderr(mainHelp);
        return USAGE;
      default:
        throw new UsageError(`unknown command ${command}${didYouMean(command, Object.keys(commands))}\n\n${mainHelp}`);
    }
  },
};

/**
 * Runs a command line (without the program's name) to its exit code.
 * @param {string[]} argv
 * @param {{stdout: (text: string) => void, stderr: (text: string) => void, isTTY: boolean, env: object, cwd: string}} io
 * @returns {Promise<number>}
 */
function main(argv, io) {
  const command = Object.hasOwn(commands, argv[0] ?? '') ? commands[argv[0]] : undefined;
  return command ? execute(command, argv.slice(1), io) : execute(dispatcher, argv, io);
}

if (require.main === module) {
  // A reader that stops early (kinovar inspect --json x.bin | head) closes the
  // pipe: not a failure, so stop quietly, as other command-line tools do.
  process.stdout.on('error', (error) => {
    if (error.code !== 'EPIPE') throw error;
    process.exit(process.exitCode ?? 0);
  });
  // Before any worker starts: the conversions' threads then share two allocator pools, keeping memory flat.
  require('../lib/native/entry').limitAllocatorPools();
  const { handleInterruptions, isInterrupted } = require('./interrupt');
  handleInterruptions();
  // Once interrupted, the one line says what was left: the command's own words on its stopped work are not said.
  const io = {
    stdout: (text) => isInterrupted() || process.stdout.write(text),
    stderr: (text) => isInterrupted() || process.stderr.write(text),
    isTTY: process.stderr.isTTY === true,
    env: process.env,
    cwd: process.cwd(),
  };
  main(process.argv.slice(2), io).then((code) => { process.exitCode = code; });
}

module.exports = { main, commands };
