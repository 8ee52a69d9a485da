"""A desktop with no notification area yet: the main window stays, with an
"Exit" button that ends the program, and it is hidden as soon as a tray host
appears (Qt then embeds the icon there).
"""

import os
import subprocess
import time

from checks import check, log, on_fresh_bus, wait_for
from daemon import ini, Pelorin, unique_lock
from desktop import Desktop

WINDOW = (1124, 983, 136, 46)


def main():
    on_fresh_bus()
    with Desktop() as desk:
        log("-- no tray host: the window's Exit button")
        pelorin = Pelorin(desk, ini(), unique_lock("no-tray"))
        pelorin.ports()
        form = waiting_window(desk)
        desk.click(form.x + 110, form.y + 23)  # the button, right of the picture's card
        check(pelorin.wait(10) == 0, "the Exit button ends the program with status 0")

        log("-- a tray host appears later")
        pelorin = Pelorin(desk, ini(), unique_lock("no-tray"))
        pelorin.ports()
        form = waiting_window(desk)
        desk.start_tray()
        check(wait_for(desk.tray_icon, 10, "the icon in the new panel") is not None,
              "the icon is embedded once a tray host appears")
        wait_for(lambda: not desk.mapped(form.id), 5, "the window to be hidden")
        check(desk.attributes(form.id).get("Map State") == "IsUnMapped",
              "and the window is hidden")
        pelorin.process.signal(15)
        check(pelorin.wait(10) == 0, "SIGTERM ends the program with status 0")
    log("PASS")


def waiting_window(desk):
    """The main window, still shown well after start-up, with its Exit button."""
    time.sleep(1.5)
    forms = desk.find(lambda w: w.name == "Tavex_DVR Server" and w.depth == 1)
    check(len(forms) == 1 and desk.mapped(forms[0].id),
          "without a tray host the window stays shown")
    form = forms[0]
    check((form.x, form.y, form.width, form.height) == WINDOW, "at 136x46+1124+983")
    picture = desk.shoot(form.id, name="window-no-tray.png")
    button = os.path.join(desk.folder, "button.png")
    subprocess.run(["convert", picture, "-crop", "44x26+88+10", button], check=True)
    check(desk.read_text(button) == "Exit", 'it shows an "Exit" button')
    return form


if __name__ == "__main__":
    main()
