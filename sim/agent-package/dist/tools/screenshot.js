'use strict';
// The agent's screenshot tool. takeScreenshot() makes sure the screenshot program is installed
// at ~/.quorvantis/bin/macos-screenshot, runs it into a temporary PNG and returns its path.

const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFile } = require('child_process');

function helperPath() {
  return path.join(os.homedir(), '.quorvantis', 'bin', 'macos-screenshot');
}

function installHelper() {
  const target = helperPath();
  if (fs.existsSync(target)) return target;
  fs.mkdirSync(path.dirname(target), { recursive: true });
  const program = path.join(__dirname, 'macos-screenshot.cjs').replace(/'/g, `'\\''`);
  const node = process.execPath.replace(/'/g, `'\\''`);
  fs.writeFileSync(target, `#!/bin/bash\nexec '${node}' --no-warnings '${program}' "$@"\n`, { mode: 0o755 });
  return target;
}

function takeScreenshot() {
  const program = installHelper();
  const filePath = path.join(os.tmpdir(), `quorvantis-screenshot-${process.pid}-${Date.now()}.png`);
  return new Promise((resolve, reject) => {
    execFile(program, [filePath], { timeout: 15000 }, (error) => {
      if (error) reject(error);
      else resolve({ filePath, size: fs.statSync(filePath).size });
    });
  });
}

exports.takeScreenshot = takeScreenshot;
exports.installHelper = installHelper;
