"""kestrio on a GNOME Wayland session (run inside headless_gnome.sh): extended mode adds a monitor
of the chosen size for as long as a viewer watches, mirror mode streams the compositor's own
monitor, the H.264 decodes at the streamed size, clicks, scrolls and text (Korean and emoji
included) reach a Wayland client filling the captured monitor at the mapped points, and the
window starts on Wayland."""

import base64
import os
import re
import select
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from host_support import Host, UserDirs, check, connect, free_port, key_frame, require, skip, wait_until  # noqa: E402

OBSERVER = os.environ.get("KESTRIO_INPUT_OBSERVER", "")


def monitors():
    """(product, width, height) of the monitors the compositor lists."""
    state = subprocess.run(["gdbus", "call", "--session", "--dest", "org.gnome.Mutter.DisplayConfig", "--object-path",
                            "/org/gnome/Mutter/DisplayConfig", "--method", "org.gnome.Mutter.DisplayConfig.GetCurrentState"],
                           capture_output=True, text=True, timeout=10).stdout
    return [(product, int(w), int(h)) for product, w, h in
            re.findall(r"\('[^']*', '[^']*', '([^']*)', '[^']*'\), \[\('[^']*', (\d+), (\d+)", state)]


def decoded_size(viewer):
    """Width and height of the next key frame, as ffprobe reads it."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-show_entries", "stream=width,height", "-of", "csv=p=0", "-"],
                           input=key_frame(viewer), capture_output=True, timeout=60)
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


def input_lands(viewer, width, height):
    # The compositor opens a window on the monitor that holds the pointer.
    viewer.send_line("M 0.5 0.5")
    observer = Observer(f"{width}x{height}")
    try:
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
        scrolled = lambda got: [sum(int(l.split()[i]) for l in got if l.startswith("scroll")) for i in (1, 2)]
        got = observer.take(lambda got: scrolled(got) == [-30, -100])
        check(scrolled(got) == [-30, -100], f"a scroll of 30 and 100 pixels arrived as {got}")
    finally:
        observer.close()


def main():
    require("gdbus", "ffprobe")
    if not OBSERVER:
        skip("KESTRIO_INPUT_OBSERVER is not set")
    port = free_port()
    with Host(port, "--fps", "30") as host:
        host.line(r"^sharing the GNOME Wayland desktop")
        host.line(r"^listening on port")
        check(monitors() == [("MetaVirtualMonitor", 1280, 720)], f"monitors before: {monitors()}")
        viewer = connect(port, "테스트 폰")
        # Extended: a 1920×1080 monitor, streamed at balanced's 1728 pixels across.
        check(decoded_size(viewer) == (1728, 972), "extended mode's stream size")
        check(("Virtual remote monitor", 1920, 1080) in monitors(), f"monitors while streaming: {monitors()}")
        input_lands(viewer, 1920, 1080)
        viewer.send_line("MODE mirror")
        check(wait_until(lambda: len(monitors()) == 1, 10), f"monitors after extended mode: {monitors()}")
        check(decoded_size(viewer) == (1280, 720), "mirror mode's stream size")
        input_lands(viewer, 1280, 720)
        viewer.close()
        check(host.terminate() == 0, "exit status after SIGTERM")
    # The window opens on the Wayland desktop, and the smoke test's monitor is Mutter's.
    with UserDirs() as dirs:
        smoke = subprocess.run([os.environ["KESTRIO_BIN"], "--smoke-virtual-display", "--no-port-mapping"], capture_output=True,
                               text=True, timeout=60, env=dirs.environment({**os.environ, "QT_QPA_PLATFORM": "wayland"}))
    check(smoke.returncode == 0 and re.search(r"^virtual_display_id=[1-9]\d* active=true$", smoke.stdout, re.M),
          f"smoke test: {smoke.returncode} {smoke.stdout}{smoke.stderr}")
    # A Wayland session without Mutter's services (a session bus of its own) is not shared at all,
    # and says so.
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"], stdout=subprocess.PIPE, text=True)
    try:
        address = bus.stdout.readline().strip()
        with Host(free_port(), env={**os.environ, "XDG_SESSION_TYPE": "wayland", "DBUS_SESSION_BUS_ADDRESS": address}) as host:
            host.line(r"^this Wayland session cannot be shared: no org\.gnome\.Mutter\.DisplayConfig")
            host.line(r"^지원되지 않는 Wayland 데스크톱$")
    finally:
        bus.kill()
        bus.wait()
    print("GNOME session: ok")


if __name__ == "__main__":
    main()
