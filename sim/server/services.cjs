#!/usr/bin/env node
'use strict';
// The simulated services on loopback, in one process: the onboarding web service (setup API,
// owner provisioning, binding page), the package registry and the sandbox's control interface
// (with the simulated privacy settings page).
//
//   node services.cjs --home DIR [--settings JSON]
//
// Writes DIR/.sandbox/services.json with the ports and URLs once every server listens.

const fs = require('fs');
const http = require('http');
const path = require('path');
const { spawn } = require('child_process');
const sandbox = require('../lib/sandbox.cjs');
const pm2store = require('../lib/pm2store.cjs');
const { Simulator, SimError } = require('./simulator.cjs');
const pages = require('./pages.cjs');

function send(res, status, body, headers = {}) {
  const isText = typeof body === 'string';
  const data = isText ? body : JSON.stringify(body);
  res.writeHead(status, {
    'Content-Type': isText ? 'text/html; charset=utf-8' : 'application/json',
    'Cache-Control': 'no-store',
    'Content-Length': Buffer.byteLength(data),
    ...headers,
  });
  res.end(data);
}

function readBody(req, limit = 64 * 1024) {
  return new Promise((resolve, reject) => {
    let size = 0;
    const chunks = [];
    req.on('data', (c) => {
      size += c.length;
      if (size > limit) {
        reject(new SimError(413, 'too_large', 'request body too large'));
        req.destroy();
      } else chunks.push(c);
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

async function readJSONBody(req) {
  const text = await readBody(req);
  if (!text.trim()) return {};
  const type = String(req.headers['content-type'] || '');
  if (type.includes('application/x-www-form-urlencoded')) return Object.fromEntries(new URLSearchParams(text));
  try {
    const value = JSON.parse(text);
    return value && typeof value === 'object' ? value : {};
  } catch {
    throw new SimError(400, 'json_invalid', 'body is not JSON');
  }
}

function bearer(req) {
  const m = /^Bearer\s+(.+)$/.exec(String(req.headers.authorization || ''));
  return m ? m[1].trim() : null;
}

function handler(route) {
  return async (req, res) => {
    try {
      const url = new URL(req.url, 'http://sandbox.invalid');
      await route(req, res, url);
      if (!res.headersSent) send(res, 404, { error: 'not_found', message: 'no such resource' });
    } catch (error) {
      if (error instanceof SimError) send(res, error.status, { error: error.code, message: error.message });
      else {
        process.stderr.write(`services: ${error.stack || error}\n`);
        if (!res.headersSent) send(res, 500, { error: 'internal', message: String(error.message || error) });
      }
    }
  };
}

// ---- onboarding service ----------------------------------------------------------------------

function onboardingRoutes(sim) {
  return async (req, res, url) => {
    const p = url.pathname;
    let m;
    if (req.method === 'GET' && p === '/') {
      return send(res, 200, '<!doctype html><meta charset="utf-8"><title>Quorvantis onboarding (sandbox)</title><p>Quorvantis onboarding service — sandbox.</p>');
    }
    if (req.method === 'POST' && p === '/api/setup/redeem') return send(res, 200, sim.redeem(await readJSONBody(req)));
    if (req.method === 'POST' && p === '/api/setup/enroll') {
      const body = await readJSONBody(req);
      return send(res, 200, sim.enroll({ key: bearer(req), agentName: body.agentName, workspace: body.workspace }));
    }
    if ((m = /^\/api\/setup\/sessions\/([^/]+)\/(bootstrap|complete|authorization)$/.exec(p))) {
      const args = { sessionId: decodeURIComponent(m[1]), resumeToken: bearer(req) };
      if (m[2] === 'bootstrap' && req.method === 'POST') return send(res, 200, sim.bootstrap(args));
      if (m[2] === 'complete' && req.method === 'POST') return send(res, 200, sim.complete(args));
      if (m[2] === 'authorization' && req.method === 'GET') return send(res, 200, sim.authorizationStatus(args));
    }
    if ((m = /^\/api\/agents\/([^/]+)\/owner-provisioning$/.exec(p))) {
      const name = decodeURIComponent(m[1]);
      if (req.method === 'GET') return send(res, 200, sim.provisioningStatus(name, bearer(req)));
      if (req.method === 'POST') return send(res, 201, sim.createLink(name, bearer(req)));
    }
    if ((m = /^\/api\/agents\/([^/]+)\/setup(\/attempts)?$/.exec(p))) {
      const name = decodeURIComponent(m[1]);
      if (!m[2] && req.method === 'GET') return send(res, 200, sim.setupStatus(name, bearer(req)));
      if (m[2] && req.method === 'POST') return send(res, 200, sim.startAttempt(name, bearer(req)));
    }
    if ((m = /^\/agents\/([^/]+)\/setup$/.exec(p)) && req.method === 'GET') {
      return send(res, 200, pages.bindingPage(decodeURIComponent(m[1])));
    }
    return undefined;
  };
}

// ---- package registry ------------------------------------------------------------------------

function registryRoutes(sim) {
  return async (req, res, url) => {
    if (req.method !== 'GET') return undefined;
    if (sim.state.registry.down) return send(res, 503, { error: 'service unavailable' });
    const parts = url.pathname.split('/').filter(Boolean).map(decodeURIComponent);
    if (parts[0] !== 'quorvantis') return send(res, 404, { error: 'Not found' });
    if (parts.length === 1) return send(res, 200, sim.packument());
    if (parts.length === 2) {
      const version = sim.resolve(parts[1]);
      if (!version) return send(res, 404, { error: `version not found: ${parts[1]}` });
      return send(res, 200, sim.versionDocument(version));
    }
    return undefined;
  };
}

// ---- control interface -----------------------------------------------------------------------

function agentPm2Homes(home) {
  const p = sandbox.paths(home);
  return [p.pm2Home, path.join(p.home, '.pm2')];
}

// Opens a URL in the user's own browser (run with the user's real HOME). Resolves false when that
// plainly failed (no xdg-open, no browser); a browser still running after a while counts as opened.
function openInRealBrowser(home, url) {
  const real = sandbox.readJSON(sandbox.paths(home).realEnv, null);
  if (!real) return Promise.resolve(false);
  const env = { ...process.env };
  for (const [k, v] of Object.entries(real)) {
    if (v === null) delete env[k];
    else env[k] = v;
  }
  return new Promise((resolve) => {
    let child;
    try {
      child = spawn('xdg-open', [url], { env, detached: true, stdio: 'ignore' });
    } catch {
      resolve(false);
      return;
    }
    const timer = setTimeout(() => resolve(true), 3000);
    child.on('error', () => {
      clearTimeout(timer);
      resolve(false);
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      resolve(code === 0);
    });
    child.unref();
  });
}

function controlRoutes(sim, services) {
  const token = services.controlToken;
  return async (req, res, url) => {
    const p = url.pathname;
    if (p === '/settings') {
      if (url.searchParams.get('token') !== token) return send(res, 403, 'forbidden');
      if (req.method === 'POST') {
        const form = await readJSONBody(req);
        sim.setPermission(form.permission, form.granted === 'true');
        const focus = form.focus ? `&pane=${encodeURIComponent(form.focus)}` : '';
        return send(res, 303, '', { Location: `/settings?token=${encodeURIComponent(token)}${focus}` });
      }
      const focus = url.searchParams.get('pane');
      return send(res, 200, pages.settingsPage(sim.state, token, pages.PANES.some((x) => x.key === focus) ? focus : null));
    }
    if (!p.startsWith('/control/')) return undefined;
    if (req.headers['x-sandbox-token'] !== token) return send(res, 403, { error: 'forbidden' });
    const body = req.method === 'POST' ? await readJSONBody(req) : {};
    const op = p.slice('/control/'.length);
    switch (`${req.method} ${op}`) {
      case 'GET state':
        return send(res, 200, { services, state: sim.state, agent: agentSummary(sim.home) });
      case 'POST permission':
        sim.setPermission(body.name, body.granted);
        return send(res, 200, { permissions: sim.state.permissions, overrides: sim.state.accessibilityOverrides });
      case 'POST failure':
        sim.setFailure(body.kind, body.count ?? 1);
        return send(res, 200, { failures: sim.state.failures });
      case 'POST failure/take':
        return send(res, 200, { fail: sim.takeFailure(String(body.kind)) });
      case 'POST failures/clear':
        sim.clearFailures();
        return send(res, 200, { failures: sim.state.failures });
      case 'POST setting':
        sim.setSetting(body.key, body.value);
        return send(res, 200, { settings: sim.state.settings });
      case 'POST binding/complete':
        return send(res, 200, sim.completeBinding(body.agentName));
      case 'POST binding/click':
        return send(res, 200, sim.clickBinding(body.agentName));
      case 'POST authorize':
        return send(res, 200, sim.authorize(body.id));
      case 'POST registry/publish':
        return send(res, 200, sim.publish(String(body.version || ''), body.tag || 'beta'));
      case 'POST registry/down':
        sim.state.registry.down = Boolean(body.down);
        sim.save();
        return send(res, 200, sim.state.registry);
      case 'POST agent/stop':
        return send(res, 200, { stopped: pm2store.stopAll(agentPm2Homes(sim.home)) });
      case 'POST opened':
        return send(res, 200, await opened(sim, body.url));
      case 'POST shutdown':
        send(res, 200, { stopping: true });
        setTimeout(() => services.stop(), 20);
        return undefined;
      default:
        return send(res, 404, { error: 'unknown_control', message: `unknown control ${req.method} ${op}` });
    }
  };

  // A URL the application opened through the sandbox's handler. Without a browser to show a
  // page in, the sandbox plays the user's part: it grants the pane's permission, or presses the
  // bind button of a binding link, so a headless demo still runs through.
  async function opened(simulator, target) {
    const text = String(target || '');
    const settings = simulator.state.settings;
    if (text.startsWith('x-apple.systempreferences:')) {
      const key = pages.paneKey(text);
      let action = settings.settingsAction;
      if (action === 'page') {
        const page = `${services.controlURL}/settings?token=${encodeURIComponent(token)}${key ? `&pane=${key}` : ''}`;
        if (await openInRealBrowser(simulator.home, page)) return { action: 'page' };
        action = 'grant';
      }
      if (action === 'grant' && key) {
        simulator.later(simulator.scaled(800), () => simulator.setPermission(key, true));
        return { action: 'grant', permission: key };
      }
      return { action: 'record' };
    }
    if (/^https?:/.test(text) && settings.browser === 'real') {
      // The providers' pages cannot load here: opening one stands for the owner approving it.
      const auth = Object.values(simulator.state.authorizations).find((a) => a.authUrl === text && a.status === 'pending');
      if (auth) {
        simulator.later(simulator.scaled(1500), () => simulator.authorize(auth.id));
        return { action: 'authorize', id: auth.id };
      }
      if (await openInRealBrowser(simulator.home, text)) return { action: 'browser' };
      const binding = bindingLink(simulator, text);
      if (binding) {
        simulator.later(simulator.scaled(1500), () => {
          try {
            simulator.startAttempt(binding.name, binding.token);
          } catch {
            // the link was replaced meanwhile
          }
        });
        return { action: 'press-bind', agentName: binding.name };
      }
    }
    return { action: 'record' };
  }
}

function bindingLink(simulator, text) {
  let url;
  try {
    url = new URL(text);
  } catch {
    return null;
  }
  const m = /^\/agents\/([^/]+)\/setup$/.exec(url.pathname);
  if (!m || url.origin !== new URL(simulator.serviceURL).origin || url.hash.length < 2) return null;
  return { name: decodeURIComponent(m[1]), token: url.hash.slice(1) };
}

function agentSummary(home) {
  const p = sandbox.paths(home);
  const apps = [];
  for (const pm2Home of agentPm2Homes(home)) {
    for (const app of pm2store.list(pm2Home)) {
      const d = pm2store.describe(app);
      apps.push({ pm2Home, name: app.def.name, status: d.state, pid: d.pid, restarts: d.restarts, script: app.def.script });
    }
  }
  const read = (f) => {
    try {
      return fs.readFileSync(path.join(p.profile, f), 'utf8').trim();
    } catch {
      return null;
    }
  };
  return { apps, tuiPort: read('tui-port'), configured: fs.existsSync(path.join(p.profile, 'config.json')) };
}

// ---- start-up --------------------------------------------------------------------------------

function listen(server, port, host) {
  return new Promise((resolve, reject) => {
    const onError = (error) => {
      server.removeListener('listening', onListening);
      reject(error);
    };
    const onListening = () => {
      server.removeListener('error', onError);
      resolve(server.address().port);
    };
    server.once('error', onError);
    server.once('listening', onListening);
    server.listen(port, host);
  });
}

// Prefers the port of the previous run so that links in the user's browser keep working.
async function listenPreferring(server, preferred, host) {
  if (Number.isInteger(preferred) && preferred > 0) {
    try {
      return await listen(server, preferred, host);
    } catch {
      // taken: fall through to a free one
    }
  }
  return listen(server, 0, host);
}

async function start(home, { settings = {} } = {}) {
  const p = sandbox.paths(home);
  const previous = sandbox.readJSON(p.services, null) || {};
  const sim = new Simulator(home);
  for (const [k, v] of Object.entries(settings)) sim.setSetting(k, v);
  const services = { controlToken: previous.controlToken || sandbox.randomToken(16) };

  const onboarding4 = http.createServer(handler(onboardingRoutes(sim)));
  const registry = http.createServer(handler(registryRoutes(sim)));
  const control = http.createServer(handler((req, res, url) => controlRoutes(sim, services)(req, res, url)));
  const servers = [onboarding4, registry, control];

  const onboardingPort = await listenPreferring(onboarding4, previous.ports?.onboarding, '127.0.0.1');
  // The service is addressed as "localhost", which may resolve to the IPv6 loopback first.
  const onboarding6 = http.createServer(handler(onboardingRoutes(sim)));
  try {
    await listen(onboarding6, onboardingPort, '::1');
    servers.push(onboarding6);
  } catch {
    // no IPv6 loopback here; IPv4 alone serves
  }
  const registryPort = await listenPreferring(registry, previous.ports?.registry, '127.0.0.1');
  const controlPort = await listenPreferring(control, previous.ports?.control, '127.0.0.1');

  Object.assign(services, {
    pid: process.pid,
    home: p.home,
    bundle: p.bundle,
    startedAt: new Date().toISOString(),
    ports: { onboarding: onboardingPort, registry: registryPort, control: controlPort },
    onboardingURL: `http://localhost:${onboardingPort}`,
    registryURL: `http://127.0.0.1:${registryPort}`,
    controlURL: `http://127.0.0.1:${controlPort}`,
  });
  sim.serviceURL = services.onboardingURL;
  sim.registryURL = services.registryURL;

  let stopping = false;
  services.stop = () => {
    if (stopping) return;
    stopping = true;
    sim.close();
    const current = sandbox.readJSON(p.services, null);
    if (current && current.pid === process.pid) fs.rmSync(p.services, { force: true });
    for (const s of servers) {
      s.close();
      s.closeAllConnections?.();
    }
  };
  const { stop, ...persisted } = services;
  sandbox.writeJSON(p.services, persisted);
  return { sim, services, servers };
}

if (require.main === module) {
  const args = process.argv.slice(2);
  let home = null;
  let settings = {};
  for (let i = 0; i < args.length; i += 1) {
    if (args[i] === '--home') home = args[++i];
    else if (args[i] === '--settings') settings = JSON.parse(args[++i]);
  }
  if (!home) {
    process.stderr.write('usage: services.cjs --home DIR [--settings JSON]\n');
    process.exit(2);
  }
  sandbox.record('sandbox-services', {}, home);
  start(home, { settings })
    .then(({ services }) => {
      process.stdout.write(`sandbox services: onboarding ${services.onboardingURL}, registry ${services.registryURL}, control ${services.controlURL}\n`);
      for (const sig of ['SIGTERM', 'SIGINT', 'SIGHUP']) process.on(sig, () => services.stop());
    })
    .catch((error) => {
      process.stderr.write(`sandbox services failed to start: ${error.stack || error}\n`);
      process.exit(1);
    });
}

module.exports = { start };
