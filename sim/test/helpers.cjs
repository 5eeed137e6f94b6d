'use strict';
// Shared fixtures of the simulator's self-tests: temporary sandbox homes, the environment the
// application gives its child processes, and small process helpers.

const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');

const SIM_ROOT = path.resolve(__dirname, '..');

function makeHome(t) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvantis-sim-test-'));
  t.after(() => {
    // Services started inside this test process are stopped by their own test.
    let pid = null;
    try {
      pid = JSON.parse(fs.readFileSync(path.join(home, '.sandbox', 'services.json'), 'utf8')).pid;
    } catch {
      // none running
    }
    if (pid !== process.pid) spawnSync(path.join(SIM_ROOT, 'launch'), ['--home', home, '--stop'], { stdio: 'ignore' });
    fs.rmSync(home, { recursive: true, force: true });
  });
  return home;
}

// The environment the application computes for every child: the inherited one is replaced.
function appEnv(home, services) {
  const runtime = path.join(home, '.quorvantis', 'mac-app-runtime');
  const env = {
    HOME: home,
    PNPM_HOME: `${runtime}/bin`,
    PM2_HOME: `${runtime}/pm2`,
    NPM_CONFIG_USERCONFIG: `${runtime}/pnpm-config/npmrc`,
    NPM_CONFIG_GLOBALCONFIG: '/dev/null',
    LANG: 'en_US.UTF-8',
    LC_CTYPE: 'en_US.UTF-8',
    PATH: [`${runtime}/bin`, '/opt/homebrew/bin', '/opt/homebrew/sbin', '/usr/local/bin', '/usr/local/sbin', '/usr/bin', '/bin', '/usr/sbin', '/sbin'].join(':'),
    TMPDIR: os.tmpdir(),
  };
  if (services) env.QUORVANTIS_ONBOARDING_SERVICE_URL = services.onboardingURL;
  return env;
}

// Runs a program to its end; resolves with status, signal and the two streams.
function run(command, args, { env, input, cwd } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(command, args, { env, cwd, stdio: ['pipe', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => (stdout += d));
    child.stderr.on('data', (d) => (stderr += d));
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({ status, signal, stdout, stderr }));
    child.stdin.end(input === undefined ? '' : input);
  });
}

function launchServices(home, ...flags) {
  const out = spawnSync(path.join(SIM_ROOT, 'launch'), ['--home', home, '--services-only', ...flags], { encoding: 'utf8' });
  if (out.status !== 0) throw new Error(`launch failed: ${out.stderr}`);
  return JSON.parse(out.stdout);
}

function simctl(home, ...args) {
  const out = spawnSync(path.join(SIM_ROOT, 'simctl'), ['--home', home, ...args], { encoding: 'utf8' });
  if (out.status !== 0) throw new Error(`simctl ${args.join(' ')} failed: ${out.stderr}`);
  try {
    return JSON.parse(out.stdout);
  } catch {
    return out.stdout.trim();
  }
}

function session(home, services, args, input) {
  return run('/bin/bash', [path.join(home, '.sandbox', 'bundle', 'quorvantis-cli-session.sh'), ...args], {
    env: appEnv(home, services),
    input,
  });
}

function jsonLines(text) {
  const out = [];
  for (const line of text.split('\n')) {
    try {
      const value = JSON.parse(line);
      if (value && typeof value === 'object' && !Array.isArray(value)) out.push(value);
    } catch {
      // plain output
    }
  }
  return out;
}

module.exports = { SIM_ROOT, makeHome, appEnv, run, launchServices, simctl, session, jsonLines };
