'use strict';
// The Python the package is built and tested with: $PYTHON, else the first
// python3 on PATH, else Debian's own, that imports the given modules.
const { spawnSync } = require('node:child_process');

/** @returns {string|undefined} */
function findPython(modules) {
  return [process.env.PYTHON, 'python3', '/usr/bin/python3'].filter(Boolean)
    .find((exe) => spawnSync(exe, ['-c', `import ${modules.join(', ')}`], { stdio: 'ignore' }).status === 0);
}

module.exports = { findPython };
