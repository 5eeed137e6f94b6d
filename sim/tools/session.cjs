#!/usr/bin/env node
'use strict';
// The sandbox's agent command-line session: what the bundle's quorvantis-cli-session.sh runs.
//
//   --prepare                                   prepare the private runtime
//   --setup-only [NAME]                         set up with the code on standard input
//   --setup-only --enroll --workspace W NAME    enrol with the key on standard input
//   --setup-only --resume                       continue an interrupted setup
//
// Progress goes to standard output as JSON lines; messages and errors go to standard error.

const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const { spawnSync } = require('child_process');
const sandbox = require('../lib/sandbox.cjs');

const SIM_ROOT = path.resolve(__dirname, '..');
const P = sandbox.paths();

class Failure extends Error {
  constructor(message, status = 1) {
    super(message);
    this.status = status;
  }
}

function progress(phase, status, detail) {
  const line = { type: 'progress', phase, status };
  if (detail !== undefined) line.detail = detail;
  process.stdout.write(JSON.stringify(line) + '\n');
}

function packageProgress(completed, total) {
  process.stdout.write(JSON.stringify({ type: 'packageProgress', completed, total }) + '\n');
}

function say(text) {
  process.stderr.write(text + '\n');
}

function readStdinLine() {
  let data = '';
  try {
    data = fs.readFileSync(0, 'utf8');
  } catch {
    return '';
  }
  return data.split('\n')[0].trim();
}

function serviceURL() {
  const fromEnv = process.env.QUORVANTIS_ONBOARDING_SERVICE_URL;
  if (fromEnv) return fromEnv.replace(/\/+$/, '');
  const services = sandbox.readServices();
  if (services && services.onboardingURL) return services.onboardingURL;
  throw new Failure('Error: onboarding service is not configured (QUORVANTIS_ONBOARDING_SERVICE_URL unset)', 3);
}

async function call(method, route, { body, token } = {}) {
  const headers = { Accept: 'application/json' };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (token) headers.Authorization = `Bearer ${token}`;
  let res;
  try {
    res = await fetch(serviceURL() + route, { method, headers, body: body === undefined ? undefined : JSON.stringify(body), redirect: 'error' });
  } catch (error) {
    throw new Failure(`Error: onboarding service unavailable (${error.cause?.code || error.message})`, 3);
  }
  const text = await res.text();
  let json = {};
  try {
    json = JSON.parse(text);
  } catch {
    // not JSON; handled below
  }
  if (!res.ok) throw new Failure(`Error: ${json.message || `request failed with HTTP ${res.status}`}`);
  return json;
}


function pause(ms) {
  return sandbox.pause(ms);
}

// ---- runtime preparation ---------------------------------------------------------------------

function shellQuote(text) {
  return `'${String(text).replace(/'/g, `'\\''`)}'`;
}

function writeShim(file, node, script) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, `#!/bin/bash\n# sandbox stand-in\nexec ${shellQuote(node)} --no-warnings ${shellQuote(script)} "$@"\n`, { mode: 0o755 });
  fs.chmodSync(file, 0o755);
}

// Builds one of the native stand-ins (sim/native) once per source, cached in the sandbox, and
// installs it at target: the probe module as a Node-API addon, the others as programs.
function buildNative(name, target, { shared = false } = {}) {
  const native = path.join(SIM_ROOT, 'native');
  const source = path.join(native, `${name}.c`);
  const hash = crypto.createHash('sha256');
  for (const file of [source, path.join(native, 'standin-record.h')]) hash.update(fs.readFileSync(file));
  const cached = path.join(P.cache, `${name}-${hash.digest('hex').slice(0, 16)}${shared ? '.node' : ''}`);
  if (!fs.existsSync(cached)) {
    fs.mkdirSync(P.cache, { recursive: true });
    const cc = process.env.CC || 'cc';
    const args = [...(shared ? ['-shared', '-fPIC'] : []), '-O2', '-o', `${cached}.tmp`, source];
    const out = spawnSync(cc, args, { encoding: 'utf8' });
    if (out.status !== 0) {
      throw new Failure(`Error: cannot build ${path.basename(target)} (${cc}: ${(out.stderr || out.error?.message || '').trim()})`);
    }
    fs.renameSync(`${cached}.tmp`, cached);
  }
  fs.mkdirSync(path.dirname(target), { recursive: true });
  // A new file rather than writing into the old one: a running copy keeps its own.
  fs.rmSync(target, { force: true });
  fs.copyFileSync(cached, target);
  fs.chmodSync(target, 0o755);
}

async function prepare() {
  progress('runtime', 'running', '检查 Node.js');
  await pause(400);
  const systemNode = fs.realpathSync(process.execPath);
  const privateNode = path.join(P.runtimeRoot, 'node', 'bin', 'node');
  fs.mkdirSync(path.dirname(privateNode), { recursive: true });
  fs.rmSync(privateNode, { force: true });
  fs.symlinkSync(systemNode, privateNode);
  sandbox.writeFileAtomic(P.nodePathFile, privateNode + '\n', 0o644);
  say(`Node.js ${process.version} at ${privateNode}`);

  progress('runtime', 'running', '安装 pnpm');
  await pause(300);
  writeShim(path.join(P.runtimeBin, 'pnpm'), privateNode, path.join(SIM_ROOT, 'tools', 'pnpm.cjs'));
  // The runtime's own directories; what an administrator put there (a mirror) stays.
  let npmrc = '';
  try {
    npmrc = fs.readFileSync(P.npmrc, 'utf8');
  } catch {
    // none yet
  }
  const wanted = { 'global-dir': `${P.runtimeRoot}/pnpm-global`, 'global-bin-dir': P.runtimeBin, 'store-dir': `${P.runtimeRoot}/pnpm-store` };
  const missing = Object.entries(wanted).filter(([key]) => !new RegExp(`^\\s*${key}\\s*=`, 'm').test(npmrc));
  if (missing.length > 0) {
    const lead = npmrc && !npmrc.endsWith('\n') ? '\n' : '';
    sandbox.writeFileAtomic(P.npmrc, npmrc + lead + missing.map(([key, value]) => `${key}=${value}\n`).join(''), 0o644);
  }

  progress('runtime', 'running', '安装 PM2');
  await pause(300);
  writeShim(path.join(P.runtimeBin, 'pm2'), privateNode, path.join(SIM_ROOT, 'tools', 'pm2.cjs'));

  progress('runtime', 'running', '安装 Quorvantis');
  if (await sandbox.takeFailure('prepare')) {
    throw new Failure('Error: pnpm install failed: ERR_PNPM_META_FETCH_FAIL registry unavailable');
  }
  const total = 36;
  for (let done = 0; done < total; done += 6) {
    packageProgress(done, total);
    await pause(150);
  }
  const env = {
    ...process.env,
    PNPM_HOME: P.runtimeBin,
    NPM_CONFIG_USERCONFIG: P.npmrc,
    NPM_CONFIG_GLOBALCONFIG: '/dev/null',
    PATH: `${P.runtimeBin}:${path.dirname(privateNode)}:${process.env.PATH || '/usr/bin:/bin'}`,
  };
  const install = spawnSync(path.join(P.runtimeBin, 'pnpm'), ['add', '-g', 'quorvantis@latest'], { env, encoding: 'utf8' });
  process.stderr.write(install.stdout || '');
  process.stderr.write(install.stderr || '');
  if (install.status !== 0) throw new Failure('Error: pnpm install failed while installing Quorvantis');
  packageProgress(total, total);

  progress('runtime', 'running', '安装 cliclick');
  await pause(250);
  buildNative('cliclick', path.join(P.runtimeBin, 'cliclick'));

  progress('runtime', 'running', '安装截图组件');
  await pause(250);
  buildNative('macos-screenshot', P.screenshotProgram);

  progress('runtime', 'running', '安装辅助功能组件');
  buildNative('accessibility-prompt', P.probeModule, { shared: true });

  progress('preflight', 'running', '检查运行环境');
  await pause(400);
  for (const file of [privateNode, path.join(P.runtimeBin, 'pnpm'), path.join(P.runtimeBin, 'pm2'), path.join(P.runtimeBin, 'cliclick')]) {
    fs.accessSync(file, fs.constants.X_OK);
  }
  say('Quorvantis runtime is ready.');
}

// ---- setup -----------------------------------------------------------------------------------

const setupStateFile = () => path.join(P.profile, 'setup-state.json');

function readSetupState() {
  return sandbox.readJSON(setupStateFile(), {}) || {};
}

function writeSetupState(value) {
  sandbox.writeJSON(setupStateFile(), value);
}

async function openSession(mode, options) {
  if (mode === 'code') {
    const code = readStdinLine();
    if (!code) throw new Failure('Error: no setup code on standard input', 2);
    const session = await call('POST', '/api/setup/redeem', { body: { code, agentName: options.agentName || undefined } });
    writeSetupState({ sessionId: session.sessionId, resumeToken: session.resumeToken, setupCode: session.setupCode, agentName: session.agentName });
    return session;
  }
  if (mode === 'enroll') {
    const key = readStdinLine();
    if (!key) throw new Failure('Error: no enrolment key on standard input', 2);
    const enrolled = await call('POST', '/api/setup/enroll', { token: key, body: { agentName: options.agentName, workspace: options.workspace } });
    writeSetupState({ setupCode: enrolled.setupCode, agentName: enrolled.agentName });
    say(`Agent "${enrolled.agentName}" registered.`);
    const session = await call('POST', '/api/setup/redeem', { body: { code: enrolled.setupCode } });
    writeSetupState({ sessionId: session.sessionId, resumeToken: session.resumeToken, setupCode: enrolled.setupCode, agentName: session.agentName });
    return session;
  }
  const saved = readSetupState();
  if (saved.sessionId && saved.resumeToken) {
    say('Resuming the interrupted setup.');
    return { sessionId: saved.sessionId, resumeToken: saved.resumeToken, agentName: saved.agentName };
  }
  if (saved.setupCode) {
    say('Claiming the setup code of the interrupted setup.');
    const session = await call('POST', '/api/setup/redeem', { body: { code: saved.setupCode, agentName: saved.agentName } });
    writeSetupState({ ...saved, sessionId: session.sessionId, resumeToken: session.resumeToken, agentName: session.agentName });
    return session;
  }
  throw new Failure('Error: there is no interrupted setup to resume', 2);
}

function announceAuthorization(auth) {
  if (sandbox.readState().settings.authFormat === 'json') {
    const { provider, email, password, authUrl } = auth;
    process.stdout.write(JSON.stringify({ type: 'jitAuthorization', provider, email, password, authUrl }) + '\n');
    return;
  }
  const title = auth.provider === 'google' ? 'Google' : 'Zoho';
  process.stdout.write(`Workspace account created (${title}):\n`);
  process.stdout.write(`Email:  ${auth.email}\n`);
  process.stdout.write(`Password: ${auth.password}\n`);
  process.stdout.write('Open this page and approve access for the new account:\n');
  process.stdout.write(`${auth.authUrl}\n`);
}

async function awaitAuthorization(session) {
  const deadline = Date.now() + 15 * 60 * 1000;
  while (Date.now() < deadline) {
    const s = await call('GET', `/api/setup/sessions/${encodeURIComponent(session.sessionId)}/authorization`, { token: session.resumeToken });
    if (s.status === 'authorized') return;
    await sandbox.sleep(500);
  }
  throw new Failure('Error: workspace authorization timed out');
}

async function setup(mode, options) {
  progress('redeem', 'running', mode === 'enroll' ? '正在注册新 Agent' : '正在验证安装码');
  await pause(500);
  const session = await openSession(mode, options);
  progress('redeem', 'complete');

  progress('configure', 'running', '正在写入安全配置');
  await pause(600);
  const boot = await call('POST', `/api/setup/sessions/${encodeURIComponent(session.sessionId)}/bootstrap`, { token: session.resumeToken });
  if (boot.directive === 'crash') {
    say('Segmentation fault');
    process.kill(process.pid, 'SIGSEGV');
    await sandbox.sleep(1000);
    process.exit(139);
  }
  if (boot.authorization) {
    announceAuthorization(boot.authorization);
    progress('configure', 'running', '等待工作区授权');
    await awaitAuthorization(session);
    say('Workspace authorization received.');
  }
  const done = await call('POST', `/api/setup/sessions/${encodeURIComponent(session.sessionId)}/complete`, { token: session.resumeToken });
  sandbox.writeJSON(path.join(P.profile, 'config.json'), {
    agentName: done.agentName,
    onboardingServiceUrl: done.onboardingServiceUrl || serviceURL(),
    quorvantisServiceApiKey: done.apiKey,
    workspace: boot.workspace,
    createdAt: new Date().toISOString(),
  });
  progress('configure', 'complete');

  progress('verify', 'running', '正在验证安装结果');
  await pause(500);
  const written = sandbox.readJSON(path.join(P.profile, 'config.json'), null);
  if (!written || written.agentName !== done.agentName) throw new Failure('Error: the written configuration is invalid');
  fs.rmSync(setupStateFile(), { force: true });
  progress('verify', 'complete');
  say(`Agent "${done.agentName}" is set up.`);
}

// ---- entry -----------------------------------------------------------------------------------

function parse(args) {
  const options = { mode: null, agentName: null, workspace: 'none' };
  const rest = [];
  let setupOnly = false;
  for (let i = 0; i < args.length; i += 1) {
    const a = args[i];
    if (a === '--prepare') options.mode = 'prepare';
    else if (a === '--setup-only') setupOnly = true;
    else if (a === '--enroll') options.mode = 'enroll';
    else if (a === '--resume') options.mode = 'resume';
    else if (a === '--workspace') options.workspace = args[++i];
    else if (a.startsWith('--')) throw new Failure(`Error: unknown option ${a}`, 2);
    else rest.push(a);
  }
  if (options.mode !== 'prepare') {
    if (!setupOnly) throw new Failure('Error: nothing to do (expected --prepare or --setup-only)', 2);
    options.mode = options.mode || 'code';
  }
  options.agentName = rest[0] ? rest[0].trim().toLowerCase() : null;
  if (options.mode === 'enroll' && !options.agentName) throw new Failure('Error: --enroll needs an agent name', 2);
  return options;
}

async function main() {
  sandbox.record('quorvantis-cli-session');
  const options = parse(process.argv.slice(2));
  if (options.mode === 'prepare') await prepare();
  else await setup(options.mode, options);
}

main().then(
  () => process.exit(0),
  (error) => {
    say(error instanceof Failure ? error.message : `Error: ${error.stack || error}`);
    process.exit(error instanceof Failure ? error.status : 1);
  },
);
