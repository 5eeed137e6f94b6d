'use strict';
// Where the process-manager stand-in keeps its applications: one definition file per application
// (written by the pm2 command) and one status file (written by that application's supervisor).

const fs = require('fs');
const path = require('path');

function appsDir(pm2Home) {
  return path.join(pm2Home, 'sandbox-apps');
}

function safeName(name) {
  return encodeURIComponent(String(name));
}

function readFileJSON(file) {
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch {
    return null;
  }
}

function alive(pid) {
  if (!Number.isInteger(pid) || pid <= 0) return false;
  try {
    process.kill(pid, 0);
  } catch (error) {
    return error.code === 'EPERM';
  }
  // A zombie still answers signal 0; it is not running.
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return !/^\d+ \(.*\) [ZX] /s.test(stat);
  } catch {
    return true;
  }
}

function list(pm2Home) {
  const dir = appsDir(pm2Home);
  let names = [];
  try {
    names = fs.readdirSync(dir).filter((f) => f.endsWith('.app.json'));
  } catch {
    return [];
  }
  const apps = [];
  for (const file of names) {
    const def = readFileJSON(path.join(dir, file));
    if (!def) continue;
    const status = readFileJSON(path.join(dir, file.replace(/\.app\.json$/, '.status.json'))) || {};
    apps.push({ def, status });
  }
  apps.sort((a, b) => a.def.pm_id - b.def.pm_id);
  return apps;
}

// The live state of one application as a process list would report it.
function describe({ def, status }) {
  const supervisorUp = alive(def.supervisorPid);
  const childUp = supervisorUp && alive(status.pid);
  let state;
  if (status.status === 'stopped') state = 'stopped';
  else if (childUp) state = 'online';
  else if (supervisorUp) state = status.status === 'errored' ? 'errored' : 'launching';
  else state = 'errored';
  return { state, pid: childUp ? status.pid : 0, restarts: status.restarts || 0, startedAt: status.startedAt || def.createdAt };
}

function stop(pm2Home, name, signal = 'SIGTERM') {
  const dir = appsDir(pm2Home);
  const def = readFileJSON(path.join(dir, `${safeName(name)}.app.json`));
  if (!def) return false;
  if (alive(def.supervisorPid)) {
    try {
      process.kill(def.supervisorPid, signal);
    } catch {
      // already gone
    }
  }
  return true;
}

function remove(pm2Home, name) {
  const dir = appsDir(pm2Home);
  const found = stop(pm2Home, name);
  fs.rmSync(path.join(dir, `${safeName(name)}.app.json`), { force: true });
  fs.rmSync(path.join(dir, `${safeName(name)}.status.json`), { force: true });
  return found;
}

// Stops every application of every process-manager home found under a sandbox home.
function stopAll(pm2Homes) {
  let stopped = 0;
  for (const home of pm2Homes) {
    for (const app of list(home)) {
      if (stop(home, app.def.name)) stopped += 1;
    }
  }
  return stopped;
}

module.exports = { appsDir, safeName, list, describe, stop, remove, stopAll, alive, readFileJSON };
