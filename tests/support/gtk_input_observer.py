"""A full-screen GTK 3 window with a text field over all of it, printing the input it receives, one
line each: ready, move, press, release, wheel, scroll and control as kestrio-input-observer (the Qt
one, input_observer.cpp) prints them (control: not for v, which pastes), and
  field TEXT                    what the text field holds, after each change (newlines as \\n)
  clipboard TEXT                the clipboard's text, when asked for
Standard input takes `copy TEXT` (make TEXT the clipboard's content) and `clipboard`.
Usage: gtk_input_observer.py [WIDTHxHEIGHT]   (the monitor of that size; default the first)"""

import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

BUTTONS = {1: "left", 3: "right"}


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Observer:
    def __init__(self, size):
        self.window = Gtk.Window(title="kestrio input observer")
        self.field = Gtk.TextView()
        self.window.add(self.field)
        self.clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
        self.ready = False
        display = Gdk.Display.get_default()
        monitors = [display.get_monitor(i) for i in range(display.get_n_monitors())]
        self.monitor = next((m for m in monitors if f"{m.get_geometry().width}x{m.get_geometry().height}" == size), monitors[0])
        self.field.connect("button-press-event", self.button, "press")
        self.field.connect("button-release-event", self.button, "release")
        self.field.connect("motion-notify-event", lambda _, e: say("move %d %d" % self.point(e)) and False)
        self.field.connect("scroll-event", self.scroll)
        self.window.connect("key-press-event", self.key)
        self.field.get_buffer().connect("changed", self.changed)
        self.window.connect("destroy", Gtk.main_quit)
        self.window.show_all()
        self.window.fullscreen_on_monitor(self.window.get_screen(), monitors.index(self.monitor))
        self.window.present()
        self.field.grab_focus()
        # The compositor's change of the window's state alone may bring no event: looked at again.
        GLib.timeout_add(200, self.report_ready)
        GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, self.command)

    def point(self, event):
        # Root coordinates: the screen's on X11, the window's own on Wayland (where its origin is 0, 0).
        _, x, y = self.window.get_window().get_origin()
        return round(event.x_root - x), round(event.y_root - y)

    def button(self, _, event, what):
        if event.type == Gdk.EventType.BUTTON_PRESS or what == "release":
            say("%s %d %d %s" % (what, *self.point(event), BUTTONS.get(event.button, str(event.button))))
        return True  # no menu, no selection: the next event lands as plainly as this one

    def scroll(self, _, event):
        if event.direction == Gdk.ScrollDirection.SMOOTH:
            _, dx, dy = event.get_scroll_deltas()
            # A pixel scroll comes as a tenth of its pixels.
            say("scroll %d %d" % (round(-dx * 10), round(-dy * 10)))
        else:
            steps = {Gdk.ScrollDirection.UP: (0, 1), Gdk.ScrollDirection.DOWN: (0, -1),
                     Gdk.ScrollDirection.LEFT: (1, 0), Gdk.ScrollDirection.RIGHT: (-1, 0)}
            say("wheel %d %d" % steps[event.direction])
        return True

    def key(self, _, event):
        letter = Gdk.keyval_to_lower(event.keyval)
        if event.state & Gdk.ModifierType.CONTROL_MASK and ord("a") <= letter <= ord("z") and letter != ord("v"):
            say("control " + chr(letter))
            return True
        return False

    def changed(self, buffer):
        text = buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), True)
        say("field " + text.replace("\n", "\\n"))

    def command(self, source, condition):
        line = source.readline()
        if not line:
            Gtk.main_quit()
            return False
        verb, _, argument = line.rstrip("\n").partition(" ")
        if verb == "copy":
            self.clipboard.set_text(argument, -1)
            self.clipboard.store()
        elif verb == "clipboard":
            self.clipboard.request_text(lambda _, text: say("clipboard " + (text or "")))
        return True

    def report_ready(self):
        allocation = self.window.get_allocation()
        geometry = self.monitor.get_geometry()
        state = self.window.get_window().get_state()
        # Focused as the compositor says (a seat without a keyboard yet gives no keyboard focus);
        # on an X server without a window manager nobody gives the focus: the window takes it.
        # Nor full screen: the window covers the monitor itself.
        focused = state & Gdk.WindowState.FOCUSED or self.window.is_active()
        full = state & Gdk.WindowState.FULLSCREEN
        if "X11" in type(self.window.get_window()).__name__:
            if not focused:
                self.window.get_window().focus(Gdk.CURRENT_TIME)
            if not full:
                self.window.move(geometry.x, geometry.y)
                self.window.resize(geometry.width, geometry.height)
                full = True
        if focused and full and (allocation.width, allocation.height) == (geometry.width, geometry.height):
            say("ready %d %d" % (allocation.width, allocation.height))
            return False
        return True

def main():
    Observer(sys.argv[1] if len(sys.argv) > 1 else "")
    Gtk.main()


if __name__ == "__main__":
    main()
