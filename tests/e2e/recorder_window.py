#!/usr/bin/python3
# The desktop recorder end to end: the real window on Xvfb under a compositor, driven
# through the accessibility bus the way a screen reader would, against brindlow-devserver.
# It signs in through the devserver's page in headless Chromium, records a take from the
# window and one from the global shortcuts and the tray while another window has the
# focus, and checks that a second launch brings the first window back. Pictures of the
# screens go to --artifacts. Run on a private session bus with the accessibility bus up
# (tests/Support/with-session-bus.sh --a11y); exit status 77: this machine cannot run it.

import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


try:
    import gi
    gi.require_version("Atspi", "2.0")
    import pyatspi
except Exception as error:  # the Debian packages python3-pyatspi, gir1.2-atspi-2.0
    skip(f"pyatspi is not importable: {error}")


class Failure(Exception):
    pass


def wait_for(what, check, timeout=20.0, interval=0.1):
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(interval)


# Everything the test starts, stopped by PID in reverse order.
started = []


def start(args, stdout=subprocess.DEVNULL, **kwargs):
    started.append(subprocess.Popen(args, stdout=stdout, stderr=kwargs.pop("stderr", subprocess.DEVNULL), **kwargs))
    return started[-1]


def stop_all():
    for process in reversed(started):
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def first_line(process, timeout):
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([process.stdout], [], [], remaining)[0]:
            return None
        chunk = os.read(process.stdout.fileno(), 1)
        if not chunk:
            return None
        line += chunk
    return line.decode().strip()


class Recorder:
    # The app's accessible tree: controls by the identifier in their description.

    def __init__(self, pid):
        self.pid = pid
        self.app = None

    def application(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            try:
                if desktop.getChildAtIndex(i).get_process_id() == self.pid:
                    return desktop.getChildAtIndex(i)
            except Exception:
                continue

    def all(self):
        self.app = self.app or self.application()
        found = []

        def walk(node, depth):
            if node is None or depth > 40:
                return
            found.append(node)
            try:
                for i in range(node.childCount):
                    walk(node.getChildAtIndex(i), depth + 1)
            except Exception:
                pass

        walk(self.app, 0)
        return found

    def find(self, identifier=None, name=None):
        for node in self.all():
            try:
                if (identifier is None or node.description == identifier) and (name is None or node.name == name) \
                        and node.getState().contains(pyatspi.STATE_SHOWING):
                    return node
            except Exception:
                continue
        return None

    def wait(self, identifier=None, name=None, timeout=20.0):
        return wait_for(f"control {identifier} {name}", lambda: self.find(identifier, name), timeout)

    def press(self, identifier=None, name=None, timeout=20.0):
        action = self.wait(identifier, name, timeout).queryAction()
        for i in range(action.nActions):
            if action.getName(i) == "Press":
                if not action.doAction(i):
                    raise Failure(f"pressing {identifier or name} was refused")
                return
        raise Failure(f"{identifier or name} has no Press action")

    def window_extents(self):
        for node in self.all():
            try:
                if node.getRole() == pyatspi.ROLE_FRAME and node.name == "Brindlow":
                    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                    return (e.x, e.y, e.width, e.height)
            except Exception:
                continue
        return None


class TrayWatcher:
    # tray_watcher.py: the tray host the app shows its indicator in during a take.

    def __init__(self, env):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tray_watcher.py")
        self.process = start([sys.executable, script], env=env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE)
        ready = first_line(self.process, 10)
        if not ready or not json.loads(ready).get("ready"):
            raise Failure(f"the tray host did not start: {ready}")

    def ask(self, line, must=True):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        answer = json.loads(first_line(self.process, 10) or '{"ok": false, "error": "no answer"}')
        if must and not answer["ok"]:
            raise Failure(f"tray host, {line!r}: {answer['error']}")
        return answer.get("value")


def main():
    parser = argparse.ArgumentParser()
    for flag in ("--app", "--devserver", "--browser-tests", "--artifacts"):
        parser.add_argument(flag, required=True)
    args = parser.parse_args()

    if os.environ.get("BRINDLOW_SESSION_SKIP"):
        skip(os.environ["BRINDLOW_SESSION_SKIP"])
    for tool in ("Xvfb", "xcompmgr", "import", "convert", "node", "xwininfo", "xdotool", "xmessage"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed (scripts/install-deps)")
    if not os.path.isdir(os.path.join(args.browser_tests, "node_modules", "playwright-core")):
        skip("the browser driver is not installed (scripts/install-deps runs npm ci in tests/browser)")

    os.makedirs(args.artifacts, exist_ok=True)
    home = tempfile.mkdtemp(prefix="brindlow-app-e2e-")
    try:
        run(args, home)
    finally:
        stop_all()
        shutil.rmtree(home, ignore_errors=True)


def run(args, home):
    env = dict(os.environ)
    env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config"),
                "XDG_DATA_HOME": os.path.join(home, "data"), "XDG_RUNTIME_DIR": os.path.join(home, "run")})
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)

    # A private X server, and a compositor so that the window's corners really are clear.
    xvfb = start(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                            "-noreset", "+extension", "DAMAGE", "+extension", "MIT-SHM"], stdout=subprocess.PIPE)
    display = first_line(xvfb, 10)
    if not display:
        skip("Xvfb did not start")
    env["DISPLAY"] = os.environ["DISPLAY"] = f":{display}"
    start(["xcompmgr"], env=env)

    data = os.path.join(home, "devserver")
    os.makedirs(data)
    server = start([args.devserver, "--data-dir", data, "--port-base", "0", "--seed", "alice,t1,,de"],
                             stdout=subprocess.PIPE)
    ready = first_line(server, 10)
    if not ready:
        raise Failure("brindlow-devserver did not get ready")
    ports = json.loads(ready)["ports"]
    monolith = f"http://127.0.0.1:{ports['monolith']}"

    # The browser the app opens is a script that notes the address for the test.
    opened = os.path.join(home, "opened.txt")
    fake_bin = os.path.join(home, "bin")
    os.makedirs(fake_bin)
    with open(os.path.join(fake_bin, "xdg-open"), "w") as script:
        script.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{opened}"\n')
    os.chmod(os.path.join(fake_bin, "xdg-open"), 0o755)
    env["PATH"] = fake_bin + os.pathsep + env["PATH"]
    env.update({"QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1",
                "BRINDLOW_STAND_IN": f"{ports['web']},{ports['monolith']},{ports['legacy']},{ports['google']}",
                "BRINDLOW_ENV": "dev"})
    # A tray host on the bus before the app starts, as on a desktop with a tray.
    tray = TrayWatcher(env)
    log = open(os.path.join(args.artifacts, "app.log"), "w")
    app = start([args.app], env=env, stdout=log, stderr=subprocess.STDOUT)
    recorder = Recorder(app.pid)

    def cut_from_screen(name, x, y, w, h):
        # With a 12-pixel margin.
        picture = os.path.join(args.artifacts, f"{name}.png")
        subprocess.run(["import", "-window", "root", "-crop", f"{w + 24}x{h + 24}+{max(0, x - 12)}+{max(0, y - 12)}",
                        "+repage", picture], env=env, check=True, timeout=30)
        return picture

    def pixel(picture, x, y):
        return subprocess.run(["convert", picture, "-format", f"%[pixel:p{{{x},{y}}}]", "info:"],
                              capture_output=True, text=True, check=True).stdout.strip()

    def shoot(name):
        # The window on the composited screen; its corner must show the desktop behind it.
        x, y, w, h = wait_for("the window's extents", recorder.window_extents, 10)
        picture = cut_from_screen(name, x, y, w, h)
        corner, centre = pixel(picture, 13, 13), pixel(picture, 12 + w // 2, 12 + h // 2)
        if corner in ("black", "srgb(0,0,0)", "#000000") or corner == centre:
            raise Failure(f"{name}: the window's corner {corner} is not clear (panel {centre})")

    def state():
        with urllib.request.urlopen(f"{monolith}/_dev/state", timeout=10) as answer:
            return json.load(answer)

    def recorded(clock):
        wait_for(f"{clock} recorded", lambda: (recorder.find("elapsed") or None) and
                 recorder.find("elapsed").name >= clock, 20)

    def cover():
        # Another window over the recorder's, once it is stacked above it.
        x, y, w, h = recorder.window_extents()
        process = start(["xmessage", "-geometry", f"{w}x{h}+{x}+{y}", "covering the recorder"], env=env)
        ours = wait_for("the recorder's window", lambda: visible_window(env, ["--name", "^Brindlow$"]), 10)
        other = wait_for("the covering window", lambda: visible_window(env, ["--class", "xmessage"]), 10)
        wait_for("the cover above the recorder", lambda: above(env, other, ours), 10)
        return process, ours, other

    # Signed out: sign in through the web app's page.
    wait_for("the app on the accessibility bus", recorder.application, 30)
    recorder.wait("sign-in", timeout=30)
    shoot("signed-out")
    recorder.press("sign-in")
    url = wait_for("the sign-in page to be opened",
                   lambda: open(opened).read().strip().splitlines()[-1] if os.path.exists(opened) else None, 20)
    recorder.wait(name="Finish signing in in your browser.")
    browser = subprocess.run(["node", os.path.join(args.browser_tests, "sign-in.mjs"), url, "continue"],
                             capture_output=True, text=True, timeout=90)
    if browser.returncode != 0:
        raise Failure(f"the browser sign-in failed: {browser.stderr}")

    # Setup: the Xvfb screen is listed and chosen.
    recorder.wait("start-recording", timeout=30)
    picker = recorder.wait("display-picker")
    if picker.name in ("No screen", ""):
        raise Failure(f"no display was chosen: {picker.name!r}")
    recorder.wait("camera-placeholder")
    shoot("setup")

    # A take from the window: started with its button, paused and resumed, stopped from
    # the keyboard, then stored whole.
    recorder.press("start-recording")
    recorder.wait("countdown", timeout=10)
    recorder.wait("stop", timeout=20)
    recorded("0:02")
    shoot("recording")
    recorder.press("pause-resume", name="Pause recording")
    recorder.wait("pause-resume", name="Resume recording", timeout=10)
    shoot("paused")
    recorder.press("pause-resume", name="Resume recording")
    recorder.wait("pause-resume", name="Pause recording", timeout=10)
    recorded("0:04")
    key(env, "ctrl+Return")
    recorder.wait("open-recording", timeout=90)
    recorder.wait(name="Saved to Brindlow")
    shoot("saved")
    take = wait_for("the saved take on the devserver",
                    lambda: next((r for r in state()["recordings"] if r.get("status") == "saved"), None), 30)
    if not take.get("check", {}).get("ok"):
        raise Failure(f"the stored stream does not pass its check: {take.get('check')}")
    recorder.press("new-recording")
    recorder.wait("start-recording", timeout=30)

    # The global shortcuts reach the recorder while another window has the focus, and
    # the tray shows the take and controls it.
    if tray.ask("items"):
        raise Failure("a tray item is shown outside a take")
    focused = start(["xmessage", "-geometry", "300x120+900+600", "another app has the focus"], env=env)
    other = wait_for("the other window", lambda: visible_window(env, ["--class", "xmessage"]), 10)
    subprocess.run(["xdotool", "windowfocus", "--sync", str(other)], env=env, check=True, timeout=10)
    key(env, "ctrl+alt+r")
    recorder.wait("stop", timeout=20)
    item = wait_for("the tray item", lambda: tray.ask("item", must=False), 10)
    red = item["icon"]["centreArgb"] if item["icon"] else None
    if not red or red[0] < 128 or red[1] < 200 or red[2] > 100 or red[3] > 100:
        raise Failure(f"the tray icon is not a red dot: {item['icon']}")
    wait_for("the elapsed time in the tray's tooltip",
             lambda: (tray.ask("item")["tooltip"] or "").startswith("Brindlow: recording, 0:0"), 10)
    labels = [e["label"] for e in tray.ask("menu") if e["visible"] and e["type"] != "separator"]
    if labels != ["Pause", "Stop", "Show Brindlow"]:
        raise Failure(f"the tray menu holds {labels}")
    tray.ask("click Pause")
    recorder.wait("pause-resume", name="Resume recording", timeout=10)
    wait_for("the tray to say paused", lambda: "paused" in (tray.ask("item")["tooltip"] or ""), 10)
    key(env, "ctrl+alt+p")
    recorder.wait("pause-resume", name="Pause recording", timeout=10)
    focused.terminate()
    focused.wait(timeout=10)
    wait_for("the other window to go", lambda: not visible_window(env, ["--class", "xmessage"]), 10)
    # Its menu as Qt draws it for a host that asks for it.
    subprocess.run(["xdotool", "mousemove", "1100", "40"], env=env, check=True, timeout=10)
    tray.ask("contextmenu 1100 40")
    menu = wait_for("the tray menu on screen", lambda: visible_window(env, ["--pid", str(app.pid)],
                                                                    exclude=recorder.window_extents()), 10)
    mx, my, mw, mh = geometry(env, menu)
    px, py, pw, ph = recorder.window_extents()
    cut_from_screen("tray-menu", min(mx, px), min(my, py), max(mx + mw, px + pw) - min(mx, px),
                    max(my + mh, py + ph) - min(my, py))
    key(env, "Escape")
    # "Show Brindlow" brings a covered panel back.
    covering, ours, other = cover()
    tray.ask("click Show Brindlow")
    wait_for("the recorder raised by the tray", lambda: above(env, ours, other), 10)
    covering.terminate()
    covering.wait(timeout=10)
    tray.ask("click Stop")
    recorder.wait("new-recording", timeout=90)
    wait_for("the tray item to go", lambda: not tray.ask("items"), 10)
    recorder.press("new-recording")
    recorder.wait("start-recording", timeout=30)

    # Minimising needs a window manager, which this X server has not; the button must
    # still be harmless. A second launch brings the first window back over another one
    # and ends at once.
    recorder.press("minimize")
    _, ours, other = cover()
    second = subprocess.run([args.app], env=env, capture_output=True, text=True, timeout=30)
    if second.returncode != 0:
        raise Failure(f"the second launch ended with {second.returncode}: {second.stderr}")
    wait_for("the first window back on top", lambda: above(env, ours, other), 10)
    if app.poll() is not None:
        raise Failure("the first instance ended")

    # Close quits in setup.
    recorder.press("close")
    code = app.wait(timeout=15)
    if code != 0:
        raise Failure(f"the app ended with {code}")


def visible_window(env, match, exclude=None):
    # The first visible window matching; with `exclude` (x, y, w, h), one not at that place.
    out = subprocess.run(["xdotool", "search", "--onlyvisible"] + match, env=env, capture_output=True,
                         text=True).stdout.split()
    for window in (int(w) for w in out):
        if exclude is None or geometry(env, window)[:2] != tuple(exclude[:2]):
            return window
    return None


def geometry(env, window):
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)], env=env, capture_output=True,
                         text=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return (int(values.get("X", -1)), int(values.get("Y", -1)), int(values.get("WIDTH", 0)),
            int(values.get("HEIGHT", 0)))


def key(env, keys):
    subprocess.run(["xdotool", "key", "--clearmodifiers", keys], env=env, check=True, timeout=10)


def above(env, upper, lower):
    # Whether top-level window `upper` is stacked above `lower` (no window manager frames).
    out = subprocess.run(["xwininfo", "-root", "-children"], env=env, capture_output=True, text=True).stdout
    order = [int(line.split()[0], 16) for line in out.splitlines() if line.strip().startswith("0x")]
    return upper in order and lower in order and order.index(upper) < order.index(lower)


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print(f"FAILED: {failure}")
        sys.exit(1)
    print("PASSED")
