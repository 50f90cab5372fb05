'use strict';
// Loads the native module and says what to do when it is missing or broken.
const path = require('node:path');

const candidates = [
  path.join(__dirname, '..', 'build', 'addon', 'Release', 'addon.node'),
  path.join(__dirname, '..', 'build', 'addon', 'Debug', 'addon.node'),
];

function load() {
  const failures = [];
  for (const file of candidates) {
    try {
      return require(file);
    } catch (error) {
      if (error.code !== 'MODULE_NOT_FOUND') failures.push(`${file}: ${error.message}`);
    }
  }
  const detail = failures.length ? `\n${failures.join('\n')}` : '';
  const error = new Error(
    `kinovar: could not load the native module for Node ${process.version} on ${process.platform}-${process.arch}.${detail}\n` +
      'Build it with "npm run build" (needs CMake and a C++20 compiler), or reinstall the package.'
  );
  error.code = 'ERR_KINOVAR_NOT_BUILT';
  throw error;
}

module.exports = load();
