#!/usr/bin/env node
'use strict';
// Sandbox stand-in for cliclick. Under QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1 it only answers the
// accessibility question: silent exit 0 when cliclick holds the grant, a message on standard
// error and exit 1 when not. The sandbox setting "cliclickOutput" makes it print a warning on
// standard output instead (an unsupported build).

const sandbox = require('../lib/sandbox.cjs');

sandbox.record('cliclick');
const args = process.argv.slice(2);

if (process.env.QUORVANTIS_ACCESSIBILITY_CHECK_ONLY === '1') {
  const warning = sandbox.readState().settings.cliclickOutput;
  if (warning) {
    process.stdout.write(`${warning}\n`);
    process.exit(0);
  }
  if (sandbox.granted('accessibility.cliclick')) process.exit(0);
  if (process.env.QUORVANTIS_ACCESSIBILITY_PROMPT === '1') {
    process.stderr.write('Requesting accessibility access for cliclick.\n');
  }
  process.stderr.write('Accessibility privileges not enabled for cliclick.\n');
  process.exit(1);
}

if (args[0] === '-V') {
  process.stdout.write('cliclick 5.1 (sandbox)\n');
  process.exit(0);
}
if (!sandbox.granted('accessibility.cliclick')) {
  process.stderr.write('Accessibility privileges not enabled for cliclick.\n');
  process.exit(1);
}
// Commands are accepted and ignored: there is no screen to click on in the sandbox.
process.exit(0);
