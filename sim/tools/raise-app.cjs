#!/usr/bin/env node
'use strict';
// Asks the application already running for a sandbox home to bring its window to the front,
// through the application's own single-instance socket; nothing in the home is read or written
// beyond resolving its path.
//
//   raise-app.cjs HOME        exit 0: it runs and came forward; 3: no application runs there
//   raise-app.cjs --socket HOME   prints the socket paths looked at

const crypto = require('crypto');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const ANSWER_MS = 3000;

// The application names its socket after the user and the canonical home, in the runtime
// directory the toolkit uses: XDG_RUNTIME_DIR, else the per-user one, else one under /tmp.
function socketCandidates(home) {
  let canonical;
  try {
    canonical = fs.realpathSync(home);
  } catch {
    canonical = path.resolve(home);
  }
  const uid = process.getuid();
  const hash = crypto.createHash('sha256').update(canonical, 'utf8').digest('hex').slice(0, 16);
  const name = `quorvantis-companion-${uid}-${hash}`;
  const dirs = [process.env.XDG_RUNTIME_DIR, `/run/user/${uid}`, path.join(os.tmpdir(), `runtime-${os.userInfo().username}`)];
  return [...new Set(dirs.filter(Boolean))].map((dir) => path.join(dir, name));
}

function ask(socket) {
  return new Promise((resolve) => {
    let answer = '';
    const client = net.createConnection(socket);
    const done = (ok) => {
      clearTimeout(timer);
      client.destroy();
      resolve(ok);
    };
    const timer = setTimeout(() => done(false), ANSWER_MS);
    client.on('connect', () => client.write('activate\n'));
    client.on('data', (chunk) => {
      answer += chunk;
      if (answer.length >= 3) done(answer.startsWith('ok\n'));
    });
    client.on('error', () => done(false));
    client.on('close', () => done(answer.startsWith('ok\n')));
  });
}

async function main() {
  const listOnly = process.argv[2] === '--socket';
  const home = process.argv[listOnly ? 3 : 2];
  if (!home) {
    process.stderr.write('usage: raise-app.cjs [--socket] HOME\n');
    process.exit(2);
  }
  const candidates = socketCandidates(home);
  if (listOnly) {
    process.stdout.write(`${candidates.join('\n')}\n`);
    return;
  }
  for (const socket of candidates) {
    if (fs.existsSync(socket) && (await ask(socket))) process.exit(0);
  }
  process.exit(3);
}

main();
