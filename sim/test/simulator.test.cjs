'use strict';
// The simulated services' decisions, driven directly without HTTP.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { Simulator, canonicalCode } = require('../server/simulator.cjs');
const sandbox = require('../lib/sandbox.cjs');
const { makeHome } = require('./helpers.cjs');

const SERVICE = 'http://localhost:4010';

function simulator(t, settings = {}) {
  const home = makeHome(t);
  fs.mkdirSync(path.join(home, '.sandbox'), { recursive: true });
  fs.writeFileSync(path.join(home, '.sandbox', 'enrollment-key'), 'k'.repeat(40) + '\n');
  const sim = new Simulator(home);
  sim.serviceURL = SERVICE;
  sim.registryURL = 'http://127.0.0.1:4011';
  for (const [k, v] of Object.entries({ pace: 0, authorizeAfterMs: null, bindingAutoCompleteMs: null, ...settings })) sim.setSetting(k, v);
  t.after(() => sim.close());
  return { sim, home };
}

function configure(sim, code = 'QVS2-ABCD-EFGH-JKMN', agentName) {
  const s = sim.redeem({ code, agentName });
  sim.bootstrap(s);
  return { session: s, done: sim.complete(s) };
}

// The application's acceptance rules for an authorization page, restated for the test.
const OAUTH = {
  google: { hosts: ['accounts.google.com'], paths: ['/o/oauth2/auth', '/o/oauth2/v2/auth'], callback: '/api/profiles/google-oauth/callback' },
  zoho: { hosts: ['accounts.zoho.com'], paths: ['/oauth/v2/auth'], callback: '/api/profiles/zoho-oauth/callback' },
};
function acceptableAuthorizationURL(text, provider) {
  if (text.length > 2048 || /\s/.test(text)) return false;
  const url = new URL(text);
  const rule = OAUTH[provider];
  if (url.protocol !== 'https:' || (url.port && url.port !== '443') || url.username || url.password) return false;
  if (!rule.paths.includes(url.pathname) || !rule.hosts.includes(url.hostname)) return false;
  const names = [...url.searchParams.keys()];
  if (new Set(names).size !== names.length) return false;
  const q = url.searchParams;
  if (q.get('response_type') !== 'code' || !q.get('client_id') || !q.get('state') || !q.get('redirect_uri')) return false;
  const back = new URL(q.get('redirect_uri'));
  if (back.username || back.password || back.search || back.hash || back.pathname !== rule.callback) return false;
  return (back.protocol === 'http:' && back.hostname === 'localhost' && back.port === '3000') || (back.protocol === 'https:' && back.hostname === 'onboarding.quorvantis.dev');
}

test('setup codes: canonical form, redeem, completion makes the code unavailable', (t) => {
  const { sim } = simulator(t);
  assert.equal(canonicalCode('qvs2 abcd-efgh jkmn'), 'QVS2-ABCD-EFGH-JKMN');
  assert.equal(canonicalCode('QVS2-ABCD-EFGH-JKMO'), null);
  const first = sim.redeem({ code: 'qvs2abcdefghjkmn' });
  assert.equal(first.agentName, 'agent-abcdefgh');
  assert.deepEqual(sim.redeem({ code: 'QVS2-ABCD-EFGH-JKMN' }).sessionId, first.sessionId, 'an open session is handed out again');
  sim.bootstrap(first);
  const done = sim.complete(first);
  assert.match(done.apiKey, /^qsk_[0-9a-f]{48}$/);
  assert.equal(done.onboardingServiceUrl, SERVICE);
  assert.throws(() => sim.redeem({ code: 'QVS2-ABCD-EFGH-JKMN' }), /code_unavailable/);
});

test('QVI1 codes need a valid, free agent name', (t) => {
  const { sim } = simulator(t);
  assert.throws(() => sim.redeem({ code: 'QVI1-AAAA-BBBB-CCCC' }), /needs an agent name/);
  assert.throws(() => sim.redeem({ code: 'QVI1-AAAA-BBBB-CCCC', agentName: 'ab-cd' }), /not counting hyphens/);
  assert.throws(() => sim.redeem({ code: 'QVI1-AAAA-BBBB-CCCC', agentName: 'admin-desk' }), /reserved for administrative use/);
  configure(sim, 'QVI1-AAAA-BBBB-CCCC', 'sales-helper');
  assert.throws(() => sim.redeem({ code: 'QVI1-AAAA-BBBB-DDDD', agentName: 'sales-helper' }), (e) => /Agent ".+" already exists/i.test(e.message) && e.status === 409);
});

test('scripted failures are used up one attempt at a time', (t) => {
  const { sim } = simulator(t);
  sim.setFailure('bootstrapFailed', 2);
  const s = sim.redeem({ code: 'QVS2-ABCD-EFGH-JKMN' });
  assert.throws(() => sim.bootstrap(s), (e) => e.code === 'bootstrap_failed' && /bootstrap_failed/.test(e.message));
  assert.throws(() => sim.bootstrap(s), /bootstrap_failed/);
  assert.equal(sim.bootstrap(s).agentName, 'agent-abcdefgh');
  assert.equal(sim.state.failures.bootstrapFailed, 0);

  sim.setFailure('crash', 1);
  assert.equal(sim.bootstrap(s).directive, 'crash');
  sim.setFailure('codeUnavailable', 1);
  assert.throws(() => sim.redeem({ code: 'QVS2-ZZZZ-ZZZZ-ZZZZ' }), /code_unavailable/);
  assert.ok(sim.redeem({ code: 'QVS2-ZZZZ-ZZZZ-ZZZZ' }).sessionId);
  assert.throws(() => sim.setFailure('nonsense', 1), /unknown failure/);
});

test('enrolment checks the key and hands out a claimable setup code', (t) => {
  const { sim } = simulator(t);
  assert.throws(() => sim.enroll({ key: 'wrong', agentName: 'desk-robot', workspace: 'none' }), /invalid enrolment key/);
  sim.setFailure('enrollmentUnavailable', 1);
  assert.throws(() => sim.enroll({ key: 'k'.repeat(40), agentName: 'desk-robot', workspace: 'none' }), /enrollment_unavailable/);
  const enrolled = sim.enroll({ key: 'k'.repeat(40), agentName: 'desk-robot', workspace: 'none' });
  assert.ok(canonicalCode(enrolled.setupCode), 'the code is a valid setup code');
  const s = sim.redeem({ code: enrolled.setupCode });
  assert.equal(s.agentName, 'desk-robot');
});

for (const provider of ['google', 'zoho']) {
  test(`a ${provider} workspace gets an account and an authorization page the application accepts`, (t) => {
    const { sim } = simulator(t);
    const { setupCode } = sim.enroll({ key: 'k'.repeat(40), agentName: `${provider}-robot`, workspace: provider });
    const s = sim.redeem({ code: setupCode });
    const boot = sim.bootstrap(s);
    const auth = boot.authorization;
    assert.equal(auth.provider, provider);
    assert.match(auth.email, /^[^@]+@[^@]+$/);
    assert.ok(auth.password.length >= 1 && auth.password.includes(' '), 'a password with an inner space exercises the parser');
    assert.ok(acceptableAuthorizationURL(auth.authUrl, provider), auth.authUrl);
    assert.throws(() => sim.complete(s), /still pending/);
    assert.equal(sim.authorizationStatus(s).status, 'pending');
    sim.authorize();
    assert.equal(sim.authorizationStatus(s).status, 'authorized');
    assert.equal(sim.bootstrap(s).authorization.id, auth.id, 'a retried bootstrap keeps the same account');
    assert.equal(sim.complete(s).agentName, `${provider}-robot`);
  });
}

test('owner provisioning: bearer key, live link, pending attempt, completion', (t) => {
  const { sim } = simulator(t);
  const { done } = configure(sim);
  const name = done.agentName;
  assert.throws(() => sim.provisioningStatus(name, 'wrong'), (e) => e.status === 401);
  assert.deepEqual(sim.provisioningStatus(name, done.apiKey), { agentName: name, onboardingComplete: false, hasLiveSession: false });

  const link = sim.createLink(name, done.apiKey);
  const url = new URL(link.setupUrl);
  assert.equal(url.origin, new URL(SERVICE).origin);
  const parts = url.pathname.split('/');
  assert.deepEqual(parts.slice(-2), [name, 'setup']);
  assert.ok(url.hash.length > 1, 'the link carries its token in the fragment');
  assert.match(link.expiresAt, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/, 'no fractional seconds');
  const status = sim.provisioningStatus(name, done.apiKey);
  assert.equal(status.hasLiveSession, true);
  assert.equal(status.expiresAt, link.expiresAt);

  const token = url.hash.slice(1);
  assert.deepEqual(sim.setupStatus(name, token).liveAttempts, []);
  assert.equal(sim.startAttempt(name, token).liveAttempts[0].status, 'pending');
  assert.equal(sim.startAttempt(name, token).liveAttempts.length, 1, 'pressing twice keeps one attempt');

  const second = sim.createLink(name, done.apiKey);
  assert.throws(() => sim.setupStatus(name, token), /no longer valid/, 'a new link invalidates the old one');
  sim.clickBinding(name);
  sim.completeBinding();
  assert.deepEqual(sim.provisioningStatus(name, done.apiKey), { agentName: name, onboardingComplete: true });
  assert.equal(sim.setupStatus(name, new URL(second.setupUrl).hash.slice(1)).liveAttempts[0].status, 'completed');
});

test('provisioning failures: unavailable status, conflicting link request', (t) => {
  const { sim } = simulator(t);
  const { done } = configure(sim);
  sim.setFailure('provisioningUnavailable', 1);
  assert.throws(() => sim.provisioningStatus(done.agentName, done.apiKey), (e) => e.status === 503);
  sim.setFailure('provisioningConflict', 1);
  assert.throws(() => sim.createLink(done.agentName, done.apiKey), (e) => e.status === 409);
  assert.ok(sim.createLink(done.agentName, done.apiKey).setupUrl);
});

test('a pending attempt completes by itself when the sandbox says so', async (t) => {
  const { sim } = simulator(t, { bindingAutoCompleteMs: 0 });
  const { done } = configure(sim);
  const link = sim.createLink(done.agentName, done.apiKey);
  sim.startAttempt(done.agentName, new URL(link.setupUrl).hash.slice(1));
  await sandbox.sleep(20);
  assert.equal(sim.provisioningStatus(done.agentName, done.apiKey).onboardingComplete, true);
});

test('grants become flag files; ~/Library/Mail exists only with full disk access', (t) => {
  const { sim, home } = simulator(t);
  const mail = path.join(home, 'Library', 'Mail');
  assert.equal(fs.existsSync(mail), false);
  sim.setPermission('fullDiskAccess', true);
  assert.ok(fs.readdirSync(mail).length > 0);
  fs.writeFileSync(path.join(mail, 'kept'), 'x');
  sim.setPermission('fullDiskAccess', false);
  assert.throws(() => fs.readdirSync(mail), { code: 'ENOENT' });
  sim.setPermission('fullDiskAccess', true);
  assert.ok(fs.existsSync(path.join(mail, 'kept')), 'the same folder comes back');

  sim.setPermission('accessibility', true);
  assert.ok(sandbox.granted('accessibility.cliclick', home) && sandbox.granted('accessibility.node', home));
  sim.setPermission('accessibility.cliclick', false);
  assert.equal(sandbox.granted('accessibility.cliclick', home), false);
  assert.equal(sandbox.granted('accessibility.node', home), true);
  sim.setPermission('accessibility.cliclick', null);
  assert.equal(sandbox.granted('accessibility.cliclick', home), true);
  assert.equal(sandbox.granted('screenRecording', home), false);
  assert.throws(() => sim.setPermission('camera', true), /unknown permission/);
});

test('registry: publishing moves the tag; versions must look like versions', (t) => {
  const { sim } = simulator(t);
  assert.equal(sim.resolve('beta'), '1.4.0');
  sim.publish('1.5.0-beta.1');
  assert.equal(sim.resolve('beta'), '1.5.0-beta.1');
  assert.equal(sim.resolve('latest'), '1.4.0');
  assert.deepEqual(Object.keys(sim.packument().versions), ['1.4.0', '1.5.0-beta.1']);
  assert.throws(() => sim.publish('v2'), /version must look like/);
});

test('a pending attempt and authorization still complete after a restart of the services', async (t) => {
  const { sim, home } = simulator(t);
  const { done } = configure(sim);
  sim.createLink(done.agentName, done.apiKey);
  sim.clickBinding(done.agentName);
  const { setupCode } = sim.enroll({ key: 'k'.repeat(40), agentName: 'desk-robot', workspace: 'google' });
  const s = sim.redeem({ code: setupCode });
  sim.bootstrap(s);
  sim.setSetting('bindingAutoCompleteMs', 0);
  sim.setSetting('authorizeAfterMs', 0);
  sim.close();
  const again = new Simulator(home);
  t.after(() => again.close());
  await sandbox.sleep(20);
  assert.equal(again.state.agents[done.agentName].onboardingComplete, true);
  assert.equal(again.authorizationStatus(s).status, 'authorized');
});

test('the state survives a restart of the services', (t) => {
  const { sim, home } = simulator(t);
  configure(sim);
  sim.setPermission('screenRecording', true);
  const again = new Simulator(home);
  t.after(() => again.close());
  assert.equal(again.state.permissions.screenRecording, true);
  assert.ok(again.state.agents['agent-abcdefgh'].configured);
});

test('settings are checked before they are taken', (t) => {
  const { sim } = simulator(t);
  assert.throws(() => sim.setSetting('settingsAction', 'open'), /invalid value/);
  assert.throws(() => sim.setSetting('pace', -1), /invalid value/);
  assert.throws(() => sim.setSetting('statusHttpCode', '500'), /invalid value/);
  assert.throws(() => sim.setSetting('colour', 'red'), /unknown setting/);
  sim.setSetting('bindingAutoCompleteMs', null);
  sim.setSetting('statusHttpCode', 503);
  assert.equal(sim.state.settings.statusHttpCode, 503);
});
