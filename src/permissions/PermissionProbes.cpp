// Permission probes: each permission is tested with the agent's own tools, in a job detached
// from the application, and the application only learns the probe's exit status.

#include "permissions/PermissionProbes.h"

#include "process/CLIService.h"

#include <QCoreApplication>

namespace PermissionProbes {

using AgentScripts::Platform;

namespace {

const char *const standardPath =
    "/opt/homebrew/bin:/opt/homebrew/sbin:/usr/local/bin:/usr/local/sbin:/usr/bin:/bin:/usr/sbin:/sbin";

// Reads the node path file and names the runtime; shared by every probe.
const char *const probePrelude = R"SH(node_path=""
if [ -r "$HOME/.quorvantis/mac-app-node-path" ]; then
  IFS= read -r node_path <"$HOME/.quorvantis/mac-app-node-path" || true
fi
runtime_root="$HOME/.quorvantis/mac-app-runtime"
runtime_bin="$runtime_root/bin"
node_dir=${node_path%/*}
node_dir=${node_dir:-/}
# The first line of a result file into probe_answer, read by the shell itself.
read_answer() {
  probe_answer=""
  if [ -e "$1" ]; then
    IFS= read -r probe_answer <"$1" 2>/dev/null || true
  fi
}
)SH";

// The job directory, the payload and the runner are the same on both platforms; only the way
// the runner is started and ended differs.
const char *const jobPrelude = R"SH(job_dir=$(mktemp -d "${TMPDIR:-/tmp}/quorvantis-permission-job.XXXXXX") || exit 2
label="com.quorvantis.permission.$$.$RANDOM"
user_id=$EUID
@JOB_CLEANUP@trap cleanup EXIT

printf '%s' '@PAYLOAD@' | @BASE64_DECODE@ >"$job_dir/payload.sh"
# Written by the shell itself: the wrapper runs at every permission check, so each command it
# spares is a process fewer at every launch.
IFS= read -r -d '' runner <<'QUORVANTIS_RUNNER' || true
#!/bin/bash
set +e
job_dir=${0%/*}
/bin/bash "$job_dir/payload.sh"
status=$?
printf '%s\n' "$status" >"$job_dir/result"
exit "$status"
QUORVANTIS_RUNNER
printf '%s' "$runner" >"$job_dir/runner.sh"
chmod 700 "$job_dir/payload.sh" "$job_dir/runner.sh"
)SH";

const char *const macOSJobCleanup = R"SH(cleanup() {
  launchctl bootout "gui/$user_id/$label" >/dev/null 2>&1 || true
  rm -rf "$job_dir"
}
)SH";

const char *const macOSJobStart = R"SH(
xml_escape() {
  printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'
}
plist="$job_dir/job.plist"
/usr/bin/plutil -create xml1 "$plist"
/usr/bin/plutil -insert Label -string "$label" "$plist"
/usr/bin/plutil -insert ProgramArguments -xml "<array><string>/bin/bash</string><string>$(xml_escape "$job_dir/runner.sh")</string></array>" "$plist"
/usr/bin/plutil -insert EnvironmentVariables -xml "<dict><key>HOME</key><string>$(xml_escape "$HOME")</string></dict>" "$plist"
/usr/bin/plutil -insert RunAtLoad -bool true "$plist"
launchctl bootstrap "gui/$user_id" "$plist" >/dev/null 2>&1
)SH";

// The probe runs in a session of its own, with nothing of the application's environment but
// HOME and the default search path a login job gets; the cleanup ends its whole process group.
const char *const linuxJobCleanup = R"SH(job_pid=""
cleanup() {
  if [ -n "$job_pid" ]; then
    # A job still running past its budget is asked to stop first, so its traps tidy up.
    if kill -TERM -- "-$job_pid" >/dev/null 2>&1; then
      for _ in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 -- "-$job_pid" >/dev/null 2>&1 || break
        if declare -F pause >/dev/null; then pause 0.05; else sleep 0.05; fi
      done
    fi
    kill -KILL -- "-$job_pid" >/dev/null 2>&1 || true
  fi
  rm -rf "$job_dir"
}
)SH";

const char *const linuxJobStart = R"SH(
env -i HOME="$HOME" PATH=/usr/bin:/bin:/usr/sbin:/sbin setsid /bin/bash "$job_dir/runner.sh" </dev/null >/dev/null 2>&1 &
job_pid=$!
)SH";

const char *const jobPoll = R"SH(
# The wait between polls: a timed read on a FIFO nobody writes to, where the shell can time a
# read to the millisecond (bash 4 and later), so no sleep process starts per poll.
if [ "${BASH_VERSINFO[0]:-0}" -ge 4 ] && mkfifo "$job_dir/tick" 2>/dev/null && { exec 9<>"$job_dir/tick"; } 2>/dev/null; then
  pause() { read -r -t "$1" -u 9 _ || true; }
else
  pause() { sleep "$1"; }
fi
last=""
for ((attempt = 1; attempt <= @POLLS@; attempt++)); do
  last=""
  if [ -e "$job_dir/result" ]; then
    IFS= read -r last <"$job_dir/result" 2>/dev/null || true
  fi
  case "$last" in
    '' | *[!0-9]*) ;;
    *) break ;;
  esac
  if [ "$attempt" -lt @POLLS@ ]; then
    pause @INTERVAL@
  fi
done
if [ "$last" = "0" ]; then
  exit 0
fi
if [ -z "$last" ]; then
  # The job never answered (it did not start, or ran past the budget): nothing was decided.
  exit 2
fi
exit 1
)SH";

const char *const screenProgram = R"JS(const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { pathToFileURL } = require('url');
const [packageLink, resultPath] = process.argv.slice(1);
const helper = path.join(os.homedir(), '.quorvantis', 'bin', 'macos-screenshot');
(async () => {
  let answer = 'denied';
  try {
    // The agent package where pnpm's global root links to it; without its screenshot module
    // there is nothing to ask.
    const modulePath = path.join(fs.realpathSync(packageLink), 'dist', 'tools', 'screenshot.js');
    if (!fs.statSync(modulePath).isFile()) throw new Error('no screenshot module');
    if (!fs.existsSync(helper)) {
      try {
        const loaded = await import(pathToFileURL(modulePath).href);
        const takeScreenshot = loaded.takeScreenshot || (loaded.default && loaded.default.takeScreenshot);
        const taken = await takeScreenshot();
        if (taken && taken.filePath) fs.rmSync(taken.filePath, { force: true });
      } catch (error) {}
    }
    if (fs.existsSync(helper)) {
      const target = path.join(os.tmpdir(), `quorvantis-screen-check-${process.pid}.png`);
      const run = spawnSync(helper, [target], { timeout: 15000, stdio: 'ignore' });
      let size = 0;
      try { size = fs.statSync(target).size; } catch (error) {}
      answer = run.status === 0 && size > 1000 ? 'granted' : 'denied';
      fs.rmSync(target, { force: true });
    }
  } catch (error) {
    answer = 'denied';
  }
  fs.writeFileSync(resultPath, answer);
})();
)JS";

const char *const screenProbeBody = R"SH(if [ -z "$node_path" ] || [ ! -x "$node_path" ] || [ ! -x "$runtime_bin/pnpm" ]; then
  exit 1
fi
export PNPM_HOME="$runtime_bin"
export NPM_CONFIG_USERCONFIG="$runtime_root/pnpm-config/npmrc"
export NPM_CONFIG_GLOBALCONFIG=/dev/null
export PATH="$runtime_bin:$node_dir:@STANDARD_PATH@"
unset NPM_CONFIG_PREFIX npm_config_prefix PNPM_CONFIG_GLOBAL_DIR QUORVANTIS_SCREENSHOT_HELPER

global_root=$("$runtime_bin/pnpm" root -g 2>/dev/null) || exit 1
# The package's real path and its module are resolved by the probe's own node run: a node
# start fewer per check.
result=$(mktemp "${TMPDIR:-/tmp}/quorvantis-screen-result.XXXXXX") || exit 1
trap 'rm -f "$result"' EXIT
IFS= read -r -d '' screen_program <<'QUORVANTIS_JS' || true
@SCREEN_PROGRAM@QUORVANTIS_JS
"$node_path" -e "$screen_program" "$global_root/quorvantis" "$result" >/dev/null 2>&1
read_answer "$result"
if [ "$probe_answer" = "granted" ]; then
  exit 0
fi
exit 1
)SH";

const char *const diskProgram = R"JS(const fs = require('fs');
const path = require('path');
const [resultPath, home, searchPath, probe] = process.argv.slice(2);
let answer = 'denied';
try {
  process.env.HOME = home;
  process.env.PATH = searchPath;
  if (probe === 'checkFullDiskAccessPermission') {
    try {
      fs.readdirSync(path.join(home, 'Library', 'Mail'));
      answer = 'granted';
    } catch (error) {
      answer = 'denied';
    }
  }
} catch (error) {
  answer = 'error';
}
fs.writeFileSync(resultPath, answer);
)JS";

const char *const diskProbeBody = R"SH(if [ -z "$node_path" ] || [ ! -x "$node_path" ]; then
  exit 1
fi
result=$(mktemp "${TMPDIR:-/tmp}/quorvantis-permission-result.XXXXXX") || exit 1
trap 'rm -f "$result"' EXIT
disk_program=$(printf '%s' '@DISK_PROGRAM@' | @BASE64_DECODE@)
"$node_path" -e "$disk_program" unused "$result" "$HOME" "$PATH" checkFullDiskAccessPermission >/dev/null 2>&1
read_answer "$result"
if [ "$probe_answer" = "granted" ]; then
  exit 0
fi
exit 1
)SH";

const char *const accessibilityProbeBody = R"SH(extra_environment="@EXTRA_ENVIRONMENT@"
cliclick="$runtime_bin/cliclick"
probe_module="$runtime_root/accessibility-prompt.node"
if [ -z "$node_path" ] || [ ! -x "$node_path" ] || [ ! -f "$probe_module" ]; then
  exit 1
fi
export PATH="$runtime_bin:$node_dir:@STANDARD_PATH@"
result=$(mktemp "${TMPDIR:-/tmp}/quorvantis-accessibility-result.XXXXXX") || exit 1
state_directory="$HOME/.quorvantis/profiles/default"
# The answer is written beside the outcome file and moved over it; a job stopped in between
# takes its temporary with it (the launch removes those of jobs that were killed outright).
temporary="$state_directory/.mac-app-accessibility-probe.$$"
trap 'rm -f "$result" "$temporary"' EXIT
trap 'exit 143' TERM HUP INT

record() {
  [ -d "$state_directory" ] || mkdir -p "$state_directory"
  (umask 077 && rm -f "$temporary" && printf '%s\n' "$1" >"$temporary") || return
  chmod 600 "$temporary"
  mv -f "$temporary" "$state_directory/mac-app-accessibility-probe"
}

# Each client's probe leaves its answer in `answer` (run in this shell, not a subshell of its own).
probe_cliclick() {
  if [ ! -x "$cliclick" ]; then
    answer=missing
    return
  fi
  # Only the runtime's own cliclick may answer: another one on the search path would be asked
  # in its place by the agent.
  local resolved same status
  resolved=$(type -P cliclick || true)
  if [ -z "$resolved" ]; then
    answer=mismatch
    return
  fi
  # The search path starts with the runtime's directory, so the search names the runtime's own
  # cliclick as a rule: the same path is the same real path without asking node.
  if [ "$resolved" = "$cliclick" ]; then
    same=same
  else
    same=$("$node_path" -e 'const fs = require("fs"); let same = false; try { same = fs.realpathSync(process.argv[1]) === fs.realpathSync(process.argv[2]); } catch (error) {} process.stdout.write(same ? "same" : "different");' "$resolved" "$cliclick" 2>/dev/null || true)
  fi
  if [ "$same" != "same" ]; then
    answer=mismatch
    return
  fi
  env $extra_environment "$cliclick" -V >"$result" 2>/dev/null
  status=$?
  if [ -s "$result" ]; then
    answer=unsupported
  elif [ "$status" -eq 0 ]; then
    answer=granted
  else
    answer=denied
  fi
}

probe_node() {
  if env $extra_environment "$node_path" -e 'let trusted = false; try { trusted = require(process.argv[1]).trusted(@PROMPT@) === true; } catch (error) {} process.exit(trusted ? 0 : 1);' "$probe_module" >/dev/null 2>&1; then
    answer=granted
  else
    answer=denied
  fi
}

status=0
for client in @CLIENTS@; do
  case "$client" in
    cliclick) probe_cliclick ;;
    node) probe_node ;;
    *) answer=denied ;;
  esac
  printf '%s\n' "$answer" >"$result"
  if [ "$answer" != "granted" ]; then
    status=1
    record "$answer"
  fi
done
if [ "$status" -eq 0 ]; then
  record granted
fi
exit "$status"
)SH";

QString base64Of(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toBase64());
}

QString seconds(std::chrono::milliseconds interval)
{
    return QString::number(double(interval.count()) / 1000.0, 'f', 3);
}

} // namespace

QString permissionJob(Platform platform, const QString &payloadBase64, int polls, std::chrono::milliseconds interval)
{
    const bool mac = platform == Platform::macOS;
    QString script = QString::fromUtf8(jobPrelude)
        + QString::fromUtf8(mac ? macOSJobStart : linuxJobStart)
        + QString::fromUtf8(jobPoll);
    script.replace(QLatin1String("@JOB_CLEANUP@"), QString::fromUtf8(mac ? macOSJobCleanup : linuxJobCleanup));
    script.replace(QLatin1String("@PAYLOAD@"), payloadBase64);
    script.replace(QLatin1String("@BASE64_DECODE@"), AgentScripts::base64Decode(platform));
    script.replace(QLatin1String("@POLLS@"), QString::number(std::max(polls, 1)));
    script.replace(QLatin1String("@INTERVAL@"), seconds(interval));
    return script;
}

QString screenProbe()
{
    QString script = QString::fromUtf8(probePrelude) + QString::fromUtf8(screenProbeBody);
    script.replace(QLatin1String("@STANDARD_PATH@"), QLatin1String(standardPath));
    script.replace(QLatin1String("@SCREEN_PROGRAM@"), QString::fromUtf8(screenProgram));
    return script;
}

QString diskProbe(Platform platform)
{
    QString script = QString::fromUtf8(probePrelude) + QString::fromUtf8(diskProbeBody);
    script.replace(QLatin1String("@DISK_PROGRAM@"), base64Of(QString::fromUtf8(diskProgram)));
    script.replace(QLatin1String("@BASE64_DECODE@"), AgentScripts::base64Decode(platform));
    return script;
}

QString accessibilityProbe(const QStringList &clients, bool requestPrompt)
{
    QString script = QString::fromUtf8(probePrelude) + QString::fromUtf8(accessibilityProbeBody);
    script.replace(QLatin1String("@EXTRA_ENVIRONMENT@"),
                   requestPrompt ? QStringLiteral("QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1 QUORVANTIS_ACCESSIBILITY_PROMPT=1")
                                 : QStringLiteral("QUORVANTIS_ACCESSIBILITY_CHECK_ONLY=1"));
    script.replace(QLatin1String("@STANDARD_PATH@"), QLatin1String(standardPath));
    script.replace(QLatin1String("@PROMPT@"), requestPrompt ? QStringLiteral("true") : QStringLiteral("false"));
    QStringList known;
    for (const QString &client : clients) {
        if (client == QLatin1String("cliclick") || client == QLatin1String("node"))
            known << client;
    }
    script.replace(QLatin1String("@CLIENTS@"), known.join(QLatin1Char(' ')));
    return script;
}

int pollBudget(Operation operation)
{
    switch (operation) {
    case Operation::check:
        return 70;
    case Operation::prepare:
        return 320;
    case Operation::accessibility:
        return 50;
    }
    return 70;
}

QString rawValue(AccessibilityClient client)
{
    return client == AccessibilityClient::node ? QStringLiteral("node") : QStringLiteral("cliclick");
}

QString accessibilityProbeCommand(const QList<AccessibilityClient> &clients, bool requestPrompt)
{
    QStringList names;
    for (const AccessibilityClient client : clients)
        names << rawValue(client);
    return accessibilityProbe(names, requestPrompt);
}

QString permissionCommand(PermissionKind kind, bool requestPrompt)
{
    switch (kind) {
    case PermissionKind::screenRecording:
        return screenProbe();
    case PermissionKind::fullDiskAccess:
        return diskProbe(AgentScripts::hostPlatform());
    case PermissionKind::accessibility:
        break;
    }
    return accessibilityProbeCommand({AccessibilityClient::cliclick, AccessibilityClient::node}, requestPrompt);
}

QString permissionJobScript(const QString &payload, int polls, std::chrono::milliseconds interval)
{
    return permissionJob(AgentScripts::hostPlatform(), QString::fromLatin1(payload.toUtf8().toBase64()), polls, interval);
}

namespace {

// `title` names the probe in the install log (the script's first line).
QCoro::Task<bool> runJob(std::shared_ptr<CLIService> runner, QString title, QString payload, int polls,
                         std::chrono::milliseconds interval)
{
    // A refused or failed start throws on: a probe that did not run says nothing of the grant.
    const QString script = QStringLiteral("# ") + title + u'\n' + permissionJobScript(payload, polls, interval);
    const CLIResult result = co_await runner->runScript(script, [](const QString &) {});
    if (result.status == 0)
        co_return true;
    if (result.status == 1)
        co_return false;
    // The wrapper ends with 0 or 1 once the probe answered; anything else (no answer within the
    // budget, the wrapper killed) is a probe that could not decide.
    throw QuorvantisNativeError(QStringLiteral("PERMISSION_CHECK_NOT_RUN"),
                                QCoreApplication::translate("PermissionProbes", "权限检查没有得到结果（状态 %1）").arg(result.status));
}

} // namespace

QCoro::Task<bool> permissionGranted(std::shared_ptr<CLIService> runner, PermissionKind kind, std::chrono::milliseconds interval)
{
    return runJob(std::move(runner), QStringLiteral("permission check: ") + rawValue(kind), permissionCommand(kind, false),
                  pollBudget(Operation::check), interval);
}

QCoro::Task<bool> preparePermission(std::shared_ptr<CLIService> runner, PermissionKind kind, std::chrono::milliseconds interval)
{
    return runJob(std::move(runner), QStringLiteral("permission prompt: ") + rawValue(kind), permissionCommand(kind, false),
                  pollBudget(Operation::prepare), interval);
}

QCoro::Task<bool> accessibilityGranted(std::shared_ptr<CLIService> runner, AccessibilityStep step, bool requestPrompt,
                                       std::chrono::milliseconds interval)
{
    const AccessibilityClient client = step == AccessibilityStep::node ? AccessibilityClient::node : AccessibilityClient::cliclick;
    return runJob(std::move(runner), QStringLiteral("accessibility check: ") + rawValue(client),
                  accessibilityProbeCommand({client}, requestPrompt), pollBudget(Operation::accessibility), interval);
}

} // namespace PermissionProbes
