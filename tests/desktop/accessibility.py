"""Reading message boxes through AT-SPI, the accessibility service, which keeps
their text exactly (blanks included). It needs Debian's python3-pyatspi; without
it the tests read the boxes by OCR alone.
"""

from checks import wait_for


def atspi():
    try:
        import pyatspi  # noqa: F401  (Debian's python3-pyatspi)
        return pyatspi
    except ImportError:
        return None


def start_atspi():
    """Starts the accessibility bus: Qt joins it only if it runs when Qt starts."""
    pyatspi = atspi()
    if pyatspi is not None:
        pyatspi.Registry.getDesktop(0)


def alerts(pid, timeout=5):
    """Text of each message box that the process with this id shows, read through
    AT-SPI: [(caption, [labels], [buttons])]; None without pyatspi. A box joins
    the accessibility tree a little after it is mapped: wait for one."""
    if atspi() is None:
        return None
    try:
        return wait_for(lambda: alerts_now(pid), timeout, "a message box in the AT-SPI tree",
                        step=0.1)
    except AssertionError:
        return []


def alerts_now(pid):
    pyatspi = atspi()
    found = []
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        try:
            if app.get_process_id() != pid:
                continue
        except Exception:
            continue
        for window in app:
            if window is None or window.getRoleName() not in ("alert", "dialog"):
                continue
            labels, buttons = [], []
            collect(window, labels, buttons)
            found.append((window.name, labels, buttons))
    return found


def collect(node, labels, buttons):
    for child in node:
        if child is None:
            continue
        role = child.getRoleName()
        if role == "label" and child.name:
            labels.append(child.name)
        elif role == "push button":
            buttons.append(child.name)
        collect(child, labels, buttons)
