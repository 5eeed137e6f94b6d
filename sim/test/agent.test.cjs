'use strict';
// The simulated agent package: the status document over time and the daemon configuration.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { SIM_ROOT, makeHome, run } = require('./helpers.cjs');
const { start } = require('../server/services.cjs');

// Lays the package out as the pnpm stand-in does, so it finds its helpers.
function installedPackage(t) {
  const home = makeHome(t);
  const dir = path.join(home, 'pkg', 'quorvantis');
  fs.cpSync(path.join(SIM_ROOT, 'agent-package'), dir, { recursive: true });
  fs.mkdirSync(path.join(dir, 'dist', 'lib'), { recursive: true });
  for (const lib of ['sandbox.cjs', 'png.cjs']) fs.copyFileSync(path.join(SIM_ROOT, 'lib', lib), path.join(dir, 'dist', 'lib', lib));
  return { home, dir };
}

const SETTINGS = { pace: 1, warmupMs: 1000, demo: true, demoStepMs: 1000 };

test('the status document: warm-up, then the demo cycle through every kind of activity', (t) => {
  const { dir } = installedPackage(t);
  const { statusDocument, VERSION } = require(path.join(dir, 'dist-agent', 'bundle.cjs'));
  const start = Date.parse('2026-03-01T08:00:00Z');
  const early = statusDocument(start, start + 500, SETTINGS);
  assert.equal(early.ready, false);
  assert.equal(early.lifecycle, 'starting');
  assert.equal(early.sampledAt, '2026-03-01T08:00:00.500Z');
  assert.equal(early.version, VERSION);

  const seen = new Set();
  for (let s = 1; s <= 8; s += 1) {
    const doc = statusDocument(start, start + s * 1000 + 10, SETTINGS);
    assert.equal(doc.ready, true);
    if (doc.codingSession) seen.add(`coding:${doc.codingSession.status}`);
    if (doc.compacting) seen.add('compacting');
    if (doc.busy) seen.add('busy');
    if (doc.queueSize > 0) seen.add('messages');
    if (!doc.busy && doc.queueSize === 0) seen.add('idle');
    for (const key of ['sampledAt', 'lifecycle', 'ready', 'version', 'busy', 'compacting', 'queueSize', 'pid', 'codingSession']) assert.ok(key in doc);
  }
  assert.deepEqual([...seen].sort(), ['busy', 'coding:in_progress', 'compacting', 'idle', 'messages']);

  const quiet = statusDocument(start, start + 5010, { ...SETTINGS, demo: false });
  assert.deepEqual([quiet.busy, quiet.queueSize, quiet.codingSession], [false, 0, null]);
  assert.equal(statusDocument(start, start, { ...SETTINGS, pace: 0 }).ready, true, 'pace 0 skips the warm-up');
});

test('daemon start --installed writes the ecosystem and a launcher that names the package link', async (t) => {
  const { home } = installedPackage(t);
  // pnpm's layout: GLOBAL/.pnpm/quorvantis@V/node_modules/quorvantis, linked from GLOBAL/quorvantis.
  const global = path.join(home, 'global', '5', 'node_modules');
  const store = path.join(global, '.pnpm', 'quorvantis@2.0.0', 'node_modules', 'quorvantis');
  fs.mkdirSync(path.dirname(store), { recursive: true });
  fs.renameSync(path.join(home, 'pkg', 'quorvantis'), store);
  fs.symlinkSync(path.relative(global, store), path.join(global, 'quorvantis'));

  const r = await run(process.execPath, [path.join(global, 'quorvantis', 'dist-agent', 'bundle.cjs'), 'daemon', 'start', '--installed'], {
    env: { HOME: home, PATH: '/usr/bin:/bin' },
  });
  assert.equal(r.status, 0, r.stderr);
  const ecosystemFile = path.join(home, '.quorvantis', 'pm2-ecosystem.config.cjs');
  const ecosystem = require(ecosystemFile);
  assert.equal(ecosystem.apps[0].name, 'quorvantis');
  assert.equal(ecosystem.apps[0].script, path.join(home, '.quorvantis', 'launcher.cjs'));
  assert.equal(ecosystem.apps[0].env.PATH, '/usr/bin:/bin');
  assert.equal(fs.statSync(ecosystemFile).mode & 0o777, 0o600);
  const launcher = fs.readFileSync(path.join(home, '.quorvantis', 'launcher.cjs'), 'utf8');
  assert.ok(launcher.includes(JSON.stringify(path.join(global, 'quorvantis', 'dist-agent', 'bundle.cjs'))), launcher);
  assert.equal(launcher.includes('.pnpm'), false, 'an update must not leave the launcher on the old version');
});

// The agent at its first start while unbound: it asks for a binding link itself and hands it to
// the launcher's opener; with a live session, a finished binding or the setting off it does not.
test('at start the unbound agent opens a binding page of its own, once', async (t) => {
  const { home, dir } = installedPackage(t);
  const { openOwnerSetupAtStart } = require(path.join(dir, 'dist-agent', 'bundle.cjs'));
  const sandbox = require(path.join(dir, 'dist', 'lib', 'sandbox.cjs'));
  const P = sandbox.paths(home);
  fs.mkdirSync(P.sandbox, { recursive: true });
  const running = await start(home, { settings: { pace: 0, bindingAutoCompleteMs: null, authorizeAfterMs: null, browser: 'record' } });
  t.after(() => running.services.stop());
  const { sim, services } = running;
  sim.serviceURL = services.onboardingURL;

  // The launcher's opener stands here as a script that notes what it was given.
  const noted = path.join(home, 'opened.txt');
  fs.mkdirSync(P.sandboxBin, { recursive: true });
  fs.writeFileSync(path.join(P.sandboxBin, 'xdg-open'), `#!/bin/sh\nprintf '%s %s\\n' "$QUORVANTIS_SANDBOX_OPENER" "$1" >>'${noted}'\n`, { mode: 0o755 });
  const lines = () => (fs.existsSync(noted) ? fs.readFileSync(noted, 'utf8').trim().split('\n') : []);
  const logged = [];
  const log = (text) => logged.push(text);

  assert.equal((await openOwnerSetupAtStart({ P, env: {}, log })).action, 'unconfigured', 'no config.json yet');

  const session = sim.redeem({ code: 'QVS2-1234-5678-9ABC' });
  sim.bootstrap(session);
  const done = sim.complete(session);
  // The address written at setup is unreachable: only the override the application passes leads
  // to the service.
  sandbox.writeJSON(path.join(P.profile, 'config.json'), {
    agentName: done.agentName,
    onboardingServiceUrl: 'http://localhost:9',
    quorvantisServiceApiKey: done.apiKey,
  });
  assert.equal((await openOwnerSetupAtStart({ P, env: {}, log })).action, 'unavailable');
  assert.equal(sim.state.agents[done.agentName].link, null);

  const env = { QUORVANTIS_ONBOARDING_SERVICE_URL: services.onboardingURL };
  const first = await openOwnerSetupAtStart({ P, env, log });
  assert.equal(first.action, 'opened');
  assert.equal(await first.opening, true);
  const link = sim.state.agents[done.agentName].link;
  assert.equal(first.url, `${services.onboardingURL}/agents/${done.agentName}/setup#${link.token}`);
  assert.deepEqual(lines(), [`agent ${first.url}`]);
  assert.equal(logged.some((l) => l.includes(link.token) || l.includes(done.apiKey)), false, logged.join('\n'));

  // A restart finds the session live and leaves the link (and the page) alone.
  assert.equal((await openOwnerSetupAtStart({ P, env, log })).action, 'live');
  assert.equal(sim.state.agents[done.agentName].link.token, link.token);

  sim.setSetting('agentOpensBinding', false);
  sim.state.agents[done.agentName].link = null; // the link expired
  assert.equal((await openOwnerSetupAtStart({ P, env, log })).action, 'disabled');
  sim.setSetting('agentOpensBinding', true);
  const second = await openOwnerSetupAtStart({ P, env, log });
  assert.equal(second.action, 'opened');
  await second.opening;

  sim.completeBinding(done.agentName);
  assert.equal((await openOwnerSetupAtStart({ P, env, log })).action, 'complete');
  assert.equal(lines().length, 2);

  // Without the launcher's opener the link is still asked for, and nothing is opened.
  fs.rmSync(P.sandboxBin, { recursive: true });
  sim.state.agents[done.agentName].onboardingComplete = false;
  sim.state.agents[done.agentName].link = null;
  const headless = await openOwnerSetupAtStart({ P, env, log });
  assert.equal(headless.action, 'opened');
  assert.equal(await headless.opening, false);
});
