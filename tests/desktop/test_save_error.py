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

import desktop as d

check = d.check
TEXT = " save ip info error "


def main():
    d.on_fresh_bus()
    user = None
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            d.skip("setpriv (util-linux) is missing")
        user = "nobody"
    with d.Desktop() as desk:
        desk.start_tray()
        folder = os.path.join(desk.folder, "ini")
        os.mkdir(folder)
        with open(os.path.join(folder, "enpos.ini"), "w") as f:
            f.write(d.ini("cam1=10.0.0.5\n"))
        os.chmod(os.path.join(folder, "enpos.ini"), 0o444)
        env = None
        if user:
            # The program's own runtime folder and no session bus: it may not use root's.
            runtime = os.path.join(desk.folder, "runtime-nobody")
            os.mkdir(runtime, 0o700)
            os.chown(runtime, pwd.getpwnam(user).pw_uid, -1)
            env = {"XDG_RUNTIME_DIR": runtime, "HOME": runtime, "DBUS_SESSION_BUS_ADDRESS": None}
            if not runs_as(user):
                d.skip(f"{user} cannot run {d.PELORIN}")
        os.chmod(folder, 0o555)
        pelorin = d.Pelorin(desk, None, d.unique_lock("save"), user=user, env=env, folder=folder)
        try:
            run(desk, pelorin, user)
        finally:
            os.chmod(folder, 0o755)
    d.log("PASS")


def runs_as(user):
    result = subprocess.run(["setpriv", f"--reuid={user}", f"--regid={d.user_group(user)}",
                             "--clear-groups", "--", d.PELORIN, "--version"],
                            capture_output=True, timeout=20)
    return result.returncode == 0


def run(desk, pelorin, user):
    reg_port, lookup_port = pelorin.ports()
    device = d.connect(reg_port, "127.0.0.2")
    device.sendall(d.registration("cam2", "10.0.0.9"))
    box = d.wait_for(lambda: desk.dialogs(), 15, "the message box")[0]
    check('"pelorin"' in desk.x("xprop", "-id", box.id, "WM_NAME"),
          'a box captioned "pelorin" shows')
    found = d.alerts(pelorin.process.pid) if user is None else None
    if found:
        check(found[0][1] == [TEXT] and found[0][2] == ["OK"],
              f"it reads {TEXT!r} with one OK button (AT-SPI)")
    picture = desk.shoot(box.id, name="save-error.png")
    check(d.words(desk.read_text(picture)) == d.words(TEXT), f"it reads {d.words(TEXT)!r} (OCR)")
    check(not d.has_stop_icon(picture), "it shows no icon")

    check(d.lookup(lookup_port, "cam1") == b"10.0.0.5",
          "a lookup on another connection is answered while the box is open")
    check(d.lookup(lookup_port, "nobody-knows") == b"error",
          "an unknown name is answered \"error\" while the box is open")
    check(nothing_yet(device), "the device has no reply while the box is open")
    check(desk.dialogs() != [], "the box is still open")

    desk.press_return(box.id)
    device.settimeout(5)
    check(device.recv(16) == b"SaveErr", 'the device gets "SaveErr" once the box is dismissed')
    device.close()
    check(d.lookup(lookup_port, "cam2") == b"error", "the entry was not stored")
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
