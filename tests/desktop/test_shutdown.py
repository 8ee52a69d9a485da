"""The ways a desktop run ends, one a row: "Exit" in the tray icon's menu,
SIGTERM and SIGINT all take the one shutdown path: connections and listeners
are closed, the icon leaves the panel and the program ends with status 0.
"""

import signal
import socket

from checks import check, log, on_fresh_bus, wait_for
from daemon import connect, ini, Pelorin, refuses, registration, unique_lock
from desktop import Desktop


CASES = [("the menu's Exit", None), ("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT)]


def main():
    on_fresh_bus()
    with Desktop() as desk:
        desk.start_tray()
        for case, number in CASES:
            log(f"-- {case}")
            pelorin = Pelorin(desk, ini("cam1=10.0.0.5\n"), unique_lock("shutdown"))
            reg_port, lookup_port = pelorin.ports()
            icon = wait_for(desk.tray_icon, 10, "the icon in the panel")
            device = connect(reg_port, "127.0.0.2")
            device.sendall(registration("cam2", "10.0.0.9"))
            device.settimeout(5)
            check(device.recv(16) == b"CorrEct", "a device registered")
            if number is None:
                menu = desk.open_menu(icon)
                desk.click(*menu.centre)
            else:
                pelorin.process.signal(number)
            check(pelorin.wait(10) == 0, f"{case} ends the program with status 0")
            check(closed(device), "the device's connection was closed")
            device.close()
            check(refuses(reg_port) and refuses(lookup_port), "both ports refuse connections")
            check(desk.tray_icon() is None, "the icon left the panel")
            with open(pelorin.ini) as f:
                check("cam2=10.0.0.9" in f.read(), "the registration is in enpos.ini")
    log("PASS")


def closed(s):
    s.settimeout(2)
    try:
        return s.recv(16) == b""
    except (ConnectionResetError, socket.timeout):
        return False


if __name__ == "__main__":
    main()
