'use strict';
// The native module itself: exactly its five functions.
module.exports = require('./load').loadAddon();
