'use strict';
// The native module itself: the five functions, then the entries lib/ wraps.
module.exports = require('./load').loadAddon();
