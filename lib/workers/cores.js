'use strict';
const os = require('node:os');

/** The cores this process may use: what every pool and thread budget divides. */
const cores = () => os.availableParallelism?.() ?? os.cpus().length;

module.exports = { cores };
