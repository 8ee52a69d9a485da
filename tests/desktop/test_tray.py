"""The desktop shell as a person meets it: the main window shows its picture at
its place and is hidden once started, the tray icon carries the hint "Pelorin",
clicks other than the right button do nothing, the right button's menu reads
"Exit", a second instance shows its stop box and ends with 255, and "Exit" ends
the program with 0 and closes both ports.
"""

import os
import re
import threading
import time

from accessibility import alerts
from checks import check, log, on_fresh_bus, wait_for
from daemon import ini, Pelorin, refuses, unique_lock
from desktop import Desktop, difference, has_stop_icon, picture_rgb

WINDOW = (1124, 983, 136, 46)
SHOWN = (113, 46)  # the part of the picture the window shows


class PictureWatch(threading.Thread):
    """Watches the window's place in the framebuffer from before the program
    starts, and keeps the first frame in which the picture shows there: the
    window is visible for about 50 ms, too short for a screenshot."""

    def __init__(self, desk):
        super().__init__(daemon=True)
        self.desk, self.frame, self.done = desk, None, threading.Event()
        self.expected = picture_rgb(*SHOWN)

    def run(self):
        x, y, width, height = WINDOW
        while not self.done.is_set():
            shown = self.desk.rgb_region(x, y, *SHOWN)
            if difference(shown, self.expected) < 6:
                self.frame = self.desk.rgb_region(x, y, width, height)
                return
            time.sleep(0.003)


def mapped_window_ids(xev_log):
    with open(xev_log) as f:
        return set(re.findall(r"^MapNotify event,.*\n\s*event 0x[0-9a-f]+, window (0x[0-9a-f]+)",
                              f.read(), re.M))


def main():
    on_fresh_bus()
    with Desktop() as desk:
        desk.start_tray()
        xev_log = os.path.join(desk.folder, "xev.txt")
        with open(xev_log, "w") as out:
            desk.spawn(["stdbuf", "-oL", "xev", "-root", "-event", "substructure"], stdout=out)
        time.sleep(0.3)
        watch = PictureWatch(desk)
        watch.start()

        lock = unique_lock("tray")
        pelorin = Pelorin(desk, ini(), lock)
        reg_port, lookup_port = pelorin.ports()
        icon = wait_for(desk.tray_icon, 10, "the icon embedded in trayer's panel")
        check_window(desk, watch, xev_log)
        check_hint(desk, icon)
        check_clicks_do_nothing(desk, icon)
        menu = check_menu_on_release(desk, icon)
        check(desk.read_text(desk.shoot(menu.id, name="menu-item.png")) == "Exit",
              'the menu reads "Exit"')
        shoot_corner(desk, menu, "menu.png")
        desk.x("xdotool", "key", "Escape")
        wait_for(lambda: not desk.menus(), 5, "the menu to close")

        check_second_instance(desk, pelorin.folder, lock)

        menu = desk.open_menu(icon)
        desk.click(*menu.centre)
        check(pelorin.wait(10) == 0, '"Exit" ends the program with status 0')
        check(refuses(reg_port) and refuses(lookup_port),
              "both ports refuse connections afterwards")
        check(desk.tray_icon() is None, "the icon left the panel")
    log("PASS")


def check_window(desk, watch, xev_log):
    forms = desk.find(lambda w: w.name == "Tavex_DVR Server" and w.depth == 1)
    check(len(forms) == 1, 'one window named "Tavex_DVR Server"')
    form = forms[0]
    check((form.x, form.y, form.width, form.height) == WINDOW,
          "the window's geometry is 136x46+1124+983")
    wait_for(lambda: not desk.mapped(form.id), 5, "the window to be hidden")
    check(desk.attributes(form.id).get("Map State") == "IsUnMapped",
          "the window is unmapped after start")
    check(form.id in mapped_window_ids(xev_log), "the window was mapped at creation")
    watch.join(2)
    watch.done.set()
    check(watch.frame is not None, "the window showed its picture")
    desk.save_rgb(watch.frame, WINDOW[2], WINDOW[3], "window.png")


def check_hint(desk, icon):
    desk.move(*icon.centre)
    tip = desk.settled(wait_for(desk.tooltips, 5, "the hint")[0])
    check(desk.read_text(desk.shoot(tip.id, name="hint.png")) == "Pelorin",
          'the icon\'s hint reads "Pelorin"')
    shoot_corner(desk, tip, "tray.png")


def check_menu_on_release(desk, icon):
    desk.move(*icon.centre)
    desk.x("xdotool", "mousedown", "3")
    time.sleep(0.4)
    check(not desk.menus(), "pressing the right button opens nothing yet")
    desk.x("xdotool", "mouseup", "3")
    menu = desk.settled(wait_for(desk.menus, 5, "the menu")[0])
    check(abs(menu.x - icon.centre[0]) <= menu.width and menu.y <= icon.centre[1] + 2,
          "releasing it pops up the menu at the pointer")
    return menu


def check_clicks_do_nothing(desk, icon):
    for button, repeat, what in ((1, 1, "a left click"), (1, 2, "a double click"),
                                 (2, 1, "a middle click")):
        desk.click(*icon.centre, button=button, repeat=repeat)
        time.sleep(0.4)
        shown = [w for w in desk.program_windows() if w.depth == 1 and desk.mapped(w.id)
                 and "TOOLTIP" not in desk.window_type(w.id)]
        check(not shown, f"{what} on the icon opens nothing")


def shoot_corner(desk, popup, name):
    """A picture for the documentation: the screen's top right corner, with the
    panel, its icon and a popup of the icon's."""
    left = popup.x - 12
    desk.shoot(crop=f"{1920 - left}x{popup.y + popup.height + 12}+{left}+0", name=name)


def check_second_instance(desk, folder, lock):
    second = Pelorin(desk, None, lock, folder=folder)
    box = wait_for(lambda: desk.dialogs(), 10, "the second instance's message box")[0]
    check('"Pelorin"' in desk.x("xprop", "-id", box.id, "WM_NAME"),
          'the second instance\'s box has the caption "Pelorin"')
    texts = alerts(second.process.pid)
    if texts is not None:
        check(texts and texts[0][1] == ["Pelorin has already executed"] and texts[0][2] == ["OK"],
              'it reads "Pelorin has already executed" with one OK button (AT-SPI)')
    picture = desk.shoot(box.id, name="already.png")
    check("Pelorin has already executed" in desk.read_text(picture),
          'it reads "Pelorin has already executed"')
    check(has_stop_icon(picture), "it shows a stop icon")
    check(second.process.running(), "the second instance waits for the box")
    desk.press_return(box.id)
    check(second.wait(10) == 255, "the second instance ends with 255 once dismissed")


if __name__ == "__main__":
    main()
