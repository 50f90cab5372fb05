'use strict';
// Ctrl-C (SIGINT), SIGTERM, or Ctrl-Break (SIGBREAK, Windows) during a
// command. Conversions run on worker threads, so the handler runs at once:
// it stops every conversion at its next piece (none renames an output after
// this), gives them a moment to remove their unfinished files, removes what
// is left and the output folders the run made that are left empty, says in
// one line what it left, and ends with 130 (SIGINT) or 143. Old outputs keep
// their content. A settings edit runs on this thread and is never cut: the
// signal is handled once the file is written, and the line says so.
const fs = require('node:fs');

const CODES = { SIGINT: 130, SIGTERM: 143, ...(process.platform === 'win32' ? { SIGBREAK: 143 } : {}) };
// How long stopped conversions get to clean up after themselves; what they leave is removed then.
const GRACE_MS = 2000;

let interrupted = false;
const written = [];

/** A file this run wrote in full on this thread (a settings edit), for the line. */
function noteWritten(file) {
  written.push(file);
}

/** Whether an interruption is under way: the command's own output is then left out. */
const isInterrupted = () => interrupted;

/** The line that says what an interruption left: each output under way, the files finished, and the folders removed. */
function leftLine(signal, { targets, folders }, finished = []) {
  // By name: files written side by side start in any order.
  const outputs = [...targets].sort().map((target) => `${target} ${fs.existsSync(target) ? 'left as it was' : 'not written'}`);
  const parts = [];
  if (outputs.length) parts.push(`${outputs.join(', ')} (unfinished ${outputs.length > 1 ? 'copies' : 'copy'} removed)`);
  if (finished.length) parts.push(`${finished.join(', ')} written in full`);
  const said = parts.length ? parts.join('; ') : 'no output was under way';
  const emptied = folders.length ? `; removed the empty folder${folders.length > 1 ? 's' : ''} ${folders.join(', ')}` : '';
  return `kinovar: interrupted by ${signal}: ${said}${emptied}; outputs already written stay\n`;
}

// A module this run has loaded, or undefined: without the native module there is nothing to stop or remove.
const loaded = (name) => require.cache[require.resolve(name)]?.exports;

/** Installs the handlers for a command-line run. */
function handleInterruptions() {
  let hurry = () => {};
  for (const [signal, code] of Object.entries(CODES)) {
    process.on(signal, async () => {
      if (interrupted) {
        hurry();  // a second signal: no more waiting
        return;
      }
      interrupted = true;
      const native = loaded('../lib/native/entry');
      if (native) {
        native.stopConversions();
        const pool = loaded('../lib/workers/pool');
        if (pool) await Promise.race([pool.settled(GRACE_MS), new Promise((resolve) => { hurry = resolve; })]);
      }
      const left = native ? native.abandonTemporaries() : { files: [], folders: [], targets: [] };
      try {
        // A progress bar on the line is wiped first.
        fs.writeSync(2, `${process.stderr.isTTY ? '\r\x1b[K' : ''}${leftLine(signal, left, written)}`);
      } catch {
        // standard error closed: the exit code still says it
      }
      if (native) native.exitNow(code);
      process.exit(code);
    });
  }
}

module.exports = { handleInterruptions, leftLine, noteWritten, isInterrupted };
