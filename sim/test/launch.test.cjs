'use strict';
// The launcher with a stand-in application: the environment and options the application gets,
// the stamp hook, the "login" that runs the agent's autostart entry, and the clean-up at exit.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { SIM_ROOT, makeHome, run } = require('./helpers.cjs');

test('the application runs in the sandbox and the services stop when it exits', async (t) => {
  const home = makeHome(t);
  const tools = fs.mkdtempSync(path.join(require('os').tmpdir(), 'quorvantis-sim-tools-'));
  t.after(() => fs.rmSync(tools, { recursive: true, force: true }));

  const report = path.join(tools, 'app-report.json');
  const app = path.join(tools, 'fake-app');
  fs.writeFileSync(app, `#!/bin/bash
node -e 'require("fs").writeFileSync(process.argv[1], JSON.stringify({ args: process.argv.slice(2), env: process.env, services: JSON.parse(require("fs").readFileSync(process.env.HOME + "/.sandbox/services.json", "utf8")) }))' ${JSON.stringify(report)} "$@"
exit 7
`, { mode: 0o755 });
  const stamp = path.join(tools, 'quorvantis-stamp');
  fs.writeFileSync(stamp, '#!/bin/bash\n[ $# -eq 2 ] || exit 2\n{ printf STAMP; cat "$1"; } >"$2"\n', { mode: 0o755 });

  // An agent installed earlier starts at "login" through its autostart entry.
  const marker = path.join(home, 'logged-in');
  fs.mkdirSync(path.join(home, '.config', 'autostart'), { recursive: true });
  fs.writeFileSync(path.join(home, 'start.sh'), `#!/bin/bash\necho "$HOME" >${JSON.stringify(marker)}\n`);
  fs.writeFileSync(path.join(home, '.config', 'autostart', 'dev.quorvantis.agent.desktop'), `[Desktop Entry]\nType=Application\nExec=/bin/bash "${path.join(home, 'start.sh')}"\n`);

  const r = await run(path.join(SIM_ROOT, 'launch'), ['--home', home, '--fast', '--app', app, '--stamp', stamp, '--', '--extra', 'x'], {
    env: { ...process.env, BROWSER: 'firefox', QUORVANTIS_ENROLLMENT_KEY: 'leaked', QUORVANTIS_ONBOARDING_SERVICE_URL: 'https://elsewhere.invalid' },
  });
  assert.equal(r.status, 7, r.stderr);
  const seen = JSON.parse(fs.readFileSync(report, 'utf8'));
  const bundle = path.join(home, '.sandbox', 'bundle');
  assert.deepEqual(seen.args, ['--resources', bundle, '--extra', 'x']);
  assert.equal(seen.env.HOME, home);
  assert.equal(seen.env.XDG_CONFIG_HOME, path.join(home, '.config'));
  assert.equal(seen.env.DEFAULT_BROWSER, path.join(home, '.sandbox', 'bin', 'sandbox-open'));
  assert.ok(seen.env.PATH.startsWith(`${path.join(home, '.sandbox', 'bin')}:`));
  for (const gone of ['BROWSER', 'QUORVANTIS_ENROLLMENT_KEY', 'QUORVANTIS_ONBOARDING_SERVICE_URL']) assert.equal(seen.env[gone], undefined, gone);
  const hasPrivateSession = ['dbus-run-session', 'gnome-keyring-daemon'].every((tool) => spawnSync('sh', ['-c', `command -v ${tool}`]).status === 0);
  if (hasPrivateSession) {
    assert.ok(seen.env.DBUS_SESSION_BUS_ADDRESS, 'the application runs on a session bus of its own');
    assert.notEqual(seen.env.DBUS_SESSION_BUS_ADDRESS, process.env.DBUS_SESSION_BUS_ADDRESS);
  }

  const key = fs.readFileSync(path.join(home, '.sandbox', 'enrollment-key'), 'utf8');
  assert.ok(key.trim().length >= 32);
  assert.equal(fs.readFileSync(path.join(bundle, 'stamp'), 'utf8'), `STAMP${key}`);
  const info = JSON.parse(fs.readFileSync(path.join(bundle, 'Info.json'), 'utf8'));
  assert.equal(info.QuorvantisOnboardingServiceURL, seen.services.onboardingURL);

  for (let i = 0; i < 50 && !fs.existsSync(marker); i += 1) await new Promise((res) => setTimeout(res, 50));
  assert.equal(fs.readFileSync(marker, 'utf8').trim(), home, 'the autostart entry ran with the sandbox home');

  assert.equal(fs.existsSync(path.join(home, '.sandbox', 'services.json')), false, 'the services stopped with the application');
  let alive = true;
  try {
    process.kill(seen.services.pid, 0);
  } catch {
    alive = false;
  }
  assert.equal(alive, false);
});

test('--fresh empties the home; the sandbox xdg-open hands settings URLs to the handler', async (t) => {
  const home = makeHome(t);
  fs.writeFileSync(path.join(home, 'old-file'), 'x');
  const r = await run(path.join(SIM_ROOT, 'launch'), ['--home', home, '--fresh', '--services-only', '--settings-action', 'record']);
  assert.equal(r.status, 0, r.stderr);
  assert.equal(fs.existsSync(path.join(home, 'old-file')), false);
  const summary = JSON.parse(r.stdout);
  assert.equal(summary.home, home);
  assert.equal(summary.appEnvironment.HOME, home);
  assert.ok(summary.appUnsetEnvironment.includes('QUORVANTIS_ENROLLMENT_KEY'));

  const url = 'x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility';
  const opened = await run(path.join(home, '.sandbox', 'bin', 'xdg-open'), [url], { env: { ...process.env, ...summary.appEnvironment, DISPLAY: '' } });
  assert.equal(opened.status, 0, opened.stderr);
  assert.deepEqual(JSON.parse(opened.stdout), { action: 'record' });
  const records = fs.readFileSync(path.join(home, '.sandbox', 'records.jsonl'), 'utf8').trim().split('\n').map((l) => JSON.parse(l));
  assert.ok(records.some((x) => x.tool === 'url-handler' && x.url === url));
});

// Every file under a directory with its bytes and modification time.
function snapshot(dir) {
  const seen = {};
  const walk = (d) => {
    for (const entry of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, entry.name);
      if (entry.isDirectory()) walk(p);
      else seen[path.relative(dir, p)] = `${fs.statSync(p).mtimeMs} ${fs.readFileSync(p, 'base64')}`;
    }
  };
  walk(dir);
  return seen;
}

test('a second launch while the application runs brings its window forward and touches nothing', async (t) => {
  const home = makeHome(t);
  const runtime = fs.mkdtempSync(path.join(require('os').tmpdir(), 'quorvantis-sim-run-'));
  t.after(() => fs.rmSync(runtime, { recursive: true, force: true }));
  const env = { ...process.env, XDG_RUNTIME_DIR: runtime };
  const raiser = path.join(SIM_ROOT, 'tools', 'raise-app.cjs');
  const launch = path.join(SIM_ROOT, 'launch');

  // Nothing runs yet: --raise says so and creates nothing.
  assert.equal((await run(launch, ['--home', home, '--raise'], { env })).status, 3);

  // The running application of this home: its single-instance socket, and the files of its run.
  const socket = (await run(raiser, ['--socket', home], { env })).stdout.split('\n')[0];
  assert.equal(path.dirname(socket), runtime);
  const requests = [];
  const server = require('net').createServer((peer) => {
    peer.on('data', (d) => {
      requests.push(String(d));
      peer.end('ok\n');
    });
  });
  await new Promise((resolve) => server.listen(socket, resolve));
  t.after(() => server.close());
  fs.mkdirSync(path.join(home, '.sandbox', 'bundle'), { recursive: true });
  fs.writeFileSync(path.join(home, 'launch.log'), 'the first run writes here\n');
  fs.writeFileSync(path.join(home, '.sandbox', 'bundle', 'Info.json'), '{}\n');
  const before = snapshot(home);

  const app = path.join(runtime, 'app-that-must-not-start');
  fs.writeFileSync(app, `#!/bin/bash\ntouch ${JSON.stringify(path.join(runtime, 'started'))}\n`, { mode: 0o755 });
  for (const args of [['--app', app], ['--fresh', '--app', app], ['--raise']]) {
    const r = await run(launch, ['--home', home, ...args], { env });
    assert.equal(r.status, 0, `${args}: ${r.stderr}`);
    if (args[0] !== '--raise') assert.match(r.stdout, /already runs on this sandbox.*window was brought to the front/);
  }
  assert.deepEqual(requests, ['activate\n', 'activate\n', 'activate\n']);
  assert.equal(fs.existsSync(path.join(runtime, 'started')), false, 'no second application');
  assert.deepEqual(snapshot(home), before, 'the running sandbox is untouched');
});

test('a second launch while the first is still starting the application waits for it', async (t) => {
  const home = makeHome(t);
  const runtime = fs.mkdtempSync(path.join(require('os').tmpdir(), 'quorvantis-sim-run-'));
  t.after(() => fs.rmSync(runtime, { recursive: true, force: true }));
  const env = { ...process.env, XDG_RUNTIME_DIR: runtime };
  // A launcher that has not got its application listening yet.
  const first = spawn('bash', ['-c', 'sleep 30; true', 'sim/launch'], { stdio: 'ignore' });
  t.after(() => first.kill());
  fs.mkdirSync(path.join(home, '.sandbox'), { recursive: true });
  fs.writeFileSync(path.join(home, '.sandbox', 'launcher.pid'), `${first.pid}\n`);
  const before = snapshot(home);
  assert.equal((await run(path.join(SIM_ROOT, 'launch'), ['--home', home, '--raise'], { env })).status, 4);
  const r = await run(path.join(SIM_ROOT, 'launch'), ['--home', home, '--app', '/bin/false'], { env });
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, /already starting on this sandbox/);
  assert.deepEqual(snapshot(home), before);
});
