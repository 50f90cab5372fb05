'use strict';
// The native module itself: the five classic functions, nothing else.
module.exports = require('./addon-path').loadAddon();
