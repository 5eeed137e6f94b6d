'use strict';
// Shared helpers of the sandbox: where things live, the simulator's state, permission grants and
// the record of every stand-in start. Self-contained on purpose: the simulated agent package
// carries a copy of this file, so it must not require anything relative.

const fs = require('fs');
const path = require('path');
const crypto = require('crypto');

const DEFAULT_STATE = Object.freeze({
  permissions: { screenRecording: false, accessibility: false, fullDiskAccess: false },
  // Per-client accessibility answers; null follows "accessibility".
  accessibilityOverrides: { cliclick: null, node: null },
  // Scripted failures: each counter is the number of upcoming attempts that fail that way.
  failures: {
    prepare: 0,
    codeUnavailable: 0,
    nameTaken: 0,
    nameReserved: 0,
    nameTooShort: 0,
    enrollmentUnavailable: 0,
    bootstrapFailed: 0,
    crash: 0,
    provisioningUnavailable: 0,
    provisioningConflict: 0,
    update: 0,
    daemonStart: 0,
  },
  settings: {
    pace: 1, // multiplier for every simulated delay; 0 runs at full speed
    warmupMs: 1500, // agent reports not ready for this long after start
    demo: true, // agent cycles through messages, work, coding and compacting
    demoStepMs: 4000,
    bindingAutoCompleteMs: 2500, // pending binding completes by itself after this; null: only by control
    authorizeAfterMs: 3000, // workspace authorization completes by itself after this; null: only by control
    settingsAction: 'page', // opening a privacy pane: "page" (settings page), "grant" or "record"
    browser: 'real', // http(s) links: "real" (the user's browser) or "record"
    authFormat: 'text', // workspace authorization output: "text" lines or one "json" event
    statusHttpCode: 200, // what the agent's status endpoint answers; 200 serves the document
    cliclickOutput: '', // text cliclick prints on the check (anything makes it "unsupported")
    linkTtlSeconds: 1800,
    agentOpensBinding: true, // the daemon asks for a binding link at start and opens it, as the agent does
    pnpmLayout: 10, // where the pnpm stand-in keeps global packages: as pnpm 10 does, or as pnpm 11 does
  },
  registry: { down: false, distTags: { latest: '1.4.0', beta: '1.4.0' }, versions: ['1.4.0'] },
  agents: {},
  sessions: {},
  authorizations: {},
});

function homeDir(home) {
  return home || process.env.HOME || require('os').homedir();
}

function paths(home) {
  const h = homeDir(home);
  const sandbox = path.join(h, '.sandbox');
  const quorvantis = path.join(h, '.quorvantis');
  const runtimeRoot = path.join(quorvantis, 'mac-app-runtime');
  return {
    home: h,
    sandbox,
    services: path.join(sandbox, 'services.json'),
    state: path.join(sandbox, 'state.json'),
    grants: path.join(sandbox, 'grants'),
    records: path.join(sandbox, 'records.jsonl'),
    enrollmentKey: path.join(sandbox, 'enrollment-key'),
    bundle: path.join(sandbox, 'bundle'),
    sandboxBin: path.join(sandbox, 'bin'),
    hiddenMail: path.join(sandbox, 'hidden', 'Mail'),
    cache: path.join(sandbox, 'cache'),
    realEnv: path.join(sandbox, 'real-env.json'),
    serverLog: path.join(sandbox, 'services.log'),
    quorvantis,
    profile: path.join(quorvantis, 'profiles', 'default'),
    nodePathFile: path.join(quorvantis, 'mac-app-node-path'),
    runtimeRoot,
    runtimeBin: path.join(runtimeRoot, 'bin'),
    npmrc: path.join(runtimeRoot, 'pnpm-config', 'npmrc'),
    pm2Home: path.join(runtimeRoot, 'pm2'),
    screenshotProgram: path.join(quorvantis, 'bin', 'macos-screenshot'),
    probeModule: path.join(runtimeRoot, 'accessibility-prompt.node'),
    ecosystem: path.join(quorvantis, 'pm2-ecosystem.config.cjs'),
    launcher: path.join(quorvantis, 'launcher.cjs'),
    logs: path.join(quorvantis, 'logs'),
    mail: path.join(h, 'Library', 'Mail'),
  };
}

function readJSON(file, fallback) {
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch {
    return fallback;
  }
}

function writeFileAtomic(file, data, mode = 0o600) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  const temp = `${file}.${process.pid}.${crypto.randomBytes(4).toString('hex')}`;
  fs.writeFileSync(temp, data, { mode });
  fs.chmodSync(temp, mode);
  fs.renameSync(temp, file);
}

function writeJSON(file, value, mode = 0o600) {
  writeFileAtomic(file, JSON.stringify(value, null, 2) + '\n', mode);
}

function mergeDefaults(value, defaults) {
  if (defaults === null || typeof defaults !== 'object' || Array.isArray(defaults)) {
    return value === undefined ? defaults : value;
  }
  const result = {};
  const source = value && typeof value === 'object' && !Array.isArray(value) ? value : {};
  for (const key of Object.keys(defaults)) result[key] = mergeDefaults(source[key], defaults[key]);
  for (const key of Object.keys(source)) if (!(key in result)) result[key] = source[key];
  return result;
}

function defaultState() {
  return JSON.parse(JSON.stringify(DEFAULT_STATE));
}

// The simulator's state as last written by the services; defaults where nothing is written yet.
function readState(home) {
  return mergeDefaults(readJSON(paths(home).state, {}), defaultState());
}

function readServices(home) {
  return readJSON(paths(home).services, null);
}

// Grants are mirrored as flag files so that every stand-in (bash, node, the C probe module) can
// test them without parsing anything.
const GRANT_FILES = ['screenRecording', 'fullDiskAccess', 'accessibility.cliclick', 'accessibility.node'];

function granted(name, home) {
  return fs.existsSync(path.join(paths(home).grants, name));
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, Math.max(0, ms)));
}

// A simulated delay, scaled by the sandbox's pace (0 in tests).
function pause(ms, home) {
  const pace = Number(readState(home).settings.pace);
  return sleep(Number.isFinite(pace) && pace > 0 ? ms * pace : 0);
}

// Appends one line describing how this process was started: arguments and environment. End-to-end
// tests scan this file for secrets that must only ever travel on standard input.
function record(tool, extra = {}, home) {
  const entry = {
    time: new Date().toISOString(),
    tool,
    pid: process.pid,
    ppid: process.ppid,
    argv: process.argv.slice(1),
    cwd: process.cwd(),
    env: { ...process.env },
    ...extra,
  };
  try {
    const file = paths(home).records;
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.appendFileSync(file, JSON.stringify(entry) + '\n', { mode: 0o600 });
  } catch {
    // A sandbox without its state directory still runs; it just keeps no record.
  }
}

function readRecords(home) {
  let text = '';
  try {
    text = fs.readFileSync(paths(home).records, 'utf8');
  } catch {
    return [];
  }
  const out = [];
  for (const line of text.split('\n')) {
    if (!line.trim()) continue;
    try {
      out.push(JSON.parse(line));
    } catch {
      // a torn line from a concurrent writer; skip it
    }
  }
  return out;
}

function randomToken(bytes = 24) {
  return crypto.randomBytes(bytes).toString('hex');
}

function isoSeconds(date) {
  return new Date(Math.floor(date.getTime() / 1000) * 1000).toISOString().replace('.000Z', 'Z');
}

// Asks the services whether this run must fail in a scripted way (simctl fail KIND).
async function takeFailure(kind) {
  const services = readServices();
  if (!services) return false;
  try {
    const res = await fetch(`${services.controlURL}/control/failure/take`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Sandbox-Token': services.controlToken },
      body: JSON.stringify({ kind }),
    });
    return res.ok && (await res.json()).fail === true;
  } catch {
    return false;
  }
}

module.exports = {
  DEFAULT_STATE,
  GRANT_FILES,
  paths,
  readJSON,
  writeJSON,
  writeFileAtomic,
  mergeDefaults,
  defaultState,
  readState,
  readServices,
  granted,
  sleep,
  pause,
  record,
  readRecords,
  randomToken,
  isoSeconds,
  takeFailure,
};
