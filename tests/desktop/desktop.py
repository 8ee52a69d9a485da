"""A desktop for the desktop shell's tests: Xvfb on a display of its own, with
its framebuffer in a file, and the trayer tray host; and the means to look at it
as a person would: the window tree, pictures, OCR, the pointer and keys.

Set PELORIN_DESKTOP_SCREENSHOTS to a folder to keep the pictures taken.
"""

import mmap
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time

from accessibility import start_atspi
from checks import Process, check, log, wait_for

ARTWORK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "app",
                       "desktop", "artwork")


def read_line(path):
    with open(path) as f:
        text = f.read()
    return text.strip() if text.endswith("\n") else None


class Window:
    def __init__(self, wid, name, klass, width, height, x, y, depth):
        self.id, self.name, self.klass = wid, name, klass
        self.width, self.height, self.x, self.y = width, height, x, y
        self.depth = depth  # 1: a child of the root window

    def __repr__(self):
        return f"<{self.id} {self.name!r} {self.width}x{self.height}+{self.x}+{self.y}>"

    @property
    def centre(self):
        return self.x + self.width // 2, self.y + self.height // 2


TREE_LINE = re.compile(r'^(\s*)(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((.*)\)\s+'
                       r'(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)')


class Desktop:
    """Xvfb on a display it picks itself, its framebuffer in a file, and a tray host."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="pelorin-desktop-")
        os.chmod(self.folder, 0o755)
        self.runtime = os.path.join(self.folder, "runtime")
        os.mkdir(self.runtime, 0o700)
        self.processes = []  # ended in reverse order
        number = os.path.join(self.folder, "display")
        with open(number, "w") as out:
            self.xvfb = self.spawn(["Xvfb", "-displayfd", str(out.fileno()), "-screen", "0",
                                    "1920x1080x24", "-nolisten", "tcp", "-fbdir", self.folder],
                                   pass_fds=(out.fileno(),), stdin=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        # The number is complete once its line is.
        self.display = ":" + wait_for(lambda: read_line(number), 15, "Xvfb's display number")
        self.env = dict(os.environ, DISPLAY=self.display, XDG_RUNTIME_DIR=self.runtime,
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        for name in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "SESSION_MANAGER"):
            self.env.pop(name, None)
        self.framebuffer = None
        self.tray = None
        self.programs = []
        start_atspi()

    def spawn(self, argv, **kwargs):
        process = Process(argv, env=getattr(self, "env", None), **kwargs)
        self.processes.append(process)
        return process

    def start_tray(self):
        """Starts trayer and waits for its panel. A trayer that ends at once (seen
        once under heavy load) is started again, twice at most."""
        trayer_log = os.path.join(self.folder, "trayer.txt")
        for _ in range(3):
            with open(trayer_log, "w") as out:
                self.tray = self.spawn(["trayer", "--edge", "top", "--align", "right",
                                        "--widthtype", "request", "--height", "32"],
                                       stdout=out, stderr=subprocess.STDOUT)
            wait_for(lambda: self.panel() or not self.tray.running(), 15, "trayer's panel")
            if self.tray.running():
                time.sleep(0.2)
                return
            with open(trayer_log) as f:
                log(f"trayer ended at once (Xvfb on {self.display} "
                    f"{'runs' if self.xvfb.running() else 'ended'}): {f.read().strip()}")
            time.sleep(0.5)
        raise AssertionError("trayer does not start")

    def panel(self):
        return self.find(lambda w: w.name == "panel" and "trayer" in w.klass)

    def close(self):
        for process in reversed(self.processes):
            process.stop()
        if self.framebuffer is not None:
            self.framebuffer.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None or os.environ.get("PELORIN_DESKTOP_VERBOSE"):
            for program in self.programs:
                log(f"-- standard error of pelorin (process {program.process.pid}):")
                log(program.stderr)
        self.close()

    # Running X tools on this display.
    def x(self, *argv, timeout=20):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True,
                                timeout=timeout)
        return result.stdout

    def windows(self):
        """Every window, with its depth in the tree (1: top level)."""
        found = []
        for line in self.x("xwininfo", "-root", "-tree").splitlines():
            m = TREE_LINE.match(line)
            if not m:
                continue
            depth = (len(m.group(1)) - 5) // 3 + 1
            found.append(Window(m.group(2), m.group(3) or "", m.group(4), int(m.group(5)),
                                int(m.group(6)), int(m.group(7)), int(m.group(8)), depth))
        return found

    def find(self, accept):
        return [w for w in self.windows() if accept(w)]

    def attributes(self, wid):
        text = self.x("xwininfo", "-id", wid)
        return {k.strip(): v.strip() for k, v in re.findall(r"^\s*([^:\n]+):\s*(.*)$", text, re.M)}

    def mapped(self, wid):
        return self.attributes(wid).get("Map State") == "IsViewable"

    def window_type(self, wid):
        return self.x("xprop", "-id", wid, "_NET_WM_WINDOW_TYPE")

    def program_windows(self, program="pelorin"):
        return self.find(lambda w: f'"{program}"' in w.klass)

    def visible_popups(self, program="pelorin"):
        """Visible override-redirect windows of the program: menus, tooltips."""
        shown = []
        for w in self.program_windows(program):
            if w.depth != 1:
                continue
            a = self.attributes(w.id)
            if a.get("Map State") == "IsViewable" and a.get("Override Redirect State") == "yes":
                shown.append(w)
        return shown

    def menus(self, program="pelorin"):
        return [w for w in self.visible_popups(program)
                if "TOOLTIP" not in self.window_type(w.id)]

    def tooltips(self, program="pelorin"):
        return [w for w in self.visible_popups(program) if "TOOLTIP" in self.window_type(w.id)]

    def settled(self, window, timeout=5):
        """The window once its geometry has stopped changing: Qt may move a popup
        just after mapping it, and a click at its first place would miss."""
        def same_twice():
            first = self.find(lambda w: w.id == window.id)
            time.sleep(0.15)
            second = self.find(lambda w: w.id == window.id)
            if first and second and repr(first[0]) == repr(second[0]):
                return second[0]
            return None
        return wait_for(same_twice, timeout, "the window to settle")

    def open_menu(self, icon):
        """Right-clicks the tray icon and returns its menu, settled."""
        self.click(*icon.centre, button=3)
        return self.settled(wait_for(self.menus, 5, "the menu")[0])

    def dialogs(self, program="pelorin"):
        return [w for w in self.program_windows(program)
                if w.depth == 1 and self.mapped(w.id)
                and "_NET_WM_WINDOW_TYPE_DIALOG" in self.window_type(w.id)]

    def tray_icon(self, program="pelorin"):
        """The program's window that was embedded in the tray host's panel."""
        icons = [w for w in self.program_windows(program) if w.depth > 1]
        return icons[0] if icons else None

    # The pointer and keys.
    def move(self, x, y):
        # xdotool's --sync hangs when the pointer is already there: leave first.
        self.x("xdotool", "mousemove", "--sync", str(x + 40 if x < 1800 else x - 40), str(y + 40))
        self.x("xdotool", "mousemove", "--sync", str(x), str(y))

    def click(self, x, y, button=1, repeat=1):
        self.move(x, y)
        self.x("xdotool", "click", "--repeat", str(repeat), "--delay", "80", str(button))

    def press_return(self, wid):
        self.x("xdotool", "windowfocus", "--sync", wid)
        self.x("xdotool", "key", "Return")

    # Pictures.
    def shoot(self, wid=None, crop=None, name="shot.png"):
        path = os.path.join(self.folder, name)
        self.x("import", "-window", wid or "root", path)
        if crop:
            subprocess.run(["convert", path, "-crop", crop, "+repage", "-strip", path],
                           check=True, timeout=20)
        keep = os.environ.get("PELORIN_DESKTOP_SCREENSHOTS")
        if keep:
            os.makedirs(keep, exist_ok=True)
            shutil.copy(path, os.path.join(keep, name))
        return path

    def read_text(self, picture, line=True):
        """OCR of a picture of a small piece of interface."""
        big = subprocess.run(["convert", picture, "-shave", "2x2", "-resize", "300%",
                              "-bordercolor", "white", "-border", "20", "png:-"],
                             capture_output=True, timeout=20).stdout
        text = subprocess.run(["tesseract", "-", "-", "--psm", "7" if line else "6"],
                              input=big, capture_output=True, timeout=30).stdout
        return text.decode(errors="replace").strip()

    def rgb_region(self, x, y, width, height):
        """The screen's pixels as RGB bytes, read straight from Xvfb's framebuffer."""
        if self.framebuffer is None:
            path = os.path.join(self.folder, "Xvfb_screen0")
            with open(path, "rb") as f:
                self.framebuffer = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            fb = self.framebuffer
            header_size, = struct.unpack(">I", fb[0:4])
            fields = struct.unpack(">25I", fb[0:100])
            self.fb_bpl, ncolors = fields[12], fields[19]
            self.fb_offset = header_size + ncolors * 12
            check(fields[11] == 32, "Xvfb's framebuffer has 32 bits a pixel")
        fb, out = self.framebuffer, bytearray()
        for row in range(y, y + height):
            start = self.fb_offset + row * self.fb_bpl + x * 4
            line = fb[start:start + width * 4]
            for i in range(0, len(line), 4):  # BGRX
                out += bytes((line[i + 2], line[i + 1], line[i]))
        return bytes(out)

    def save_rgb(self, rgb, width, height, name):
        raw = os.path.join(self.folder, name + ".rgb")
        with open(raw, "wb") as f:
            f.write(rgb)
        path = os.path.join(self.folder, name)
        subprocess.run(["convert", "-size", f"{width}x{height}", "-depth", "8", "rgb:" + raw,
                        "-strip", path], check=True, timeout=20)
        keep = os.environ.get("PELORIN_DESKTOP_SCREENSHOTS")
        if keep:
            os.makedirs(keep, exist_ok=True)
            shutil.copy(path, os.path.join(keep, name))
        return path


def picture_rgb(width, height):
    """The top left of the main window's picture, decoded, as RGB bytes."""
    return subprocess.run(["convert", os.path.join(ARTWORK, "picture.jpg"), "-crop",
                           f"{width}x{height}+0+0", "-depth", "8", "rgb:-"],
                          capture_output=True, check=True, timeout=20).stdout


def has_stop_icon(picture):
    """Whether a picture of a message box holds a patch of the stop icon's red."""
    rgb = subprocess.run(["convert", picture, "-depth", "8", "rgb:-"], capture_output=True,
                         check=True, timeout=20).stdout
    red = sum(1 for i in range(0, len(rgb) - 2, 3)
              if rgb[i] > 150 and rgb[i + 1] < 90 and rgb[i + 2] < 90)
    return red > 100


def difference(a, b):
    """Mean absolute difference of two equally long byte strings."""
    return sum(abs(p - q) for p, q in zip(a, b)) / max(len(a), 1)
