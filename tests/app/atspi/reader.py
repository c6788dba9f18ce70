"""Reads the listener's window through the accessibility bus (AT-SPI), from outside its process.

Started by run.sh with the listener and the contact simulator running. Presses "Open COM Port"
and reads the port lamp's state before and after; closes the simulator's CTS contact and reads
the History line it writes, both from the list and from the list's notice of the added line.
Every wait has a time limit; exits 1 with the reason on the first thing that is not as it should be.
"""
import re
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

LINE = re.compile(r"^([01]\d|2[0-3]):[0-5]\d:[0-5]\d : CTS change to : ON$")


def fail(message):
    print("FAILED: " + message)
    sys.exit(1)


def until(what, probe, seconds=10.0, fatal=True):
    """Calls probe until it returns something true, turning the main loop meanwhile."""
    deadline = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while time.monotonic() < deadline:
        while context.pending():
            context.iteration(False)
        try:
            found = probe()
        except GLib.Error:
            found = None  # the application is still starting
        if found:
            return found
        time.sleep(0.05)
    if fatal:
        fail("timed out waiting for " + what)
    return None


def application(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def find(root, role, name):
    """The first descendant with that role and name (depth first)."""
    for i in range(root.get_child_count()):
        child = root.get_child_at_index(i)
        if child is None:
            continue
        if child.get_role_name() == role and child.get_name() == name:
            return child
        # List items have nothing below them; do not walk long lists.
        if child.get_role() != Atspi.Role.LIST:
            found = find(child, role, name)
            if found is not None:
                return found
    return None


def press(accessible, what):
    """Its first action: "Press" for a push button, "Toggle" for a check box."""
    if accessible.get_n_actions() == 0:
        fail(what + " offers no action")
    accessible.do_action(0)


def last_match(log):
    """The newest line of the list if it is the contact's line."""
    count = log.get_child_count()
    name = log.get_child_at_index(count - 1).get_name() if count > 0 else ""
    return name if LINE.match(name) else None


def main():
    Atspi.set_timeout(3000, 10000)
    added = []

    def on_children_changed(event):
        if event.type.startswith("object:children-changed:add") and event.any_data is not None:
            try:
                added.append(event.any_data.get_name())
            except GLib.Error:
                pass  # gone before it was read

    listener_app = until("the listener on the bus", lambda: application("vantor-listener"), seconds=30.0)
    sim = until("the contact simulator on the bus", lambda: application("vantor-gpi-sim"), seconds=30.0)
    # Registered once the program is on the bus: Qt's bridge reads the registered listeners
    # when it starts and only then follows new ones, so one that registers in between is missed.
    listener = Atspi.EventListener.new(on_children_changed)
    listener.register("object:children-changed")

    lamp = until("the port lamp", lambda: find(listener_app, "image", "COM port lamp"))
    server_lamp = until("the server lamp", lambda: find(listener_app, "image", "Caspar server lamp"))
    history = until("the History log", lambda: find(listener_app, "list", "History log"))
    if lamp.get_description() != "closed":
        fail("port lamp reads %r before the port is opened" % lamp.get_description())
    if server_lamp.get_description() != "not connected":
        fail("server lamp reads %r" % server_lamp.get_description())
    print("port lamp: closed; server lamp: not connected")

    press(until("the open button", lambda: find(listener_app, "push button", "Open COM Port")), "Open COM Port")
    until("the port lamp to read open", lambda: lamp.get_description() == "open")
    print("port lamp after Open COM Port: open")

    # The port takes line changes from 0.5 s after its connection on; one that comes earlier
    # only sets the levels. So the contact is closed again until its line shows up.
    line = None
    for _ in range(3):
        time.sleep(1.0)
        closed = find(sim, "check box", "Closed")
        if closed is not None:
            press(closed, "the simulator's CTS contact")
            until("the CTS contact to open", lambda: find(sim, "check box", "Open"))
        press(until("the simulator's CTS contact", lambda: find(sim, "check box", "Open")), "the CTS contact")
        line = until("the History line of the contact", lambda: last_match(history), seconds=3.0, fatal=False)
        if line:
            break
    if not line:
        fail("the History log shows no line of the contact")
    item = history.get_child_at_index(history.get_child_count() - 1)
    if item.get_role_name() != "list item":
        fail("a History line reads as a %r" % item.get_role_name())
    print("History line: %r" % line)
    if not until("the notice of the added line", lambda: any(LINE.match(n or "") for n in added), fatal=False):
        fail("no notice of the added line; notices: %r" % added)
    print("notice of the added line received")
    listener.deregister("object:children-changed")


if __name__ == "__main__":
    main()
