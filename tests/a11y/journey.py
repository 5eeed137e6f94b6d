#!/usr/bin/python3
# Follows the whole journey the way a screen-reader user does: through the accessibility tree that
# a real AT-SPI client sees, and with the keyboard alone. At each place (the setup screen, the
# permission prompt, the setup code, the binding sheet, the dashboard, the tray panel) every
# control must have a name and a role, and Tab must reach every action.
# Usage: journey.py SIMCTL   (the application runs on the sandbox, under an X server with a tray)
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

simctl = sys.argv[1]
failures = []
# Accessible-name changes seen on the bus: how state changes reach the screen reader.
renamed = []

ACTIONS = {"push button", "toggle button", "check box", "radio button", "combo box", "text",
           "password text", "link", "menu item", "spin button", "slider"}


def pump(seconds=0.0):
    end = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while True:
        while context.pending():
            context.iteration(False)
        if time.monotonic() >= end:
            return
        time.sleep(0.02)


def on_focus(event):
    if event.detail1:
        last_focus[:] = [event.source]


last_focus = []


def on_name_changed(event):
    try:
        renamed.append(event.source.name)
    except Exception:
        pass


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == "Quorvantis":
            return app
    return None


def nodes(root):
    """Every showing node under root, depth first."""
    try:
        if not root.getState().contains(pyatspi.STATE_SHOWING):
            return
    except Exception:
        return
    yield root
    for i in range(root.childCount):
        child = root.getChildAtIndex(i)
        if child is not None:
            yield from nodes(child)


def windows():
    app = application()
    if app is None:
        return []
    return [app.getChildAtIndex(i) for i in range(app.childCount) if app.getChildAtIndex(i) is not None]


def find(role, name, within=None):
    for window in ([within] if within else windows()):
        for node in nodes(window):
            if node.getRoleName() == role and (name is None or node.name == name):
                return node
    return None


def wait_for(what, predicate, seconds=90):
    print(f"a11y: waiting for {what}", flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            found = predicate()
        except Exception:
            found = None
        if found:
            return found
        pump(0.2)
    for window in windows():
        for node in nodes(window):
            print(f"a11y:   {label(node)}", flush=True)
    raise SystemExit(f"a11y: timed out waiting for {what}")


def label(node):
    return f"{node.getRoleName()} '{node.name}'"


def actions(root):
    found = []
    for node in nodes(root):
        state = node.getState()
        if node.getRoleName() in ACTIONS and state.contains(pyatspi.STATE_ENABLED) \
                and state.contains(pyatspi.STATE_FOCUSABLE):
            found.append(node)
    return found


def check_names(place, root):
    """Every control, and everything the keyboard can land on, has a name."""
    for node in nodes(root):
        state = node.getState()
        if (node.getRoleName() in ACTIONS or state.contains(pyatspi.STATE_FOCUSABLE)) and not node.name.strip():
            failures.append(f"{place}: a {node.getRoleName()} without a name")
        if node.getRoleName() == "unknown":
            failures.append(f"{place}: '{node.name}' has no role")


def focused(root):
    for node in nodes(root):
        if node.getState().contains(pyatspi.STATE_FOCUSED):
            return node
    return None


def key(*names):
    subprocess.run(["xdotool", "key", "--clearmodifiers", *names], check=True)
    pump(0.15)


def type_text(text):
    subprocess.run(["xdotool", "type", "--delay", "30", text], check=True)
    pump(0.2)


def keyboard_pass(place, root, presses=60):
    """Tab round the window: every enabled control must take the focus on the way."""
    wanted = {(n.getRoleName(), n.name) for n in actions(root)}
    reached = set()
    for _ in range(presses):
        key("Tab")
        node = focused(root)
        if node is not None:
            reached.add((node.getRoleName(), node.name))
        if wanted <= reached:
            break
    for role, name in sorted(wanted - reached):
        failures.append(f"{place}: Tab never reaches {role} '{name}'")
    print(f"a11y: {place}: {len(wanted & reached)} of {len(wanted)} controls reached by Tab", flush=True)


def focus_on(root, role, name, presses=60):
    """Tabs until the control has the focus, as a keyboard user gets there."""
    seen = []
    for _ in range(presses):
        node = focused(root)
        if node is not None and node.getRoleName() == role and node.name == name:
            return node
        seen.append(label(node) if node is not None else "nothing")
        key("Tab")
    active = subprocess.run(["xdotool", "getactivewindow", "getwindowname"], capture_output=True, text=True).stdout.strip()
    raise SystemExit(f"a11y: Tab never reaches {role} '{name}'; it went {seen[:6]} (active window: '{active}')")


def press(root, role, name):
    focus_on(root, role, name)
    key("space")


def simulate(*args):
    subprocess.run([simctl, *args], check=True, stdout=subprocess.DEVNULL)


def main_window():
    for window in windows():
        if find("push button", "开始授权", window) or find("text", "安装码", window) or find("label", "最近活动", window):
            return window
    return None


pyatspi.Registry.registerEventListener(on_name_changed, "object:property-change:accessible-name")
pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")

# The setup screen, at the permissions.
window = wait_for("the setup screen", lambda: find("push button", "开始授权") and main_window())
pump(1.0)
check_names("setup screen", window)
keyboard_pass("setup screen", window)

# A check that fails opens the permission prompt: read it, walk it, close it with Escape.
press(window, "push button", "开始授权")
prompt = wait_for("the permission prompt", lambda: find("dialog", None))
pump(0.5)
check_names("permission prompt", prompt)
keyboard_pass("permission prompt", prompt)
key("Escape")
wait_for("the prompt to close", lambda: find("dialog", None) is None)

# With the permissions granted, each step passes with a key press until the setup code is asked.
simulate("grant", "all")


def next_step():
    code = find("text", "安装码")
    if code is not None:
        return code
    dialog = find("dialog", None)
    if dialog is not None:
        # The prompt of a step that asks first: its primary button goes on.
        for node in actions(dialog):
            if node.getRoleName() == "push button" and node.name.startswith(("开始验证", "继续授权")):
                press(dialog, "push button", node.name)
                break
        return None
    button = find("push button", "开始授权")
    if button is not None and button.getState().contains(pyatspi.STATE_ENABLED):
        press(main_window(), "push button", "开始授权")
    return None


code_field = wait_for("the setup code field", next_step, seconds=120)
window = main_window()
check_names("setup code", window)
keyboard_pass("setup code", window)
focus_on(window, "text", "安装码")
type_text("QVS27K2M9PQRX4TV")
press(window, "push button", "继续设置")

# The channel stage: the dashboard offers the binding sheet.
window = wait_for("the dashboard", lambda: find("push button", "Bind Channel") and main_window(), seconds=120)
pump(1.0)
check_names("dashboard", window)
for spoken in ("当前任务，", "Channel，"):
    if not any(node.name.startswith(spoken) for node in nodes(window)):
        failures.append(f"dashboard: nothing is spoken as '{spoken}…'")
keyboard_pass("dashboard", window)
press(window, "push button", "Bind Channel")
sheet = wait_for("the binding sheet", lambda: find("dialog", None))
pump(1.0)
check_names("binding sheet", sheet)
keyboard_pass("binding sheet", sheet)
key("Escape")
wait_for("the sheet to close", lambda: find("dialog", None) is None)
simulate("complete-binding")
window = wait_for("the bound dashboard", lambda: find("push button", "Bind Channel") is None and main_window(),
                  seconds=120)



# The tray panel, opened from the tray icon.
def tray_icon():
    """The application's window in the tray: its only small one."""
    found = subprocess.run(["xdotool", "search", "--classname", "quorvantis-companion"], capture_output=True, text=True)
    for window in found.stdout.split():
        shape = dict(line.split("=", 1) for line in subprocess.run(
            ["xdotool", "getwindowgeometry", "--shell", window], capture_output=True, text=True).stdout.split())
        if int(shape["WIDTH"]) <= 64 and int(shape["HEIGHT"]) <= 64:
            return window
    return None


icon = wait_for("the tray icon", tray_icon)
subprocess.run(["xdotool", "mousemove", "--window", icon, "8", "8", "click", "1"], check=True)


# A popup is no child of the application in the tree: a screen reader meets it through the focus,
# which the panel takes when it opens.
def panel_root():
    if not last_focus:
        return None
    node = last_focus[0]
    while node.parent is not None and node.parent.getRoleName() != "application":
        node = node.parent
    return node if node.name == "Quorvantis" and find("label", "最近活动", node) is None else None


panel = wait_for("the tray panel to take the focus", panel_root, seconds=30)
pump(0.5)
check_names("tray panel", panel)
keyboard_pass("tray panel", panel)

# State changes reach the screen reader: the stage line spoke each new stage.
if not any(name.startswith("当前安装阶段，") for name in renamed):
    failures.append("no change of the install stage reached assistive technology")

for failure in failures:
    print("a11y: FAIL " + failure)
sys.exit(1 if failures else 0)
