'use strict';
// The simulator's state and every decision the simulated services make, without any HTTP, so
// that the self-tests can drive it directly. The services (services.cjs) are a thin layer over it.

const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const sandbox = require('../lib/sandbox.cjs');

const CODE_ALPHABET = '0123456789ABCDEFGHJKMNPQRSTVWXYZ';
const PERMISSIONS = ['screenRecording', 'accessibility', 'fullDiskAccess'];
const RESERVED_NAMES = /^(admin|administrator|root|system|support|quorvantis)(-|$)/;
const NAME_PATTERN = /^[a-z0-9](?:[a-z0-9-]*[a-z0-9])?$/;

const isCount = (v) => typeof v === 'number' && Number.isFinite(v) && v >= 0;
const SETTING_RULES = {
  pace: isCount,
  warmupMs: isCount,
  demo: (v) => typeof v === 'boolean',
  demoStepMs: isCount,
  bindingAutoCompleteMs: (v) => v === null || isCount(v),
  authorizeAfterMs: (v) => v === null || isCount(v),
  settingsAction: (v) => ['page', 'grant', 'record'].includes(v),
  browser: (v) => ['real', 'record'].includes(v),
  authFormat: (v) => ['text', 'json'].includes(v),
  statusHttpCode: (v) => Number.isInteger(v) && v >= 100 && v <= 599,
  cliclickOutput: (v) => typeof v === 'string',
  linkTtlSeconds: (v) => isCount(v) && v > 0,
  agentOpensBinding: (v) => typeof v === 'boolean',
  pnpmLayout: (v) => [10, 11].includes(v),
};

class SimError extends Error {
  constructor(status, code, message) {
    super(message);
    this.status = status;
    this.code = code;
  }
}

function canonicalCode(text) {
  const raw = String(text || '').toUpperCase().replace(/[-\s]/g, '');
  if (raw.length !== 16 || !/^(QVS2|QVI1)/.test(raw)) return null;
  for (const ch of raw.slice(4)) if (!CODE_ALPHABET.includes(ch)) return null;
  return raw.match(/.{4}/g).join('-');
}

function randomCode(prefix) {
  const bytes = crypto.randomBytes(12);
  let body = '';
  for (const b of bytes) body += CODE_ALPHABET[b % 32];
  return canonicalCode(prefix + body);
}

class Simulator {
  constructor(home, { now = () => new Date(), onChange = () => {} } = {}) {
    this.paths = sandbox.paths(home);
    this.home = this.paths.home;
    this.now = now;
    this.onChange = onChange;
    this.serviceURL = null; // set by the services once the port is known
    this.registryURL = null;
    this.timers = new Set();
    this.state = sandbox.readState(home);
    fs.mkdirSync(this.paths.sandbox, { recursive: true, mode: 0o700 });
    this.applyGrants();
    this.save();
    this.resumeTimers();
  }

  // Timers do not survive a restart of the services: pick up what was waiting for one.
  resumeTimers() {
    const { authorizeAfterMs, bindingAutoCompleteMs } = this.state.settings;
    if (authorizeAfterMs !== null) {
      for (const auth of Object.values(this.state.authorizations)) {
        if (auth.status === 'pending') this.later(this.scaled(Number(authorizeAfterMs)), () => this.authorize(auth.id));
      }
    }
    if (bindingAutoCompleteMs !== null) {
      for (const agent of Object.values(this.state.agents)) {
        if (agent.attempts.some((a) => a.status === 'pending')) {
          this.later(this.scaled(Number(bindingAutoCompleteMs)), () => this.completeBinding(agent.name));
        }
      }
    }
  }

  save() {
    sandbox.writeJSON(this.paths.state, this.state);
    this.mirrorCliclickOutput();
    this.onChange(this.state);
  }

  // The native cliclick stand-in reads its warning from a file of its own, as it reads grants.
  mirrorCliclickOutput() {
    const file = path.join(this.paths.sandbox, 'cliclick-output');
    const warning = this.state.settings.cliclickOutput;
    if (!warning) {
      fs.rmSync(file, { force: true });
      return;
    }
    let current = null;
    try {
      current = fs.readFileSync(file, 'utf8');
    } catch {
      // none yet
    }
    if (current !== warning) sandbox.writeFileAtomic(file, warning, 0o644);
  }

  close() {
    for (const t of this.timers) clearTimeout(t);
    this.timers.clear();
  }

  later(ms, fn) {
    const t = setTimeout(() => {
      this.timers.delete(t);
      fn();
    }, ms);
    t.unref?.();
    this.timers.add(t);
  }

  scaled(ms) {
    const pace = Number(this.state.settings.pace);
    return Number.isFinite(pace) && pace >= 0 ? ms * pace : ms;
  }

  // Consumes one scripted failure of that kind; true when this attempt must fail.
  takeFailure(kind) {
    const left = Number(this.state.failures[kind]) || 0;
    if (left <= 0) return false;
    this.state.failures[kind] = left - 1;
    this.save();
    return true;
  }

  // ---- permissions -------------------------------------------------------------------------

  setPermission(name, value) {
    const on = Boolean(value);
    if (PERMISSIONS.includes(name)) {
      this.state.permissions[name] = on;
    } else if (name === 'accessibility.cliclick' || name === 'accessibility.node') {
      this.state.accessibilityOverrides[name.split('.')[1]] = value === null ? null : on;
    } else {
      throw new SimError(400, 'unknown_permission', `unknown permission ${name}`);
    }
    this.applyGrants();
    this.save();
  }

  effectiveGrants() {
    const p = this.state.permissions;
    const o = this.state.accessibilityOverrides;
    return {
      screenRecording: Boolean(p.screenRecording),
      fullDiskAccess: Boolean(p.fullDiskAccess),
      'accessibility.cliclick': o.cliclick === null ? Boolean(p.accessibility) : Boolean(o.cliclick),
      'accessibility.node': o.node === null ? Boolean(p.accessibility) : Boolean(o.node),
    };
  }

  // Mirrors the grants into flag files and makes ~/Library/Mail readable only with full disk
  // access. The folder is moved aside rather than made unreadable: tests run as root, for whom
  // permission bits mean nothing.
  applyGrants() {
    fs.mkdirSync(this.paths.grants, { recursive: true });
    for (const [name, on] of Object.entries(this.effectiveGrants())) {
      const file = path.join(this.paths.grants, name);
      if (on) fs.writeFileSync(file, 'granted\n');
      else fs.rmSync(file, { force: true });
    }
    const { mail, hiddenMail } = this.paths;
    if (this.state.permissions.fullDiskAccess) {
      if (!fs.existsSync(mail)) {
        fs.mkdirSync(path.dirname(mail), { recursive: true });
        if (fs.existsSync(hiddenMail)) fs.renameSync(hiddenMail, mail);
        else {
          fs.mkdirSync(path.join(mail, 'V10', 'MailData'), { recursive: true });
          fs.writeFileSync(path.join(mail, 'V10', 'MailData', 'Envelope Index'), 'sandbox mail index\n');
        }
      }
    } else if (fs.existsSync(mail)) {
      fs.rmSync(hiddenMail, { recursive: true, force: true });
      fs.mkdirSync(path.dirname(hiddenMail), { recursive: true });
      fs.renameSync(mail, hiddenMail);
    }
  }

  // ---- setup service -----------------------------------------------------------------------

  checkName(name) {
    if (typeof name !== 'string' || !name) throw new SimError(400, 'agent_name_missing', 'agent name is required');
    if (this.takeFailure('nameReserved') || RESERVED_NAMES.test(name)) {
      throw new SimError(422, 'agent_name_reserved', `agent_name_reserved: the name "${name}" is reserved for administrative use`);
    }
    if (this.takeFailure('nameTooShort') || name.replace(/-/g, '').length < 6) {
      throw new SimError(422, 'agent_name_too_short', 'agent_name_too_short: an agent name needs at least 6 characters, not counting hyphens');
    }
    if (name.length > 64 || !NAME_PATTERN.test(name)) {
      throw new SimError(422, 'agent_name_invalid', 'agent name is invalid');
    }
    const existing = this.state.agents[name];
    if (this.takeFailure('nameTaken') || (existing && existing.configured)) {
      throw new SimError(409, 'agent_exists', `Agent "${name}" already exists`);
    }
  }

  enrollmentKey() {
    try {
      return fs.readFileSync(this.paths.enrollmentKey, 'utf8').trim();
    } catch {
      return null;
    }
  }

  enroll({ key, agentName, workspace }) {
    const expected = this.enrollmentKey();
    if (!expected || key !== expected) throw new SimError(401, 'enrollment_key_invalid', 'invalid enrolment key');
    if (this.takeFailure('enrollmentUnavailable')) {
      throw new SimError(503, 'enrollment_unavailable', 'enrollment_unavailable: self-service enrolment is closed right now');
    }
    if (!['none', 'zoho', 'google'].includes(workspace)) throw new SimError(400, 'workspace_invalid', 'workspace must be none, zoho or google');
    this.checkName(agentName);
    const setupCode = randomCode('QVS2');
    this.state.agents[agentName] = this.newAgent(agentName, workspace, setupCode);
    this.save();
    return { setupCode, agentName };
  }

  newAgent(name, workspace, setupCode) {
    return {
      name,
      workspace,
      setupCode,
      configured: false,
      apiKey: null,
      onboardingComplete: false,
      link: null,
      attempts: [],
      createdAt: this.now().toISOString(),
    };
  }

  redeem({ code, agentName }) {
    const canonical = canonicalCode(code);
    if (!canonical) throw new SimError(400, 'code_invalid', 'setup code is invalid');
    if (this.takeFailure('codeUnavailable')) {
      throw new SimError(410, 'code_unavailable', 'code_unavailable: this setup code is no longer available');
    }
    const used = Object.values(this.state.agents).find((a) => a.setupCode === canonical && a.configured);
    if (used) throw new SimError(410, 'code_unavailable', 'code_unavailable: this setup code is no longer available');
    const open = Object.entries(this.state.sessions).find(([, s]) => s.setupCode === canonical && !s.completed);
    if (open) return { sessionId: open[0], resumeToken: open[1].resumeToken, agentName: open[1].agentName, setupCode: canonical };

    let agent = Object.values(this.state.agents).find((a) => a.setupCode === canonical);
    if (!agent) {
      let name;
      if (canonical.startsWith('QVI1')) {
        if (!agentName) throw new SimError(400, 'agent_name_missing', 'this setup code needs an agent name');
        name = String(agentName).trim().toLowerCase();
        this.checkName(name);
      } else {
        name = `agent-${canonical.slice(5, 9)}${canonical.slice(10, 14)}`.toLowerCase();
      }
      agent = this.newAgent(name, 'none', canonical);
      this.state.agents[name] = agent;
    }
    const sessionId = `ses_${sandbox.randomToken(8)}`;
    this.state.sessions[sessionId] = {
      resumeToken: `rt_${sandbox.randomToken(16)}`,
      setupCode: canonical,
      agentName: agent.name,
      completed: false,
      authorizationId: null,
    };
    this.save();
    return { sessionId, resumeToken: this.state.sessions[sessionId].resumeToken, agentName: agent.name, setupCode: canonical };
  }

  session(sessionId, resumeToken) {
    const s = this.state.sessions[sessionId];
    if (!s || s.resumeToken !== resumeToken) throw new SimError(401, 'session_invalid', 'setup session is invalid or expired');
    if (s.completed) throw new SimError(410, 'code_unavailable', 'code_unavailable: this setup session is already complete');
    return s;
  }

  // The configure step. May be scripted to fail transiently or to crash the client; for an agent
  // with a workspace it hands out the new workspace account and its authorization page.
  bootstrap({ sessionId, resumeToken }) {
    const s = this.session(sessionId, resumeToken);
    if (this.takeFailure('crash')) return { directive: 'crash' };
    if (this.takeFailure('bootstrapFailed')) {
      throw new SimError(503, 'bootstrap_failed', 'bootstrap_failed: the setup service could not finish configuring the agent');
    }
    const agent = this.state.agents[s.agentName];
    const result = { agentName: agent.name, workspace: agent.workspace };
    if (agent.workspace !== 'none') {
      let auth = s.authorizationId && this.state.authorizations[s.authorizationId];
      if (!auth) {
        auth = this.newAuthorization(agent);
        s.authorizationId = auth.id;
        this.save();
      }
      result.authorization = auth;
      if (auth.status === 'pending' && this.state.settings.authorizeAfterMs !== null) {
        this.later(this.scaled(Number(this.state.settings.authorizeAfterMs)), () => this.authorize(auth.id));
      }
    }
    return result;
  }

  newAuthorization(agent) {
    const provider = agent.workspace;
    const id = `auth_${sandbox.randomToken(6)}`;
    const domain = provider === 'google' ? 'workspace.example.com' : 'zoho-workspace.example.com';
    const query = new URLSearchParams({
      response_type: 'code',
      client_id: `sandbox-${provider}-client`,
      state: id,
      redirect_uri: `http://localhost:3000/api/profiles/${provider}-oauth/callback`,
      scope: provider === 'google' ? 'https://mail.google.com/' : 'ZohoMail.messages.ALL',
      access_type: 'offline',
    });
    const authUrl =
      provider === 'google'
        ? `https://accounts.google.com/o/oauth2/v2/auth?${query}`
        : `https://accounts.zoho.com/oauth/v2/auth?${query}`;
    const auth = {
      id,
      provider,
      email: `${agent.name}@${domain}`,
      password: `Sbx ${sandbox.randomToken(5)}!`,
      authUrl,
      status: 'pending',
    };
    this.state.authorizations[id] = auth;
    return auth;
  }

  authorize(id) {
    const pending = Object.values(this.state.authorizations).filter((a) => a.status === 'pending');
    const target = id ? this.state.authorizations[id] : pending[pending.length - 1];
    if (!target) throw new SimError(404, 'authorization_missing', 'no pending workspace authorization');
    target.status = 'authorized';
    this.save();
    return target;
  }

  authorizationStatus({ sessionId, resumeToken }) {
    const s = this.session(sessionId, resumeToken);
    const auth = s.authorizationId && this.state.authorizations[s.authorizationId];
    return { status: auth ? auth.status : 'authorized' };
  }

  complete({ sessionId, resumeToken }) {
    const s = this.session(sessionId, resumeToken);
    const auth = s.authorizationId && this.state.authorizations[s.authorizationId];
    if (auth && auth.status !== 'authorized') throw new SimError(409, 'authorization_pending', 'workspace authorization is still pending');
    const agent = this.state.agents[s.agentName];
    agent.configured = true;
    agent.apiKey = `qsk_${sandbox.randomToken(24)}`;
    s.completed = true;
    this.save();
    return { agentName: agent.name, apiKey: agent.apiKey, onboardingServiceUrl: this.serviceURL };
  }

  // ---- owner provisioning and the binding page ----------------------------------------------

  agentByKey(name, bearer) {
    const agent = this.state.agents[name];
    if (!agent || !agent.configured) throw new SimError(404, 'agent_missing', 'no such agent');
    if (!bearer || bearer !== agent.apiKey) throw new SimError(401, 'unauthorized', 'invalid service key');
    return agent;
  }

  linkLive(agent) {
    return Boolean(agent.link) && Date.parse(agent.link.expiresAt) > this.now().getTime();
  }

  provisioningStatus(name, bearer) {
    const agent = this.agentByKey(name, bearer);
    if (this.takeFailure('provisioningUnavailable')) throw new SimError(503, 'unavailable', 'provisioning temporarily unavailable');
    const body = { agentName: name, onboardingComplete: agent.onboardingComplete };
    if (!agent.onboardingComplete) {
      body.hasLiveSession = this.linkLive(agent);
      if (body.hasLiveSession) body.expiresAt = agent.link.expiresAt;
    }
    return body;
  }

  createLink(name, bearer) {
    const agent = this.agentByKey(name, bearer);
    if (this.takeFailure('provisioningConflict')) throw new SimError(409, 'state_changed', 'provisioning state changed');
    if (agent.onboardingComplete) throw new SimError(409, 'state_changed', 'onboarding is already complete');
    const ttl = Number(this.state.settings.linkTtlSeconds) || 1800;
    agent.link = {
      token: `lt_${sandbox.randomToken(16)}`,
      expiresAt: sandbox.isoSeconds(new Date(this.now().getTime() + ttl * 1000)),
    };
    agent.attempts = [];
    this.save();
    return {
      setupUrl: `${this.serviceURL}/agents/${encodeURIComponent(name)}/setup#${agent.link.token}`,
      expiresAt: agent.link.expiresAt,
    };
  }

  agentByLinkToken(name, token) {
    const agent = this.state.agents[name];
    if (!agent || !agent.link || !token || agent.link.token !== token || !this.linkLive(agent)) {
      throw new SimError(401, 'link_invalid', 'this binding link is no longer valid');
    }
    return agent;
  }

  setupStatus(name, token) {
    const agent = this.agentByLinkToken(name, token);
    return {
      agentName: name,
      onboardingComplete: agent.onboardingComplete,
      expiresAt: agent.link.expiresAt,
      liveAttempts: agent.attempts.map((a) => ({ id: a.id, status: a.status, createdAt: a.createdAt })),
    };
  }

  // The owner pressed the bind button on the page: the attempt is pending until the channel
  // confirms, which happens by itself after a while or through the control interface.
  startAttempt(name, token) {
    const agent = this.agentByLinkToken(name, token);
    if (agent.onboardingComplete) return this.setupStatus(name, token);
    let attempt = agent.attempts.find((a) => a.status === 'pending');
    if (!attempt) {
      attempt = { id: `att_${sandbox.randomToken(6)}`, status: 'pending', createdAt: sandbox.isoSeconds(this.now()) };
      agent.attempts.push(attempt);
      this.save();
    }
    const after = this.state.settings.bindingAutoCompleteMs;
    if (after !== null && after !== undefined) {
      this.later(this.scaled(Number(after)), () => {
        if (attempt.status === 'pending') this.completeBinding(name);
      });
    }
    return this.setupStatus(name, token);
  }

  // Finishes the binding of the named agent (or the only/last configured one).
  completeBinding(name) {
    const agent = this.pickAgent(name);
    for (const a of agent.attempts) if (a.status === 'pending') a.status = 'completed';
    agent.onboardingComplete = true;
    this.save();
    return { agentName: agent.name, onboardingComplete: true };
  }

  // The control interface's stand-in for the owner pressing the button in a browser.
  clickBinding(name) {
    const agent = this.pickAgent(name);
    if (!agent.link) throw new SimError(409, 'no_link', 'the agent has no binding link yet');
    return this.startAttempt(agent.name, agent.link.token);
  }

  pickAgent(name) {
    if (name) {
      const agent = this.state.agents[name];
      if (!agent) throw new SimError(404, 'agent_missing', `no agent named ${name}`);
      return agent;
    }
    const configured = Object.values(this.state.agents).filter((a) => a.configured);
    if (configured.length === 0) throw new SimError(404, 'agent_missing', 'no configured agent yet');
    return configured[configured.length - 1];
  }

  // ---- registry ------------------------------------------------------------------------------

  publish(version, tag = 'beta') {
    if (!/^\d+\.\d+\.\d+(-[0-9A-Za-z.-]+)?$/.test(version)) throw new SimError(400, 'version_invalid', 'version must look like 1.2.3 or 1.2.3-beta.1');
    if (!this.state.registry.versions.includes(version)) this.state.registry.versions.push(version);
    this.state.registry.distTags[tag] = version;
    this.save();
    return this.state.registry;
  }

  packument() {
    const reg = this.state.registry;
    const versions = {};
    for (const v of reg.versions) versions[v] = this.versionDocument(v);
    return { name: 'quorvantis', 'dist-tags': reg.distTags, versions };
  }

  versionDocument(version) {
    return {
      name: 'quorvantis',
      version,
      description: 'Quorvantis Agent (sandbox build)',
      bin: { quorvantis: 'dist-agent/bundle.cjs' },
      dist: { tarball: `${this.registryURL}/quorvantis/-/quorvantis-${version}.tgz` },
    };
  }

  resolve(spec) {
    const reg = this.state.registry;
    if (reg.distTags[spec]) return reg.distTags[spec];
    if (reg.versions.includes(spec)) return spec;
    return null;
  }

  // ---- settings and failures -----------------------------------------------------------------

  setSetting(key, value) {
    if (!(key in this.state.settings)) throw new SimError(400, 'unknown_setting', `unknown setting ${key}`);
    const check = SETTING_RULES[key];
    if (check && !check(value)) throw new SimError(400, 'setting_invalid', `invalid value for ${key}: ${JSON.stringify(value)}`);
    this.state.settings[key] = value;
    this.save();
  }

  setFailure(kind, count) {
    if (!(kind in this.state.failures)) throw new SimError(400, 'unknown_failure', `unknown failure ${kind}`);
    const n = Number(count);
    if (!Number.isInteger(n) || n < 0) throw new SimError(400, 'count_invalid', 'count must be a whole number');
    this.state.failures[kind] = n;
    this.save();
  }

  clearFailures() {
    for (const k of Object.keys(this.state.failures)) this.state.failures[k] = 0;
    this.save();
  }
}

module.exports = { Simulator, SimError, canonicalCode, randomCode, PERMISSIONS };
