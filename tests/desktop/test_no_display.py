"""Choosing the shell without a display, one case a row: with no DISPLAY, with
a DISPLAY where no X server answers, with QT_QPA_PLATFORM=xcb but no display,
and with --headless where a display does answer, pelorin runs headless: it
serves, writes nothing on standard error but its own log lines, loads neither
Qt nor the desktop module, and SIGTERM ends it with status 0.
"""

import os
import shutil
import signal
import subprocess
import tempfile

from checks import bounded, check, log, PELORIN, Process, skip, wait_for
from daemon import ini, Pelorin, unique_lock
from desktop import read_line



def free_display_number():
    with open("/proc/net/unix") as f:
        taken = f.read()
    for n in range(917, 999):
        if f"X11-unix/X{n}" not in taken and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    skip("no free display number")


def main():
    if not PELORIN or not os.access(PELORIN, os.X_OK):
        skip("PELORIN does not name the built program")
    bounded(75)
    stale = f":{free_display_number()}"
    cases = [
        ("no DISPLAY", {"DISPLAY": None}, ()),
        ("a DISPLAY where no X server answers", {"DISPLAY": stale}, ()),
        ("QT_QPA_PLATFORM=xcb and no DISPLAY", {"DISPLAY": None, "QT_QPA_PLATFORM": "xcb"}, ()),
    ]
    xvfb = None
    if shutil.which("Xvfb"):
        xvfb = start_xvfb()
        cases.append(("--headless where a display answers", {"DISPLAY": xvfb[1]}, ("--headless",)))
    else:
        log("note: Xvfb is missing, so --headless is not tried with a display")
    try:
        for case, env, args in cases:
            log(f"-- {case}")
            run(case, env, args)
    finally:
        if xvfb:
            xvfb[0].stop()
            shutil.rmtree(xvfb[2], ignore_errors=True)
    log("PASS")


def start_xvfb():
    folder = tempfile.mkdtemp(prefix="pelorin-xvfb-")
    number = os.path.join(folder, "display")
    with open(number, "w") as out:
        process = Process(["Xvfb", "-displayfd", str(out.fileno()), "-nolisten", "tcp"],
                            pass_fds=(out.fileno(),), stdin=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    shown = wait_for(lambda: read_line(number), 15, "Xvfb's display number")
    return process, ":" + shown, folder


def run(case, env, args):
    quiet = {"QT_QPA_PLATFORM": None, "WAYLAND_DISPLAY": None, "XDG_RUNTIME_DIR": None}
    quiet.update(env)
    pelorin = Pelorin(None, ini(), unique_lock("no-display"), args=args, env=quiet)
    try:
        pelorin.ports()
        with open(f"/proc/{pelorin.process.pid}/maps") as f:
            maps = f.read()
        check("libQt6" not in maps and "pelorin-desktop.so" not in maps,
              "neither Qt nor the desktop module is loaded")
        pelorin.process.signal(signal.SIGTERM)
        check(pelorin.wait(10) == 0, "SIGTERM ends it with status 0")
        foreign = [line for line in pelorin.stderr.splitlines()
                   if not line.startswith("pelorin: ")]
        check(not foreign, f"standard error holds only pelorin's log lines {foreign}")
    finally:
        pelorin.process.stop()
        shutil.rmtree(pelorin.folder, ignore_errors=True)
        os.unlink(pelorin.stderr_path)


if __name__ == "__main__":
    main()
