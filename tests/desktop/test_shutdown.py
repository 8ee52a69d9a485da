"""The ways a desktop run ends, one a row: "Exit" in the tray icon's menu,
SIGTERM and SIGINT all take the one shutdown path: connections and listeners
are closed, the icon leaves the panel and the program ends with status 0.
"""

import signal
import socket

import desktop as d

check = d.check

CASES = [("the menu's Exit", None), ("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT)]


def main():
    d.on_fresh_bus()
    with d.Desktop() as desk:
        desk.start_tray()
        for case, number in CASES:
            d.log(f"-- {case}")
            pelorin = d.Pelorin(desk, d.ini("cam1=10.0.0.5\n"), d.unique_lock("shutdown"))
            reg_port, lookup_port = pelorin.ports()
            icon = d.wait_for(desk.tray_icon, 10, "the icon in the panel")
            device = d.connect(reg_port, "127.0.0.2")
            device.sendall(d.registration("cam2", "10.0.0.9"))
            device.settimeout(5)
            check(device.recv(16) == b"CorrEct", "a device registered")
            if number is None:
                desk.click(*icon.centre, button=3)
                menu = d.wait_for(lambda: [w for w in desk.visible_popups()
                                           if "TOOLTIP" not in desk.window_type(w.id)],
                                  5, "the menu")[0]
                desk.click(*menu.centre)
            else:
                pelorin.process.signal(number)
            check(pelorin.wait(10) == 0, f"{case} ends the program with status 0")
            check(closed(device), "the device's connection was closed")
            device.close()
            check(d.refuses(reg_port) and d.refuses(lookup_port), "both ports refuse connections")
            check(desk.tray_icon() is None, "the icon left the panel")
            with open(pelorin.ini) as f:
                check("cam2=10.0.0.9" in f.read(), "the registration is in enpos.ini")
    d.log("PASS")


def closed(s):
    s.settimeout(2)
    try:
        return s.recv(16) == b""
    except (ConnectionResetError, socket.timeout):
        return False


if __name__ == "__main__":
    main()
