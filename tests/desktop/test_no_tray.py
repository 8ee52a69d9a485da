"""A desktop with no notification area yet: the main window stays, with an
"Exit" button that ends the program, and it is hidden as soon as a tray host
appears (Qt then embeds the icon there).
"""

import os
import time

import desktop as d

check = d.check
WINDOW = (1124, 983, 136, 46)


def main():
    d.on_fresh_bus()
    with d.Desktop() as desk:
        d.log("-- no tray host: the window's Exit button")
        pelorin = d.Pelorin(desk, d.ini(), d.unique_lock("no-tray"))
        pelorin.ports()
        form = waiting_window(desk)
        x, y = form.x, form.y
        desk.click(x + 110, y + 23)  # the button, right of the picture's card
        check(pelorin.wait(10) == 0, "the Exit button ends the program with status 0")

        d.log("-- a tray host appears later")
        pelorin = d.Pelorin(desk, d.ini(), d.unique_lock("no-tray"))
        pelorin.ports()
        form = waiting_window(desk)
        desk.start_tray()
        d.wait_for(desk.tray_icon, 10, "the icon in the new panel")
        d.wait_for(lambda: not desk.mapped(form.id), 5, "the window to be hidden")
        check(True, "the icon is embedded and the window hidden once a tray host appears")
        pelorin.process.signal(15)
        check(pelorin.wait(10) == 0, "SIGTERM ends the program with status 0")
    d.log("PASS")


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
    d.subprocess.run(["convert", picture, "-crop", "44x26+88+10", button], check=True)
    check(desk.read_text(button) == "Exit", 'it shows an "Exit" button')
    return form


if __name__ == "__main__":
    main()
