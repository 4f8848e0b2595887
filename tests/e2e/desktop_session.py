"""Drives the window under one compositor, for desktop_session.sh.

Usage: desktop_session.py mutter|kwin|sway WORK PROGRAM_PID PREFIX SECONDS REPORT
(SECONDS: the time it is given in all; REPORT: the name the report is saved
under, in the program's working folder, where the save dialog opens)

What is checked, from the client's own protocol (WORK/protocol.log, written
by libwayland) and, where the compositor tells, from the compositor's side:
  - the window shows titled "Sondar" under the application id "sondar", whose
    desktop entry, installed under PREFIX, names an installed icon; it is of
    its designed 528 x 381 pixels (inside Qt's own title bar and border where
    the compositor draws none);
  - whatever the compositor itself does to the window (maximize, full screen,
    tiling) ends no program: maximized or full screen, the window fills
    exactly the size it is given (the protocol demands it of a maximized
    window), asks to return to its normal state and takes its designed size
    again; tiled or floating, it keeps its designed size;
  - afterwards a run of five probes to 127.0.0.1 and a save of its report as
    REPORT work, from the keyboard where the compositor takes keys from a
    client (sway: the virtual keyboard, through wtype; mutter: its remote
    desktop interface), else through the window's accessibility (kwin offers
    clients no virtual keyboard, and its own fake input only to programs its
    desktop entries name); the run's end and the dialogs are seen through
    accessibility;
  - the compositor closes the window, and the program ends.
Prints what the compositor showed; exits 1 at the first failure.
"""
import glob
import json
import os
import re
import subprocess
import sys
import time

import pyatspi
from gi.repository import Gio, GLib

kDesigned = (528, 381)
kQtFrame = (6, 33)  # Qt's own title bar (30 px) and border (3 px), where the compositor draws none
kDeadline = 20.0  # seconds for any one thing to happen
kReport = ("Site A", "Point 3", "127.0.0.1")

compositor, work, prefix, report_name = sys.argv[1], sys.argv[2], sys.argv[4], sys.argv[6]
program, whole = int(sys.argv[3]), int(sys.argv[5])
log_path = os.path.join(work, "protocol.log")
closing = False  # the program may end once the compositor has closed its window


class Failure(Exception):
    pass


def running():
    try:
        with open(f"/proc/{program}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def protocol():
    with open(log_path, errors="replace") as log:
        return log.read().splitlines()


def mark():
    return len(protocol())


def since(start):
    return protocol()[start:]


def wait(what, ready, seconds=kDeadline):
    """ready()'s first true answer; fails with `what` once the time is up,
    and at once on a protocol error or where the program ended."""
    deadline = time.monotonic() + seconds
    while True:
        errors = [line for line in protocol() if re.search(r"wl_display@\d+\.error\(", line)]
        if errors:
            raise Failure("a protocol error: " + errors[0].strip())
        if not closing and not running():
            raise Failure("the program ended")
        answer = ready()
        if answer:
            return answer
        if time.monotonic() > deadline:
            raise Failure(f"{what} within {seconds:.0f} s")
        time.sleep(0.05)


def sizes(lines, pattern):
    return [(int(m[1]), int(m[2])) for line in lines for m in [re.search(pattern, line)] if m]


def geometries(lines):
    return sizes(lines, r"-> xdg_surface@\d+\.set_window_geometry\(0, 0, (\d+), (\d+)\)")


def configured(lines):
    """The sizes the compositor gave the main window, in order."""
    return [s for s in sizes(lines, r" xdg_toplevel@(?:\d+)\.configure\((\d+), (\d+), ") if s != (0, 0)]


def requested(lines, request):
    return any(re.search(rf"-> xdg_toplevel@\d+\.{request}\(", line) for line in lines)


# --- Accessibility: what the window shows, and its controls for kwin.

def accessible_app():
    apps = [a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == "sondar"]
    return apps[0] if len(apps) == 1 else None


def top_level(name):
    app = accessible_app()
    found = [w for w in app if w is not None and w.name == name] if app else []
    return found[0] if found else None


def descendant(root, role, name, depth=0):
    if root is None or depth > 12:
        return None
    for child in root:
        if child is None:
            continue
        if child.getRoleName() in role and (name is None or child.name == name):
            return child
        found = descendant(child, role, name, depth + 1)
        if found:
            return found
    return None


def attempt(look):
    try:
        return look()
    except Exception:  # objects come and go while a window is built or closed
        return None


def control(window, roles, name):
    return wait(f"no {name!r} in {window!r}", lambda: attempt(lambda: descendant(top_level(window), roles, name)))


kButton = {"push button"}
kField = {"text", "entry"}


def active(window):
    """Waits until `window` has the keyboard's focus: keys sent before then go elsewhere."""
    wait(f"{window!r} did not get the keyboard's focus",
         lambda: attempt(lambda: top_level(window).getState().contains(pyatspi.STATE_ACTIVE)))


def enabled(window, name):
    button = control(window, kButton, name)
    return attempt(lambda: button.getState().contains(pyatspi.STATE_SENSITIVE))


# --- Compositors: their keyboard and what they do to the window.

class Desktop:
    """A compositor. Each one's actions() are what it does to the window:
    what, the request by which the window then leaves that state (None where
    it keeps its size there), and how to do it; shown() is the compositor's
    own view of the window, and close() closes it. Here the steps of a run
    and a save, from the keyboard, for a compositor that takes keys from a
    client (type() and key())."""
    by = "from the keyboard"

    def start_run(self, site, point, address):
        # The address field has the focus; the two header fields come before it.
        active("Sondar")
        self.key("Tab", "shift")
        self.type(point)
        self.key("Tab", "shift")
        self.type(site)
        self.key("Tab")
        self.key("Tab")
        self.type(address)
        self.key("Return")  # the focus to "Ping Start"
        self.key("Return")  # the run

    def press_save(self):
        for _ in range(4):  # "Ping Start" to the count, the size, the list and "SaveData"
            self.key("Tab")
        self.key("Return")

    def name_report(self, dialog, report):
        # A name the dialog's completion finds nothing for: its list would
        # take the keyboard while it opens, and under mutter the keys that
        # come as it closes again are lost.
        active(dialog)
        self.key("a", "ctrl")
        self.type(report)
        self.key("Return")

    def confirm(self, box):
        active(box)
        self.key("Return")

    def stop(self):
        """Ends what the driver started for this compositor."""


class Sway(Desktop):

    def __init__(self):
        self.ipc = glob.glob(os.path.join(os.environ["XDG_RUNTIME_DIR"], "sway-ipc.*.sock"))[0]
        # Each wtype brings a virtual keyboard of its own and takes it away
        # again; with the last keyboard gone the seat has none, Qt lets its
        # own go, and the next one's first keys come before Qt has it back.
        # One that types nothing is held while the driver runs, and lets go
        # by itself should the driver be killed.
        self.held = subprocess.Popen(["wtype", "-s", str(whole * 1000)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.held.kill()
        self.held.wait()

    def msg(self, *args):
        return subprocess.run(["swaymsg", "-s", self.ipc, *args], check=True, capture_output=True, text=True).stdout

    def view(self):
        def walk(node):
            if node.get("app_id") == "sondar":
                return node
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                found = walk(child)
                if found:
                    return found
            return None
        return walk(json.loads(self.msg("-t", "get_tree")))

    def shown(self):
        node = self.view()
        return (f"{node['type']} {node['geometry']['width']} x {node['geometry']['height']}"
                f" in a container of {node['rect']['width']} x {node['rect']['height']},"
                f" full screen {node['fullscreen_mode']}")

    def type(self, text):
        subprocess.run(["wtype", text], check=True)

    def key(self, name, *modifiers):
        command = ["wtype"]
        for modifier in modifiers:
            command += ["-M", modifier]
        command += ["-k", name]
        for modifier in modifiers:
            command += ["-m", modifier]
        subprocess.run(command, check=True)

    def actions(self):
        for command, leave in (("fullscreen enable", "unset_fullscreen"), ("floating enable", None),
                               ("floating disable", None)):
            yield f"swaymsg {command}", leave, lambda command=command: self.msg(f"[app_id=sondar] {command}")

    def close(self):
        self.msg("[app_id=sondar] kill")


class Mutter(Desktop):
    kKeysyms = {"Return": 0xFF0D, "Tab": 0xFF09, "Up": 0xFF52, "F4": 0xFFC1, "a": 0x61, "f": 0x66,
                "shift": 0xFFE1, "ctrl": 0xFFE3, "alt": 0xFFE9, "logo": 0xFFEB}

    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.session = self.call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                                 "CreateSession", None, "(o)")[0]
        self.call(self.session, "org.gnome.Mutter.RemoteDesktop.Session", "Start")

    def call(self, path, interface, method, args=None, reply=None):
        return self.bus.call_sync("org.gnome.Mutter.RemoteDesktop", path, interface, method, args,
                                  GLib.VariantType(reply) if reply else None, Gio.DBusCallFlags.NONE, 5000, None)

    def press(self, keysyms):
        for keysym, down in [(k, True) for k in keysyms] + [(k, False) for k in reversed(keysyms)]:
            self.call(self.session, "org.gnome.Mutter.RemoteDesktop.Session", "NotifyKeyboardKeysym",
                      GLib.Variant("(ub)", (keysym, down)))

    def shown(self):
        return "no view of its own (mutter alone has no shell to ask)"

    def type(self, text):
        for character in text:
            self.press([ord(character)])  # Latin-1 characters are their own keysyms

    def key(self, name, *modifiers):
        self.press([self.kKeysyms[m] for m in modifiers] + [self.kKeysyms[name]])

    def actions(self):
        yield "maximized (Super+Up)", "unset_maximized", lambda: self.key("Up", "logo")
        yield "full screen (Super+F)", "unset_fullscreen", lambda: self.key("f", "logo")

    def close(self):
        self.key("F4", "alt")


class Kwin(Desktop):
    """The steps of a run and a save through the window's accessibility."""
    by = "through accessibility"
    kMarker = "sondar-view:"

    def start_run(self, site, point, address):
        for name, text in {"試験場所": site, "試験箇所": point, "IP アドレス": address}.items():
            control("Sondar", kField, name).queryEditableText().setTextContents(text)
        control("Sondar", kButton, "Ping Start").queryAction().doAction(0)

    def press_save(self):
        control("Sondar", kButton, "SaveData").queryAction().doAction(0)

    def name_report(self, dialog, report):
        control(dialog, kField, "File name:").queryEditableText().setTextContents(report)
        control(dialog, kButton, "Save").queryAction().doAction(0)

    def confirm(self, box):
        control(box, kButton, "OK").queryAction().doAction(0)

    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION)
        self.scripts = 0

    def script(self, body):
        """Runs `body` on kwin's window of the program, `w`."""
        self.scripts += 1
        path = os.path.join(work, f"kwin-{self.scripts}.js")
        with open(path, "w") as script:
            script.write("const all = workspace.clientList();\n"
                         "for (let i = 0; i < all.length; ++i) {\n"
                         "    const w = all[i];\n"
                         f"    if (w.resourceClass == 'sondar') {{ {body} }}\n"
                         "}\n")
        number = self.bus.call_sync("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "loadScript",
                                    GLib.Variant("(ss)", (path, f"sondar{self.scripts}")), GLib.VariantType("(i)"),
                                    Gio.DBusCallFlags.NONE, 5000, None)[0]
        self.bus.call_sync("org.kde.KWin", f"/{number}", "org.kde.kwin.Script", "run", None, None,
                           Gio.DBusCallFlags.NONE, 5000, None)

    def shown(self):
        log = os.path.join(work, "compositor.log")
        start = len(open(log, errors="replace").read())
        self.script(f"print('{self.kMarker}', w.frameGeometry.width, 'x', w.frameGeometry.height,"
                    " '| full screen', w.fullScreen, '| icon', w.icon);")

        def told():
            lines = [l for l in open(log, errors="replace").read()[start:].splitlines() if self.kMarker in l]
            if not lines:
                return None
            view = lines[0].split(self.kMarker, 1)[1].strip()
            # kwin's icon for the window, from the desktop entry its application id names
            icon = re.search(r'QIcon\("([^"]+)",availableSizes\[normal,Off\]=\(([^)]*\))*\)', view)
            if not icon:
                raise Failure(f"kwin found no icon for the window: {view}")
            return view[:view.index("| icon")] + f"| icon {icon[1]} in {view.count('QSize(')} sizes"
        return wait("kwin did not print its view of the window", told)

    def actions(self):
        yield "maximized (kwin's setMaximize)", "unset_maximized", lambda: self.script("w.setMaximize(true, true);")
        yield "full screen (kwin's fullScreen)", "unset_fullscreen", lambda: self.script("w.fullScreen = true;")
        yield "quick-tiled left (kwin's tiling)", None, lambda: self.script(
            "workspace.activeClient = w; workspace.slotWindowQuickTileLeft();")

    def close(self):
        self.script("w.closeWindow();")


# --- The steps.

def shows(desk):
    wait("the window was not shown", lambda: any(re.search(r"-> wl_surface@\d+\.attach\(wl_buffer@", l)
                                                  for l in protocol()))
    lines = protocol()
    for request in ('set_title("Sondar")', 'set_app_id("sondar")'):
        if not any(f".{request}" in line for line in lines):
            raise Failure(f"the window's toplevel was not given {request}")
    server_side = any(re.search(r"zxdg_toplevel_decoration_v1@\d+\.configure\(2\)", l) for l in lines)
    normal = kDesigned if server_side else (kDesigned[0] + kQtFrame[0], kDesigned[1] + kQtFrame[1])
    wait(f"the window did not take {normal}", lambda: geometries(protocol())[-1:] == [normal])
    # What the compositor does to the window, once it has the window in hand.
    active("Sondar")

    entry = os.path.join(prefix, "share", "applications", "sondar.desktop")
    icon_name = next((l.split("=", 1)[1].strip() for l in open(entry) if l.startswith("Icon=")), None)
    icons = glob.glob(os.path.join(prefix, "share", "icons", "hicolor", "*", "apps", f"{icon_name}.*"))
    if not icons:
        raise Failure(f"the desktop entry of the application id names the icon {icon_name!r}, which is not installed")
    decoration = "the compositor's" if server_side else "Qt's own"
    print(f"{compositor}: shown, titled Sondar, application id sondar (desktop entry {entry}, icon {icon_name}:"
          f" {len(icons)} sizes installed), {normal[0]} x {normal[1]} with {decoration} title bar;"
          f" the compositor's view: {desk.shown()}")
    return normal


def survives(desk, normal):
    for what, leave, act in desk.actions():
        start = mark()
        act()
        if leave:
            # The window asks to leave the state once it has drawn itself in it.
            wait(f"{what}: the window did not ask to return", lambda: requested(since(start), leave))
            lines = since(start)
            asked = next(i for i, l in enumerate(lines) if re.search(rf"\.{leave}\(", l))
            before = lines[:asked]
            given = configured(before)
            if not given:
                raise Failure(f"{what}: the compositor gave no size")
            if leave == "unset_maximized" and given[-1] not in geometries(before):
                raise Failure(f"{what}: the window did not fill the {given[-1]} it was given")
            wait(f"{what}: the window did not return to {normal}",
                 lambda: configured(since(start + asked)) and geometries(since(start + asked))[-1:] == [normal])
            drawn = geometries(before)[-1:] or ["its geometry unchanged"]
            state = f"given {given[-1]}, took {drawn[0]}, asked to return"
        else:
            wait(f"{what}: the compositor gave no size", lambda: configured(since(start)))
            wait(f"{what}: the window did not keep {kDesigned}", lambda: geometries(since(start))[-1:] == [kDesigned])
            state = f"given {configured(since(start))}, kept {kDesigned}"
        print(f"{compositor}: {what}: {state}; now {geometries(protocol())[-1]}; the compositor's view: {desk.shown()}")


def runs_and_saves(desk, report):
    site, point, address = kReport
    desk.start_run(site, point, address)
    wait("the run did not end", lambda: enabled("Sondar", "SaveData"), 30)
    desk.press_save()
    desk.name_report("保存ファイル選択", report)
    box = "保存メッセージ"
    desk.confirm(box)
    wait("the completion box stays", lambda: attempt(lambda: top_level(box) is None))
    checked = subprocess.run(["bash", "-c", 'fail() { echo "the report: $*"; exit 1; }; . "$0"; check_report "$@"',
                              os.path.join(os.path.dirname(os.path.abspath(__file__)), "report_lines.sh"),
                              os.path.join(work, report), site, point], capture_output=True, text=True)
    if checked.returncode != 0:
        raise Failure(checked.stdout.strip() or checked.stderr.strip())
    print(f"{compositor}: a run to {address} and its save as {report!r} done {desk.by}, the report read back whole")


def main():
    global closing
    desk = {"sway": Sway, "mutter": Mutter, "kwin": Kwin}[compositor]()
    try:
        wait("the window is not on the accessibility bus", lambda: attempt(lambda: top_level("Sondar")))
        normal = shows(desk)
        survives(desk, normal)
        runs_and_saves(desk, report_name)
        active("Sondar")
        closing = True
        desk.close()
        wait("the program did not end when the compositor closed its window", lambda: not running())
    except Failure as failure:
        print(f"FAIL ({compositor}): {failure}")
        sys.exit(1)
    finally:
        desk.stop()


main()
