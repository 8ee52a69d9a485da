"""What every desktop test needs: a bus of its own, a time bound, checks that
say what they saw, skipping (status 77, ctest's skip) when a tool is missing,
and child processes ended by their id.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
TOOLS = ("Xvfb", "trayer", "xdotool", "xwininfo", "xprop", "xev", "import", "convert",
         "tesseract", "dbus-run-session", "stdbuf")
PELORIN = os.environ.get("PELORIN", "")


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


def bounded(seconds):
    """Fails the test, cleaning up on the way, once it has run this long."""
    def expire(number, frame):
        raise AssertionError(f"the test took more than {seconds} s")
    signal.signal(signal.SIGALRM, expire)
    signal.alarm(seconds)


def on_fresh_bus(seconds=80):
    """Runs the calling test again inside dbus-run-session, and ends with its
    status. A bus of its own keeps a StatusNotifierItem host of the real desktop
    out and gives the test an AT-SPI registry of its own; a runtime folder of its
    own keeps the accessibility bus's socket apart from other tests'. The test
    and everything it started are killed after `seconds`."""
    if os.environ.get("PELORIN_TEST_BUS") == "1":
        bounded(seconds - 10)
        return
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        skip("missing tools: " + " ".join(missing))
    require_program()
    runtime = tempfile.mkdtemp(prefix="pelorin-test-runtime-")
    env = dict(os.environ, PELORIN_TEST_BUS="1", XDG_RUNTIME_DIR=runtime)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(name, None)
    test = subprocess.Popen(["dbus-run-session", "--", sys.executable] + sys.argv, env=env,
                            start_new_session=True)
    try:
        status = test.wait(seconds)
    except subprocess.TimeoutExpired:
        log(f"FAIL: the test still ran after {seconds} s")
        os.killpg(test.pid, signal.SIGKILL)
        test.wait()
        status = 1
    finally:
        shutil.rmtree(runtime, ignore_errors=True)
    sys.exit(status)


class Process:
    """A child process, ended by its id. It stays in the test's process group, so
    that a test killed for taking too long takes its children with it."""

    def __init__(self, argv, env=None, stdout=None, stderr=None, cwd=None, **kwargs):
        self.argv = argv
        self.popen = subprocess.Popen(argv, env=env, stdout=stdout, stderr=stderr, cwd=cwd,
                                      **kwargs)
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
        if not self.running():
            return
        self.popen.terminate()
        try:
            self.popen.wait(3)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()


def words(text):
    """The text's words, one blank apart: OCR sees no runs of blanks."""
    return " ".join(text.split())
