"""Shared pieces for driving the kestrio executable from tests and benches."""

import base64
import json
import math
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

SOURCE = os.environ.get("KESTRIO_SOURCE", "")
BIN = os.environ.get("KESTRIO_BIN", "")
SERVICES = os.path.join(SOURCE, "scripts", "services.sh")
SKIP = 77
# The input recorder, which the X11 tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

# The hosts a test starts, and the tools it runs, use the tests' own bus and avahi-daemon from
# scripts/services.sh as their system bus, never the machine's: a desktop's daemon would announce
# the tests' services on the real network.
SERVICES_BUS = os.path.join(os.environ.get("KESTRIO_SERVICES_STATE_DIR") or "/run/kestrio-test-services",
                            "system_bus_socket")
os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + SERVICES_BUS


def skip(reason):
    print("SKIP:", reason)
    sys.exit(SKIP)


def require(*tools, modules=(), root=False):
    if not BIN:
        skip("KESTRIO_BIN is not set")
    if root and os.geteuid() != 0:
        skip("network namespaces need root")
    for tool in tools:
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    for module in modules:
        try:
            __import__(module)
        except ImportError:
            skip(f"{module} is not installed")


def check(condition, message):
    if not condition:
        print("FAIL:", message)
        steps = [f"{os.path.basename(frame.filename)}:{frame.lineno} {frame.name}"
                 for frame in traceback.extract_stack()[:-1]]
        print("  at", " <- ".join(reversed(steps)))
        sys.exit(1)


def wait_until(condition, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return None


def free_port():
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
        probe.bind(("::", 0))
        return probe.getsockname()[1]


def require_mdns():
    probe = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
                            "org.freedesktop.Avahi.Server.GetState"], capture_output=True, text=True)
    if os.path.exists(SERVICES) and probe.returncode == 0 and "int32 2" in probe.stdout:
        return
    if os.environ.get("KESTRIO_REQUIRE_MDNS") == "1":
        print(f"FAIL: no avahi-daemon on the tests' bus at {SERVICES_BUS}; run scripts/services.sh start")
        sys.exit(1)
    skip(f"no avahi-daemon on the tests' bus at {SERVICES_BUS} (scripts/services.sh start)")


def services(*arguments):
    subprocess.run([SERVICES, *arguments], check=True)


def browse(service_type="_kestrio._tcp"):
    """Resolved (name, port) pairs as an independent browser sees them; a browse that hangs on a
    resolve the daemon never finishes (a service that went meanwhile) counts as one that saw nothing."""
    result = subprocess.run([SERVICES, "mdns-exec", "timeout", "10", "avahi-browse", "-rpt", service_type],
                            capture_output=True, timeout=30)
    found = set()
    for fields in (line.split(";") for line in result.stdout.decode("latin-1").splitlines()):
        if fields[0] == "=" and len(fields) >= 9:
            # Bytes outside printable ASCII, and separators, come as \DDD.
            name = re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]), fields[3].encode("latin-1"))
            found.add((name.decode("utf-8", "replace"), int(fields[8])))
    return found


class Closing:
    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class UserDirs(Closing):
    """Private XDG_CONFIG_HOME (settings) and XDG_RUNTIME_DIR (single-instance record) for the hosts a
    test starts, which would otherwise use the real user's settings and end the user's own host."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kestrio-test-")
        self.config_home = os.path.join(self.root, "config")
        self.runtime_dir = os.path.join(self.root, "runtime")
        self.settings_folder = os.path.join(self.config_home, "kestrio")
        self.settings_file = os.path.join(self.settings_folder, "settings.json")
        self.pid_file = os.path.join(self.runtime_dir, "kestrio", "kestrio.pid")
        for folder in (self.config_home, self.runtime_dir):
            os.mkdir(folder, 0o700)  # private to the user, as a session manager makes them

    def environment(self, base=None):
        return {**(os.environ if base is None else base), "XDG_CONFIG_HOME": self.config_home,
                "XDG_RUNTIME_DIR": self.runtime_dir}

    def settings(self):
        try:
            with open(self.settings_file, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def store(self, **values):
        stored = {**self.settings(), **values}
        os.makedirs(self.settings_folder, exist_ok=True)
        with open(self.settings_file, "w", encoding="utf-8") as f:
            json.dump(stored, f)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


# Asking a real router on this machine's network to open a port is no test's business.
NO_MAPPING = "--no-port-mapping"


def run_kestrio(*arguments, env=None, dirs=None):
    """Runs kestrio to its end in private user folders (fresh ones unless `dirs` is given)."""
    with UserDirs() as own:
        return subprocess.run([BIN, *arguments, NO_MAPPING], env=(dirs or own).environment(env), capture_output=True,
                              text=True, timeout=60)


class Host(Closing):
    """kestrio --headless with its output collected, in private user folders (`dirs`, or its own,
    removed when it is killed). `env` replaces the environment it starts from."""

    def __init__(self, port, *extra, env=None, dirs=None, port_mapping=False, command=()):
        self.port, self.lines, self._pending = port, [], b""
        self._own_dirs = dirs is None
        self.dirs = dirs or UserDirs()
        try:
            self.process = subprocess.Popen([*command, BIN, "--headless", "--port", str(port),
                                             *([] if port_mapping else [NO_MAPPING]), *extra],
                                            env=self.dirs.environment(env), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except OSError:
            if self._own_dirs:
                self.dirs.close()
            raise

    def read_lines(self, timeout=0.1):
        if select.select([self.process.stdout], [], [], timeout)[0]:
            *complete, self._pending = (self._pending + os.read(self.process.stdout.fileno(), 65536)).split(b"\n")
            self.lines.extend(line.decode("utf-8", "replace") for line in complete)
        return self.lines

    def wait_for_line(self, pattern, timeout=10.0, since=0):
        """The first line from index `since` on that matches, or None after `timeout`."""
        regex = re.compile(pattern)
        return wait_until(lambda: next((l for l in self.read_lines()[since:] if regex.search(l)), None), timeout)

    def line(self, pattern, timeout=15.0):
        found = self.wait_for_line(pattern, timeout)
        check(found, f"no line matching {pattern!r}: {self.lines}")
        return found

    def wait_for_status(self, english_title, timeout=10.0, since=0):
        """(index, lines) of the first status block (titles, then details, Korean and English) from
        line `since` on with this English title, or None after `timeout`."""
        def block():
            lines = self.read_lines()
            return next(((i - 1, lines[i - 1:i + 3]) for i in range(max(since, 1), len(lines) - 2)
                         if lines[i] == english_title), None)
        return wait_until(block, timeout)

    def terminate(self, timeout=10.0):
        self.process.terminate()
        return self.process.wait(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self._own_dirs:
            self.dirs.close()

    close = kill


class Viewer:
    """A minimal viewer: sends lines, reads length-prefixed messages. The host's unprompted
    "INPUT ..." reports, which can come at any time, are kept in `input_reports`."""

    def __init__(self, port, host="127.0.0.1", sock=None):
        self.sock = sock or socket.create_connection((host, port), timeout=10)
        self.buffer, self.input_reports, self.video_messages = b"", [], 0

    def send_line(self, line):
        self.sock.sendall(line.encode("utf-8") + b"\n")

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("host closed the connection")
        self.buffer += chunk

    def read_message(self):
        while len(self.buffer) < 4 or len(self.buffer) < 4 + struct.unpack(">I", self.buffer[:4])[0]:
            self._fill()
        length = 4 + struct.unpack(">I", self.buffer[:4])[0]
        payload, self.buffer = self.buffer[4:length], self.buffer[length:]
        if payload[:1] == b"\x03" and payload[1:].startswith(b"INPUT "):
            self.input_reports.append(payload[1:].decode("utf-8"))
            return None
        return payload

    def read_control(self):
        while True:
            payload = self.read_message()
            if payload and payload[:1] == b"\x03":
                return payload[1:].decode("utf-8")

    def drain(self):
        """Reads what the host sends on a thread of its own until it closes, counting video messages."""
        def run():
            self.sock.settimeout(None)
            try:
                while True:
                    payload = self.read_message()
                    self.video_messages += payload is not None and payload[:1] != b"\x03"
            except (EOFError, OSError):
                pass
        threading.Thread(target=run, daemon=True).start()

    def next_video(self, timeout=10.0):
        """The next message that is not a control line; fails the test when none comes in time."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
                payload = self.read_message()
                if payload and payload[:1] != b"\x03":
                    return payload
        except socket.timeout:
            check(False, f"no video packet within {timeout} s")
        finally:
            self.sock.settimeout(10)

    def closed_by_host(self, timeout=10.0, unanswered=False):
        """True once the host has closed the connection; with `unanswered`, only if it sent nothing
        (a close with lines left unread is then a reset, which counts as closed)."""
        self.sock.settimeout(timeout)
        try:
            while chunk := self.sock.recv(65536):
                if unanswered:
                    return False
            return True
        except ConnectionResetError:
            return unanswered
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()


def hello(name, identifier=None, codec="H264"):
    return " ".join(["HELLO 2", codec, *(base64.b64encode(field.encode()).decode() for field in (name, identifier) if field)])


def connect(port, name, drain=False, host="127.0.0.1"):
    """A viewer past its handshake as `name`; with `drain`, reading what follows on a thread of its own."""
    viewer = Viewer(port, host)
    viewer.send_line(hello(name))
    welcome = viewer.read_control().split(" ")
    check(welcome[:3] == ["WELCOME", "2", "H264"], f"welcome {welcome}")
    if drain:
        viewer.drain()
    return viewer


def video_packet(payload):
    """An H.264 packet as (key, the Annex B stream of its parameter sets and NAL units)."""
    check(payload[0] == 2, f"not an H.264 packet: kind {payload[0]}, starts {payload[:4].hex()}, {len(payload)} bytes")
    offset, units = 2, []
    for size_bytes in (2, 2):
        size = int.from_bytes(payload[offset:offset + size_bytes], "big")
        units.append(payload[offset + size_bytes:offset + size_bytes + size])
        offset += size_bytes + size
    while offset + 4 <= len(payload):
        size = int.from_bytes(payload[offset:offset + 4], "big")
        units.append(payload[offset + 4:offset + 4 + size])
        offset += 4 + size
    check(offset == len(payload), "NAL lengths do not add up to the frame data")
    return payload[1], b"".join(b"\0\0\0\1" + unit for unit in units if unit), units[0], units[1]


def first_key_frame(viewer):
    """The viewer's first video packet, which must be a key frame with both parameter sets, as Annex B."""
    key, stream, sps, pps = video_packet(viewer.next_video(timeout=15))
    check(key == 1 and sps and sps[0] & 0x1F == 7 and pps and pps[0] & 0x1F == 8,
          f"the first video packet is not a key frame with both parameter sets: {key} {sps[:1]} {pps[:1]}")
    return stream


def ffmpeg(tool, stream, *arguments):
    """`tool` (ffprobe or ffmpeg) run on an Annex B H.264 stream; fails the test when it fails."""
    with tempfile.NamedTemporaryFile(suffix=".h264") as f:
        f.write(stream)
        f.flush()
        result = subprocess.run([tool, "-v", "error", "-f", "h264", *(["-i"] if tool == "ffmpeg" else []), f.name,
                                 *arguments], capture_output=True, timeout=60)
    check(result.returncode == 0, f"{tool}: {result.stderr.decode(errors='replace')}")
    return result.stdout


def picture_size(stream):
    """(width, height) of an Annex B H.264 stream, as ffprobe reads it from the parameter sets."""
    width, height = ffmpeg("ffprobe", stream, "-select_streams", "v:0", "-show_entries", "stream=width,height",
                           "-of", "csv=p=0").decode().strip().split(",")[:2]
    return int(width), int(height)


def share_of_last_picture_close_to(stream, colour, tolerance=48):
    """The share of pixels within `tolerance` of `colour` in every channel, in the last picture of
    an Annex B stream (which starts with a key frame) shrunk to 32 × 18."""
    size = 32 * 18 * 3
    decoded = ffmpeg("ffmpeg", stream, "-vf", "scale=32:18", "-f", "rawvideo", "-pix_fmt", "rgb24", "-")
    check(len(decoded) >= size, "ffmpeg gave no picture")
    pixels = [decoded[-size:][i:i + 3] for i in range(0, size, 3)]
    return sum(all(abs(a - b) <= tolerance for a, b in zip(pixel, colour)) for pixel in pixels) / len(pixels)


class XServer(Closing):
    """A private Xvfb for one test, on a display number of its own."""

    authority = None

    def __init__(self, width, height, extra=()):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
                                         "-screen", "0", f"{width}x{height}x24", *extra],
                                        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.name = ":" + number.decode().strip()

    @classmethod
    def attach(cls, name, authority=None):
        """An X server someone else runs (and ends), admitting holders of the cookie in `authority`."""
        server = cls.__new__(cls)
        server.process, server.name, server.authority = None, name, authority
        return server

    def environment(self, base=None):
        return {**(os.environ if base is None else base), "DISPLAY": self.name,
                **({"XAUTHORITY": self.authority} if self.authority else {})}

    def xrandr(self, *arguments, attempts=1):
        """xrandr's output; a query racing a client that reconfigures the screen may need `attempts`."""
        for attempt in range(attempts):
            result = subprocess.run(["xrandr", *arguments], env=self.environment(), capture_output=True, text=True)
            if result.returncode == 0:
                return result.stdout
            time.sleep(0.1)
        raise RuntimeError(f"xrandr {' '.join(arguments)}: exit {result.returncode}: {result.stderr.strip()}")

    def run_at_full_hd(self):
        """Sets the screen to 1920×1080, with room left to grow up to the size it was started with."""
        self.xrandr("--newmode", "1920x1080", "173.00", "1920", "2048", "2248", "2576", "1080", "1083", "1088", "1120",
                    "-hsync", "+vsync")
        self.xrandr("--addmode", "screen", "1920x1080")
        self.xrandr("--output", "screen", "--mode", "1920x1080", "--fb", "1920x1080")

    def monitors(self):
        return self.xrandr("--listmonitors", attempts=10)

    def size(self, which="current"):
        match = re.search(which + r" (\d+) x (\d+)", self.xrandr(attempts=10))
        return int(match.group(1)), int(match.group(2))

    def fill(self, x, y, width, height, colour):
        """Paints a rectangle of the root window in one RGB colour."""
        from Xlib import display as xdisplay
        connection = xdisplay.Display(self.name)
        root = connection.screen().root
        root.fill_rectangle(root.create_gc(foreground=int.from_bytes(bytes(colour), "big")), x, y, width, height)
        connection.sync()
        connection.close()

    def close(self):
        if self.process:
            self.process.terminate()
            self.process.wait()


def test_picture(width, height):
    """A picture with structure at several scales, as bytes of RGB rows."""
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        for x in range(width):
            block = (x // 48 + y // 48) % 2
            row[x * 3:x * 3 + 3] = ((x * 255 // width) if block else 40, y * 255 // height,
                                    200 if block else ((x + y) * 255 // (width + height)) % 256)
        rows.append(bytes(row))
    return rows


def paint(display_name, rows):
    """Draws the RGB rows on the root window of the display, and parks the pointer in a corner."""
    from Xlib import X, display as xdisplay
    connection = xdisplay.Display(display_name)
    screen = connection.screen()
    root = screen.root
    gc = root.create_gc()
    width = len(rows[0]) // 3
    for top in range(0, len(rows), 16):
        band = rows[top:top + 16]
        data = b"".join(bytes((row[x * 3 + 2], row[x * 3 + 1], row[x * 3], 0)) for row in band for x in range(width))
        root.put_image(gc, 0, top, width, len(band), X.ZPixmap, 24, 0, data)
    root.warp_pointer(screen.width_in_pixels - 1, screen.height_in_pixels - 1)
    connection.sync()
    connection.close()


def read_ppm(path):
    with open(path, "rb") as f:
        parts = f.read().split(maxsplit=4)
    check(parts[0] == b"P6", "not a binary PPM")
    width, height = int(parts[1]), int(parts[2])
    return width, height, (parts[4] if len(parts) > 4 else b"")[:width * height * 3]


def psnr(rows, pixels):
    reference = b"".join(rows)
    check(len(reference) == len(pixels), f"size mismatch {len(reference)} vs {len(pixels)}")
    mse = sum((a - b) * (a - b) for a, b in zip(reference, pixels)) / len(reference)
    return float("inf") if mse == 0 else 10 * math.log10(255 * 255 / mse)
