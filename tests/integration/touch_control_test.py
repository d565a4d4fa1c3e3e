"""A viewer's control lines arriving as input in a real X client: kestrio --headless on an X
server of the test's own, a viewer on loopback, and a second X client recording what it gets.
Pointer actions land at the mapped point on the virtual monitor and, after MODE mirror, on the
physical display; text arrives intact; Command becomes Control; relative motion stays inside the
displays and never drops into a display below; a server without XTest makes the host report
"INPUT NEEDS_PERMISSION" once and inject nothing."""

import base64
import re
import shutil
import time

from host_support import BIN, Host, Viewer, XServer, check, free_port, skip, wait_until
from x_input_recorder import (BUTTON1_MASK, BUTTON_PRESS, BUTTON_RELEASE, CONTROL_MASK, KEY_PRESS, MOTION,
                              InputRecorder, keysym_of, of_type, pressed_keysyms)

MONITOR = "Kestrio iPhone"
FULL_HD = (1920, 1080)
BACKSPACE, RETURN = 0xFF08, 0xFF0D


def connect(host, name):
    check(host.wait_for_line(r"^listening on port ", 15), f"the host is not listening: {host.lines}")
    viewer = Viewer(host.port)
    viewer.send_line("HELLO 2 H264 " + base64.b64encode(name.encode()).decode())
    welcome = viewer.read_control().split(" ")
    check(welcome[:3] == ["WELCOME", "2", "H264"], f"welcome {welcome}")
    viewer.drain()
    return viewer


def text_line(text):
    return "T " + base64.b64encode(text.encode("utf-8")).decode()


def monitor_rect(server, name):
    """(x, y, width, height) of the RandR monitor called `name`, or None."""
    for line in server.monitors().splitlines():
        match = re.match(r"\s*\d+: [+*]*(.+?) (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+)", line)
        if match and match.group(1) == name:
            width, height, x, y = (int(match.group(i)) for i in range(2, 6))
            return x, y, width, height
    return None


class Session:
    """One viewer steering the host, and what a second X client received."""

    def __init__(self, viewer, recorder):
        self.viewer, self.recorder = viewer, recorder

    def send(self, *lines):
        for line in lines:
            self.viewer.send_line(line)

    def until(self, predicate, what, timeout=10.0):
        events = self.recorder.wait_for(predicate, timeout)
        check(predicate(events), f"{what}: not received; got {events}")
        return self.recorder.take()

    def lines_then_marker(self, *lines):
        """Sends the lines, then a click near the bottom-right corner of the streamed display,
        which the host posts after everything the lines caused; returns the events before that
        click."""
        self.send(*lines, "C 0.99 0.99")
        events = self.until(lambda got: any(e.type == BUTTON_RELEASE and e.detail == 1 for e in got), "the marker click")
        marker = max(i for i, e in enumerate(events) if e.type == BUTTON_PRESS and e.detail == 1)
        point = (events[marker].x, events[marker].y)
        while marker > 0 and events[marker - 1].type == MOTION and (events[marker - 1].x, events[marker - 1].y) == point:
            marker -= 1  # the marker's own warp
        return events[:marker]


def presses(events, *buttons):
    return [e for e in of_type(events, BUTTON_PRESS) if not buttons or e.detail in buttons]


def pointer_actions(session, rect, where):
    """Move, click, right click, press and drag at mapped points of the display at `rect`."""
    x0, y0, width, height = rect

    def at(fx, fy):
        return x0 + round(width * fx), y0 + round(height * fy)

    # A move warps the pointer: motion, no button.
    events = session.lines_then_marker("M 0.25 0.5")
    moves = of_type(events, MOTION)
    check(moves and (moves[-1].x, moves[-1].y) == at(0.25, 0.5), f"{where}: move ended at {moves[-1:]}, not {at(0.25, 0.5)}")
    check(not presses(events), f"{where}: a move pressed a button: {events}")

    # Click and right click at their points.
    session.send("C 0.5 0.5")
    events = session.until(lambda got: of_type(got, BUTTON_RELEASE), f"{where}: click")
    down, up = of_type(events, BUTTON_PRESS), of_type(events, BUTTON_RELEASE)
    check([(e.detail, e.x, e.y) for e in down] == [(1, *at(0.5, 0.5))], f"{where}: click pressed {down}")
    check([(e.detail, e.x, e.y) for e in up] == [(1, *at(0.5, 0.5))], f"{where}: click released {up}")
    session.send("R 0.75 0.25")
    events = session.until(lambda got: of_type(got, BUTTON_RELEASE), f"{where}: right click")
    check([(e.type, e.detail, e.x, e.y) for e in of_type(events, BUTTON_PRESS, BUTTON_RELEASE)]
          == [(BUTTON_PRESS, 3, *at(0.75, 0.25)), (BUTTON_RELEASE, 3, *at(0.75, 0.25))],
          f"{where}: right click gave {events}")

    # Down, a drag, up. (Second downs and ups, and the button pairs, are the model's tests' part.)
    session.send("D 0.1 0.1")
    events = session.until(lambda got: of_type(got, BUTTON_PRESS), f"{where}: mouse down")
    check([(e.detail, e.x, e.y) for e in presses(events)] == [(1, *at(0.1, 0.1))], f"{where}: down gave {events}")
    session.send("M 0.3 0.3", "U 0.3 0.3")
    events = session.until(lambda got: of_type(got, BUTTON_RELEASE), f"{where}: mouse up")
    drags = [e for e in of_type(events, MOTION) if e.state & BUTTON1_MASK]
    check(drags and (drags[-1].x, drags[-1].y) == at(0.3, 0.3), f"{where}: no drag to {at(0.3, 0.3)}: {events}")
    released = of_type(events, BUTTON_RELEASE)
    check([(e.detail, e.x, e.y) for e in released] == [(1, *at(0.3, 0.3))], f"{where}: up gave {released}")


def scrolling(session):
    # 500 pixels at 50 pixels to a wheel click.
    events = session.lines_then_marker("S 0.5 0.5 500 0")
    wheel = presses(events, 4, 5, 6, 7)
    check(len(wheel) == 10 and {e.detail for e in wheel} in ({6}, {7}), f"scroll (500, 0) gave {wheel}")
    # The wheel scrolls on the pointer driver's tick until the viewer lets go.
    session.send("W 0 -200")
    events = session.until(lambda got: len(presses(got, 4, 5)) >= 4, "wheel (0, -200)")
    session.send("W 0 0")
    check({e.detail for e in presses(events, 4, 5, 6, 7)} in ({4}, {5}), f"wheel (0, -200) gave {events}")
    session.lines_then_marker()


def typed(events):
    """The keysyms of the keys pressed, without modifiers (the host may press Shift)."""
    return [k for k in pressed_keysyms(events) if not 0xFFE1 <= k <= 0xFFEE]


def typing(session):
    for text in ("hello", "café ñü", "😀", "한글 ok"):
        session.send(text_line(text))
        wanted = [keysym_of(c) for c in text]
        events = session.until(lambda got: len(typed(got)) >= len(wanted), f"text {text!r}", timeout=15)
        check(typed(events) == wanted, f"text {text!r} arrived as {[hex(k) for k in typed(events)]}")

    session.send("K COMMAND_DOWN", text_line("c"), "K COMMAND_UP")
    events = session.until(lambda got: any(e.keysym == ord("c") for e in of_type(got, KEY_PRESS)), "Command + c")
    c = next(e for e in of_type(events, KEY_PRESS) if e.keysym == ord("c"))
    check(c.state & CONTROL_MASK, f"Command + c arrived without Control: state {c.state:#x}")
    session.send("K BACKSPACE", "K RETURN")
    events = session.until(lambda got: len(typed(got)) >= 2, "BACKSPACE and RETURN")
    check(typed(events) == [BACKSPACE, RETURN], f"keys arrived as {[hex(k) for k in typed(events)]}")
    # Command released: a later letter carries no Control.
    session.send(text_line("x"))
    events = session.until(lambda got: typed(got), "x after COMMAND_UP")
    x = of_type(events, KEY_PRESS)[-1]
    check(x.keysym == ord("x") and not x.state & CONTROL_MASK, f"x after COMMAND_UP: {x}")


def relative_motion(session, server):
    """Two displays stacked: motion downwards stops at the upper one's bottom edge, motion
    upwards from the lower one crosses, motion right stops at the edge of the union."""
    server.xrandr("--fb", f"{FULL_HD[0]}x{2 * FULL_HD[1]}")
    server.xrandr("--setmonitor", "below", f"{FULL_HD[0]}/0x{FULL_HD[1]}/0+0+{FULL_HD[1]}", "none")
    recorder = session.recorder

    def hold(line, settle):
        """Holds the vector until the pointer stops moving, then releases it."""
        session.send(line)
        last, still_since = recorder.pointer(), time.monotonic()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            time.sleep(0.05)
            now = recorder.pointer()
            if now != last:
                last, still_since = now, time.monotonic()
            elif time.monotonic() - still_since >= settle:
                break
        session.send("N 0 0")
        return last

    recorder.warp(960, 500)
    # The display list is read again at most once a second.
    time.sleep(1.1)
    stop = hold("N 0 500", 0.5)
    check(stop == (960, FULL_HD[1] - 1), f"downward motion ended at {stop}, not at the upper display's bottom edge")
    stop = hold("N 500 0", 0.5)
    check(stop == (FULL_HD[0] - 1, FULL_HD[1] - 1), f"motion right ended at {stop}")
    # The release of the last vector may still be on its way to the host, and one more step of
    # it would move the pointer after the warp: warp again until it stays put.
    for _ in range(5):
        recorder.warp(960, 1500)
        time.sleep(0.3)
        if recorder.pointer() == (960, 1500):
            break
    stop = hold("N 0 -500", 0.5)
    check(stop == (960, 0), f"upward motion from the lower display ended at {stop}")
    server.xrandr("--delmonitor", "below")


def trusted_session(server):
    port = free_port()
    host = Host(port, env=server.environment())
    recorder = None
    viewer = None
    try:
        viewer = connect(host, "Touch")
        check(wait_until(lambda: monitor_rect(server, MONITOR), 20), f"no virtual monitor: {server.monitors()}")
        recorder = InputRecorder(server.name)
        session = Session(viewer, recorder)
        started = time.monotonic()
        pointer_actions(session, monitor_rect(server, MONITOR), "virtual monitor")
        scrolling(session)
        typing(session)
        print(f"virtual monitor: ok ({time.monotonic() - started:.1f} s)")

        session.send("MODE mirror")
        check(wait_until(lambda: monitor_rect(server, MONITOR) is None, 20), "the virtual monitor stayed after MODE mirror")
        # The recorder's window covers the grown screen; the physical display keeps its place.
        recorder.take()
        pointer_actions(session, (0, 0, *FULL_HD), "physical display")
        relative_motion(session, server)
        # One report when the first event arrived; starting the stream again for MODE reports the
        # state once more.
        check(viewer.input_reports and set(viewer.input_reports) == {"INPUT READY"}, f"INPUT reports {viewer.input_reports}")
        check(host.process.poll() is None, "the host ended")
        print("physical display: ok")
    finally:
        if recorder:
            recorder.close()
        if viewer:
            viewer.close()
        host.terminate()
        host.kill()


def untrusted_session():
    server = XServer(*FULL_HD, extra=("-extension", "XTEST"))
    port = free_port()
    host = Host(port, "--mode", "mirror", env=server.environment())
    recorder = None
    viewer = None
    try:
        viewer = connect(host, "No Touch")
        recorder = InputRecorder(server.name)
        # Starting the stream reports the state by itself; the events then add one report.
        check(wait_until(lambda: viewer.video_messages, 15), "no video without XTest")
        before = list(viewer.input_reports)
        for line in ("C 0.5 0.5", "M 0.2 0.2", text_line("abc"), "R 0.5 0.5", "K RETURN"):
            viewer.send_line(line)
        check(wait_until(lambda: len(viewer.input_reports) > len(before), 10), "no INPUT report for events without XTest")
        time.sleep(0.5)
        check(viewer.input_reports == before + ["INPUT NEEDS_PERMISSION"]
              and set(before) <= {"INPUT NEEDS_PERMISSION"}, f"INPUT reports {viewer.input_reports}")
        injected = [e for e in recorder.take() if e.type != MOTION]
        check(not injected, f"input arrived without XTest: {injected}")
        check(host.process.poll() is None, "the host ended")
        print("without XTest: ok")
    finally:
        if recorder:
            recorder.close()
        if viewer:
            viewer.close()
        host.terminate()
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
