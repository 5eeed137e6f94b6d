#!/usr/bin/env node
'use strict';
// The process manager's daemon for one application: runs it with its logs, restarts it when it
// dies (up to its restart budget), and reports the child's pid in the application's status file.
//
//   node pm2-supervisor.cjs PM2_HOME NAME

const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const sandbox = require('../lib/sandbox.cjs');
const store = require('../lib/pm2store.cjs');

const [pm2Home, name] = process.argv.slice(2);
const dir = store.appsDir(pm2Home);
const defFile = path.join(dir, `${store.safeName(name)}.app.json`);
const statusFile = path.join(dir, `${store.safeName(name)}.status.json`);

sandbox.record('pm2-daemon');

let child = null;
let stopping = false;
let restarts = 0;
const startedAt = new Date().toISOString();

function report(status, pid) {
  if (!fs.existsSync(defFile)) return; // deleted meanwhile
  sandbox.writeJSON(statusFile, { status, pid, restarts, startedAt, supervisorPid: process.pid });
}

function run() {
  const def = store.readFileJSON(defFile);
  if (!def) process.exit(0);
  const outFd = fs.openSync(def.outLog, 'a');
  const errFd = fs.openSync(def.errLog, 'a');
  const command = def.interpreter === 'none' ? def.script : def.interpreter;
  const args = def.interpreter === 'none' ? def.args : [def.script, ...def.args];
  child = spawn(command, args, {
    cwd: def.cwd,
    env: { ...def.env, pm_id: String(def.pm_id), name: def.name },
    stdio: ['ignore', outFd, errFd],
  });
  fs.closeSync(outFd);
  fs.closeSync(errFd);
  child.on('error', (error) => {
    fs.appendFileSync(def.errLog, `[PM2] cannot start ${command}: ${error.message}\n`);
  });
  report('online', child.pid || 0);
  child.on('exit', (code, signal) => {
    child = null;
    if (stopping) return;
    fs.appendFileSync(def.errLog, `[PM2] ${def.name} exited with ${signal || code}\n`);
    if (def.autorestart && restarts < def.maxRestarts) {
      restarts += 1;
      report('launching', 0);
      setTimeout(run, def.restartDelay);
    } else {
      report('errored', 0);
      process.exit(0);
    }
  });
}

function stop() {
  if (stopping) return;
  stopping = true;
  report('stopped', 0);
  if (!child) process.exit(0);
  const victim = child;
  victim.once('exit', () => process.exit(0));
  victim.kill('SIGTERM');
  setTimeout(() => victim.kill('SIGKILL'), 1500).unref();
}

process.on('SIGTERM', stop);
process.on('SIGINT', stop);
process.on('SIGHUP', () => {});
run();
