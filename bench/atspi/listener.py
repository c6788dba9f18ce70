"""Listens on the accessibility bus as a screen reader does: for every item a list announces,
reads its name. Prints how many it read when it is ended (SIGTERM); ends by itself when the
script that started it is gone."""
import os
import signal
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

read = 0


def on_children_changed(event):
    global read
    if event.type.startswith("object:children-changed:add") and event.any_data is not None:
        try:
            event.any_data.get_name()
            read += 1
        except GLib.Error:
            pass  # the line left the log before it was read


loop = GLib.MainLoop()
parent = os.getppid()


def stop():
    print("listener: read %d announced items" % read, file=sys.stderr)
    loop.quit()
    return GLib.SOURCE_REMOVE


def orphaned():
    if os.getppid() != parent:
        return stop()
    return GLib.SOURCE_CONTINUE


GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, stop)
GLib.timeout_add_seconds(1, orphaned)
listener = Atspi.EventListener.new(on_children_changed)
listener.register("object:children-changed")
loop.run()
