'use strict';
// The simulated services over real loopback HTTP.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { start } = require('../server/services.cjs');
const { makeHome } = require('./helpers.cjs');

async function services(t, settings = {}) {
  const home = makeHome(t);
  fs.mkdirSync(path.join(home, '.sandbox'), { recursive: true });
  fs.writeFileSync(path.join(home, '.sandbox', 'enrollment-key'), 'e'.repeat(40));
  const running = await start(home, { settings: { pace: 0, bindingAutoCompleteMs: null, authorizeAfterMs: null, ...settings } });
  t.after(() => running.services.stop());
  return { home, ...running };
}

async function call(url, { method = 'GET', token, body, headers = {} } = {}) {
  const res = await fetch(url, {
    method,
    redirect: 'manual',
    headers: { ...(token ? { Authorization: `Bearer ${token}` } : {}), ...(body ? { 'Content-Type': 'application/json' } : {}), ...headers },
    body: body ? JSON.stringify(body) : undefined,
  });
  const text = await res.text();
  let json = null;
  try {
    json = JSON.parse(text);
  } catch {
    // HTML
  }
  return { status: res.status, json, text, headers: res.headers };
}

async function configuredAgent(svc) {
  const base = svc.services.onboardingURL;
  const s = (await call(`${base}/api/setup/redeem`, { method: 'POST', body: { code: 'QVS2-1234-5678-9ABC' } })).json;
  assert.equal((await call(`${base}/api/setup/sessions/${s.sessionId}/bootstrap`, { method: 'POST', token: s.resumeToken })).status, 200);
  return (await call(`${base}/api/setup/sessions/${s.sessionId}/complete`, { method: 'POST', token: s.resumeToken })).json;
}

test('services.json names the ports; the onboarding service answers as localhost on both loopbacks', async (t) => {
  const svc = await services(t);
  const written = JSON.parse(fs.readFileSync(path.join(svc.home, '.sandbox', 'services.json'), 'utf8'));
  assert.equal(written.pid, process.pid);
  assert.equal(written.onboardingURL, `http://localhost:${written.ports.onboarding}`);
  assert.equal(fs.statSync(path.join(svc.home, '.sandbox', 'services.json')).mode & 0o777, 0o600);
  for (const host of ['127.0.0.1', '[::1]']) {
    const res = await call(`http://${host}:${written.ports.onboarding}/`).catch(() => null);
    if (host === '[::1]' && !res) continue; // a machine without IPv6 loopback
    assert.equal(res.status, 200);
  }
});

test('setup API errors carry the phrases the application recognises', async (t) => {
  const svc = await services(t);
  const base = svc.services.onboardingURL;
  svc.sim.setFailure('codeUnavailable', 1);
  const gone = await call(`${base}/api/setup/redeem`, { method: 'POST', body: { code: 'QVS2-1234-5678-9ABC' } });
  assert.equal(gone.status, 410);
  assert.match(gone.json.message, /code_unavailable/);
  const enrolBadKey = await call(`${base}/api/setup/enroll`, { method: 'POST', token: 'nope', body: { agentName: 'desk-robot', workspace: 'none' } });
  assert.equal(enrolBadKey.status, 401);
  const enrolled = await call(`${base}/api/setup/enroll`, { method: 'POST', token: 'e'.repeat(40), body: { agentName: 'desk-robot', workspace: 'none' } });
  assert.equal(enrolled.status, 200);
  const s = (await call(`${base}/api/setup/redeem`, { method: 'POST', body: { code: enrolled.json.setupCode } })).json;
  svc.sim.setFailure('bootstrapFailed', 1);
  const busy = await call(`${base}/api/setup/sessions/${s.sessionId}/bootstrap`, { method: 'POST', token: s.resumeToken });
  assert.equal(busy.status, 503);
  assert.match(busy.json.message, /bootstrap_failed/);
  const wrongToken = await call(`${base}/api/setup/sessions/${s.sessionId}/bootstrap`, { method: 'POST', token: 'rt_x' });
  assert.equal(wrongToken.status, 401);
});

test('owner provisioning and the binding page over HTTP', async (t) => {
  const svc = await services(t);
  const base = svc.services.onboardingURL;
  const agent = await configuredAgent(svc);
  const provisioning = `${base}/api/agents/${agent.agentName}/owner-provisioning`;
  assert.equal((await call(provisioning)).status, 401);
  assert.deepEqual((await call(provisioning, { token: agent.apiKey })).json, { agentName: agent.agentName, onboardingComplete: false, hasLiveSession: false });
  const link = await call(provisioning, { method: 'POST', token: agent.apiKey });
  assert.ok(link.status >= 200 && link.status < 300);
  const setupUrl = new URL(link.json.setupUrl);
  assert.equal(setupUrl.origin, base);
  const token = setupUrl.hash.slice(1);

  const page = await call(setupUrl.href.split('#')[0]);
  assert.equal(page.status, 200);
  assert.match(page.headers.get('content-type'), /text\/html/);
  assert.match(page.text, /<button id="bind"/);
  assert.ok(page.text.includes(agent.agentName));

  const api = `${base}/api/agents/${agent.agentName}/setup`;
  assert.equal((await call(api, { token: 'lt_wrong' })).status, 401);
  assert.deepEqual((await call(api, { token })).json.liveAttempts, []);
  const pressed = await call(`${api}/attempts`, { method: 'POST', token });
  assert.equal(pressed.json.liveAttempts[0].status, 'pending');
  svc.sim.completeBinding(agent.agentName);
  assert.equal((await call(provisioning, { token: agent.apiKey })).json.onboardingComplete, true);
});

test('registry: the beta document, the full document, and an outage', async (t) => {
  const svc = await services(t);
  const base = svc.services.registryURL;
  const beta = await call(`${base}/quorvantis/beta`);
  assert.equal(beta.status, 200);
  assert.equal(beta.json.version, '1.4.0');
  svc.sim.publish('1.6.0-beta.3');
  assert.equal((await call(`${base}/quorvantis/beta`)).json.version, '1.6.0-beta.3');
  assert.deepEqual((await call(`${base}/quorvantis`)).json['dist-tags'], { latest: '1.4.0', beta: '1.6.0-beta.3' });
  assert.equal((await call(`${base}/other/beta`)).status, 404);
  svc.sim.state.registry.down = true;
  assert.equal((await call(`${base}/quorvantis/beta`)).status, 503);
});

test('control interface needs its token; the settings page grants and revokes', async (t) => {
  const svc = await services(t);
  const { controlURL, controlToken } = svc.services;
  assert.equal((await call(`${controlURL}/control/state`)).status, 403);
  const state = await call(`${controlURL}/control/state`, { headers: { 'X-Sandbox-Token': controlToken } });
  assert.equal(state.status, 200);
  assert.equal(state.json.state.permissions.screenRecording, false);

  assert.equal((await call(`${controlURL}/settings?token=wrong`)).status, 403);
  const page = await call(`${controlURL}/settings?token=${controlToken}&pane=accessibility`);
  assert.match(page.text, /辅助功能/);
  const toggled = await fetch(`${controlURL}/settings?token=${controlToken}`, {
    method: 'POST',
    redirect: 'manual',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'permission=accessibility&granted=true&focus=accessibility',
  });
  assert.equal(toggled.status, 303);
  assert.equal(svc.sim.state.permissions.accessibility, true);
  assert.ok(fs.existsSync(path.join(svc.home, '.sandbox', 'grants', 'accessibility.node')));
});

test('opening a privacy pane in "grant" mode grants that permission', async (t) => {
  const svc = await services(t, { settingsAction: 'grant' });
  const { controlURL, controlToken } = svc.services;
  const res = await call(`${controlURL}/control/opened`, {
    method: 'POST',
    headers: { 'X-Sandbox-Token': controlToken },
    body: { url: 'x-apple.systempreferences:com.apple.preference.security?Privacy_AllFiles' },
  });
  assert.deepEqual(res.json, { action: 'grant', permission: 'fullDiskAccess' });
  for (let i = 0; i < 50 && !svc.sim.state.permissions.fullDiskAccess; i += 1) await new Promise((r) => setTimeout(r, 10));
  assert.equal(svc.sim.state.permissions.fullDiskAccess, true);
  assert.ok(fs.readdirSync(path.join(svc.home, 'Library', 'Mail')).length > 0);
});

test('without a browser the sandbox plays the user: it grants the pane, it presses the bind button', async (t) => {
  const svc = await services(t, { settingsAction: 'page', browser: 'real' });
  const { controlURL, controlToken } = svc.services;
  const opened = (url) => call(`${controlURL}/control/opened`, { method: 'POST', headers: { 'X-Sandbox-Token': controlToken }, body: { url } });
  // No real-env.json: the user's browser cannot be reached.
  assert.deepEqual((await opened('x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture')).json, { action: 'grant', permission: 'screenRecording' });
  const agent = await configuredAgent(svc);
  const link = (await call(`${svc.services.onboardingURL}/api/agents/${agent.agentName}/owner-provisioning`, { method: 'POST', token: agent.apiKey })).json;
  assert.deepEqual((await opened(link.setupUrl)).json, { action: 'press-bind', agentName: agent.agentName });
  assert.deepEqual((await opened('https://example.invalid/page')).json, { action: 'record' });
  const { setupCode } = svc.sim.enroll({ key: 'e'.repeat(40), agentName: 'mail-robot', workspace: 'zoho' });
  const auth = svc.sim.bootstrap(svc.sim.redeem({ code: setupCode })).authorization;
  assert.deepEqual((await opened(auth.authUrl)).json, { action: 'authorize', id: auth.id });
  const token = new URL(link.setupUrl).hash.slice(1);
  let attempts = [];
  for (let i = 0; i < 50 && attempts.length === 0; i += 1) {
    await new Promise((r) => setTimeout(r, 10));
    attempts = (await call(`${svc.services.onboardingURL}/api/agents/${agent.agentName}/setup`, { token })).json.liveAttempts;
  }
  assert.equal(attempts[0].status, 'pending');
  assert.equal(svc.sim.state.permissions.screenRecording, true);
  assert.equal(svc.sim.state.authorizations[auth.id].status, 'authorized');
});
