"""The start-up messages on the desktop, one case a row: a port in use shows the
socket error report (a stop box captioned with the program's name) and the
program keeps its tray icon until "Exit"; a port that is no number shows
" HAVE  ERROR OCCUR " in the simple message dialog (no icon), after which the
program ends with status 1.
"""

import socket
import time

from accessibility import alerts
from checks import check, log, on_fresh_bus, wait_for, words
from daemon import Pelorin, unique_lock
from desktop import Desktop, has_stop_icon


# (case, port1, port2, expected text, stop icon, what follows the dismissal)
CASES = [
    ("registration port in use", "busy", "0",
     "Socket error: Address already in use (98), on API 'bind'", True, "keeps running"),
    ("lookup port in use", "0", "busy",
     "Socket error: Address already in use (98), on API 'bind'", True, "keeps running"),
    ("registration port not a number", "x1", "0", " HAVE  ERROR OCCUR ", False, "ends with 1"),
]


def main():
    on_fresh_bus()
    with Desktop() as desk:
        desk.start_tray()
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        busy_port = str(busy.getsockname()[1])
        for case, port1, port2, text, stop_icon, after in CASES:
            log(f"-- {case}")
            ports = {"busy": busy_port}
            config = (f"[Connect]\nport1={ports.get(port1, port1)}\nport2={ports.get(port2, port2)}"
                      "\n[enposinfo]\n")
            pelorin = Pelorin(desk, config, unique_lock("messages"))
            box = wait_for(lambda: desk.dialogs(), 15, "the message box")[0]
            check('"pelorin"' in desk.x("xprop", "-id", box.id, "WM_NAME"),
                  'the box is captioned "pelorin", the program\'s name')
            found = alerts(pelorin.process.pid)
            if found is not None:
                check(found and found[0][1] == [text] and found[0][2] == ["OK"],
                      f"it reads {text!r} with one OK button (AT-SPI)")
            picture = desk.shoot(box.id, name=f"box-{port1}-{port2}.png")
            check(words(text) in words(desk.read_text(picture)),
                  f"it reads {words(text)!r} (OCR)")
            check(has_stop_icon(picture) == stop_icon,
                  "it shows a stop icon" if stop_icon else "it shows no icon")
            box = [w for w in desk.find(lambda w: w.id == box.id)][0]
            check(box_centred(box), f"it is centred on the screen ({box})")
            desk.press_return(box.id)
            if after == "ends with 1":
                check(pelorin.wait(10) == 1, "the program ends with status 1 once it is dismissed")
                continue
            time.sleep(1)
            check(pelorin.process.running() and not desk.dialogs(),
                  "the program keeps running once the report is dismissed")
            check(desk.tray_icon() is not None, "its icon stays in the panel")
            menu = desk.open_menu(desk.tray_icon())
            desk.click(*menu.centre)
            check(pelorin.wait(10) == 0, '"Exit" still ends it with status 0')
        busy.close()
    log("PASS")


def box_centred(box):
    x, y = box.centre
    return abs(x - 960) <= 2 and abs(y - 540) <= 2


if __name__ == "__main__":
    main()
