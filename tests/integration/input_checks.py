"""Checks shared by the end-to-end tests of the desktop backends: the size a stream decodes at, one
table of input checks whose events from a viewer must reach a client of the test's own that fills
the captured monitor (a Qt one, kestrio-input-observer, or a GTK 3 one, gtk_input_observer.py),
and the first touch after a viewer connects or switches modes."""

import base64
import contextlib
import os
import re
import select
import shutil
import subprocess
import tempfile
import time

from host_support import Host, UserDirs, check, connect, free_port, key_frame, skip, wait_until

QT_OBSERVER = os.environ.get("KESTRIO_INPUT_OBSERVER", "")
GTK_OBSERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "gtk_input_observer.py")
TOOLKITS = ("qt", "gtk")
TEXT = "Hi 한글, ñ 😀!"


def require_observers():
    if not QT_OBSERVER:
        skip("KESTRIO_INPUT_OBSERVER is not set")
    probe = subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version('Gtk', '3.0')"], capture_output=True)
    if probe.returncode != 0:
        skip("GTK 3 for Python (gir1.2-gtk-3.0, python3-gi) is not installed")


def decoded_size(viewer):
    """Width and height of the next key frame, as ffprobe reads it. Mutter may send a monitor's
    first picture only once something on it changes (the README's known limit; seen under load
    also for a new virtual monitor): a viewer that waited in vain moves the pointer somewhere new
    and asks again, twice at most."""
    for nudge in (None, "0.45 0.45", "0.5 0.5"):
        if nudge:
            viewer.send_line("M " + nudge)
            viewer.send_line("KEYFRAME")
        try:
            frame = key_frame(viewer)
            break
        except TimeoutError:
            if nudge == "0.5 0.5":
                raise
    probe = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-show_entries", "stream=width,height", "-of", "csv=p=0", "-"],
                           input=frame, capture_output=True, timeout=60)
    check(probe.returncode == 0, f"ffprobe: {probe.stderr.decode(errors='replace')}")
    return tuple(int(v) for v in probe.stdout.decode().strip().split(","))


def size_becomes(viewer, size, timeout=20):
    """The stream comes to `size` (the last stream goes on until the next starts); else the sizes seen."""
    seen, deadline = [], time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen.append(decoded_size(viewer))
        if seen[-1] == size:
            return True
        time.sleep(0.5)
        viewer.send_line("KEYFRAME")
    return seen


@contextlib.contextmanager
def busy():
    """Two busy loops beside the test (as many as this kind of machine has cores), ended with it."""
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(2)]
    try:
        yield
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()


class Observer:
    """`toolkit`: qt or gtk; `env`: the display's environment, Wayland's unless it names an X display."""

    def __init__(self, screen, toolkit="qt", env=None):
        env = dict(os.environ if env is None else env)
        x11 = "WAYLAND_DISPLAY" not in env
        env.update(QT_QPA_PLATFORM="xcb" if x11 else "wayland", GDK_BACKEND="x11" if x11 else "wayland")
        command = [QT_OBSERVER, screen] if toolkit == "qt" else ["/usr/bin/python3", GTK_OBSERVER, screen]
        # GTK looks for the display only where a runtime folder is set, even given its full path.
        self.runtime = None
        if not x11 and "XDG_RUNTIME_DIR" not in env:
            self.runtime = tempfile.mkdtemp(prefix="kestrio-observer-")
            env["XDG_RUNTIME_DIR"] = self.runtime
        self.toolkit = toolkit
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lines, self.pending = [], b""

    def read(self):
        while select.select([self.process.stdout], [], [], 0.05)[0]:
            data = os.read(self.process.stdout.fileno(), 65536)
            if not data:
                break
            *complete, self.pending = (self.pending + data).split(b"\n")
            self.lines.extend(line.decode() for line in complete)
        return self.lines

    def take(self, until, timeout=10, required=True):
        found = wait_until(lambda: until(self.read()), timeout)
        got, self.lines = self.lines, []
        check(found or not required, f"{self.toolkit} observer saw {got}")
        return got

    def tell(self, line):
        """GTK's observer only: `copy TEXT` or `clipboard`."""
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def close(self):
        self.process.kill()
        self.process.wait()
        if self.runtime:
            shutil.rmtree(self.runtime, ignore_errors=True)


def typed(lines):
    """What the observer's text field holds (GTK), or what its keys typed and pastes brought (Qt)."""
    fields = [line[6:] for line in lines if line.startswith("field ")]
    if fields:
        return fields[-1].replace("\\n", "\n")
    text = ""
    for line in lines:
        if line.startswith(("text ", "paste ")):
            piece = line.split(" ", 1)[1]
            text = text[:-1] if piece == "\\b" else text + piece.replace("\\n", "\n")
    return text


def send_text(viewer, text):
    viewer.send_line("T " + base64.b64encode(text.encode()).decode())


def input_lands(viewer, width, height, toolkit="qt", env=None, scroll=("scroll", [-30, -100]), shown=None, texts=1, clipboard=False):
    """The table of input checks, against a client of `toolkit` full screen on the captured monitor.
    `scroll`: what a scroll of 30 and 100 pixels is to arrive as (smooth pixels, or wheel clicks);
    `shown`: called with the observer's process once started, to see that it gets the focus;
    `texts`: how many times the text is sent (1 s apart), with two busy loops beside;
    `clipboard`: the clipboard's content before (GTK's observer copies it) is there again after."""
    # The compositor opens a window on the monitor that holds the pointer.
    viewer.send_line("M 0.5 0.5")
    observer = Observer(f"{width}x{height}", toolkit, env)
    try:
        if shown:
            shown(observer.process)
        observer.take(lambda got: any(l.startswith("ready") for l in got))
        # The compositor may still be placing the window: it is in place once moves to two corners
        # land where they should, twice running.
        seen = []
        def lands():
            for f in (0.25, 0.75):
                viewer.send_line(f"M {f} {f}")
                seen[:] = observer.take(lambda got: got, 1, required=False)
                if seen[-1:] != [f"move {round(width * f)} {round(height * f)}"]:
                    return False
            return True
        check(wait_until(lambda: lands() and lands(), 15), f"pointer moves never landed where they should: last saw {seen}")
        for line, expected in (("C 0.5 0.25", f"press {width // 2} {height // 4} left"),
                               ("R 0.25 0.75", f"press {width // 4} {height * 3 // 4} right")):
            viewer.send_line(line)
            clicks = observer.take(lambda got: any(l.startswith("release") for l in got))
            check(expected in clicks, f"{toolkit}: {line} gave {clicks}")
        viewer.send_line("K COMMAND_DOWN")
        send_text(viewer, "c")
        viewer.send_line("K COMMAND_UP")
        got = observer.take(lambda got: got)
        check(got == ["control c"], f"{toolkit}: Command + c arrived as {got}")
        viewer.send_line("S 0.5 0.5 -30 -100")
        kind, amounts = scroll
        scrolled = lambda got: [sum(int(l.split()[i]) for l in got if l.startswith(kind)) for i in (1, 2)]
        got = observer.take(lambda got: scrolled(got) == amounts)
        check(scrolled(got) == amounts, f"{toolkit}: a scroll of 30 and 100 pixels arrived as {got}")
        # Keys, then the text: every piece in the order sent, whatever the load.
        if clipboard:
            observer.tell("copy 사용자의 클립보드")
        send_text(viewer, "ab")
        viewer.send_line("K BACKSPACE")
        viewer.send_line("K RETURN")
        got = observer.take(lambda got: typed(got).endswith("\n"))
        check(typed(got) == "a\n", f"{toolkit}: a, b, Backspace and Return arrived as {got}")
        so_far = typed(got) if toolkit == "gtk" else ""  # GTK's field shows all it holds
        with busy():
            for _ in range(texts):
                send_text(viewer, TEXT)
                time.sleep(1)
            expected = so_far + TEXT * texts
            got = observer.take(lambda got: typed(got) == expected or len(typed(got)) >= len(expected), 20)
        check(typed(got) == expected, f"{toolkit}: {texts} × {TEXT!r} under load arrived as {typed(got)!r}")
        if clipboard:
            # Offered again once the last paste was read: asked until then.
            seen = []
            def restored():
                observer.tell("clipboard")
                seen[:] = observer.take(lambda got: any(l.startswith("clipboard ") for l in got))
                return "clipboard 사용자의 클립보드" in seen
            check(wait_until(restored, 5, 0.2), f"the user's clipboard afterwards: {seen}")
    finally:
        observer.close()


def streams_size(width, height):
    """What a mode streams on the Wayland desktops: mirror the monitor as it is, extended a
    1920×1080 monitor at balanced's 1728 pixels across."""
    return lambda viewer, mode: size_becomes(viewer, (width, height) if mode == "mirror" else (1728, 972))


def first_touch_lands(width, height, toolkit, env=None, host_env=None, shown=None, streams=None):
    """A client full screen on the first monitor before a viewer connects gets the viewer's first
    touch after it connects, and the first after a switch to extended mode and back (on a seat
    without a pointer of its own, the host's pointer must be there before the touch, not come
    with it). `streams(viewer, mode)`: true once the viewer gets the mode's stream, else what it
    saw."""
    streams = streams or streams_size(width, height)
    observer = Observer(f"{width}x{height}", toolkit, env)
    try:
        if shown:
            shown(observer.process)
        observer.take(lambda got: any(l.startswith("ready") for l in got))
        port = free_port()
        with Host(port, "--fps", "30", "--mode", "mirror", env=host_env) as host:
            host.line(r"^listening on port")
            viewer = connect(port, "첫 터치")
            for after in ("connecting", "switching modes"):
                check((seen := streams(viewer, "mirror")) is True, f"mirror mode's stream after {after}: {seen}")
                viewer.send_line("C 0.5 0.25")
                clicks = observer.take(lambda got: any(l.startswith("release") for l in got))
                expected = (width // 2, height // 4)
                presses = [tuple(int(n) for n in l.split()[1:3]) for l in clicks if l.startswith("press") and l.endswith("left")]
                check(any(abs(x - expected[0]) <= 3 and abs(y - expected[1]) <= 3 for x, y in presses),
                      f"{toolkit}: the first touch after {after} gave {clicks}")
                viewer.send_line("MODE virtualDisplay")
                check((seen := streams(viewer, "virtualDisplay")) is True, f"extended mode's stream: {seen}")
                viewer.send_line("MODE mirror")
            viewer.close()
            check(host.terminate() == 0, "exit status after SIGTERM")
    finally:
        observer.close()


def window_and_virtual_display_start():
    """The window opens on the Wayland desktop, and the smoke test makes a virtual monitor there, its one line alone on standard output."""
    with UserDirs() as dirs:
        smoke = subprocess.run([os.environ["KESTRIO_BIN"], "--smoke-virtual-display", "--no-port-mapping"], capture_output=True,
                               text=True, timeout=60, env=dirs.environment({**os.environ, "QT_QPA_PLATFORM": "wayland"}))
    check(smoke.returncode == 0 and re.fullmatch(r"virtual_display_id=[1-9]\d* active=true\n", smoke.stdout),
          f"smoke test: {smoke.returncode} {smoke.stdout}{smoke.stderr}")
