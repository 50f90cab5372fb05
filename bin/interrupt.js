'use strict';
// Ctrl-C (SIGINT) or SIGTERM during a command. Conversions run on worker
// threads, so the handler runs at once: it removes this run's temporary
// files and the output folders the run made that are left empty, says in
// one line what it left, and ends with 128 + the signal's number without
// waiting for the conversions under way (whose outputs then never take
// their names: old outputs keep their content).
const fs = require('node:fs');

const CODES = { SIGINT: 130, SIGTERM: 143 };
/** The line that says what an interruption left: each output under way, and the folders removed. */
function leftLine(signal, { targets, folders }) {
  const outputs = targets.map((target) => `${target} ${fs.existsSync(target) ? 'left as it was' : 'not written'}`);
  const said = outputs.length ? `${outputs.join(', ')} (unfinished ${outputs.length > 1 ? 'copies' : 'copy'} removed)`
    : 'no output was under way';
  const emptied = folders.length ? `; removed the empty folder${folders.length > 1 ? 's' : ''} ${folders.join(', ')}` : '';
  return `kinovar: interrupted by ${signal}: ${said}${emptied}; outputs already written stay\n`;
}

/** Installs the handlers for a command-line run. */
function handleInterruptions() {
  for (const [signal, code] of Object.entries(CODES)) {
    process.on(signal, () => {
      // The native module is loaded before any conversion; without it there is nothing to remove.
      const loaded = require.cache[require.resolve('../lib/native')]?.exports;
      const left = loaded ? loaded.abandonTemporaries() : { files: [], folders: [], targets: [] };
      try {
        fs.writeSync(2, leftLine(signal, left));
      } catch {
        // standard error closed: the exit code still says it
      }
      if (loaded) loaded.exitNow(code);
      process.exit(code);
    });
  }
}

module.exports = { handleInterruptions, leftLine };
