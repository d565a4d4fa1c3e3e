"""Checks shared by the end-to-end tests of the Wayland backends: the size a stream decodes at, and
input from a viewer reaching a Wayland client of the test's own (kestrio-input-observer) that
fills the captured monitor."""

import base64
import os
import re
import select
import subprocess

from host_support import Host, UserDirs, check, connect, free_port, key_frame, wait_until

OBSERVER = os.environ.get("KESTRIO_INPUT_OBSERVER", "")


def decoded_size(viewer):
    """Width and height of the next key frame, as ffprobe reads it. Mutter may send a monitor's
    first picture only once something on it changes (the README's known limit; seen under load
    also for a new virtual monitor): a viewer that waited in vain moves the pointer and asks
    again, once."""
    try:
        frame = key_frame(viewer)
    except TimeoutError:
        viewer.send_line("M 0.5 0.5")
        viewer.send_line("KEYFRAME")
        frame = key_frame(viewer)
    probe = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-show_entries", "stream=width,height", "-of", "csv=p=0", "-"],
                           input=frame, capture_output=True, timeout=60)
    check(probe.returncode == 0, f"ffprobe: {probe.stderr.decode(errors='replace')}")
    return tuple(int(v) for v in probe.stdout.decode().strip().split(","))


class Observer:
    def __init__(self, screen):
        self.process = subprocess.Popen([OBSERVER, screen], env={**os.environ, "QT_QPA_PLATFORM": "wayland"},
                                        stdout=subprocess.PIPE)
        self.lines, self.pending = [], b""

    def read(self):
        while select.select([self.process.stdout], [], [], 0.05)[0]:
            data = os.read(self.process.stdout.fileno(), 65536)
            if not data:
                break
            *complete, self.pending = (self.pending + data).split(b"\n")
            self.lines.extend(line.decode() for line in complete)
        return self.lines

    def take(self, until, timeout=10):
        found = wait_until(lambda: until(self.read()), timeout)
        got, self.lines = self.lines, []
        check(found, f"observer saw {got}")
        return got

    def close(self):
        self.process.kill()
        self.process.wait()


def typed(lines):
    return "".join(line.split(" ", 1)[1].replace("\\n", "\n") for line in lines if line.startswith(("text ", "paste ")))


def input_lands(viewer, width, height, scroll=("scroll", [-30, -100]), shown=None):
    """`scroll`: what a scroll of 30 and 100 pixels is to arrive as (smooth pixels, or wheel clicks);
    `shown`: called with the observer's process once started, to see that it gets the focus."""
    # The compositor opens a window on the monitor that holds the pointer.
    viewer.send_line("M 0.5 0.5")
    observer = Observer(f"{width}x{height}")
    try:
        if shown:
            shown(observer.process)
        observer.take(lambda got: any(l.startswith("ready") for l in got))
        # The compositor may still be placing the window: it is in place once moves to two corners
        # land where they should, twice running.
        def lands():
            for f in (0.25, 0.75):
                viewer.send_line(f"M {f} {f}")
                if observer.take(lambda got: got, 1)[-1:] != [f"move {round(width * f)} {round(height * f)}"]:
                    return False
            return True
        check(wait_until(lambda: lands() and lands(), 15), "pointer moves never landed where they should")
        for line, expected in (("C 0.5 0.25", f"press {width // 2} {height // 4} left"),
                               ("R 0.25 0.75", f"press {width // 4} {height * 3 // 4} right")):
            viewer.send_line(line)
            clicks = observer.take(lambda got: any(l.startswith("release") for l in got))
            check(expected in clicks, f"{line} gave {clicks}")
        text = "Hi 한글, ñ 😀!"
        viewer.send_line("T " + base64.b64encode(text.encode()).decode())
        got = observer.take(lambda got: typed(got) == text or typed(got).endswith("!"))
        check(typed(got) == text, f"{text!r} arrived as {got}")
        viewer.send_line("K COMMAND_DOWN")
        viewer.send_line("T " + base64.b64encode(b"c").decode())
        viewer.send_line("K COMMAND_UP")
        got = observer.take(lambda got: got)
        check(got == ["control c"], f"Command + c arrived as {got}")
        viewer.send_line("S 0.5 0.5 -30 -100")
        kind, amounts = scroll
        scrolled = lambda got: [sum(int(l.split()[i]) for l in got if l.startswith(kind)) for i in (1, 2)]
        got = observer.take(lambda got: scrolled(got) == amounts)
        check(scrolled(got) == amounts, f"a scroll of 30 and 100 pixels arrived as {got}")
    finally:
        observer.close()


def first_touch_lands(width, height, shown=None, switches=True):
    """A client full screen on the first output before a viewer connects gets the viewer's first
    touch after it connects, and (`switches`) the first after a switch to extended mode and back
    (on a seat without a pointer of its own, the host's pointer must be there before the touch,
    not come with it)."""
    observer = Observer(f"{width}x{height}")
    try:
        if shown:
            shown(observer.process)
        observer.take(lambda got: any(l.startswith("ready") for l in got))
        port = free_port()
        with Host(port, "--fps", "30", "--mode", "mirror") as host:
            host.line(r"^listening on port")
            viewer = connect(port, "첫 터치")
            for after in ("connecting", "switching modes")[:2 if switches else 1]:
                check(decoded_size(viewer) == (width, height), f"mirror mode's stream size after {after}")
                viewer.send_line("C 0.5 0.25")
                clicks = observer.take(lambda got: any(l.startswith("release") for l in got))
                check(f"press {width // 2} {height // 4} left" in clicks, f"the first touch after {after} gave {clicks}")
                viewer.send_line("MODE virtualDisplay")
                check(decoded_size(viewer) == (1728, 972), "extended mode's stream size")
                viewer.send_line("MODE mirror")
            viewer.close()
    finally:
        observer.close()


def window_and_virtual_display_start():
    """The window opens on the Wayland desktop, and the smoke test makes a virtual monitor there, its one line alone on standard output."""
    with UserDirs() as dirs:
        smoke = subprocess.run([os.environ["KESTRIO_BIN"], "--smoke-virtual-display", "--no-port-mapping"], capture_output=True,
                               text=True, timeout=60, env=dirs.environment({**os.environ, "QT_QPA_PLATFORM": "wayland"}))
    check(smoke.returncode == 0 and re.fullmatch(r"virtual_display_id=[1-9]\d* active=true\n", smoke.stdout),
          f"smoke test: {smoke.returncode} {smoke.stdout}{smoke.stderr}")
