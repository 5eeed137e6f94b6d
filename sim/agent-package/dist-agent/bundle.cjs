#!/usr/bin/env node
'use strict';
// The simulated Quorvantis Agent: its command-line tool and its daemon.
//
//   quorvantis daemon start [--installed]   write the process-manager configuration and launcher
//   quorvantis daemon run                   the daemon itself (what the launcher runs)
//   quorvantis status                       print the daemon's status document
//   quorvantis --version
//
// The daemon serves its status on 127.0.0.1 at /tui/status (bearer token) and writes the port and
// token into the profile directory. It reports "not ready" during a short warm-up and then, in the
// sandbox's demo mode, cycles through receiving messages, working, coding and organising context.
//
// At start, while its owner has not bound a channel yet, the daemon asks the onboarding service
// for a binding link itself and opens the page in the user's browser, as the real agent does.

const fs = require('fs');
const http = require('http');
const path = require('path');
const crypto = require('crypto');
const { spawn } = require('child_process');
const sandbox = require('../dist/lib/sandbox.cjs');

const PACKAGE_DIR = path.resolve(__dirname, '..');
const VERSION = JSON.parse(fs.readFileSync(path.join(PACKAGE_DIR, 'package.json'), 'utf8')).version;

// pnpm keeps the files under GLOBAL/.pnpm/quorvantis@V/node_modules/quorvantis and links
// GLOBAL/quorvantis to them; the launcher must name the link, so that a restart after an update
// loads the new version.
function stablePackageDir() {
  const marker = `${path.sep}.pnpm${path.sep}`;
  const at = PACKAGE_DIR.lastIndexOf(marker);
  if (at >= 0) {
    const link = path.join(PACKAGE_DIR.slice(0, at), 'quorvantis');
    if (fs.existsSync(path.join(link, 'package.json'))) return link;
  }
  return PACKAGE_DIR;
}

function daemonStart() {
  const P = sandbox.paths();
  fs.mkdirSync(P.quorvantis, { recursive: true });
  fs.mkdirSync(P.logs, { recursive: true });
  const entry = path.join(stablePackageDir(), 'dist-agent', 'bundle.cjs');
  sandbox.writeFileAtomic(
    P.launcher,
    `'use strict';\n// Written by "quorvantis daemon start". The process manager runs this file; it loads the\n// agent package installed now.\nrequire(${JSON.stringify(entry)}).runDaemon();\n`,
    0o644,
  );
  const ecosystem = {
    apps: [
      {
        name: 'quorvantis',
        script: P.launcher,
        interpreter: process.execPath,
        cwd: P.quorvantis,
        autorestart: true,
        max_restarts: 10,
        restart_delay: 1000,
        env: { PATH: process.env.PATH || '/usr/bin:/bin', QUORVANTIS_PROFILE: 'default', NODE_ENV: 'production' },
      },
    ],
  };
  sandbox.writeFileAtomic(P.ecosystem, `module.exports = ${JSON.stringify(ecosystem, null, 2)};\n`, 0o600);
  process.stderr.write(`Quorvantis ${VERSION}: daemon configuration written to ${P.ecosystem}\n`);
}

// ---- the daemon ------------------------------------------------------------------------------

const DEMO = [
  { name: 'idle', busy: false, queueSize: 0 },
  { name: 'messages', busy: false, queueSize: 3 },
  { name: 'working', busy: true, queueSize: 2 },
  { name: 'coding', busy: true, queueSize: 1, codingSession: { status: 'in_progress', taskSummary: '修复登录页的表单校验并补充测试' } },
  { name: 'compacting', busy: true, queueSize: 0, compacting: true },
  { name: 'message', busy: false, queueSize: 1 },
  { name: 'working', busy: true, queueSize: 0 },
];

function statusDocument(startedAt, now = Date.now(), settings = sandbox.readState().settings) {
  const warm = now - startedAt >= Number(settings.warmupMs) * (Number(settings.pace) || 0);
  let phase = DEMO[0];
  if (warm && settings.demo) {
    const step = Math.max(500, Number(settings.demoStepMs) || 4000);
    phase = DEMO[Math.floor((now - startedAt) / step) % DEMO.length];
  }
  return {
    sampledAt: new Date(now).toISOString(),
    lifecycle: warm ? 'running' : 'starting',
    ready: warm,
    version: VERSION,
    busy: warm && phase.busy,
    compacting: warm && Boolean(phase.compacting),
    queueSize: warm ? phase.queueSize : 0,
    pid: process.pid,
    codingSession: warm && phase.codingSession ? phase.codingSession : null,
    activity: warm ? phase.name : 'warming-up',
  };
}


// ---- the binding page the agent opens itself --------------------------------------------------

const SERVICE_TIMEOUT_MS = 5000;

function readConfig(profile) {
  try {
    const config = JSON.parse(fs.readFileSync(path.join(profile, 'config.json'), 'utf8'));
    if (!config || typeof config !== 'object') return null;
    const { agentName, onboardingServiceUrl, quorvantisServiceApiKey } = config;
    if (typeof agentName !== 'string' || !agentName) return null;
    if (typeof quorvantisServiceApiKey !== 'string' || !quorvantisServiceApiKey) return null;
    return { agentName, onboardingServiceUrl, apiKey: quorvantisServiceApiKey };
  } catch {
    return null; // not set up yet
  }
}

// The service this agent talks to: the override the application hands its children, else the
// address written at setup.
function serviceBase(config, env = process.env) {
  const raw = env.QUORVANTIS_ONBOARDING_SERVICE_URL || config.onboardingServiceUrl;
  if (typeof raw !== 'string' || !raw) return null;
  try {
    const url = new URL(raw);
    if (url.protocol !== 'http:' && url.protocol !== 'https:') return null;
    return url.href.replace(/\/+$/, '');
  } catch {
    return null;
  }
}

async function provisioning(base, config, method) {
  // The key travels in a header only; a redirect must not carry it elsewhere.
  const res = await fetch(`${base}/api/agents/${encodeURIComponent(config.agentName)}/owner-provisioning`, {
    method,
    headers: { Authorization: `Bearer ${config.apiKey}`, Accept: 'application/json' },
    redirect: 'error',
    signal: AbortSignal.timeout(SERVICE_TIMEOUT_MS),
  });
  const text = await res.text();
  let body = null;
  try {
    body = JSON.parse(text);
  } catch {
    // not JSON: judged by the status alone
  }
  return { status: res.status, body };
}

// Hands a web link to the desktop's opener. In the sandbox that is the launcher's xdg-open, which
// passes it to the sandbox's URL handler (the user's browser, a recording, or the headless
// stand-in for the user); the daemon's own PATH does not lead there.
function openInBrowser(url, P, log) {
  const opener = [path.join(P.sandbox, 'bin', 'xdg-open'), path.join(P.sandbox, 'bin', 'sandbox-open')].find((f) => {
    try {
      fs.accessSync(f, fs.constants.X_OK);
      return true;
    } catch {
      return false;
    }
  });
  if (!opener) {
    log('no browser to open the binding page in; the application offers it');
    return Promise.resolve(false);
  }
  return new Promise((resolve) => {
    const child = spawn(opener, [url], {
      env: { ...process.env, QUORVANTIS_SANDBOX_OPENER: 'agent' },
      stdio: 'ignore',
    });
    child.on('error', (error) => {
      log(`opening the binding page failed: ${error.message}`);
      resolve(false);
    });
    child.on('exit', (code) => resolve(code === 0));
  });
}

// Asks for a binding link when the owner still has to bind and no binding session is live, and
// opens it. Never fails the daemon: a service that cannot be reached just means no page opens.
// Resolves, once the link exists, with what happened: "disabled", "unconfigured", "unavailable",
// "complete", "live", or "opened" with the link and a promise of whether the opener succeeded.
async function openOwnerSetupAtStart({ P = sandbox.paths(), env = process.env, log = () => {} } = {}) {
  if (sandbox.readState(P.home).settings.agentOpensBinding === false) return { action: 'disabled' };
  const config = readConfig(P.profile);
  if (!config) return { action: 'unconfigured' };
  const base = serviceBase(config, env);
  if (!base) {
    log('the onboarding service address is invalid; no binding page opened');
    return { action: 'unconfigured' };
  }
  try {
    const status = await provisioning(base, config, 'GET');
    if (status.status !== 200 || typeof status.body?.onboardingComplete !== 'boolean') {
      log(`channel binding status unavailable (HTTP ${status.status})`);
      return { action: 'unavailable' };
    }
    if (status.body.onboardingComplete) return { action: 'complete' };
    if (status.body.hasLiveSession === true) return { action: 'live' };
    const link = await provisioning(base, config, 'POST');
    const setupUrl = link.body?.setupUrl;
    if (link.status < 200 || link.status > 299 || typeof setupUrl !== 'string') {
      log(`no binding link (HTTP ${link.status})`);
      return { action: 'unavailable' };
    }
    const page = new URL(setupUrl);
    // The fragment is the link's access token: the log names the page without it.
    log(`opening the channel binding page ${page.origin}${page.pathname} in the browser`);
    // The browser may take its time; the caller need not wait for it.
    return { action: 'opened', url: setupUrl, opening: openInBrowser(setupUrl, P, log) };
  } catch (error) {
    log(`channel binding check failed: ${error.cause?.code || error.name || error.message}`);
    return { action: 'unavailable' };
  }
}

async function runDaemon() {
  sandbox.record('quorvantis-daemon', { version: VERSION });
  if (await sandbox.takeFailure('daemonStart')) {
    process.stderr.write(`Error: Quorvantis ${VERSION} daemon failed to start (simulated)\n`);
    process.exit(1);
  }
  const P = sandbox.paths();
  const startedAt = Date.now();
  const token = crypto.randomBytes(24).toString('hex');
  const log = (text) => process.stdout.write(`${new Date().toISOString()} ${text}\n`);

  // The link is asked for before the status endpoint answers, so that whoever waits for this
  // start finds the binding session already live.
  const binding = openOwnerSetupAtStart({ P, log });
  await Promise.race([binding, sandbox.sleep(2 * SERVICE_TIMEOUT_MS)]);

  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname !== '/tui/status' || req.method !== 'GET') {
      res.writeHead(404).end();
      return;
    }
    if (req.headers.authorization !== `Bearer ${token}`) {
      res.writeHead(401, { 'Content-Type': 'application/json' }).end('{"error":"unauthorized"}');
      return;
    }
    const settings = sandbox.readState().settings;
    const code = Number(settings.statusHttpCode) || 200;
    if (code !== 200) {
      res.writeHead(code, { 'Content-Type': 'application/json' }).end('{"error":"simulated"}');
      return;
    }
    const body = JSON.stringify(statusDocument(startedAt, Date.now(), settings));
    res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(body) });
    res.end(body);
  });

  server.listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    sandbox.writeFileAtomic(path.join(P.profile, 'tui-token'), `${token}\n`);
    sandbox.writeFileAtomic(path.join(P.profile, 'tui-port'), `${port}\n`);
    log(`Quorvantis ${VERSION} daemon (pid ${process.pid}) serving status on 127.0.0.1:${port}`);
  });

  const shutdown = (signal) => {
    log(`received ${signal}, stopping`);
    server.close();
    server.closeAllConnections?.();
    setTimeout(() => process.exit(0), 50).unref();
  };
  process.on('SIGTERM', () => shutdown('SIGTERM'));
  process.on('SIGINT', () => shutdown('SIGINT'));
  return server;
}

async function printStatus() {
  const P = sandbox.paths();
  const port = fs.readFileSync(path.join(P.profile, 'tui-port'), 'utf8').trim();
  const token = fs.readFileSync(path.join(P.profile, 'tui-token'), 'utf8').trim();
  const res = await fetch(`http://127.0.0.1:${port}/tui/status`, { headers: { Authorization: `Bearer ${token}` } });
  process.stdout.write(`${JSON.stringify(await res.json(), null, 2)}\n`);
}

function main(args) {
  sandbox.record('quorvantis');
  if (args[0] === '--version' || args[0] === 'version' || args[0] === '-v') {
    process.stdout.write(`${VERSION}\n`);
    return;
  }
  if (args[0] === 'daemon' && args[1] === 'start') return daemonStart();
  if (args[0] === 'daemon' && args[1] === 'run') return void runDaemon();
  if (args[0] === 'status') {
    printStatus().catch((error) => {
      process.stderr.write(`Error: agent status unavailable (${error.message})\n`);
      process.exit(1);
    });
    return;
  }
  process.stderr.write(`Error: unknown command ${args.join(' ') || '(none)'}\n`);
  process.exit(2);
}

if (require.main === module) main(process.argv.slice(2));

module.exports = { runDaemon, daemonStart, statusDocument, openOwnerSetupAtStart, serviceBase, VERSION };
