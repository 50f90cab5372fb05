'use strict';
// The symbol versions a Linux binary of ours may ask for, checked for the
// Node prebuilds (prebuild.js) and the Python wheel (check-python-wheel.js).
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const root = path.join(__dirname, '..');

/**
 * A Linux binary may ask for no symbol version newer than Debian 10 has
 * (glibc 2.28, GCC 8's libstdc++ and libgcc), so that it loads there and on
 * every later distribution; CMake's KINOVAR_PORTABLE links it that way, and
 * the Python build with KINOVAR_PORTABLE=1. Exits the process when it asks
 * for more, naming `who` (the script that checks).
 */
function checkVersions(file, who) {
  const newest = { GLIBC: [2, 28], GLIBCXX: [3, 4, 25], CXXABI: [1, 3, 11], GCC: [7, 0, 0] };
  const dump = spawnSync('objdump', ['-p', file], { encoding: 'utf8' });
  if (dump.error || dump.status !== 0) {
    console.error(`${who}: objdump -p ${file} failed (${dump.error?.message ?? dump.stderr.trim()}); install binutils`);
    process.exit(1);
  }
  const newer = (version, limit) => {
    for (let i = 0; i < Math.max(version.length, limit.length); i++) {
      if ((version[i] ?? 0) !== (limit[i] ?? 0)) return (version[i] ?? 0) > (limit[i] ?? 0);
    }
    return false;
  };
  const needed = [...dump.stdout.matchAll(/^\s+0x\w+ 0x\w+ \d+ (\w+)_([\d.]+)$/gm)].map(([, name, version]) => [name, version]);
  const tooNew = needed.filter(([name, version]) => !newest[name] || newer(version.split('.').map(Number), newest[name]));
  if (tooNew.length > 0) {
    console.error(`${who}: ${path.relative(root, file)} needs ${tooNew.map((v) => v.join('_')).join(', ')}, newer than ` +
      `${Object.entries(newest).map(([name, v]) => `${name}_${v.join('.')}`).join(', ')}: it would not load on older ` +
      'Linux systems. Build it with -DKINOVAR_PORTABLE=ON (scripts/prebuild-backend.js does; KINOVAR_PORTABLE=1 for ' +
      'the Python wheel), or extend cmake/old-glibc.cpp for a glibc function that is new');
    process.exit(1);
  }
  const glibc = needed.filter(([name]) => name === 'GLIBC').map(([, v]) => v).sort((a, b) => (newer(a.split('.').map(Number), b.split('.').map(Number)) ? -1 : 1))[0];
  console.log(`${path.relative(root, file)}: ${glibc ? `glibc ${glibc} or later` : 'static'}, no newer symbol version`);
}

module.exports = { checkVersions };
