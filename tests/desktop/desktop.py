"""A desktop for the desktop shell's tests: Xvfb with the trayer tray host, on a
fresh D-Bus session bus, and helpers to look at it as a person would (window
tree, pictures, OCR, AT-SPI) and to run pelorin in it.

A test exits with status 77 (ctest's skip) when a tool is missing. Set
PELORIN_DESKTOP_SCREENSHOTS to a folder to keep the pictures the tests take.
"""

import mmap
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
TOOLS = ("Xvfb", "trayer", "xdotool", "xwininfo", "xprop", "xev", "import", "convert",
         "tesseract", "dbus-run-session")
PELORIN = os.environ.get("PELORIN", "")
ARTWORK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "app",
                       "desktop", "artwork")


def skip(why):
    print(f"SKIP: {why}", flush=True)
    sys.exit(SKIP)


def log(text):
    print(text, flush=True)


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    log(f"ok: {what}")


def wait_for(probe, timeout, what, step=0.05):
    """Polls probe() until it returns something true; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(step)


def require_program():
    if not PELORIN or not os.access(PELORIN, os.X_OK):
        skip("PELORIN does not name the built program")
    module = os.path.join(os.path.dirname(PELORIN), "..", "lib", "pelorin", "pelorin-desktop.so")
    if not os.path.exists(module):
        skip(f"the desktop module is not built ({os.path.normpath(module)})")


def on_fresh_bus():
    """Runs the calling test again inside dbus-run-session, once: a bus of its own
    keeps a StatusNotifierItem host of the real desktop out, and gives AT-SPI."""
    if os.environ.get("PELORIN_TEST_BUS") == "1":
        return
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        skip("missing tools: " + " ".join(missing))
    require_program()
    env = dict(os.environ, PELORIN_TEST_BUS="1")
    os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable] + sys.argv, env)


# --- Processes ------------------------------------------------------------------

class Process:
    """A child process in its own process group, ended by its id."""

    def __init__(self, argv, env=None, stdout=None, stderr=None, cwd=None, **kwargs):
        self.argv = argv
        self.popen = subprocess.Popen(argv, env=env, stdout=stdout, stderr=stderr, cwd=cwd,
                                      start_new_session=True, **kwargs)
        self.pid = self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def signal(self, number):
        if self.running():
            os.kill(self.pid, number)

    def wait(self, timeout):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{os.path.basename(self.argv[0])} still runs after {timeout} s")

    def stop(self):
        if self.running():
            try:
                os.killpg(self.pid, signal.SIGTERM)
                self.popen.wait(3)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                try:
                    os.killpg(self.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.popen.wait()


# --- The X desktop ----------------------------------------------------------------

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
        self.processes = []
        number = os.path.join(self.folder, "display")
        with open(number, "w") as out:
            self.xvfb = self.spawn(["Xvfb", "-displayfd", str(out.fileno()), "-screen", "0",
                                    "1920x1080x24", "-nolisten", "tcp", "-fbdir", self.folder],
                                   pass_fds=(out.fileno(),), stdin=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        wait_for(lambda: open(number).read().strip(), 10, "Xvfb's display number")
        self.display = ":" + open(number).read().strip()
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
        trayer_log = os.path.join(self.folder, "trayer.txt")
        with open(trayer_log, "w") as out:
            self.tray = self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype",
                                    "request", "--height", "32"],
                                   stdout=out, stderr=subprocess.STDOUT)
        try:
            wait_for(lambda: self.find(lambda w: w.name == "panel" and "trayer" in w.klass), 15,
                     "trayer's panel")
        except AssertionError:
            log(f"trayer {'runs' if self.tray.running() else 'ended'}; its output:")
            log(open(trayer_log).read())
            raise
        time.sleep(0.2)

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
        argv = ["import", "-window", wid or "root"]
        if crop:
            argv += ["-crop", crop]
        self.x(*argv, path)
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
                        path], check=True, timeout=20)
        keep = os.environ.get("PELORIN_DESKTOP_SCREENSHOTS")
        if keep:
            os.makedirs(keep, exist_ok=True)
            shutil.copy(path, os.path.join(keep, name))
        return path


def words(text):
    """The text's words, one blank apart: OCR sees no runs of blanks."""
    return " ".join(text.split())


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


# --- The program ---------------------------------------------------------------

SERVING = re.compile(r"serving .*: registrations on port (\d+), lookups on port (\d+)")


class Pelorin:
    """pelorin run in a folder of its own with a given enpos.ini."""

    def __init__(self, desktop, ini_text, lock, args=(), user=None, env=None, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="pelorin-run-", dir=desktop.folder
                                                 if desktop else None)
        os.chmod(self.folder, 0o755)
        self.ini = os.path.join(self.folder, "enpos.ini")
        if ini_text is not None:
            with open(self.ini, "w") as f:
                f.write(ini_text)
        handle, self.stderr_path = tempfile.mkstemp(prefix="pelorin-stderr-", suffix=".txt",
                                                    dir=desktop.folder if desktop else None)
        os.close(handle)
        base = desktop.env if desktop else os.environ
        self.env = dict(base, PELORIN_INSTANCE_LOCK=lock)
        for name, value in (env or {}).items():
            if value is None:
                self.env.pop(name, None)
            else:
                self.env[name] = value
        argv = [PELORIN, "--ini", self.ini, *args]
        kwargs = {}
        if user is not None:
            argv = ["setpriv", f"--reuid={user}", f"--regid={user_group(user)}",
                    "--clear-groups", "--"] + argv
        self.stderr_file = open(self.stderr_path, "wb")
        self.process = Process(argv, env=self.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=self.stderr_file,
                               cwd=self.folder, **kwargs)
        if desktop:
            desktop.processes.append(self.process)
            desktop.programs.append(self)

    @property
    def stderr(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def ports(self, timeout=15):
        m = wait_for(lambda: SERVING.search(self.stderr), timeout, "the serving line on stderr")
        return int(m.group(1)), int(m.group(2))

    def wait(self, timeout=10):
        status = self.process.wait(timeout)
        self.stderr_file.close()
        return status


def user_group(user):
    import grp
    import pwd
    return grp.getgrgid(pwd.getpwnam(user).pw_gid).gr_name


# --- The wire ------------------------------------------------------------------

def connect(port, source="127.0.0.1", timeout=5):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def registration(name, address):
    body = name.encode() + bytes(int(p) for p in address.split("."))
    return bytes([len(name) + 4]) + body


def lookup(port, name, source="127.0.0.3"):
    """The whole reply to one lookup."""
    with connect(port, source) as s:
        s.sendall(b"\x01\x01\x01" + name.encode())
        reply = b""
        while True:
            try:
                chunk = s.recv(100)
            except socket.timeout:
                break
            if not chunk:
                break
            reply += chunk
            if reply == b"error":
                break
        return reply


def refuses(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return False
    except ConnectionRefusedError:
        return True


def ini(extra=""):
    return "[Connect]\nport1=0\nport2=0\n[enposinfo]\n" + extra


def unique_lock(test):
    return f"pelorin-test-{test}-{os.getpid()}"


# --- AT-SPI --------------------------------------------------------------------

def atspi():
    try:
        import pyatspi  # noqa: F401  (Debian's python3-pyatspi)
        return pyatspi
    except ImportError:
        return None


def start_atspi():
    """Starts the accessibility bus: Qt joins it only if it runs when Qt starts."""
    pyatspi = atspi()
    if pyatspi is not None:
        pyatspi.Registry.getDesktop(0)


def alerts(pid):
    """Text of each message box that the process with this id shows, read through
    AT-SPI: [(caption, [labels], [buttons])]."""
    pyatspi = atspi()
    if pyatspi is None:
        return None
    found = []
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        try:
            if app.get_process_id() != pid:
                continue
        except Exception:
            continue
        for window in app:
            if window is None or window.getRoleName() not in ("alert", "dialog"):
                continue
            labels, buttons = [], []
            collect(window, labels, buttons)
            found.append((window.name, labels, buttons))
    return found


def collect(node, labels, buttons):
    for child in node:
        if child is None:
            continue
        role = child.getRoleName()
        if role == "label" and child.name:
            labels.append(child.name)
        elif role == "push button":
            buttons.append(child.name)
        collect(child, labels, buttons)
