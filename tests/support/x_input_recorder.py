"""A second X client that records the input it receives, as an application would: a focused window
over the whole screen, its events read as they come, keycodes turned into keysyms with the mapping
as it is when the event is read (a keysym given too early shows as a wrong character). As a program
(`x_input_recorder.py DISPLAY FD`) it answers a test program over the socket FD: see serve()."""

import socket
import sys
import threading
import time
from collections import namedtuple

from Xlib import X, display as xdisplay, error as xerror, xauth
from Xlib.protocol import event as xevent

_FAMILY_WILD = 0xFFFF
_best_auth = xauth.Xauthority.get_best_auth


def _best_auth_for_any_address(self, family, address, number, types=(b"MIT-MAGIC-COOKIE-1",)):
    """python-xlib passes over cookies for any address (FamilyWild), as the tests' X servers write them."""
    try:
        return _best_auth(self, family, address, number, types)
    except xerror.XNoAuthError:
        self.entries = [(family, address, *rest) if entry == _FAMILY_WILD else (entry, at, *rest)
                        for entry, at, *rest in self.entries]
        return _best_auth(self, family, address, number, types)


xauth.Xauthority.get_best_auth = _best_auth_for_any_address

KEY_PRESS, KEY_RELEASE, BUTTON_PRESS, BUTTON_RELEASE, MOTION = X.KeyPress, X.KeyRelease, X.ButtonPress, X.ButtonRelease, X.MotionNotify
BUTTON1_MASK, CONTROL_MASK, SHIFT_MASK = X.Button1Mask, X.ControlMask, X.ShiftMask

_QUIT = 0xFFFFFFFF


# detail: the keycode or button; x, y: the root position; keysym: what a key's keycode meant when
# the event was read; received: time.monotonic() then.
Event = namedtuple("Event", "type detail x y state keysym received")


class InputRecorder:
    def __init__(self, display_name):
        self._reader_display = xdisplay.Display(display_name)
        self._control = xdisplay.Display(display_name)
        screen = self._reader_display.screen()
        # The screen may have grown since the server started: its current size, not the setup block's.
        geometry = screen.root.get_geometry()
        self.window = screen.root.create_window(
            0, 0, geometry.width, geometry.height, 0, 0, X.InputOnly, X.CopyFromParent,
            override_redirect=True,
            event_mask=(X.KeyPressMask | X.KeyReleaseMask | X.ButtonPressMask | X.ButtonReleaseMask
                        | X.PointerMotionMask))
        self.window.map()
        self.window.set_input_focus(X.RevertToPointerRoot, X.CurrentTime)
        self._reader_display.sync()
        self._integer = self._control.intern_atom("INTEGER")
        self._events, self._marker_seen, self._marker_sent, self._closed = [], 0, 0, False
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _send_marker(self, marker):
        self._control.send_event(self.window, xevent.ClientMessage(window=self.window, client_type=self._integer,
                                                                   data=(32, [marker & 0xFFFFFFFF, 0, 0, 0, 0])), event_mask=0)
        self._control.flush()

    def _keysym(self, keycode, state):
        row = (self._reader_display.get_keyboard_mapping(keycode, 1) or [()])[0]
        column = 1 if state & SHIFT_MASK else 0
        return row[column] if len(row) > column else 0

    def _read(self):
        try:
            while True:
                e = self._reader_display.next_event()
                received = time.monotonic()
                if e.type == X.ClientMessage and e.data[1][0] == _QUIT:
                    break
                with self._changed:
                    if e.type == X.ClientMessage:
                        self._marker_seen = e.data[1][0]
                    elif e.type in (KEY_PRESS, KEY_RELEASE, BUTTON_PRESS, BUTTON_RELEASE, MOTION):
                        keysym = self._keysym(e.detail, e.state) if e.type in (KEY_PRESS, KEY_RELEASE) else 0
                        self._events.append(Event(e.type, e.detail, e.root_x, e.root_y, e.state, keysym, received))
                    self._changed.notify_all()
        except Exception:
            pass
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    def take(self):
        """Everything received since the last take(), up to what reached the server before this call."""
        self._marker_sent = marker = self._marker_sent + 1
        self._send_marker(marker)
        with self._changed:
            self._changed.wait_for(lambda: self._marker_seen >= marker or self._closed, timeout=10)
            events, self._events = self._events, []
        return events

    def wait_for(self, predicate, timeout=10.0):
        """Waits until predicate(events so far) holds; returns the events (not taken)."""
        with self._changed:
            self._changed.wait_for(lambda: predicate(self._events) or self._closed, timeout=timeout)
            return list(self._events)

    def mapping(self):
        """The keyboard mapping: (keycode, its keysyms) for every keycode."""
        first = self._control.display.info.min_keycode
        rows = self._control.get_keyboard_mapping(first, self._control.display.info.max_keycode - first + 1)
        return [(first + index, list(row)) for index, row in enumerate(rows)]

    def set_keysym(self, keycode, keysym):
        """Puts one keysym on a keycode, as another client of the server would."""
        self._control.change_keyboard_mapping(keycode, [[keysym]])
        self._control.sync()

    def close(self):
        if self._thread.is_alive():
            try:
                self._send_marker(_QUIT)
            except Exception:
                pass
            self._thread.join(5)
        for connection in (self._control, self._reader_display):
            try:
                connection.close()
            except Exception:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def of_type(events, *types):
    return [e for e in events if e.type in types]


def keysym_of(character):
    """Latin-1 characters are their own keysym; the rest are 0x01000000 + the code point."""
    code = ord(character)
    return code if 0x20 <= code <= 0x7E or 0xA0 <= code <= 0xFF else 0x01000000 + code


def serve(display_name, fd):
    """Answers commands, one a line, over the socket `fd`, each answer ending with a line "." (the
    first says the window holds the focus). "take": the events, one a line (type, detail, x, y,
    state, keysym); "mapping": keycode and keysyms, a line per keycode; "set KEYCODE KEYSYM";
    "keys N": once N keys have been pressed since the last take."""
    stream = socket.socket(fileno=fd).makefile("rw", encoding="ascii", newline="\n")
    with InputRecorder(display_name) as recorder:
        stream.write(".\n")
        stream.flush()
        for line in stream:
            command, *numbers = line.split()
            numbers, rows = [int(n) for n in numbers], []
            if command == "take":
                rows = [(e.type, e.detail, e.x, e.y, e.state, e.keysym) for e in recorder.take()]
            elif command == "mapping":
                rows = [(keycode, *keysyms) for keycode, keysyms in recorder.mapping()]
            elif command == "set":
                recorder.set_keysym(*numbers)
            elif command == "keys":
                recorder.wait_for(lambda got: len(of_type(got, KEY_PRESS)) >= numbers[0])
            stream.write("".join(" ".join(map(str, row)) + "\n" for row in rows) + ".\n")
            stream.flush()


if __name__ == "__main__":
    serve(sys.argv[1], int(sys.argv[2]))
