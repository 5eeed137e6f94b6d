#!/bin/bash
# The journey through a real accessibility client: a private D-Bus session with the accessibility
# bus, an X server with a window manager and a tray, the sandbox, and tests/a11y/journey.py.
# Usage: a11y-journey.sh APPLICATION STAMP_TOOL
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ -z "${QUORVANTIS_A11Y_INSIDE:-}" ]; then
  export QUORVANTIS_A11Y_INSIDE=1
  exec "$here/with-accessibility-bus.sh" "$0" "$@"
fi
app=$1 stamp=$2
home=$(mktemp -d)
runtime=$(mktemp -d)
chmod 700 "$runtime"
tray= launcher=
cleanup() {
  [ -n "$launcher" ] && kill -- "-$launcher" 2>/dev/null
  "$repo/sim/launch" --home "$home" --stop >/dev/null 2>&1 || true
  [ -n "$tray" ] && kill "$tray" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$home" "$runtime"
}
trap cleanup EXIT
# The journey reads the Chinese texts: the interface follows the language asked for here.
export XDG_RUNTIME_DIR=$runtime LANGUAGE=zh_CN
trayer --edge top --align right --widthtype pixel --width 48 --height 24 >/dev/null 2>&1 &
tray=$!
printf quorvantis-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 || true
setsid "$repo/sim/launch" --home "$home" --fresh --fast --no-demo --keyring session --browser record \
  --settings-action record --app "$app" --stamp "$stamp" >"$home.launch.log" 2>&1 &
launcher=$!
status=0
QUORVANTIS_SANDBOX_HOME=$home /usr/bin/python3 "$here/journey.py" "$repo/sim/simctl" || status=$?
[ "$status" -eq 0 ] || tail -n 30 "$home.launch.log" >&2
rm -f "$home.launch.log"
exit "$status"
