'use strict';
// The launcher with a stand-in application: the environment and options the application gets,
// the stamp hook, the "login" that runs the agent's autostart entry, and the clean-up at exit.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
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
