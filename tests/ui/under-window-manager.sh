#!/bin/bash
# Runs a test program on a private X server managed by openbox, the way a user's desktop runs the
# application: a window manager sizes, places and activates windows, which the offscreen platform
# does not. Usage: under-window-manager.sh PROGRAM [ARGS...]
set -u
display_file=$(mktemp)
Xvfb -displayfd 4 -screen 0 1440x900x24 -nolisten tcp 4>"$display_file" >/dev/null 2>&1 &
server=$!
manager=
cleanup() {
  [ -n "$manager" ] && kill "$manager" 2>/dev/null
  kill "$server" 2>/dev/null
  wait 2>/dev/null
  rm -f "$display_file"
}
trap cleanup EXIT
for _ in $(seq 200); do
  [ -s "$display_file" ] && break
  kill -0 "$server" 2>/dev/null || { echo "under-window-manager: Xvfb did not start" >&2; exit 1; }
  sleep 0.05
done
export DISPLAY=":$(head -n1 "$display_file")"
openbox --sm-disable >/dev/null 2>&1 &
manager=$!
# The manager has taken the screen once it names itself on the root window.
for _ in $(seq 200); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done
# The X keyboard library copies strings with strndup past their terminator, which the sanitizer's
# strict string checks report inside the library: they stay on for everything else.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
QT_QPA_PLATFORM=xcb "$@"
