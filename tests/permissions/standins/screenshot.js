// Stand-in for the agent's screenshot tool: takeScreenshot() installs the screenshot program
// when $HOME/standin/install-helper exists, and returns a file it made.
const fs = require('fs');
const path = require('path');
exports.takeScreenshot = async () => {
  const home = process.env.HOME;
  const control = path.join(home, 'standin');
  const filePath = path.join(control, 'module-shot.png');
  fs.writeFileSync(filePath, 'x');
  if (fs.existsSync(path.join(control, 'install-helper'))) {
    const helper = path.join(home, '.quorvantis', 'bin', 'macos-screenshot');
    fs.mkdirSync(path.dirname(helper), { recursive: true });
    fs.copyFileSync(path.join(control, 'helper-template'), helper);
    fs.chmodSync(helper, 0o755);
  }
  return { filePath };
};
