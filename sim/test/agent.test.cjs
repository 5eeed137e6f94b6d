'use strict';
// The simulated agent package: the status document over time and the daemon configuration.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { SIM_ROOT, makeHome, run } = require('./helpers.cjs');

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
