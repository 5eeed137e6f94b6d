#!/usr/bin/env node
'use strict';
// Sandbox stand-in for the pm2 process manager. Each started application gets a detached
// supervisor (pm2-supervisor.cjs) that runs it, restarts it when it dies and reports its pid;
// the command reads those reports. Supported: start (ecosystem file or script), delete, stop,
// restart, save [--force], resurrect, jlist, list, describe, pid, ping, kill, logs, --version.

const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const sandbox = require('../lib/sandbox.cjs');
const store = require('../lib/pm2store.cjs');

const VERSION = '5.4.2';
const pm2Home = process.env.PM2_HOME || path.join(sandbox.paths().home, '.pm2');
const appsDir = store.appsDir(pm2Home);

class Failure extends Error {}

function out(text) {
  process.stdout.write(text.endsWith('\n') ? text : `${text}\n`);
}

function nextId() {
  fs.mkdirSync(appsDir, { recursive: true });
  const file = path.join(appsDir, 'next-id');
  let id = 0;
  try {
    id = Number(fs.readFileSync(file, 'utf8')) || 0;
  } catch {
    // first application
  }
  fs.writeFileSync(file, String(id + 1));
  return id;
}

function loadEcosystem(file) {
  const absolute = path.resolve(file);
  delete require.cache[absolute];
  const config = require(absolute);
  const apps = config && Array.isArray(config.apps) ? config.apps : Array.isArray(config) ? config : [config];
  return apps.filter((a) => a && typeof a === 'object');
}

function isEcosystem(file) {
  return /\.config\.(c?js|mjs)$|\.json$|ecosystem/.test(path.basename(file));
}

function matches(app, target) {
  return target === 'all' || app.def.name === target || String(app.def.pm_id) === String(target);
}

async function waitFor(predicate, ms) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    if (predicate()) return true;
    await sandbox.sleep(50);
  }
  return predicate();
}

// A running pm2 holds a socket in its home; scripts test for it to tell whether a manager is
// there at all. The stand-in leaves the socket file behind like a live daemon would.
function ensureDaemonSocket() {
  const socket = path.join(pm2Home, 'rpc.sock');
  if (fs.existsSync(socket)) return;
  fs.mkdirSync(pm2Home, { recursive: true });
  // node unlinks a socket when it closes the server, even at exit; a process that is killed
  // while listening cannot, so the file stays.
  const program = `require('net').createServer().listen(${JSON.stringify(socket)}, () => process.kill(process.pid, 'SIGKILL'))`;
  require('child_process').spawnSync(process.execPath, ['-e', program], { stdio: 'ignore', timeout: 5000 });
}

async function startApp(spec) {
  ensureDaemonSocket();
  if (!spec.name || typeof spec.name !== 'string') throw new Failure('[PM2][ERROR] An application needs a name');
  const existing = store.list(pm2Home).find((a) => a.def.name === spec.name);
  if (existing && store.describe(existing).state === 'online') {
    out(`[PM2][WARN] Script already launched, add -f option to force re-execution`);
    return;
  }
  if (existing && store.alive(existing.def.supervisorPid)) {
    store.stop(pm2Home, existing.def.name);
    await waitFor(() => !store.alive(existing.def.supervisorPid), 3000);
  }
  const cwd = spec.cwd ? path.resolve(spec.cwd) : process.cwd();
  const def = {
    name: spec.name,
    pm_id: existing ? existing.def.pm_id : nextId(),
    script: path.resolve(cwd, spec.script),
    interpreter: spec.interpreter || 'node',
    args: Array.isArray(spec.args) ? spec.args.map(String) : spec.args ? String(spec.args).split(/\s+/).filter(Boolean) : [],
    cwd,
    env: { ...process.env, ...(spec.env || {}), PM2_HOME: pm2Home },
    appEnv: spec.env || {},
    autorestart: spec.autorestart !== false,
    maxRestarts: Number.isInteger(spec.max_restarts) ? spec.max_restarts : 15,
    restartDelay: Number.isInteger(spec.restart_delay) ? spec.restart_delay : 1000,
    outLog: path.join(pm2Home, 'logs', `${spec.name}-out.log`),
    errLog: path.join(pm2Home, 'logs', `${spec.name}-error.log`),
    createdAt: new Date().toISOString(),
    supervisorPid: 0,
  };
  fs.mkdirSync(appsDir, { recursive: true });
  fs.mkdirSync(path.dirname(def.outLog), { recursive: true });
  const defFile = path.join(appsDir, `${store.safeName(def.name)}.app.json`);
  const statusFile = path.join(appsDir, `${store.safeName(def.name)}.status.json`);
  fs.rmSync(statusFile, { force: true });
  sandbox.writeJSON(defFile, def);

  const log = fs.openSync(path.join(pm2Home, 'pm2.log'), 'a');
  const supervisor = spawn(process.execPath, [path.join(__dirname, 'pm2-supervisor.cjs'), pm2Home, def.name], {
    detached: true,
    stdio: ['ignore', log, log],
    env: { ...process.env, PM2_HOME: pm2Home },
  });
  fs.closeSync(log);
  supervisor.unref();
  def.supervisorPid = supervisor.pid;
  sandbox.writeJSON(defFile, def);
  const started = await waitFor(() => Boolean(store.readFileJSON(statusFile)?.pid), 5000);
  if (!started) throw new Failure(`[PM2][ERROR] ${def.name} did not start`);
  out(`[PM2] Starting ${def.script} in fork_mode (1 instance)\n[PM2] Done.`);
}

async function start(args) {
  const target = args.find((a) => !a.startsWith('-'));
  if (!target) throw new Failure('[PM2][ERROR] File or script to start is missing');
  const only = option(args, '--only');
  if (isEcosystem(target)) {
    let apps = loadEcosystem(target);
    if (only) apps = apps.filter((a) => only.split(',').includes(a.name));
    for (const app of apps) await startApp(app);
  } else {
    await startApp({
      name: option(args, '--name') || path.basename(target).replace(/\.[^.]+$/, ''),
      script: target,
      interpreter: option(args, '--interpreter') || undefined,
    });
  }
  list();
}

function option(args, name) {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : null;
}

async function stopApps(target, remove) {
  const apps = store.list(pm2Home).filter((a) => matches(a, target));
  if (apps.length === 0 && target !== 'all') throw new Failure(`[PM2][ERROR] Process or Namespace ${target} not found`);
  for (const app of apps) {
    if (remove) store.remove(pm2Home, app.def.name);
    else store.stop(pm2Home, app.def.name);
    await waitFor(() => !store.alive(app.def.supervisorPid), 3000);
    out(`[PM2] [${app.def.name}](${app.def.pm_id}) ✓`);
  }
}

function jlist() {
  const entries = store.list(pm2Home).map((app) => {
    const d = store.describe(app);
    return {
      pid: d.pid,
      name: app.def.name,
      pm_id: app.def.pm_id,
      monit: { memory: d.pid ? 42 * 1024 * 1024 : 0, cpu: 0 },
      pm2_env: {
        name: app.def.name,
        pm_id: app.def.pm_id,
        status: d.state,
        pm_exec_path: app.def.script,
        exec_interpreter: app.def.interpreter,
        pm_cwd: app.def.cwd,
        args: app.def.args,
        env: app.def.appEnv,
        exec_mode: 'fork_mode',
        instances: 1,
        autorestart: app.def.autorestart,
        restart_time: d.restarts,
        unstable_restarts: 0,
        pm_uptime: Date.parse(d.startedAt) || 0,
        created_at: Date.parse(app.def.createdAt) || 0,
        pm_out_log_path: app.def.outLog,
        pm_err_log_path: app.def.errLog,
        version: sandbox.readJSON(path.join(path.dirname(app.def.script), 'package.json'), {})?.version || 'N/A',
      },
    };
  });
  out(JSON.stringify(entries));
}

function list() {
  const rows = store.list(pm2Home).map((app) => {
    const d = store.describe(app);
    return `│ ${String(app.def.pm_id).padEnd(3)}│ ${app.def.name.padEnd(14)}│ ${String(d.pid || 0).padEnd(8)}│ ${String(d.restarts).padEnd(3)}│ ${d.state.padEnd(9)}│`;
  });
  out(['┌────┬───────────────┬─────────┬────┬──────────┐', '│ id │ name          │ pid     │ ↺  │ status   │', ...rows, '└────┴───────────────┴─────────┴────┴──────────┘'].join('\n'));
}

function save() {
  const defs = store.list(pm2Home).map((a) => a.def);
  sandbox.writeJSON(path.join(pm2Home, 'dump.pm2'), defs);
  out(`[PM2] Saving current process list...\n[PM2] Successfully saved in ${path.join(pm2Home, 'dump.pm2')}`);
}

async function resurrect() {
  const defs = sandbox.readJSON(path.join(pm2Home, 'dump.pm2'), []);
  for (const def of defs) {
    await startApp({ ...def, env: def.appEnv, max_restarts: def.maxRestarts, restart_delay: def.restartDelay });
  }
}

function logs(target) {
  for (const app of store.list(pm2Home).filter((a) => !target || matches(a, target))) {
    for (const file of [app.def.outLog, app.def.errLog]) {
      let text = '';
      try {
        text = fs.readFileSync(file, 'utf8');
      } catch {
        continue;
      }
      out(`${file} last 20 lines:\n${text.split('\n').slice(-21).join('\n')}`);
    }
  }
}

async function main() {
  sandbox.record('pm2');
  const args = process.argv.slice(2);
  const command = args[0];
  const rest = args.slice(1);
  switch (command) {
    case '--version':
    case '-v':
    case 'version':
      return out(VERSION);
    case 'start':
      return start(rest);
    case 'delete':
    case 'del':
      return stopApps(rest[0] || 'all', true);
    case 'stop':
      return stopApps(rest[0] || 'all', false);
    case 'restart':
    case 'reload': {
      const apps = store.list(pm2Home).filter((a) => matches(a, rest[0] || 'all'));
      if (apps.length === 0) throw new Failure(`[PM2][ERROR] Process or Namespace ${rest[0]} not found`);
      for (const app of apps) {
        store.stop(pm2Home, app.def.name);
        await waitFor(() => !store.alive(app.def.supervisorPid), 3000);
        await startApp({ ...app.def, env: app.def.appEnv, max_restarts: app.def.maxRestarts, restart_delay: app.def.restartDelay });
      }
      return undefined;
    }
    case 'save':
    case 'dump':
      return save();
    case 'resurrect':
      return resurrect();
    case 'jlist':
      return jlist();
    case 'list':
    case 'ls':
    case 'status':
      return list();
    case 'describe':
    case 'show': {
      const app = store.list(pm2Home).find((a) => matches(a, rest[0]));
      if (!app) throw new Failure(`[PM2][WARN] ${rest[0]} doesn't exist`);
      return out(JSON.stringify({ ...app.def, env: undefined, appEnv: undefined, ...store.describe(app) }, null, 2));
    }
    case 'pid': {
      const app = store.list(pm2Home).find((a) => matches(a, rest[0]));
      return out(String(app ? store.describe(app).pid : ''));
    }
    case 'ping':
      return out("{ msg: 'pong' }");
    case 'kill':
      await stopApps('all', true);
      fs.rmSync(path.join(pm2Home, 'rpc.sock'), { force: true });
      return out('[PM2] PM2 stopped');
    case 'logs':
      return logs(rest[0]);
    default:
      throw new Failure(`[PM2][ERROR] Command ${command || '(none)'} is not simulated`);
  }
}

main().catch((error) => {
  process.stderr.write(`${error instanceof Failure ? error.message : error.stack || error}\n`);
  process.exit(1);
});
