#!/usr/bin/env node
'use strict';
// The sandbox's URL handler: what the application's "open URL" reaches for the privacy-settings
// scheme and for web links. It records the URL and lets the services decide: show the simulated
// settings page, grant the permission, open the user's real browser, or only record.

const sandbox = require('../lib/sandbox.cjs');

async function main() {
  const recordOnly = process.argv[2] === '--record-only';
  const url = process.argv[recordOnly ? 3 : 2] || '';
  // The agent opens its own binding page through the same handler; the record tells the two apart.
  const openedBy = process.env.QUORVANTIS_SANDBOX_OPENER === 'agent' ? 'agent' : 'application';
  sandbox.record('url-handler', { url, openedBy });
  if (recordOnly) return;
  const services = sandbox.readServices();
  if (!services) {
    process.stderr.write('sandbox services are not running; URL recorded only\n');
    return;
  }
  const res = await fetch(`${services.controlURL}/control/opened`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-Sandbox-Token': services.controlToken },
    body: JSON.stringify({ url }),
  });
  process.stdout.write(`${await res.text()}\n`);
}

main().catch((error) => {
  process.stderr.write(`url-handler: ${error.message}\n`);
  process.exit(1);
});
