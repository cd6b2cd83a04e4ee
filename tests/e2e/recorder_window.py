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


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(77)


try:
    import gi
    gi.require_version("Atspi", "2.0")
    import pyatspi
except Exception as error:  # the Debian packages python3-pyatspi, gir1.2-atspi-2.0
    skip(f"pyatspi is not importable: {error}")


class Failure(Exception):
    pass


def check(condition, failure):
    if not condition:
        raise Failure(failure)


def wait_for(what, check, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not (value := check()):
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.1)
    return value


started = []  # stopped by PID in reverse order


def start(args, **options):
    started.append(subprocess.Popen(args, **{"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
                                             "text": True, **options}))
    return started[-1]


def first_line(process, timeout=10):
    # Each reader here is sent one line at a time, so nothing is left in the pipe's buffer.
    if select.select([process.stdout], [], [], timeout)[0]:
        return process.stdout.readline().strip()


def output(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=30).stdout


class Recorder:
    # The app's accessible tree: controls by the identifier in their description.

    def __init__(self, pid):
        self.pid, self.app = pid, None

    def application(self):
        for app in pyatspi.Registry.getDesktop(0):
            try:
                if app.get_process_id() == self.pid:
                    self.app = app
            except Exception:
                pass
        return self.app

    def find(self, identifier=None, name=None, role=None):
        def matches(node):
            try:
                return identifier in (None, node.description) and name in (None, node.name) and \
                    role in (None, node.getRole()) and node.getState().contains(pyatspi.STATE_SHOWING)
            except Exception:  # gone while the tree was read
                return False
        try:
            return self.app and pyatspi.findDescendant(self.app, matches)
        except Exception:  # the same, between two children
            return None

    def wait(self, identifier=None, name=None, timeout=20.0):
        return wait_for(f"control {identifier} {name}", lambda: self.find(identifier, name), timeout)

    def press(self, identifier, name=None, timeout=20.0):
        action = self.wait(identifier, name, timeout).queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        check("Press" in names and action.doAction(names.index("Press")), f"{identifier} cannot be pressed")

    def extents(self):
        e = wait_for("the window", lambda: self.find(name="Brindlow", role=pyatspi.ROLE_FRAME), 10) \
            .queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height


def windows(*match):
    return [int(w) for w in output("xdotool", "search", "--onlyvisible", *match).split()]


def geometry(window):
    values = dict(line.split("=", 1) for line in output("xdotool", "getwindowgeometry", "--shell", str(window))
                  .splitlines() if "=" in line)
    return tuple(int(values.get(k, -1)) for k in ("X", "Y", "WIDTH", "HEIGHT"))


def above(upper, lower):
    # Top-level windows, topmost first: without a window manager there are no frames.
    order = [int(line.split()[0], 16) for line in output("xwininfo", "-root", "-children").splitlines()
             if line.strip().startswith("0x")]
    return upper in order and lower in order and order.index(upper) < order.index(lower)


def key(keys):
    subprocess.run(["xdotool", "key", "--clearmodifiers", keys], check=True, timeout=10)


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
        for process in reversed(started):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(home, ignore_errors=True)


def run(args, home):
    # A private X server, and a compositor so that the window's corners really are clear.
    xvfb = start(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset",
                  "+extension", "DAMAGE", "+extension", "MIT-SHM"], stdout=subprocess.PIPE)
    display = first_line(xvfb) or skip("Xvfb did not start")
    os.environ["DISPLAY"] = f":{display}"
    start(["xcompmgr"])

    os.makedirs(os.path.join(home, "devserver"))
    server = start([args.devserver, "--data-dir", os.path.join(home, "devserver"), "--port-base", "0",
                    "--seed", "alice,t1,,de"], stdout=subprocess.PIPE)
    ready = first_line(server)
    check(ready, "brindlow-devserver did not get ready")
    ports = json.loads(ready)["ports"]
    monolith = f"http://127.0.0.1:{ports['monolith']}"

    # The browser the app opens is a script that notes the address for the test.
    opened, fake_bin = os.path.join(home, "opened.txt"), os.path.join(home, "bin")
    os.makedirs(fake_bin)
    with open(os.path.join(fake_bin, "xdg-open"), "w") as script:
        script.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{opened}"\n')
    os.chmod(os.path.join(fake_bin, "xdg-open"), 0o755)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=os.path.join(home, "run"),
               PATH=fake_bin + os.pathsep + os.environ["PATH"], QT_QPA_PLATFORM="xcb", QT_ACCESSIBILITY="1",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", BRINDLOW_ENV="dev",
               BRINDLOW_STAND_IN=f"{ports['web']},{ports['monolith']},{ports['legacy']},{ports['google']}")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)

    # A tray host on the bus before the app starts, as on a desktop with a tray.
    tray = start([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "tray_watcher.py")],
                 env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(line, must=True):
        if line:
            tray.stdin.write(line + "\n")
            tray.stdin.flush()
        answer = json.loads(first_line(tray) or '{"error": "no answer"}')
        check(not must or "value" in answer, f"tray host, {line!r}: {answer.get('error')}")
        return answer.get("value")

    ask(None)
    app = start([args.app], env=env, stdout=open(os.path.join(args.artifacts, "app.log"), "w"),
                stderr=subprocess.STDOUT)
    recorder = Recorder(app.pid)

    def cut_from_screen(name, x, y, w, h, margin=12):
        picture = os.path.join(args.artifacts, f"{name}.png")
        subprocess.run(["import", "-window", "root", "-crop", f"{w + 2 * margin}x{h + 2 * margin}"
                        f"+{max(0, x - margin)}+{max(0, y - margin)}", "+repage", picture], check=True, timeout=30)
        return picture

    def shoot(name):
        # The window on the composited screen; its corner must show the desktop behind it.
        x, y, w, h = recorder.extents()
        picture = cut_from_screen(name, x, y, w, h)
        corner, centre = (output("convert", picture, "-format", f"%[pixel:p{{{px},{py}}}]", "info:").strip()
                          for px, py in ((13, 13), (12 + w // 2, 12 + h // 2)))
        check(corner not in ("black", "srgb(0,0,0)", "#000000", centre),
              f"{name}: the window's corner {corner} is not clear (panel {centre})")

    def recorded(clock):
        wait_for(f"{clock} recorded", lambda: getattr(recorder.find("elapsed"), "name", "") >= clock)

    def tray_saying(words):
        item = {}
        wait_for(f"the tray to say {words!r}",
                 lambda: item.update(ask("item", must=False) or {}) or words in (item.get("tooltip") or ""), 10)
        return item

    def cover():
        # Another window over the recorder's, stacked above it.
        x, y, w, h = recorder.extents()
        process = start(["xmessage", "-geometry", f"{w}x{h}+{x}+{y}", "covering the recorder"])
        ours = wait_for("the recorder's window", lambda: windows("--name", "^Brindlow$"), 10)[0]
        other = wait_for("the covering window", lambda: windows("--class", "xmessage"), 10)[0]
        wait_for("the cover above the recorder", lambda: above(other, ours), 10)
        return process, ours, other

    # Signed out: sign in through the web app's page.
    wait_for("the app on the accessibility bus", recorder.application, 30)
    recorder.wait("sign-in", timeout=30)
    recorder.press("sign-in")
    url = wait_for("the sign-in page to be opened",
                   lambda: os.path.exists(opened) and (open(opened).read().split() or [None])[-1])
    browser = subprocess.run(["node", os.path.join(args.browser_tests, "sign-in.mjs"), url, "continue"],
                             capture_output=True, text=True, timeout=90)
    check(browser.returncode == 0, f"the browser sign-in failed: {browser.stderr}")

    # A take from the window, on the Xvfb screen the setup chose: started with its button,
    # stopped from the keyboard, then stored whole. Pausing is the tray's part below.
    recorder.wait("start-recording", timeout=30)
    recorder.press("start-recording")
    recorder.wait("stop", timeout=30)
    recorded("0:02")
    shoot("recording")
    key("ctrl+Return")
    recorder.wait("open-recording", timeout=90)
    take = wait_for("the saved take on the devserver", lambda: next(
        (r for r in json.load(urllib.request.urlopen(f"{monolith}/_dev/state", timeout=10))["recordings"]
         if r.get("status") == "saved"), None), 30)
    check(take.get("check", {}).get("ok"), f"the stored stream does not pass its check: {take.get('check')}")
    recorder.press("new-recording")

    # The global shortcuts reach the recorder while another window has the focus, and the
    # tray shows the take only while it lasts, and controls it.
    recorder.wait("start-recording", timeout=30)
    covering, ours, other = cover()
    subprocess.run(["xdotool", "windowfocus", "--sync", str(other)], check=True, timeout=10)
    key("ctrl+alt+r")
    recorder.wait("stop", timeout=20)
    item = tray_saying("Brindlow: recording, 0:0")
    a, r, g, b = item["icon"] or (0, 0, 0, 0)
    check(a >= 128 and r >= 200 and g <= 100 and b <= 100, f"the tray icon is not a red dot: {item['icon']}")
    check(item["menu"] == ["Pause", "Stop", "Show Brindlow"], f"the tray menu holds {item['menu']}")
    ask("click Pause")
    recorder.wait("pause-resume", name="Resume recording", timeout=10)
    tray_saying("paused")
    key("ctrl+alt+p")
    recorder.wait("pause-resume", name="Pause recording", timeout=10)
    # "Show Brindlow" brings the covered panel back.
    ask("click Show Brindlow")
    wait_for("the recorder raised by the tray", lambda: above(ours, other), 10)
    covering.terminate()
    wait_for("the cover to go", lambda: not windows("--class", "xmessage"), 10)
    # Its menu as Qt draws it for a host that asks for it, beside the panel.
    subprocess.run(["xdotool", "mousemove", "1100", "40"], check=True, timeout=10)
    ask("contextmenu 1100 40")
    px, py, pw, ph = recorder.extents()
    menu = wait_for("the tray menu on screen",
                    lambda: [w for w in windows("--pid", str(app.pid)) if geometry(w)[:2] != (px, py)], 10)[0]
    mx, my, mw, mh = geometry(menu)
    cut_from_screen("tray-menu", min(mx, px), min(my, py), max(mx + mw, px + pw) - min(mx, px),
                    max(my + mh, py + ph) - min(my, py))
    key("Escape")
    ask("click Stop")
    recorder.wait("new-recording", timeout=90)
    wait_for("the tray item to go", lambda: ask("item", must=False) is None, 10)
    recorder.press("new-recording")
    recorder.wait("start-recording", timeout=30)

    # A second launch brings the first window back over another one and ends at once.
    _, ours, other = cover()
    second = subprocess.run([args.app], env=env, capture_output=True, text=True, timeout=30)
    check(second.returncode == 0, f"the second launch ended with {second.returncode}: {second.stderr}")
    wait_for("the first window back on top", lambda: above(ours, other), 10)

    # Close quits in setup.
    recorder.press("close")
    check(app.wait(timeout=15) == 0, f"the app ended with {app.returncode}")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print(f"FAILED: {failure}")
        sys.exit(1)
    print("PASSED")
