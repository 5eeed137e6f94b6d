#!/usr/bin/env node
'use strict';
// Sandbox stand-in for pnpm, global installs only: "root -g", "bin -g", "add/install -g SPEC",
// "remove -g NAME", "ls -g --json" and "--version". It resolves versions through the sandbox's
// registry and lays the agent package out like pnpm does: the files under
// GLOBAL/.pnpm/NAME@VERSION/node_modules/NAME and GLOBAL/NAME a symbolic link to them.

const fs = require('fs');
const path = require('path');
const sandbox = require('../lib/sandbox.cjs');

const SIM_ROOT = path.resolve(__dirname, '..');
const VERSION = '9.12.0';

class Failure extends Error {}

function readNpmrc() {
  const file = process.env.NPM_CONFIG_USERCONFIG;
  const config = {};
  if (!file) return config;
  let text = '';
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch {
    return config;
  }
  for (const line of text.split('\n')) {
    const m = /^\s*([^#;=\s][^=]*?)\s*=\s*(.*?)\s*$/.exec(line);
    if (m) config[m[1]] = m[2];
  }
  return config;
}

function layout() {
  const npmrc = readNpmrc();
  const pnpmHome = process.env.PNPM_HOME || path.join(sandbox.paths().home, '.local', 'share', 'pnpm');
  const globalDir = npmrc['global-dir'] || path.join(pnpmHome, 'global');
  return {
    root: path.join(globalDir, '5', 'node_modules'),
    bin: npmrc['global-bin-dir'] || pnpmHome,
    registry: (npmrc.registry || process.env.npm_config_registry || sandbox.readServices()?.registryURL || '').replace(/\/+$/, ''),
  };
}

async function fetchJSON(url) {
  let res;
  try {
    res = await fetch(url, { headers: { Accept: 'application/json' } });
  } catch (error) {
    throw new Failure(` ERR_PNPM_META_FETCH_FAIL  GET ${url}: ${error.cause?.code || error.message}`);
  }
  if (!res.ok) throw new Failure(` ERR_PNPM_FETCH_${res.status}  GET ${url}: ${res.status} ${res.statusText}`);
  return res.json();
}


function copyTree(from, to) {
  fs.cpSync(from, to, { recursive: true, force: true, dereference: true });
}

function nodeForShims() {
  try {
    const recorded = fs.readFileSync(sandbox.paths().nodePathFile, 'utf8').trim();
    if (recorded) return recorded;
  } catch {
    // no prepared runtime: use the node running this
  }
  return process.execPath;
}

function install(where, name, version) {
  const store = path.join(where.root, '.pnpm', `${name}@${version}`, 'node_modules', name);
  fs.rmSync(store, { recursive: true, force: true });
  copyTree(path.join(SIM_ROOT, 'agent-package'), store);
  const manifestFile = path.join(store, 'package.json');
  const manifest = JSON.parse(fs.readFileSync(manifestFile, 'utf8'));
  manifest.version = version;
  fs.writeFileSync(manifestFile, JSON.stringify(manifest, null, 2) + '\n');
  // The package is self-contained: it carries the sandbox helpers and the screenshot program.
  fs.mkdirSync(path.join(store, 'dist', 'lib'), { recursive: true });
  for (const lib of ['sandbox.cjs', 'png.cjs']) fs.copyFileSync(path.join(SIM_ROOT, 'lib', lib), path.join(store, 'dist', 'lib', lib));
  fs.copyFileSync(path.join(SIM_ROOT, 'tools', 'macos-screenshot.cjs'), path.join(store, 'dist', 'tools', 'macos-screenshot.cjs'));

  const link = path.join(where.root, name);
  fs.rmSync(link, { recursive: true, force: true });
  fs.symlinkSync(path.relative(where.root, store), link);

  fs.mkdirSync(where.bin, { recursive: true });
  const shim = path.join(where.bin, name);
  const node = nodeForShims().replace(/'/g, `'\\''`);
  const entry = path.join(link, manifest.bin[name]).replace(/'/g, `'\\''`);
  fs.writeFileSync(shim, `#!/bin/sh\n# pnpm global bin shim (sandbox)\nexec '${node}' --no-warnings '${entry}' "$@"\n`, { mode: 0o755 });
  fs.chmodSync(shim, 0o755);
}

async function add(specs) {
  const where = layout();
  if (!where.registry) throw new Failure(' ERR_PNPM_NO_REGISTRY  no registry is configured');
  const started = Date.now();
  const added = [];
  for (const spec of specs) {
    const at = spec.lastIndexOf('@');
    const name = at > 0 ? spec.slice(0, at) : spec;
    const wanted = at > 0 ? spec.slice(at + 1) : 'latest';
    if (name !== 'quorvantis') throw new Failure(` ERR_PNPM_FETCH_404  GET ${where.registry}/${name}: Not Found - 404`);
    if (wanted === 'beta' && (await sandbox.takeFailure('update'))) {
      throw new Failure(` ERR_PNPM_FETCH_503  GET ${where.registry}/${name}: Service Unavailable - 503`);
    }
    const packument = await fetchJSON(`${where.registry}/${encodeURIComponent(name)}`);
    const version = packument['dist-tags']?.[wanted] || (packument.versions?.[wanted] ? wanted : null);
    if (!version) throw new Failure(` ERR_PNPM_NO_MATCHING_VERSION  No matching version found for ${spec}`);
    await sandbox.pause(400);
    install(where, name, version);
    added.push(`${name} ${version}`);
  }
  process.stdout.write(`Packages: +${added.length}\n${'+'.repeat(added.length)}\n`);
  process.stdout.write(`Progress: resolved ${added.length}, reused 0, downloaded ${added.length}, added ${added.length}, done\n\n`);
  process.stdout.write(`${path.dirname(where.root)}:\n${added.map((a) => `+ ${a}`).join('\n')}\n\n`);
  process.stdout.write(`Done in ${((Date.now() - started) / 1000).toFixed(1)}s\n`);
}

function remove(names) {
  const where = layout();
  for (const name of names) {
    fs.rmSync(path.join(where.root, name), { recursive: true, force: true });
    fs.rmSync(path.join(where.bin, name), { force: true });
    process.stdout.write(`- ${name}\n`);
  }
}

function listGlobal(json) {
  const where = layout();
  const dependencies = {};
  for (const name of ['quorvantis']) {
    const manifest = sandbox.readJSON(path.join(where.root, name, 'package.json'), null);
    if (manifest) dependencies[name] = { from: name, version: manifest.version, path: fs.realpathSync(path.join(where.root, name)) };
  }
  if (json) process.stdout.write(JSON.stringify([{ path: path.dirname(where.root), private: false, dependencies }], null, 2) + '\n');
  else for (const [n, d] of Object.entries(dependencies)) process.stdout.write(`${n} ${d.version}\n`);
}

async function main() {
  sandbox.record('pnpm');
  const args = process.argv.slice(2);
  const global = args.includes('-g') || args.includes('--global');
  const words = args.filter((a) => !a.startsWith('-'));
  const command = words[0];
  if (args[0] === '--version' || args[0] === '-v') return void process.stdout.write(`${VERSION}\n`);
  if (!global && ['root', 'bin', 'add', 'install', 'i', 'remove', 'rm', 'ls', 'list'].includes(command)) {
    throw new Failure(' ERR_PNPM_SANDBOX  the sandbox pnpm only manages global packages (-g)');
  }
  switch (command) {
    case 'root':
      return void process.stdout.write(`${layout().root}\n`);
    case 'bin':
      return void process.stdout.write(`${layout().bin}\n`);
    case 'add':
    case 'install':
    case 'i':
    case 'update':
    case 'up':
      if (words.length < 2) throw new Failure(' ERR_PNPM_SANDBOX  name the package to install');
      return add(words.slice(1));
    case 'remove':
    case 'rm':
      return remove(words.slice(1));
    case 'ls':
    case 'list':
      return listGlobal(args.includes('--json'));
    default:
      throw new Failure(` ERR_PNPM_SANDBOX  "${command || ''}" is not simulated`);
  }
}

main().catch((error) => {
  process.stderr.write(`${error instanceof Failure ? error.message : error.stack || error}\n`);
  process.exit(1);
});
