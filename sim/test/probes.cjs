'use strict';
// The application's three permission probes, restated as the bash the application runs, so the
// self-tests can check that the stand-ins answer them by the sandbox's grants.

const PATH_TAIL = '/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:/usr/bin:/bin:/usr/sbin:/sbin';

const common = `
node_path=$(cat "$HOME/.quorvantis/mac-app-node-path" 2>/dev/null || true)
runtime_root="$HOME/.quorvantis/mac-app-runtime"
runtime_bin="$runtime_root/bin"
[ -n "$node_path" ] && [ -x "$node_path" ] || exit 1
result=$(mktemp "\${TMPDIR:-/tmp}/quorvantis-permission-result.XXXXXX")
trap 'rm -f "$result"' EXIT
`;

const screenProgram = `
const [modulePath, resultPath] = process.argv.slice(1);
const fs = require('fs'), os = require('os'), path = require('path');
const { execFile } = require('child_process');
(async () => {
  let answer = 'denied';
  try {
    const program = path.join(os.homedir(), '.quorvantis', 'bin', 'macos-screenshot');
    if (!fs.existsSync(program)) {
      try { const shot = await require(modulePath).takeScreenshot(); fs.rmSync(shot.filePath, { force: true }); } catch {}
    }
    if (fs.existsSync(program)) {
      const out = path.join(os.tmpdir(), 'quorvantis-screen-check-' + process.pid + '.png');
      const ok = await new Promise((resolve) => execFile(program, [out], { timeout: 15000 }, (e) => resolve(!e)));
      let size = 0;
      try { size = fs.statSync(out).size; } catch {}
      answer = ok && size > 1000 ? 'granted' : 'denied';
      fs.rmSync(out, { force: true });
    }
  } catch { answer = 'denied'; }
  fs.writeFileSync(resultPath, answer);
})();
`;

const screen = `${common}
[ -x "$runtime_bin/pnpm" ] || exit 1
export PNPM_HOME="$runtime_bin" NPM_CONFIG_USERCONFIG="$runtime_root/pnpm-config/npmrc" NPM_CONFIG_GLOBALCONFIG=/dev/null
export PATH="$runtime_bin:$(dirname "$node_path"):${PATH_TAIL}"
package=$("$node_path" -e 'process.stdout.write(require("fs").realpathSync(process.argv[1]))' "$("$runtime_bin/pnpm" root -g)/quorvantis") || exit 1
module="$package/dist/tools/screenshot.js"
[ -f "$module" ] || exit 1
program=$(cat <<'QUORVANTIS_JS'
${screenProgram}
QUORVANTIS_JS
)
"$node_path" -e "$program" "$module" "$result" >/dev/null 2>&1 || true
[ "$(cat "$result")" = granted ]
`;

const disk = `${common}
"$node_path" -e '
const [, resultPath, home, pathValue, probe] = process.argv.slice(1);
const fs = require("fs");
process.env.HOME = home; process.env.PATH = pathValue;
let answer = "denied";
try { if (probe === "checkFullDiskAccessPermission") { fs.readdirSync(home + "/Library/Mail"); answer = "granted"; } } catch { answer = "denied"; }
fs.writeFileSync(resultPath, answer);
' unused "$result" "$HOME" "$PATH" checkFullDiskAccessPermission >/dev/null 2>&1 || true
[ "$(cat "$result")" = granted ]
`;

function accessibility(clients = ['cliclick', 'node'], prompt = false) {
  const extra = `QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1${prompt ? ' QUORVANTIS_ACCESSIBILITY_PROMPT=1' : ''}`;
  return `${common}
module="$runtime_root/accessibility-prompt.node"
[ -f "$module" ] || exit 1
export PATH="$runtime_bin:$(dirname "$node_path"):${PATH_TAIL}"
state="$HOME/.quorvantis/profiles/default/mac-app-accessibility-probe"
probe_cliclick() {
  [ -x "$runtime_bin/cliclick" ] || { echo missing; return; }
  local found; found=$(command -v cliclick || true)
  if [ -z "$found" ] || [ "$("$node_path" -e 'process.stdout.write(require("fs").realpathSync(process.argv[1]))' "$found")" != "$("$node_path" -e 'process.stdout.write(require("fs").realpathSync(process.argv[1]))' "$runtime_bin/cliclick")" ]; then echo mismatch; return; fi
  local out status
  out=$(env ${extra} cliclick -V 2>/dev/null); status=$?
  if [ -n "$out" ]; then echo unsupported; elif [ $status -eq 0 ]; then echo granted; else echo denied; fi
}
probe_node() {
  if env ${extra} "$node_path" -e 'process.exit(require(process.argv[1]).trusted(${prompt}) === true ? 0 : 1)' "$module" >/dev/null 2>&1; then echo granted; else echo denied; fi
}
status=0
for client in ${clients.join(' ')}; do
  answer=$(probe_$client)
  echo "$answer" >"$result"
  if [ "$answer" != granted ]; then status=1; mkdir -p "$(dirname "$state")"; echo "$answer" >"$state"; fi
done
[ $status -eq 0 ] && { mkdir -p "$(dirname "$state")"; echo granted >"$state"; }
exit $status
`;
}

module.exports = { screen, disk, accessibility };
