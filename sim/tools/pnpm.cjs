#!/usr/bin/env node
'use strict';
// Sandbox stand-in for pnpm, global installs only: "root -g", "bin -g", "add/install -g SPEC",
// "remove -g NAME", "ls -g [--json]", "config get KEY" and "--version". It resolves versions
// through the registry its npmrc names (as a mirror is configured) and lays the agent package out
// as pnpm does, in one of two layouts (the sandbox setting "pnpmLayout"):
//   10  GLOBAL/5/node_modules/NAME, a symbolic link to GLOBAL/5/node_modules/.pnpm/NAME@VERSION/
//       node_modules/NAME; "root -g" names GLOBAL/5/node_modules. GLOBAL is the npmrc's global-dir.
//   11  PNPM_HOME/global/v11/HASH/node_modules/NAME, a symbolic link into PNPM_HOME/store/v11/links;
//       "root -g" names PNPM_HOME/global/v11, which holds no package itself (the npmrc's pnpm
//       settings are not read).
// Command shims go to the npmrc's global-bin-dir in both layouts.

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const sandbox = require('../lib/sandbox.cjs');

const SIM_ROOT = path.resolve(__dirname, '..');

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

function major() {
  return sandbox.readState().settings.pnpmLayout === 11 ? 11 : 10;
}

// The registry as pnpm reads it: the npmrc, then the environment; none otherwise (the sandbox has
// no public registry to fall back on).
function configuredRegistry(npmrc = readNpmrc()) {
  return npmrc.registry || process.env.npm_config_registry || process.env.NPM_CONFIG_REGISTRY || '';
}

const hashOf = (text) => crypto.createHash('sha256').update(text).digest('hex');

function layout() {
  const npmrc = readNpmrc();
  const pnpmHome = process.env.PNPM_HOME || path.join(sandbox.paths().home, '.local', 'share', 'pnpm');
  const bin = npmrc['global-bin-dir'] || pnpmHome;
  const registry = configuredRegistry(npmrc).replace(/\/+$/, '');
  if (major() === 11) {
    const root = path.join(pnpmHome, 'global', 'v11');
    return {
      root,
      bin,
      registry,
      // One isolated directory per global package.
      packageDir: (name) => path.join(root, hashOf(`global:${name}`).slice(0, 32), 'node_modules', name),
      storeDir: (name, version) =>
        path.join(pnpmHome, 'store', 'v11', 'links', '@', name, version, hashOf(`${name}@${version}`), 'node_modules', name),
    };
  }
  const root = path.join(npmrc['global-dir'] || path.join(pnpmHome, 'global'), '5', 'node_modules');
  return {
    root,
    bin,
    registry,
    packageDir: (name) => path.join(root, name),
    storeDir: (name, version) => path.join(root, '.pnpm', `${name}@${version}`, 'node_modules', name),
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
  const store = where.storeDir(name, version);
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

  const link = where.packageDir(name);
  fs.mkdirSync(path.dirname(link), { recursive: true });
  fs.rmSync(link, { recursive: true, force: true });
  fs.symlinkSync(path.relative(path.dirname(link), store), link);

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
    fs.rmSync(where.packageDir(name), { recursive: true, force: true });
    fs.rmSync(path.join(where.bin, name), { force: true });
    process.stdout.write(`- ${name}\n`);
  }
}

function listGlobal(json) {
  const where = layout();
  const dependencies = {};
  for (const name of ['quorvantis']) {
    const dir = where.packageDir(name);
    const manifest = sandbox.readJSON(path.join(dir, 'package.json'), null);
    // pnpm 10 reports the package's real place in its store, pnpm 11 its isolated directory.
    if (manifest) dependencies[name] = { from: name, version: manifest.version, path: major() === 11 ? dir : fs.realpathSync(dir) };
  }
  const top = major() === 11 ? where.root : path.dirname(where.root);
  if (json) process.stdout.write(JSON.stringify([{ path: top, private: major() === 11, dependencies }], null, 2) + '\n');
  else for (const [n, d] of Object.entries(dependencies)) process.stdout.write(`${n} ${d.version}\n`);
}

async function main() {
  sandbox.record('pnpm');
  const args = process.argv.slice(2);
  const global = args.includes('-g') || args.includes('--global');
  const words = args.filter((a) => !a.startsWith('-'));
  const command = words[0];
  if (args[0] === '--version' || args[0] === '-v') return void process.stdout.write(major() === 11 ? '11.29.0\n' : '10.34.9\n');
  if (command === 'config') {
    if (words[1] !== 'get' || !words[2]) throw new Failure(' ERR_PNPM_SANDBOX  only "config get KEY" is simulated');
    const npmrc = readNpmrc();
    const value = words[2] === 'registry' ? configuredRegistry(npmrc) : npmrc[words[2]];
    return void process.stdout.write(`${value || 'undefined'}\n`);
  }
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
