'use strict';
// Finds the native modules: a local build from source first (it is what a
// developer just compiled), then a prebuilt binary for this platform. The
// build makes two: addon.node, the classic five functions, and native.node,
// the entry of this library, which a prebuilt folder holds beside the first.
const fs = require('node:fs');
const path = require('node:path');
const { codes } = require('../errors');

const root = path.join(__dirname, '..', '..');
const FIX = 'Build it from source with "npm run build" in the kinovar folder (needs CMake and a C++20 compiler), ' +
  'or "npm rebuild kinovar" in an application that depends on it.';

/** The files of a module (addon.node or native.node) a cmake-js build leaves under `dir`. */
function localBuilds(dir = root, file = 'addon.node') {
  return ['Release', 'Debug'].map((kind) => path.join(dir, 'build', 'addon', kind, file));
}

/** The prebuilt binary node-gyp-build picks for this platform (or `file` beside it), or null. */
function prebuilt(dir = root, file) {
  try {
    const addon = require('node-gyp-build').path(dir);
    return file ? path.join(path.dirname(addon), file) : addon;
  } catch {
    return null;
  }
}

/**
 * Loads the first of the given files that exists, with a message saying what
 * to run when none does or the one found is built for another platform.
 * @param {string[]} candidates
 */
function loadAddon(candidates = [...localBuilds(), prebuilt()].filter(Boolean)) {
  const where = `Node ${process.version} (N-API ${process.versions.napi}) on ${process.platform}-${process.arch}`;
  for (const file of candidates) {
    if (!fs.existsSync(file)) continue;
    try {
      return require(file);
    } catch (cause) {
      const error = new Error(
        `kinovar: the native module ${file} does not load in ${where}: ${cause.message}\n` +
          `It was probably built for another platform or architecture, or is damaged. ${FIX}`,
        { cause });
      error.code = codes.ADDON_INVALID;
      throw error;
    }
  }
  const error = new Error(`kinovar: no native module for ${where}; looked for ${candidates.join(', ') || 'a build'} ` +
    `and a prebuilt binary in prebuilds/${process.platform}-${process.arch}.\n${FIX}`);
  error.code = codes.NOT_BUILT;
  throw error;
}

/** This library's entry, from the same place as the addon. */
function loadNative() {
  return loadAddon([...localBuilds(root, 'native.node'), prebuilt(root, 'native.node')].filter(Boolean));
}

module.exports = { loadAddon, loadNative, localBuilds, prebuilt };
