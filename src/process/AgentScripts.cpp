#include "process/AgentScripts.h"

#include <QCoreApplication>

#include <locale.h>

namespace AgentScripts {

namespace {

// The failure lines of the scripts below, word for word.
constexpr const char *failureLines[] = {
    QT_TRANSLATE_NOOP("AgentScripts", "Quorvantis 运行环境不完整，请重新安装。"),
    QT_TRANSLATE_NOOP("AgentScripts", "Quorvantis 安装工具不可用，请重新安装。"),
    QT_TRANSLATE_NOOP("AgentScripts", "Quorvantis 运行组件不完整，请重新安装。"),
    QT_TRANSLATE_NOOP("AgentScripts", "Agent 运行配置未生成，请重试。"),
    QT_TRANSLATE_NOOP("AgentScripts", "Agent 运行配置无效，请重试。"),
};

// Reads the process manager's JSON list from standard input. The manager may print notices such
// as "[PM2] ..." around it, so the list is the last line that parses as a JSON array.
const char *const pm2ListPrelude = R"JS(const fs = require('fs');
const list = (() => {
  const lines = fs.readFileSync(0, 'utf8').split('\n');
  for (let index = lines.length - 1; index >= 0; index--) {
    const line = lines[index].trim();
    if (!line.startsWith('[')) continue;
    try {
      const parsed = JSON.parse(line);
      if (Array.isArray(parsed)) return parsed;
    } catch (error) {}
  }
  throw new Error('The PM2 process list is unreadable');
})();
const envOf = (entry) => (entry && entry.pm2_env) || {};
const scriptOf = (entry) => String(envOf(entry).pm_exec_path || '');
const interpreterOf = (entry) => String(envOf(entry).exec_interpreter || '');
const isStalePath = (script) => script.includes('/Library/pnpm/') || script.includes('/.pnpm/quorvantis@');
)JS";

// Points the first application of the ecosystem at the prepared node, gives it a PATH that finds
// the private runtime first and the private process-manager home, and replaces the file
// atomically. Arguments: ecosystem, node path, runtime bin, "with-parent" | "without-parent".
const char *const ecosystemProgram = R"JS(const fs = require('fs');
const path = require('path');
const [file, nodePath, runtimeBin, parentMode] = process.argv.slice(1);
const config = require(file);
const apps = config && Array.isArray(config.apps) ? config.apps : [];
const app = apps[0];
if (!app || typeof app !== 'object') throw new Error('Quorvantis PM2 config format is unsupported');
app.interpreter = nodePath;
if (!app.env || typeof app.env !== 'object') app.env = {};
const sources = [runtimeBin, path.dirname(nodePath)];
if (parentMode === 'with-parent') sources.push(runtimeBin + '/..');
sources.push(typeof app.env.PATH === 'string' ? app.env.PATH : '');
const directories = [];
for (const source of sources) {
  for (const directory of source.split(':')) {
    if (directory && !directories.includes(directory)) directories.push(directory);
  }
}
app.env.PATH = directories.join(':');
app.env.PM2_HOME = process.env.HOME + '/.quorvantis/mac-app-runtime/pm2';
app.env.LANG = '@UTF8_LOCALE@';
app.env.LC_CTYPE = '@UTF8_LOCALE@';
const temporary = file + '.' + process.pid;
fs.writeFileSync(temporary, 'module.exports = ' + JSON.stringify(config, null, 2) + ';\n', { mode: 0o600 });
fs.chmodSync(temporary, 0o600);
fs.renameSync(temporary, file);
)JS";

const char *const appNameProgram = R"JS(const config = require(process.argv[1]);
const app = config && Array.isArray(config.apps) ? config.apps[0] : undefined;
process.stdout.write(app && typeof app.name === 'string' ? app.name : '');
)JS";

const char *const verifyProgram = R"JS(const [name, nodePath] = process.argv.slice(1);
const entry = list.find((candidate) => candidate && candidate.name === name);
if (!entry || envOf(entry).status !== 'online') throw new Error('Quorvantis is not online in PM2');
if (interpreterOf(entry) !== nodePath) throw new Error('Quorvantis PM2 interpreter does not match the prepared Node');
if (!scriptOf(entry).endsWith('/.quorvantis/launcher.cjs')) throw new Error('Quorvantis PM2 launcher is not stable');
)JS";

const char *const staleIdsProgram = R"JS(const [nodePath] = process.argv.slice(1);
const stale = list.filter((entry) => {
  const interpreter = interpreterOf(entry);
  return isStalePath(scriptOf(entry)) || (interpreter !== '' && interpreter !== nodePath && interpreter !== 'none');
});
const ids = stale.map((entry) => String(entry.pm_id ?? envOf(entry).pm_id)).filter((id) => /^[0-9]+$/.test(id));
process.stdout.write(ids.join('\n'));
)JS";

const char *const staleCheckProgram = R"JS(if (list.some((entry) => isStalePath(scriptOf(entry)))) throw new Error('A stale PM2 process remains');
)JS";

// Where the runtime's pnpm keeps the installed agent package, as "agent_package_dir PNPM NODE".
// pnpm 10 and 11 both list their global packages with each one's directory; the global root
// holds the package itself only up to pnpm 10 (pnpm 11 gives every global package an isolated
// directory below it), so the root is the fallback, searched one level down as well. A pnpm
// that cannot name its root ends the caller with its status; a package found nowhere is named
// where pnpm 10 keeps it, so the caller's own check fails as it always did. pnpm 11 refuses
// global commands while its default bin directory is not on PATH, hence the extra entry.
const char *const packageLookupFunction = R"SH(agent_package_dir() {
  local pnpm=$1 node=$2 listing found root candidate
  listing=$(PATH="$PATH:$PNPM_HOME/bin" "$pnpm" ls -g --json --depth=0 2>/dev/null) || listing=""
  found=$(printf '%s' "$listing" | "$node" -e '
let list = [];
try { list = JSON.parse(require("fs").readFileSync(0, "utf8")); } catch (error) {}
for (const entry of Array.isArray(list) ? list : [list]) {
  const found = entry && entry.dependencies && entry.dependencies.quorvantis;
  if (found && typeof found.path === "string" && found.path !== "") { process.stdout.write(found.path); break; }
}' 2>/dev/null) || found=""
  if [ -n "$found" ] && [ -f "$found/package.json" ]; then
    printf '%s\n' "$found"
    return 0
  fi
  root=$(PATH="$PATH:$PNPM_HOME/bin" "$pnpm" root -g) || return
  if [ -d "$root/quorvantis" ]; then
    printf '%s\n' "$root/quorvantis"
    return 0
  fi
  for candidate in "$root"/*/node_modules/quorvantis; do
    if [ -f "$candidate/package.json" ]; then
      printf '%s\n' "$candidate"
      return 0
    fi
  done
  printf '%s\n' "$root/quorvantis"
}
)SH";

// Steps shared by both platforms, up to the wrapper. @LOGIN_DIRECTORY@ and @WRAPPER_PRELUDE@
// are the platform's.
const char *const daemonInstallBody = R"SH(# agent daemon install
set -euo pipefail

node_path_file="$HOME/.quorvantis/mac-app-node-path"
runtime_root="$HOME/.quorvantis/mac-app-runtime"
runtime_bin="$runtime_root/bin"
npmrc="$runtime_root/pnpm-config/npmrc"
ecosystem="$HOME/.quorvantis/pm2-ecosystem.config.cjs"
wrapper="$HOME/.quorvantis/start.sh"
daemon_output="$HOME/.quorvantis/logs/launchd-stdout.log"
pnpm="$runtime_bin/pnpm"
pm2="$runtime_bin/pm2"

node_path=""
if [ -r "$node_path_file" ]; then
  IFS= read -r node_path <"$node_path_file" || true
fi
if [ -z "$node_path" ] || [ ! -f "$node_path" ] || [ ! -x "$node_path" ]; then
  echo "Quorvantis 运行环境不完整，请重新安装。" >&2
  exit 1
fi
if [ ! -x "$pnpm" ] || [ ! -x "$pm2" ]; then
  echo "Quorvantis 安装工具不可用，请重新安装。" >&2
  exit 1
fi

mkdir -p "$runtime_root/pnpm-config" "$HOME/.quorvantis/logs" "@LOGIN_DIRECTORY@"

node_dir=$(dirname "$node_path")
export HOME
export PNPM_HOME="$runtime_bin"
export PM2_HOME="$runtime_root/pm2"
export NPM_CONFIG_USERCONFIG="$npmrc"
export NPM_CONFIG_GLOBALCONFIG=/dev/null
export LANG=@UTF8_LOCALE@
export LC_CTYPE=@UTF8_LOCALE@
unset NVM_DIR NVM_BIN
export PATH="$node_dir:$runtime_bin:/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:/usr/bin:/bin:/usr/sbin:/sbin"

if [ ! -e "$npmrc" ]; then
  printf 'global-dir=%s\nglobal-bin-dir=%s\nstore-dir=%s\n' \
    "$runtime_root/pnpm-global" "$runtime_bin" "$runtime_root/pnpm-store" >"$npmrc"
fi

@PACKAGE_LOOKUP@
package=$(agent_package_dir "$pnpm" "$node_path")
bundle="$package/dist-agent/bundle.cjs"
if [ ! -f "$bundle" ]; then
  echo "Quorvantis 运行组件不完整，请重新安装。" >&2
  exit 1
fi

# An older installation ran its own process manager under ~/.pm2; retire its entries only when
# that manager is actually there, so a fresh machine never gets one started.
if [ -S "$HOME/.pm2/rpc.sock" ]; then
  for old_app in quorvantis chat-monitor wechat-monitor feishu-monitor; do
    PM2_HOME="$HOME/.pm2" "$pm2" delete "$old_app" >/dev/null 2>&1 || true
  done
  PM2_HOME="$HOME/.pm2" "$pm2" save --force >/dev/null 2>&1 || true
fi

"$pm2" delete all >/dev/null 2>&1 || true
"$pm2" save --force >/dev/null 2>&1 || true

"$node_path" "$bundle" daemon start --installed

if [ ! -e "$ecosystem" ]; then
  echo "Agent 运行配置未生成，请重试。" >&2
  exit 1
fi

IFS= read -r -d '' ecosystem_program <<'QUORVANTIS_JS' || true
@ECOSYSTEM_PROGRAM@QUORVANTIS_JS
"$node_path" -e "$ecosystem_program" "$ecosystem" "$node_path" "$runtime_bin" with-parent

IFS= read -r -d '' app_name_program <<'QUORVANTIS_JS' || true
@APP_NAME_PROGRAM@QUORVANTIS_JS
app_name=$("$node_path" -e "$app_name_program" "$ecosystem")
if [ -z "$app_name" ]; then
  echo "Agent 运行配置无效，请重试。" >&2
  exit 1
fi

"$pm2" delete "$app_name" >/dev/null 2>&1 || true
"$pm2" start "$ecosystem" >/dev/null
"$pm2" save --force

IFS= read -r -d '' verify_program <<'QUORVANTIS_JS' || true
@PM2_LIST_PRELUDE@@VERIFY_PROGRAM@QUORVANTIS_JS
"$pm2" jlist | "$node_path" -e "$verify_program" "$app_name" "$node_path"

IFS= read -r -d '' stale_ids_program <<'QUORVANTIS_JS' || true
@PM2_LIST_PRELUDE@@STALE_IDS_PROGRAM@QUORVANTIS_JS
IFS= read -r -d '' stale_check_program <<'QUORVANTIS_JS' || true
@PM2_LIST_PRELUDE@@STALE_CHECK_PROGRAM@QUORVANTIS_JS
stale_ids=$("$pm2" jlist | "$node_path" -e "$stale_ids_program" "$node_path")
for stale_id in $stale_ids; do
  "$pm2" delete "$stale_id" >/dev/null 2>&1 || true
done
"$pm2" save --force
"$pm2" jlist | "$node_path" -e "$stale_check_program"

# The wrapper carries the environment as it stands now, so a login start needs nothing else.
wrapper_temporary="$wrapper.$$"
{
  printf '#!/bin/bash\n'
  printf 'set -euo pipefail\n'
@WRAPPER_PRELUDE@  for variable in HOME PNPM_HOME PM2_HOME NPM_CONFIG_USERCONFIG NPM_CONFIG_GLOBALCONFIG LANG LC_CTYPE PATH; do
    printf 'export %s=%q\n' "$variable" "${!variable}"
  done
  printf 'unset NVM_DIR NVM_BIN\n'
  printf 'ecosystem_program=%q\n' "$ecosystem_program"
  printf '%q daemon start --installed\n' "$runtime_bin/quorvantis"
  printf '%q -e "$ecosystem_program" %q %q %q without-parent\n' "$node_path" "$ecosystem" "$node_path" "$runtime_bin"
  printf '%q delete quorvantis >/dev/null 2>&1 || true\n' "$pm2"
  printf '%q start %q\n' "$pm2" "$ecosystem"
  printf '%q save --force\n' "$pm2"
} >"$wrapper_temporary"
chmod 755 "$wrapper_temporary"
mv -f "$wrapper_temporary" "$wrapper"
)SH";

const char *const macOSLaunchAgent = R"SH(
user_id=$(id -u)
launch_agent="$HOME/Library/LaunchAgents/dev.quorvantis.agent.plist"
launchctl bootout "gui/$user_id" "$launch_agent" >/dev/null 2>&1 || true

IFS= read -r -d '' plist_program <<'QUORVANTIS_JS' || true
const fs = require('fs');
const [file, wrapper, output] = process.argv.slice(1);
const names = ['HOME', 'PNPM_HOME', 'PM2_HOME', 'NPM_CONFIG_USERCONFIG', 'NPM_CONFIG_GLOBALCONFIG', 'LANG', 'LC_CTYPE', 'PATH'];
const environment = {};
for (const name of names) environment[name] = process.env[name] || '';
fs.writeFileSync(file, JSON.stringify({
  Label: 'dev.quorvantis.agent',
  ProgramArguments: ['/bin/bash', wrapper],
  EnvironmentVariables: environment,
  StandardOutPath: output,
  StandardErrorPath: output,
  RunAtLoad: true,
}), { mode: 0o644 });
QUORVANTIS_JS
launch_agent_temporary="$launch_agent.$$"
"$node_path" -e "$plist_program" "$launch_agent_temporary" "$wrapper" "$daemon_output"
/usr/bin/plutil -convert xml1 "$launch_agent_temporary"
mv -f "$launch_agent_temporary" "$launch_agent"
launchctl bootstrap "gui/$user_id" "$launch_agent"
)SH";

// On Linux the session starts the wrapper through an XDG autostart entry. The pm2 start above
// already runs the daemon for this session, so nothing is started here.
const char *const linuxAutostartEntry = R"SH(
autostart_entry="$HOME/.config/autostart/dev.quorvantis.agent.desktop"

# Quotes one Exec argument: reserved characters get a backslash, then the value's own
# backslash escaping doubles every backslash; a percent sign would start a field code.
desktop_exec_argument() {
  local text=$1 quoted="" character index
  for ((index = 0; index < ${#text}; index++)); do
    character=${text:index:1}
    case $character in
      '"' | '`' | '$') quoted+='\\'"$character" ;;
      '\') quoted+='\\\\' ;;
      '%') quoted+='%%' ;;
      *) quoted+=$character ;;
    esac
  done
  printf '"%s"' "$quoted"
}

autostart_temporary="$autostart_entry.$$"
{
  printf '[Desktop Entry]\n'
  printf 'Type=Application\n'
  printf 'Name=Quorvantis Agent\n'
  printf 'Exec=/bin/bash %s\n' "$(desktop_exec_argument "$wrapper")"
  printf 'Terminal=false\n'
  printf 'NoDisplay=true\n'
  printf 'X-GNOME-Autostart-enabled=true\n'
} >"$autostart_temporary"
mv -f "$autostart_temporary" "$autostart_entry"
)SH";

// launchd sends the wrapper's output to the daemon output file; an autostart entry cannot, so the
// Linux wrapper sends its own.
const char *const linuxWrapperPrelude = R"SH(  printf 'exec >>%q 2>&1\n' "$daemon_output"
)SH";

// The private runtime's node and pnpm, with pnpm's configuration its own; ends the script when
// the runtime is not prepared.
const char *const runtimePrelude = R"SH(runtime_root="$HOME/.quorvantis/mac-app-runtime"
runtime_node=""
if [ -r "$HOME/.quorvantis/mac-app-node-path" ]; then
  IFS= read -r runtime_node <"$HOME/.quorvantis/mac-app-node-path" || true
fi
runtime_pnpm="$runtime_root/bin/pnpm"
export PNPM_HOME="$runtime_root/bin"
export NPM_CONFIG_USERCONFIG="$runtime_root/pnpm-config/npmrc"
export NPM_CONFIG_GLOBALCONFIG=/dev/null

if [ -z "$runtime_node" ] || [ ! -x "$runtime_node" ] || [ ! -x "$runtime_pnpm" ]; then
  exit 1
fi
# pnpm runs on node: the prepared one must be found first.
runtime_node_dir=${runtime_node%/*}
export PATH="${runtime_node_dir:-/}:$runtime_root/bin:$PATH"
)SH";

const char *const agentUpdateBody = R"SH(# agent update
set -euo pipefail

@RUNTIME_PRELUDE@
@PACKAGE_LOOKUP@
package_version() {
  local package
  package=$(agent_package_dir "$runtime_pnpm" "$runtime_node") || return
  package=$("$runtime_node" -e 'process.stdout.write(require("fs").realpathSync(process.argv[1]))' "$package")
  "$runtime_node" -e 'process.stdout.write(String(JSON.parse(require("fs").readFileSync(process.argv[1], "utf8")).version))' \
    "$package/package.json"
}

before=$(package_version)
"$runtime_pnpm" install -g quorvantis@beta
after=$(package_version)
printf 'Agent version checked: %s -> %s\n' "$before" "$after"
)SH";

const char *const registryQueryBody = R"SH(# registry question
set -euo pipefail

@RUNTIME_PRELUDE@
"$runtime_pnpm" config get registry >@ANSWER_FILE@ 2>/dev/null
)SH";

QString fill(QString text, const char *placeholder, const QString &value)
{
    return text.replace(QLatin1String(placeholder), value);
}

} // namespace

QString utf8Locale()
{
    static const QString chosen = [] {
        if (locale_t english = ::newlocale(LC_CTYPE_MASK, "en_US.UTF-8", locale_t(nullptr))) {
            ::freelocale(english);
            return QStringLiteral("en_US.UTF-8");
        }
        return QStringLiteral("C.UTF-8");
    }();
    return chosen;
}

QString daemonInstall(Platform platform)
{
    const bool mac = platform == Platform::macOS;
    const QString prelude = QString::fromUtf8(pm2ListPrelude);
    QString script = QString::fromUtf8(daemonInstallBody);
    script = fill(script, "@LOGIN_DIRECTORY@",
                  mac ? QStringLiteral("$HOME/Library/LaunchAgents") : QStringLiteral("$HOME/.config/autostart"));
    script = fill(script, "@WRAPPER_PRELUDE@", mac ? QString() : QString::fromUtf8(linuxWrapperPrelude));
    script = fill(script, "@ECOSYSTEM_PROGRAM@", QString::fromUtf8(ecosystemProgram));
    script = fill(script, "@APP_NAME_PROGRAM@", QString::fromUtf8(appNameProgram));
    script = fill(script, "@PACKAGE_LOOKUP@", packageLookup());
    script = fill(script, "@PM2_LIST_PRELUDE@", prelude);
    script = fill(script, "@VERIFY_PROGRAM@", QString::fromUtf8(verifyProgram));
    script = fill(script, "@STALE_IDS_PROGRAM@", QString::fromUtf8(staleIdsProgram));
    script = fill(script, "@STALE_CHECK_PROGRAM@", QString::fromUtf8(staleCheckProgram));
    script = fill(script, "@UTF8_LOCALE@", utf8Locale());
    return script + QString::fromUtf8(mac ? macOSLaunchAgent : linuxAutostartEntry);
}

QString agentUpdate()
{
    const QString body = fill(QString::fromUtf8(agentUpdateBody), "@RUNTIME_PRELUDE@", QString::fromUtf8(runtimePrelude));
    return fill(body, "@PACKAGE_LOOKUP@", packageLookup());
}

QString packageLookup()
{
    return QString::fromUtf8(packageLookupFunction);
}

QString registryQuery(const QString &answerFile)
{
    QString quoted = answerFile;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    const QString body = fill(QString::fromUtf8(registryQueryBody), "@RUNTIME_PRELUDE@", QString::fromUtf8(runtimePrelude));
    return fill(body, "@ANSWER_FILE@", QLatin1Char('\'') + quoted + QLatin1Char('\''));
}

QString base64Decode(Platform platform)
{
    return platform == Platform::macOS ? QStringLiteral("/usr/bin/base64 -D") : QStringLiteral("base64 -d");
}

QString translatedFailureLine(const QString &line)
{
    for (const char *known : failureLines) {
        if (line == QString::fromUtf8(known))
            return QCoreApplication::translate("AgentScripts", known);
    }
    return line;
}

} // namespace AgentScripts
