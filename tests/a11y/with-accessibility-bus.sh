#!/bin/bash
# Runs a program the way a desktop with a screen reader runs the application: in a private D-Bus
# session whose accessibility bus (AT-SPI) is up before the program starts, with Qt's bridge to it
# on, under an X server with a window manager. Usage: with-accessibility-bus.sh PROGRAM [ARGS...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] || [ -z "${QUORVANTIS_OWN_SESSION:-}" ]; then
  export QUORVANTIS_OWN_SESSION=1
  exec dbus-run-session -- "$0" "$@"
fi
# Qt joins the accessibility bus at start: the bus must exist first.
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
exec "$here/../ui/under-window-manager.sh" "$@"
