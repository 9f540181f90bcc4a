// Loads the host's page code as the build joined it, which is what runs in
// the browser, into a context of its own with `globals` as its global names.
// The path of each joined script comes from the environment (CMake sets it).

'use strict';
const fs = require('node:fs');
const vm = require('node:vm');

function loadPage(variable, globals = {}) {
  const path = process.env[variable];
  if (!path) throw new Error(`${variable} names no joined page script`);
  const context = vm.createContext({...globals});
  vm.runInContext(fs.readFileSync(path, 'utf8'), context, {filename: path});
  return context;
}

module.exports = {loadPage};
