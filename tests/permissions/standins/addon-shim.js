// Preloaded by the stand-in node of the probe tests: a ".node" module that is plain JavaScript
// (it starts with "//") is compiled as such instead of being loaded as a shared library.
const Module = require('module');
const fs = require('fs');
const loadNative = Module._extensions['.node'];
Module._extensions['.node'] = function (module, filename) {
  const text = fs.readFileSync(filename);
  if (text.subarray(0, 2).toString() === '//') return module._compile(text.toString(), filename);
  return loadNative(module, filename);
};
