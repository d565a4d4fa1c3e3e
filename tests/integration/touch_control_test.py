"""A viewer's lines as input in a real X client (a recorder): pointer actions at the mapped point of
the virtual monitor, text intact (Korean too), Command as Control; without XTest one "INPUT
NEEDS_PERMISSION" report and nothing injected. Mapping, holding and repeating are unit tests' part."""

import base64
import re
import time

from host_support import Host, XServer, check, connect, free_port, require, wait_until

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


def start_viewer(host):
    host.line(r"^listening on port ")
    return connect(host.port, "Touch", drain=True)


def trusted_session(server):
    from x_input_recorder import BUTTON_PRESS, BUTTON_RELEASE, CONTROL_MASK, KEY_PRESS, keysym_of, of_type, pressed_keysyms
    from x_input_recorder import InputRecorder
    with Host(free_port(), env=server.environment()) as host:
        viewer = start_viewer(host)
        check(wait_until(lambda: monitor_rect(server), 20), f"no virtual monitor: {server.monitors()}")
        x0, y0, width, height = monitor_rect(server)
        recorder = InputRecorder(server.name)

        def until(predicate, what):
            events = recorder.wait_for(predicate, 15)
            check(predicate(events), f"{what}: not received; got {events}")
            return recorder.take()

        # The keysyms of the keys pressed, without modifiers (the host may press Shift).
        typed = lambda events: [k for k in pressed_keysyms(events) if not 0xFFE1 <= k <= 0xFFEE]
        for line, button, (fx, fy) in (("C 0.5 0.5", 1, (0.5, 0.5)), ("R 0.75 0.25", 3, (0.75, 0.25))):
            viewer.send_line(line)
            events = until(lambda got: of_type(got, BUTTON_RELEASE), line)
            point = (x0 + round(width * fx), y0 + round(height * fy))
            check([(e.type, e.detail, e.x, e.y) for e in of_type(events, BUTTON_PRESS, BUTTON_RELEASE)]
                  == [(BUTTON_PRESS, button, *point), (BUTTON_RELEASE, button, *point)], f"{line} gave {events}")
        for text in ("café ñü", "😀", "한글 ok"):
            viewer.send_line(text_line(text))
            wanted = [keysym_of(c) for c in text]
            events = until(lambda got: len(typed(got)) >= len(wanted), f"text {text!r}")
            check(typed(events) == wanted, f"text {text!r} arrived as {[hex(k) for k in typed(events)]}")
        for line in ("K COMMAND_DOWN", text_line("c"), "K COMMAND_UP"):
            viewer.send_line(line)
        events = until(lambda got: any(e.keysym == ord("c") for e in of_type(got, KEY_PRESS)), "Command + c")
        c = next(e for e in of_type(events, KEY_PRESS) if e.keysym == ord("c"))
        check(c.state & CONTROL_MASK, f"Command + c arrived without Control: state {c.state:#x}")
        check(set(viewer.input_reports) == {"INPUT READY"}, f"INPUT reports {viewer.input_reports}")
        check(host.process.poll() is None, "the host ended")
        recorder.close()
        viewer.close()


def untrusted_session():
    from x_input_recorder import MOTION, InputRecorder
    with XServer(*FULL_HD, extra=("-extension", "XTEST")) as server:
        with Host(free_port(), "--mode", "mirror", env=server.environment()) as host:
            viewer = start_viewer(host)
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
            recorder.close()
            viewer.close()


def main():
    require("Xvfb", "xrandr", modules=["Xlib"])
    with XServer(2 * FULL_HD[0], 2 * FULL_HD[1]) as server:
        server.run_at_full_hd()
        trusted_session(server)
    untrusted_session()
    print("touch control: ok")


if __name__ == "__main__":
    main()
