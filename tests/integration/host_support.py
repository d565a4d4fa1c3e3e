"""Shared pieces for driving the kestrio executable from tests."""

import base64
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


def check(condition, message):
    """Ends the test with status 1 when `condition` is false, saying where: the helpers that
    check are called from many steps."""
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
    """Resolved instances as (name, port) pairs, as an independent browser on the network sees them."""
    # avahi-browse can wait for ever on a resolve the daemon never finishes (a service that went
    # while it was being resolved, as one a host of the previous test announced): a browse that
    # hangs counts as one that saw nothing, and the caller browses again.
    result = subprocess.run([SERVICES, "mdns-exec", "timeout", "10", "avahi-browse", "-rpt", service_type],
                            capture_output=True, timeout=30)
    found = set()
    for line in result.stdout.decode("latin-1").splitlines():
        fields = line.split(";")
        if fields[0] == "=" and len(fields) >= 9:
            # Bytes outside printable ASCII, and separators, come as \DDD.
            name = re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]), fields[3].encode("latin-1"))
            found.add((name.decode("utf-8", "replace"), int(fields[8])))
    return found


class UserDirs:
    """A user's private folders for the hosts a test starts: XDG_CONFIG_HOME (settings) and
    XDG_RUNTIME_DIR (the single-instance record). Without them a test would read and write the
    real user's settings, and through the single-instance rule one test's host would end any
    other host of this user, a developer's own included."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kestrio-test-")
        self.config_home = os.path.join(self.root, "config")
        self.runtime_dir = os.path.join(self.root, "runtime")
        # Private to the user, as a session manager makes them.
        os.mkdir(self.config_home, 0o700)
        os.mkdir(self.runtime_dir, 0o700)

    def environment(self, base=None):
        environment = dict(os.environ if base is None else base)
        environment["XDG_CONFIG_HOME"] = self.config_home
        environment["XDG_RUNTIME_DIR"] = self.runtime_dir
        return environment

    @property
    def settings_folder(self):
        return os.path.join(self.config_home, "kestrio")

    @property
    def pid_file(self):
        return os.path.join(self.runtime_dir, "kestrio", "kestrio.pid")

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def run_kestrio(*arguments, env=None, dirs=None, timeout=60):
    """Runs kestrio to its end in private user folders (fresh ones unless `dirs` is given);
    standard output and error are kept apart."""
    own = dirs is None
    dirs = dirs or UserDirs()
    try:
        # Asking a real router on this machine's network to open a port is no test's business.
        arguments = (*arguments, "--no-port-mapping")
        return subprocess.run([BIN, *arguments], env=dirs.environment(env), capture_output=True, text=True,
                              timeout=timeout)
    finally:
        if own:
            dirs.close()


class Host:
    """kestrio --headless on a port of its own, with its standard output (and error) collected.
    It runs in private user folders: fresh ones removed by kill(), or `dirs` shared with other
    hosts (the caller removes those). `env` replaces the environment it starts from."""

    def __init__(self, port, *extra, env=None, dirs=None, port_mapping=False, command=()):
        self.port = port
        self._own_dirs = dirs is None
        self.dirs = dirs or UserDirs()
        # Asking a real router on this machine's network to open a port is no test's business.
        mapping = [] if port_mapping else ["--no-port-mapping"]
        try:
            self.process = subprocess.Popen([*command, BIN, "--headless", "--port", str(port), *mapping, *extra],
                                            env=self.dirs.environment(env),
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except OSError:
            if self._own_dirs:
                self.dirs.close()
            raise
        self.lines = []
        self._pending = b""

    def read_lines(self, timeout=0.1):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if ready:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            self._pending += chunk
            *complete, self._pending = self._pending.split(b"\n")
            self.lines.extend(line.decode("utf-8", "replace") for line in complete)
        return self.lines

    def wait_for_line(self, pattern, timeout=10.0, since=0):
        """The first line from index `since` on that matches, or None after `timeout`."""
        regex = re.compile(pattern)
        return wait_until(lambda: next((l for l in self.read_lines()[since:] if regex.search(l)), None), timeout)

    def wait_for_status(self, english_title, timeout=10.0, since=0):
        """The first status block (title Korean, title English, detail Korean, detail English)
        from line `since` on whose English title is `english_title`: (index of its first line,
        its four lines), or None after `timeout`."""
        def block():
            lines = self.read_lines()
            for index in range(max(since, 1), len(lines) - 2):
                if lines[index] == english_title:
                    return index - 1, lines[index - 1:index + 3]
            return None
        return wait_until(block, timeout)

    def terminate(self, timeout=10.0):
        self.process.terminate()
        return self.process.wait(timeout)

    def kill(self):
        """Ends the process if it still runs and removes its own user folders."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self._own_dirs:
            self.dirs.close()


class Viewer:
    """A minimal viewer: sends lines, reads length-prefixed messages."""

    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.buffer = b""
        self.input_reports = []
        self.video_messages = 0

    def send_line(self, line):
        self.sock.sendall(line.encode("utf-8") + b"\n")

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("host closed the connection")
        self.buffer += chunk

    def read_message(self):
        while len(self.buffer) < 4:
            self._fill()
        (length,) = struct.unpack(">I", self.buffer[:4])
        while len(self.buffer) < 4 + length:
            self._fill()
        payload = self.buffer[4:4 + length]
        self.buffer = self.buffer[4 + length:]
        return payload

    def read_control(self):
        """The next control line, other than the host's unprompted "INPUT ..." reports of whether it
        may inject input, which can come at any time once the viewer is connected (they are kept
        in `input_reports`)."""
        while True:
            payload = self.read_message()
            if payload[:1] == b"\x03":
                text = payload[1:].decode("utf-8")
                if not text.startswith("INPUT "):
                    return text
                self.input_reports.append(text)

    def drain(self):
        """Reads and discards whatever the host sends, on a thread of its own, until the host
        closes the connection; "INPUT ..." reports are kept in `input_reports`, video messages
        are counted in `video_messages`."""
        def run():
            self.sock.settimeout(None)
            try:
                while True:
                    payload = self.read_message()
                    if payload[:1] == b"\x03" and payload[1:].startswith(b"INPUT "):
                        self.input_reports.append(payload[1:].decode("utf-8"))
                    elif payload[:1] != b"\x03":
                        self.video_messages += 1
            except (EOFError, OSError):
                pass
        self._drainer = threading.Thread(target=run, daemon=True)
        self._drainer.start()

    def next_video(self, timeout=10.0):
        """The next message that is not a control line, or None when none comes within `timeout`."""
        deadline = time.monotonic() + timeout
        try:
            while True:
                self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
                payload = self.read_message()
                if payload[:1] != b"\x03":
                    return payload
        except socket.timeout:
            return None
        finally:
            self.sock.settimeout(10)

    def closed_by_host(self, timeout=10.0):
        self.sock.settimeout(timeout)
        try:
            while True:
                self._fill()
        except EOFError:
            return True
        except (ConnectionResetError, socket.timeout):
            return False

    def close(self):
        self.sock.close()


def next_video(viewer, timeout=10.0):
    """The viewer's next video packet; fails the test when none comes within `timeout`."""
    payload = viewer.next_video(timeout)
    check(payload is not None, f"no video packet within {timeout} s")
    return payload


def first_key_frame(viewer):
    """The viewer's first video packet, which must be a key frame with both parameter sets, as
    an Annex B stream."""
    key, sps, pps, data = video_packet(next_video(viewer, timeout=15))
    check(key == 1 and sps and sps[0] & 0x1F == 7 and pps and pps[0] & 0x1F == 8,
          f"the first video packet is not a key frame with both parameter sets: {key} {sps[:1]} {pps[:1]}")
    return annex_b(sps, pps, data)


def connect(port, name, drain=False, host="127.0.0.1"):
    """A viewer that has completed the handshake as `name`; with `drain`, reading what follows
    on a thread of its own."""
    viewer = Viewer(port, host)
    viewer.send_line("HELLO 2 H264 " + base64.b64encode(name.encode()).decode())
    welcome = viewer.read_control().split(" ")
    check(welcome[:3] == ["WELCOME", "2", "H264"], f"welcome {welcome}")
    if drain:
        viewer.drain()
    return viewer


def video_packet(payload):
    """Splits an H.264 packet into (key, sps, pps, frame data)."""
    check(payload[0] == 2, f"not an H.264 packet: kind {payload[0]}, starts {payload[:4].hex()}, {len(payload)} bytes")
    key = payload[1]
    (sps_size,) = struct.unpack(">H", payload[2:4])
    sps = payload[4:4 + sps_size]
    (pps_size,) = struct.unpack(">H", payload[4 + sps_size:6 + sps_size])
    pps = payload[6 + sps_size:6 + sps_size + pps_size]
    return key, sps, pps, payload[6 + sps_size + pps_size:]


def annex_b(sps, pps, data):
    """A packet's parameter sets and length-prefixed NAL units as an Annex B byte stream."""
    out = b""
    for unit in (sps, pps):
        if unit:
            out += b"\0\0\0\1" + unit
    offset = 0
    while offset + 4 <= len(data):
        (size,) = struct.unpack(">I", data[offset:offset + 4])
        out += b"\0\0\0\1" + data[offset + 4:offset + 4 + size]
        offset += 4 + size
    check(offset == len(data), "NAL lengths do not add up to the frame data")
    return out


def _h264_file(stream):
    handle, path = tempfile.mkstemp(suffix=".h264")
    with os.fdopen(handle, "wb") as f:
        f.write(stream)
    return path


def picture_size(stream):
    """(width, height) of an Annex B H.264 stream, as ffprobe reads it from the parameter sets."""
    path = _h264_file(stream)
    try:
        probe = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-select_streams", "v:0",
                                "-show_entries", "stream=width,height", "-of", "csv=p=0", path],
                               capture_output=True, text=True, timeout=30)
    finally:
        os.unlink(path)
    check(probe.returncode == 0, f"ffprobe: {probe.stderr}")
    width, height = probe.stdout.strip().split(",")[:2]
    return int(width), int(height)


def last_picture(stream, width=32, height=18):
    """The last picture of an Annex B H.264 stream (which starts with a key frame), decoded and
    shrunk to width × height, as RGB pixel tuples."""
    path = _h264_file(stream)
    try:
        decode = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", path, "-vf", f"scale={width}:{height}",
                                 "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True, timeout=60)
    finally:
        os.unlink(path)
    size = width * height * 3
    check(decode.returncode == 0 and len(decode.stdout) >= size,
          f"ffmpeg could not decode the stream: {decode.stderr.decode(errors='replace')}")
    last = decode.stdout[-size:]
    return [tuple(last[i:i + 3]) for i in range(0, size, 3)]


def share_close_to(pixels, colour, tolerance=48):
    """The share of pixels within `tolerance` of `colour` in every channel."""
    close = sum(1 for pixel in pixels if all(abs(a - b) <= tolerance for a, b in zip(pixel, colour)))
    return close / len(pixels)


class XServer:
    """A private Xvfb for one test: its own display number, kept until close()."""

    def __init__(self, width, height, extra=()):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
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

    authority = None

    @classmethod
    def attach(cls, name, authority=None):
        """An X server someone else runs (and ends): close() leaves it alone. `authority` is the
        file with its cookie, when it admits only holders of one."""
        server = cls.__new__(cls)
        server.process = None
        server.name = name
        server.authority = authority
        return server

    def environment(self, base=None):
        environment = dict(os.environ if base is None else base)
        environment["DISPLAY"] = self.name
        if self.authority:
            environment["XAUTHORITY"] = self.authority
        return environment

    def xrandr(self, *arguments, attempts=1):
        """xrandr's output. A query that races a client reconfiguring the screen may fail; with
        `attempts` it is repeated, 0.1 s apart."""
        for attempt in range(attempts):
            result = subprocess.run(["xrandr", *arguments], env=self.environment(), capture_output=True, text=True)
            if result.returncode == 0:
                return result.stdout
            if attempt + 1 < attempts:
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

    def size(self):
        match = re.search(r"current (\d+) x (\d+)", self.xrandr(attempts=10))
        return int(match.group(1)), int(match.group(2))

    def maximum_size(self):
        match = re.search(r"maximum (\d+) x (\d+)", self.xrandr(attempts=10))
        return int(match.group(1)), int(match.group(2))

    def fill(self, x, y, width, height, colour):
        """Paints a rectangle of the root window in one RGB colour."""
        from Xlib import display as xdisplay
        connection = xdisplay.Display(self.name)
        root = connection.screen().root
        red, green, blue = colour
        gc = root.create_gc(foreground=(red << 16) | (green << 8) | blue)
        root.fill_rectangle(gc, x, y, width, height)
        connection.sync()
        connection.close()

    def close(self):
        if self.process:
            self.process.terminate()
            self.process.wait()


def test_picture(width, height, phase=0):
    """A picture with structure at several scales, as bytes of RGB rows."""
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        for x in range(width):
            block = ((x + phase) // 48 + y // 48) % 2
            row[x * 3] = (x * 255 // width) if block else 40
            row[x * 3 + 1] = (y * 255 // height)
            row[x * 3 + 2] = 200 if block else ((x + y + phase) * 255 // (width + height)) % 256
        rows.append(bytes(row))
    return rows


def paint(display_name, rows, pointer_to_corner=True):
    """Draws the RGB rows on the root window of the display, and parks the pointer."""
    from Xlib import X, display as xdisplay
    connection = xdisplay.Display(display_name)
    screen = connection.screen()
    root = screen.root
    gc = root.create_gc()
    width = len(rows[0]) // 3
    band = 16
    for top in range(0, len(rows), band):
        data = bytearray()
        for row in rows[top:top + band]:
            for x in range(width):
                r, g, b = row[x * 3], row[x * 3 + 1], row[x * 3 + 2]
                data += bytes((b, g, r, 0))
        root.put_image(gc, 0, top, width, len(rows[top:top + band]), X.ZPixmap, 24, 0, bytes(data))
    if pointer_to_corner:
        root.warp_pointer(screen.width_in_pixels - 1, screen.height_in_pixels - 1)
    connection.sync()
    connection.close()


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    parts = data.split(maxsplit=4)
    if parts[0] != b"P6":
        raise ValueError("not a binary PPM")
    width, height = int(parts[1]), int(parts[2])
    pixels = parts[4] if len(parts) > 4 else b""
    return width, height, pixels[:width * height * 3]


def psnr(rows, pixels):
    import math
    reference = b"".join(rows)
    if len(reference) != len(pixels):
        raise ValueError(f"size mismatch {len(reference)} vs {len(pixels)}")
    total = 0
    for a, b in zip(reference, pixels):
        total += (a - b) * (a - b)
    mse = total / len(reference)
    return float("inf") if mse == 0 else 10 * math.log10(255 * 255 / mse)
