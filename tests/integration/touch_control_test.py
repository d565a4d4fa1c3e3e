"""A viewer's control lines arriving as input in a real X client: kestrio --headless on an X server
of the test's own, a viewer on loopback, and a second X client recording what it gets. Pointer
actions land at the mapped point on the virtual monitor, text arrives intact (Korean too), Command
becomes Control; a server without XTest makes the host report "INPUT NEEDS_PERMISSION" once and
inject nothing. How events map, hold and repeat is the model's and the poster's tests' part."""

import base64
import re
import shutil
import time

from host_support import BIN, Host, XServer, check, connect, free_port, skip, wait_until
from x_input_recorder import (BUTTON_PRESS, BUTTON_RELEASE, CONTROL_MASK, KEY_PRESS, MOTION, InputRecorder, keysym_of,
                              of_type, pressed_keysyms)

MONITOR = "Kestrio iPhone"
FULL_HD = (1920, 1080)


def text_line(text):
    return "T " + base64.b64encode(text.encode("utf-8")).decode()


def monitor_rect(server):
    """(x, y, width, height) of the virtual monitor, or None."""
    for line in server.monitors().splitlines():
        match = re.match(r"\s*\d+: [+*]*(.+?) (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+)", line)
        if match and match.group(1) == MONITOR:
            return tuple(int(match.group(i)) for i in (4, 5, 2, 3))
    return None


def start_viewer(host, name):
    check(host.wait_for_line(r"^listening on port ", 15), f"the host is not listening: {host.lines}")
    return connect(host.port, name, drain=True)


def until(recorder, predicate, what, timeout=15.0):
    events = recorder.wait_for(predicate, timeout)
    check(predicate(events), f"{what}: not received; got {events}")
    return recorder.take()


def typed(events):
    """The keysyms of the keys pressed, without modifiers (the host may press Shift)."""
    return [k for k in pressed_keysyms(events) if not 0xFFE1 <= k <= 0xFFEE]


def trusted_session(server):
    host = Host(free_port(), env=server.environment())
    recorder = viewer = None
    try:
        viewer = start_viewer(host, "Touch")
        check(wait_until(lambda: monitor_rect(server), 20), f"no virtual monitor: {server.monitors()}")
        x0, y0, width, height = monitor_rect(server)
        recorder = InputRecorder(server.name)

        # A click and a right click at their mapped points.
        for line, button, (fx, fy) in (("C 0.5 0.5", 1, (0.5, 0.5)), ("R 0.75 0.25", 3, (0.75, 0.25))):
            viewer.send_line(line)
            events = until(recorder, lambda got: of_type(got, BUTTON_RELEASE), line)
            point = (x0 + round(width * fx), y0 + round(height * fy))
            check([(e.type, e.detail, e.x, e.y) for e in of_type(events, BUTTON_PRESS, BUTTON_RELEASE)]
                  == [(BUTTON_PRESS, button, *point), (BUTTON_RELEASE, button, *point)], f"{line} gave {events}")

        for text in ("café ñü", "😀", "한글 ok"):
            viewer.send_line(text_line(text))
            wanted = [keysym_of(c) for c in text]
            events = until(recorder, lambda got: len(typed(got)) >= len(wanted), f"text {text!r}")
            check(typed(events) == wanted, f"text {text!r} arrived as {[hex(k) for k in typed(events)]}")

        viewer.send_line("K COMMAND_DOWN")
        viewer.send_line(text_line("c"))
        viewer.send_line("K COMMAND_UP")
        events = until(recorder, lambda got: any(e.keysym == ord("c") for e in of_type(got, KEY_PRESS)), "Command + c")
        c = next(e for e in of_type(events, KEY_PRESS) if e.keysym == ord("c"))
        check(c.state & CONTROL_MASK, f"Command + c arrived without Control: state {c.state:#x}")
        check(set(viewer.input_reports) == {"INPUT READY"}, f"INPUT reports {viewer.input_reports}")
        check(host.process.poll() is None, "the host ended")
    finally:
        if recorder:
            recorder.close()
        if viewer:
            viewer.close()
        host.kill()


def untrusted_session():
    server = XServer(*FULL_HD, extra=("-extension", "XTEST"))
    host = Host(free_port(), "--mode", "mirror", env=server.environment())
    recorder = viewer = None
    try:
        viewer = start_viewer(host, "No Touch")
        recorder = InputRecorder(server.name)
        # Starting the stream reports the state by itself; the events then add one report.
        check(wait_until(lambda: viewer.video_messages, 15), "no video without XTest")
        before = list(viewer.input_reports)
        for line in ("C 0.5 0.5", "M 0.2 0.2", text_line("abc"), "R 0.5 0.5", "K RETURN"):
            viewer.send_line(line)
        check(wait_until(lambda: len(viewer.input_reports) > len(before), 10), "no INPUT report for events without XTest")
        time.sleep(0.5)
        check(viewer.input_reports == before + ["INPUT NEEDS_PERMISSION"] and set(before) <= {"INPUT NEEDS_PERMISSION"},
              f"INPUT reports {viewer.input_reports}")
        injected = [e for e in recorder.take() if e.type != MOTION]
        check(not injected, f"input arrived without XTest: {injected}")
        check(host.process.poll() is None, "the host ended")
    finally:
        if recorder:
            recorder.close()
        if viewer:
            viewer.close()
        host.kill()
        server.close()


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    for tool in ("Xvfb", "xrandr"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    try:
        import Xlib  # noqa: F401
    except ImportError:
        skip("python3-xlib is not installed")
    server = XServer(2 * FULL_HD[0], 2 * FULL_HD[1])
    try:
        server.run_at_full_hd()
        trusted_session(server)
    finally:
        server.close()
    untrusted_session()
    print("touch control: ok")


if __name__ == "__main__":
    main()
