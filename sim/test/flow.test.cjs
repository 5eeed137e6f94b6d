'use strict';
// The whole sandbox through real processes: the launcher's services, the session script's four
// calls, the permission probes, the daemon through the process-manager stand-in, the status
// endpoint, an update through the registry, and the records of how every stand-in was started.

const { describe, it, before } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { makeHome, appEnv, run, launchServices, simctl, session, jsonLines } = require('./helpers.cjs');
const probes = require('./probes.cjs');
const sandbox = require('../lib/sandbox.cjs');

const CODE = 'QVS2-7K3M-9PQR-T2VW';

describe('sandbox flow', () => {
  let home;
  let services;
  let P;
  const probe = (script) => run('/bin/bash', ['-c', script], { env: appEnv(home, services) }).then((r) => r.status === 0);

  before(async (t) => {
    home = makeHome({ after: (fn) => process.on('exit', fn) });
    services = launchServices(home, '--fast', '--no-demo', '--settings-action', 'record', '--browser', 'record');
    simctl(home, 'set', 'authorizeAfterMs', 'null');
    simctl(home, 'set', 'bindingAutoCompleteMs', 'null');
    P = {
      profile: path.join(home, '.quorvantis', 'profiles', 'default'),
      runtime: path.join(home, '.quorvantis', 'mac-app-runtime'),
    };
  });

  it('writes a bundle with the session script and an Info.json pointing at the services', () => {
    const info = JSON.parse(fs.readFileSync(path.join(services.bundle, 'Info.json'), 'utf8'));
    assert.equal(info.QuorvantisOnboardingServiceURL, services.onboardingURL);
    // The registry is a mirror set in the runtime's npmrc, not a packaging setting.
    assert.equal(info.QuorvantisRegistryURL, undefined);
    assert.match(info.CFBundleShortVersionString, /^\d+\.\d+/);
    assert.ok(fs.statSync(path.join(services.bundle, 'quorvantis-cli-session.sh')).mode & 0o100);
    const mime = fs.readFileSync(path.join(home, '.config', 'mimeapps.list'), 'utf8');
    assert.match(mime, /x-scheme-handler\/x-apple\.systempreferences=quorvantis-sandbox-open\.desktop/);
  });

  it('--prepare installs the runtime the application relies on, reporting progress', async () => {
    simctl(home, 'fail', 'prepare');
    const failed = await session(home, services, ['--prepare']);
    assert.equal(failed.status, 1);
    assert.match(failed.stderr, /failed/);

    const r = await session(home, services, ['--prepare']);
    assert.equal(r.status, 0, r.stderr);
    const lines = jsonLines(r.stdout);
    assert.ok(lines.some((l) => l.type === 'progress' && l.phase === 'runtime' && l.detail === '安装 Quorvantis'));
    const counts = lines.filter((l) => l.type === 'packageProgress');
    assert.ok(counts.length >= 2);
    assert.deepEqual(counts.at(-1), { type: 'packageProgress', completed: 36, total: 36 });
    assert.ok(lines.every((l) => l.type !== 'progress' || ['runtime', 'preflight'].includes(l.phase)));

    const node = fs.readFileSync(path.join(home, '.quorvantis', 'mac-app-node-path'), 'utf8').trim();
    assert.ok(path.isAbsolute(node));
    fs.accessSync(node, fs.constants.X_OK);
    for (const tool of ['pnpm', 'pm2', 'cliclick', 'quorvantis']) fs.accessSync(path.join(P.runtime, 'bin', tool), fs.constants.X_OK);
    assert.ok(fs.statSync(path.join(P.runtime, 'accessibility-prompt.node')).isFile());
    assert.ok(fs.existsSync(path.join(home, '.quorvantis', 'bin', 'macos-screenshot')));
    // The registry line the launcher wrote, as an administrator sets a mirror, survives the
    // preparation and is what pnpm answers.
    const npmrc = fs.readFileSync(path.join(P.runtime, 'pnpm-config', 'npmrc'), 'utf8');
    assert.match(npmrc, /^global-dir=.*\/pnpm-global$/m);
    assert.ok(npmrc.split('\n').includes(`registry=${services.registryURL}/`), npmrc);
    const registry = await run(path.join(P.runtime, 'bin', 'pnpm'), ['config', 'get', 'registry'], { env: appEnv(home) });
    assert.equal(registry.stdout, `${services.registryURL}/\n`);
    const root = (await run(path.join(P.runtime, 'bin', 'pnpm'), ['root', '-g'], { env: appEnv(home) })).stdout.trim();
    const pkg = fs.realpathSync(path.join(root, 'quorvantis'));
    assert.match(pkg, /\/\.pnpm\/quorvantis@1\.4\.0\//);
    assert.ok(fs.existsSync(path.join(pkg, 'dist-agent', 'bundle.cjs')));
    assert.ok(fs.existsSync(path.join(pkg, 'dist', 'tools', 'screenshot.js')));
  });

  it('permission probes answer by the simulated grants', async () => {
    assert.equal(await probe(probes.screen), false);
    assert.equal(await probe(probes.disk), false);
    assert.equal(await probe(probes.accessibility()), false);
    const stateFile = path.join(P.profile, 'mac-app-accessibility-probe');
    assert.equal(fs.readFileSync(stateFile, 'utf8').trim(), 'denied');

    simctl(home, 'grant', 'screen-recording', 'full-disk-access');
    assert.equal(await probe(probes.screen), true);
    assert.equal(await probe(probes.disk), true);

    simctl(home, 'grant', 'accessibility');
    simctl(home, 'revoke', 'accessibility-cliclick');
    assert.equal(await probe(probes.accessibility()), false, 'cliclick denied, node granted');
    assert.equal(await probe(probes.accessibility(['node'])), true);
    simctl(home, 'follow', 'accessibility-cliclick');
    simctl(home, 'set', 'cliclickOutput', 'WARNING: this build cannot check accessibility');
    assert.equal(await probe(probes.accessibility(['cliclick'])), false);
    assert.equal(fs.readFileSync(stateFile, 'utf8').trim(), 'unsupported');
    simctl(home, 'set', 'cliclickOutput', '""');
    assert.equal(await probe(probes.accessibility(['cliclick', 'node'], true)), true);
    assert.equal(fs.readFileSync(stateFile, 'utf8').trim(), 'granted');

    // Without the screenshot program the agent's module installs it again.
    fs.rmSync(path.join(home, '.quorvantis', 'bin', 'macos-screenshot'));
    assert.equal(await probe(probes.screen), true);
    simctl(home, 'revoke', 'screen-recording');
    assert.equal(await probe(probes.screen), false, 'a blank capture is too small to count');
  });

  it('setup failures: unavailable code, taken name, crash', async () => {
    simctl(home, 'fail', 'code-unavailable');
    const gone = await session(home, services, ['--setup-only'], `${CODE}\n`);
    assert.equal(gone.status, 1);
    assert.match(gone.stderr, /code_unavailable/);

    simctl(home, 'fail', 'name-taken');
    const taken = await session(home, services, ['--setup-only', 'orders-desk-1'], 'QVI1-AAAA-BBBB-CCCC\n');
    assert.equal(taken.status, 1);
    assert.match(taken.stderr, /Agent ".+" already exists/);

    simctl(home, 'fail', 'crash');
    const crashed = await session(home, services, ['--setup-only'], `${CODE}\n`);
    assert.equal(crashed.signal, 'SIGSEGV');
    const saved = JSON.parse(fs.readFileSync(path.join(P.profile, 'setup-state.json'), 'utf8'));
    assert.equal(saved.setupCode, CODE);
    assert.ok(saved.sessionId && saved.resumeToken, 'a crashed setup leaves a resumable session');
    assert.equal(fs.statSync(path.join(P.profile, 'setup-state.json')).mode & 0o777, 0o600);
  });

  it('bootstrap_failed twice, then --resume completes and writes config.json', async () => {
    simctl(home, 'fail', 'bootstrap-failed', '2');
    for (let i = 0; i < 2; i += 1) {
      const r = await session(home, services, ['--setup-only', '--resume']);
      assert.equal(r.status, 1);
      assert.match(r.stderr, /bootstrap_failed/);
    }
    const r = await session(home, services, ['--setup-only', '--resume']);
    assert.equal(r.status, 0, r.stderr);
    const phases = jsonLines(r.stdout).filter((l) => l.type === 'progress' && l.status === 'complete').map((l) => l.phase);
    assert.deepEqual(phases, ['redeem', 'configure', 'verify']);
    const config = JSON.parse(fs.readFileSync(path.join(P.profile, 'config.json'), 'utf8'));
    assert.equal(config.onboardingServiceUrl, services.onboardingURL);
    assert.match(config.quorvantisServiceApiKey, /^qsk_/);
    assert.equal(fs.existsSync(path.join(P.profile, 'setup-state.json')), false);
    const again = await session(home, services, ['--setup-only', '--resume']);
    assert.equal(again.status, 2, 'nothing is left to resume');
  });

  it('enrolment with a Google workspace prints the account and waits for the authorization', async () => {
    const key = simctl(home, 'enrollment-key');
    const child = session(home, services, ['--setup-only', '--enroll', '--workspace', 'google', 'mail-robot'], `${key}\n`);
    let authorized = false;
    for (let i = 0; i < 100 && !authorized; i += 1) {
      await new Promise((r) => setTimeout(r, 50));
      try {
        simctl(home, 'authorize');
        authorized = true;
      } catch {
        // not asked yet
      }
    }
    const r = await child;
    assert.equal(r.status, 0, r.stderr);
    const lines = r.stdout.split('\n');
    const at = lines.indexOf('Workspace account created (Google):');
    assert.ok(at >= 0, r.stdout);
    assert.match(lines[at + 1], /^Email:\s+mail-robot@/);
    assert.match(lines[at + 2], /^Password:\s+\S.* /);
    assert.ok(lines.some((l) => l.startsWith('https://accounts.google.com/o/oauth2/v2/auth?')));
    assert.equal(JSON.parse(fs.readFileSync(path.join(P.profile, 'config.json'), 'utf8')).agentName, 'mail-robot');
  });

  it('the JSON form of the authorization request has exactly the five keys', async () => {
    simctl(home, 'set', 'authFormat', 'json');
    simctl(home, 'set', 'authorizeAfterMs', '0');
    const key = simctl(home, 'enrollment-key');
    const r = await session(home, services, ['--setup-only', '--enroll', '--workspace', 'zoho', 'zoho-robot'], `${key}\n`);
    assert.equal(r.status, 0, r.stderr);
    const event = jsonLines(r.stdout).find((l) => l.type === 'jitAuthorization');
    assert.deepEqual(Object.keys(event).sort(), ['authUrl', 'email', 'password', 'provider', 'type']);
    assert.equal(event.provider, 'zoho');
    assert.ok(event.authUrl.startsWith('https://accounts.zoho.com/oauth/v2/auth?'));
  });

  it('the daemon runs under the process-manager stand-in and serves its status', async () => {
    const env = appEnv(home);
    const node = fs.readFileSync(path.join(home, '.quorvantis', 'mac-app-node-path'), 'utf8').trim();
    const bin = path.join(P.runtime, 'bin');
    const sh = (script) => run('/bin/bash', ['-c', script], { env: { ...env, PATH: `${path.dirname(node)}:${env.PATH}` } });
    const r = await sh(`set -euo pipefail
      bundle="$("${bin}/pnpm" root -g)/quorvantis/dist-agent/bundle.cjs"
      "${bin}/pm2" delete all >/dev/null 2>&1 || true
      "${node}" "$bundle" daemon start --installed
      "${node}" -e 'const f=process.argv[1];const c=require(f);c.apps[0].interpreter=process.argv[2];require("fs").writeFileSync(f,"module.exports = "+JSON.stringify(c,null,2)+";\\n")' "$HOME/.quorvantis/pm2-ecosystem.config.cjs" "${node}"
      "${bin}/pm2" delete quorvantis >/dev/null 2>&1 || true
      "${bin}/pm2" start "$HOME/.quorvantis/pm2-ecosystem.config.cjs" >/dev/null
      "${bin}/pm2" save --force >/dev/null
      "${bin}/pm2" jlist`);
    assert.equal(r.status, 0, r.stderr);
    const list = JSON.parse(r.stdout.slice(r.stdout.indexOf('['), r.stdout.lastIndexOf(']') + 1));
    assert.equal(list.length, 1);
    assert.equal(list[0].name, 'quorvantis');
    assert.equal(list[0].pm2_env.status, 'online');
    assert.equal(list[0].pm2_env.exec_interpreter, node);
    assert.ok(list[0].pm2_env.pm_exec_path.endsWith('/.quorvantis/launcher.cjs'));

    const doc = simctl(home, 'wait-ready', '10');
    assert.equal(doc.ready, true);
    assert.equal(doc.version, '1.4.0');
    assert.equal(doc.pid, list[0].pid);
    for (const key of ['sampledAt', 'lifecycle', 'busy', 'queueSize']) assert.ok(key in doc, key);
    assert.equal(fs.statSync(path.join(P.profile, 'tui-token')).mode & 0o777, 0o600);

    // Unbound, the agent asked for a binding link before its status answered, and opened it
    // through the launcher's URL handler.
    const config = JSON.parse(fs.readFileSync(path.join(P.profile, 'config.json'), 'utf8'));
    const agentLink = () => sandbox.readState(home).agents[config.agentName].link;
    assert.ok(agentLink(), 'the agent holds a live binding session');
    const agentOpened = () => sandbox.readRecords(home).filter((r) => r.tool === 'url-handler' && r.openedBy === 'agent');
    for (let i = 0; i < 50 && agentOpened().length === 0; i += 1) await new Promise((res) => setTimeout(res, 100));
    assert.equal(agentOpened().length, 1);
    assert.ok(agentOpened()[0].url.startsWith(`${services.onboardingURL}/agents/${config.agentName}/setup#lt_`), agentOpened()[0].url);
    assert.equal(agentOpened()[0].ppid, doc.pid);
    const token = agentLink().token;
    assert.ok(agentOpened()[0].url.endsWith(`#${token}`));

    const port = fs.readFileSync(path.join(P.profile, 'tui-port'), 'utf8').trim();
    const denied = await fetch(`http://127.0.0.1:${port}/tui/status`, { headers: { Authorization: 'Bearer wrong' } });
    assert.equal(denied.status, 401);

    // pm2 restarts an agent that dies, also when the first restart fails.
    simctl(home, 'fail', 'daemon-start');
    process.kill(doc.pid, 'SIGKILL');
    let back = null;
    for (let i = 0; i < 80 && !back; i += 1) {
      await new Promise((res) => setTimeout(res, 100));
      try {
        const d = simctl(home, 'wait-ready', '1');
        if (d.pid !== doc.pid) back = d;
      } catch {
        // restarting
      }
    }
    assert.ok(back, 'the agent came back under a new pid');
    assert.equal(simctl(home, 'status').failures.daemonStart, undefined, 'the scripted start failure was used');
    // The restarted agent found the session live: no second link, no second page.
    assert.equal(agentLink().token, token);
    assert.equal(agentOpened().length, 1);
    const restarted = JSON.parse((await run(path.join(bin, 'pm2'), ['jlist'], { env })).stdout);
    assert.equal(restarted[0].pm2_env.restart_time, 2);

    assert.equal(simctl(home, 'stop-agent').stopped, 1);
    assert.throws(() => simctl(home, 'agent-running'));
  });

  it('an update installs the published beta; the restarted daemon reports it', async () => {
    simctl(home, 'publish-beta', '1.5.0-beta.2');
    const env = appEnv(home);
    const bin = path.join(P.runtime, 'bin');
    const update = await run(path.join(bin, 'pnpm'), ['install', '-g', 'quorvantis@beta'], { env });
    assert.equal(update.status, 0, update.stderr);
    const root = (await run(path.join(bin, 'pnpm'), ['root', '-g'], { env })).stdout.trim();
    const manifest = JSON.parse(fs.readFileSync(path.join(fs.realpathSync(path.join(root, 'quorvantis')), 'package.json'), 'utf8'));
    assert.equal(manifest.version, '1.5.0-beta.2');
    assert.equal((await run(path.join(bin, 'quorvantis'), ['--version'], { env })).stdout.trim(), '1.5.0-beta.2');

    simctl(home, 'fail', 'update');
    const failed = await run(path.join(bin, 'pnpm'), ['install', '-g', 'quorvantis@beta'], { env });
    assert.equal(failed.status, 1);
    assert.match(failed.stderr, /ERR_PNPM/);

    const start = await run(path.join(bin, 'pm2'), ['start', path.join(home, '.quorvantis', 'pm2-ecosystem.config.cjs')], { env });
    assert.equal(start.status, 0, start.stderr);
    assert.equal(simctl(home, 'wait-ready', '10').version, '1.5.0-beta.2');
    simctl(home, 'stop-agent');
  });

  it('an older installation under ~/.pm2 shows its socket and can be retired', async () => {
    simctl(home, 'legacy-pm2');
    const env = { ...appEnv(home), PM2_HOME: path.join(home, '.pm2') };
    const pm2 = path.join(P.runtime, 'bin', 'pm2');
    const r = await run('/bin/bash', ['-c', `[ -S "$HOME/.pm2/rpc.sock" ] && "${pm2}" delete chat-monitor >/dev/null && "${pm2}" delete quorvantis >/dev/null && "${pm2}" jlist`], { env });
    assert.equal(r.status, 0, r.stderr);
    assert.deepEqual(JSON.parse(r.stdout), []);
    const missing = await run(pm2, ['delete', 'feishu-monitor'], { env });
    assert.equal(missing.status, 1);
    assert.match(missing.stderr, /not found/);
  });

  it('every stand-in recorded its start, and no secret from standard input appears there', () => {
    const records = fs.readFileSync(path.join(home, '.sandbox', 'records.jsonl'), 'utf8');
    const key = simctl(home, 'enrollment-key');
    const tools = new Set(records.trim().split('\n').map((l) => JSON.parse(l).tool));
    for (const tool of ['quorvantis-cli-session', 'pnpm', 'pm2', 'pm2-daemon', 'cliclick', 'macos-screenshot', 'accessibility-prompt.node', 'quorvantis-daemon']) {
      assert.ok(tools.has(tool), `${tool} recorded`);
    }
    assert.equal(records.includes(CODE), false);
    assert.equal(records.includes(CODE.replace(/-/g, '')), false);
    assert.equal(records.includes(key), false);
  });
});
