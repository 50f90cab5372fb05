'use strict';
// The recordings a command is given: folders told from files, and patterns
// expanded where the shell has not.
const fs = require('node:fs');
const path = require('node:path');
const { UsageError } = require('./shared');

function isFolder(file) {
  try {
    return fs.statSync(file).isDirectory();
  } catch {
    return false;  // missing, or a part of its path is no folder: the API says which
  }
}

/** A path ending in a separator, or an existing folder. */
const isFolderTarget = (target) => /[\\/]$/.test(target) || isFolder(target);

// Windows shells hand a pattern over as typed: '*', '?' and [classes] in the
// last part of a path are matched here as a POSIX shell would.
const PATTERN = /[*?[]/;
function patternRegExp(pattern) {
  const source = pattern.replace(/\[(!|\^)?([^\]]+)\]|[*?]|[^*?[]+|\[/g, (part, negate, set) => {
    if (set !== undefined) return `[${negate ? '^' : ''}${set.replace(/[\\^]/g, '\\$&')}]`;
    if (part === '*') return '.*';
    if (part === '?') return '.';
    return part.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  });
  return new RegExp(`^${source}$`, process.platform === 'win32' ? 'i' : '');
}

/**
 * The inputs with each pattern replaced by the files it matches, sorted; a
 * name that exists as given is taken as it is.
 */
function expandPatterns(inputs) {
  return inputs.flatMap((input) => {
    const name = path.basename(input);
    if (!PATTERN.test(name) || fs.existsSync(input)) return [input];
    const folder = input.slice(0, input.length - name.length);
    const match = patternRegExp(name);
    let entries;
    try {
      entries = fs.readdirSync(folder || '.');
    } catch {
      entries = [];
    }
    // As in a shell, a leading dot is matched only by a dot.
    const found = entries.filter((entry) => match.test(entry) && (!entry.startsWith('.') || name.startsWith('.'))).sort();
    if (!found.length) throw new Error(`${input} matches no file; check the pattern and the folder`);
    return found.map((entry) => folder + entry);
  });
}

// A folder where a recording was expected gets the hint to name its files.
function checkInputs(recordings) {
  for (const file of recordings) {
    if (isFolder(file)) {
      throw new UsageError(`${file} is a folder; to convert the recordings in it, give ${file.replace(/[\\/]+$/, '')}/*.bin`);
    }
  }
}

module.exports = { isFolderTarget, expandPatterns, checkInputs };
