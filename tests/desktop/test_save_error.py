"""A registration that cannot be written on the desktop: the program shows
" save ip info error " in a modal box, goes on answering lookups on other
connections while the box is open, and sends "SaveErr" to the device only once
the box is dismissed.

enpos.ini is made unwritable: as root the program runs as the user nobody on a
file and folder that only root may write (root ignores file modes); as anyone
else the folder is made read-only.
"""

import os
import pwd
import shutil
import socket
import subprocess

from accessibility import alerts
from checks import check, log, on_fresh_bus, PELORIN, skip, wait_for, words
from daemon import connect, ini, lookup, Pelorin, registration, unique_lock, user_group
from desktop import Desktop, has_stop_icon

TEXT = " save ip info error "


def main():
    on_fresh_bus()
    user = None
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            skip("setpriv (util-linux) is missing")
        user = "nobody"
    with Desktop() as desk:
        desk.start_tray()
        folder = os.path.join(desk.folder, "ini")
        os.mkdir(folder)
        with open(os.path.join(folder, "enpos.ini"), "w") as f:
            f.write(ini("cam1=10.0.0.5\n"))
        os.chmod(os.path.join(folder, "enpos.ini"), 0o444)
        env = None
        if user:
            # The program's own runtime folder and no session bus: it may not use root's.
            runtime = os.path.join(desk.folder, "runtime-nobody")
            os.mkdir(runtime, 0o700)
            os.chown(runtime, pwd.getpwnam(user).pw_uid, -1)
            env = {"XDG_RUNTIME_DIR": runtime, "HOME": runtime, "DBUS_SESSION_BUS_ADDRESS": None}
            if not runs_as(user):
                skip(f"{user} cannot run {PELORIN}")
        os.chmod(folder, 0o555)
        pelorin = Pelorin(desk, None, unique_lock("save"), user=user, env=env, folder=folder)
        try:
            run(desk, pelorin, user)
        finally:
            os.chmod(folder, 0o755)
    log("PASS")


def runs_as(user):
    result = subprocess.run(["setpriv", f"--reuid={user}", f"--regid={user_group(user)}",
                             "--clear-groups", "--", PELORIN, "--version"],
                            capture_output=True, timeout=20)
    return result.returncode == 0


def run(desk, pelorin, user):
    reg_port, lookup_port = pelorin.ports()
    device = connect(reg_port, "127.0.0.2")
    device.sendall(registration("cam2", "10.0.0.9"))
    box = wait_for(lambda: desk.dialogs(), 15, "the message box")[0]
    check('"pelorin"' in desk.x("xprop", "-id", box.id, "WM_NAME"),
          'a box captioned "pelorin" shows')
    found = alerts(pelorin.process.pid) if user is None else None
    if found:
        check(found[0][1] == [TEXT] and found[0][2] == ["OK"],
              f"it reads {TEXT!r} with one OK button (AT-SPI)")
    picture = desk.shoot(box.id, name="save-error.png")
    check(words(desk.read_text(picture)) == words(TEXT), f"it reads {words(TEXT)!r} (OCR)")
    check(not has_stop_icon(picture), "it shows no icon")

    check(lookup(lookup_port, "cam1") == b"10.0.0.5",
          "a lookup on another connection is answered while the box is open")
    check(lookup(lookup_port, "nobody-knows") == b"error",
          "an unknown name is answered \"error\" while the box is open")
    second = connect(reg_port, "127.0.0.4")
    second.sendall(registration("cam3", "10.0.0.10"))
    check(nothing_yet(device) and nothing_yet(second),
          "neither device has a reply while the box is open")
    check(len(desk.dialogs()) == 1, "the second failure opens no second box")

    desk.press_return(box.id)
    for s, what in ((device, "the device"), (second, "the second device")):
        s.settimeout(5)
        check(s.recv(16) == b"SaveErr", f'{what} gets "SaveErr" once the box is dismissed')
        s.close()
    check(lookup(lookup_port, "cam2") == b"error", "the entry was not stored")
    check(not desk.dialogs(), "no box is left open")
    pelorin.process.signal(15)
    check(pelorin.wait(10) == 0, "SIGTERM ends the program with status 0")


def nothing_yet(s):
    s.settimeout(0.5)
    try:
        s.recv(16)
    except socket.timeout:
        return True
    return False


if __name__ == "__main__":
    main()
