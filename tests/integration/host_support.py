"""Shared pieces for driving the kestrio executable from tests."""

import os
import re
import select
import socket
import struct
import subprocess
import sys
import time

SOURCE = os.environ.get("KESTRIO_SOURCE", "")
BIN = os.environ.get("KESTRIO_BIN", "")
SERVICES = os.path.join(SOURCE, "scripts", "services.sh")
SKIP = 77


def skip(reason):
    print("SKIP:", reason)
    sys.exit(SKIP)


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


def mdns_available():
    if not os.path.exists(SERVICES):
        return False
    probe = subprocess.run(
        ["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
         "org.freedesktop.Avahi.Server.GetState"], capture_output=True, text=True)
    return probe.returncode == 0 and "int32 2" in probe.stdout


def require_mdns():
    if mdns_available():
        return
    if os.environ.get("KESTRIO_REQUIRE_MDNS") == "1":
        print("FAIL: no avahi-daemon on the system bus; run scripts/services.sh start")
        sys.exit(1)
    skip("no avahi-daemon on the system bus (scripts/services.sh start)")


def services(*arguments):
    subprocess.run([SERVICES, *arguments], check=True)


def unescape_browse(text):
    """avahi-browse -p writes bytes outside printable ASCII, and separators, as \\DDD."""
    raw = re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]), text.encode("latin-1"))
    return raw.decode("utf-8", "replace")


def browse(service_type="_kestrio._tcp"):
    """Resolved instances as (name, port) pairs, as an independent browser on the network sees them."""
    result = subprocess.run([SERVICES, "mdns-exec", "avahi-browse", "-rpt", service_type],
                            capture_output=True, timeout=30)
    found = set()
    for line in result.stdout.decode("latin-1").splitlines():
        fields = line.split(";")
        if fields[0] == "=" and len(fields) >= 9:
            found.add((unescape_browse(fields[3]), int(fields[8])))
    return found


class Host:
    """kestrio --headless on a port of its own, with its standard output collected."""

    def __init__(self, port, *extra):
        self.port = port
        self.process = subprocess.Popen([BIN, "--headless", "--port", str(port), *extra],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
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

    def wait_for_line(self, pattern, timeout=10.0):
        regex = re.compile(pattern)
        return wait_until(lambda: next((l for l in self.read_lines() if regex.search(l)), None), timeout)

    def terminate(self, timeout=10.0):
        self.process.terminate()
        return self.process.wait(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class Viewer:
    """A minimal viewer: sends lines, reads length-prefixed messages."""

    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.buffer = b""

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
        while True:
            payload = self.read_message()
            if payload[:1] == b"\x03":
                return payload[1:].decode("utf-8")

    def closed_by_host(self, timeout=10.0):
        self.sock.settimeout(timeout)
        try:
            while True:
                self._fill()
        except EOFError:
            return True
        except (ConnectionResetError, socket.timeout):
            return False


class XServer:
    """A private Xvfb for one test: its own display number, kept until close()."""

    def __init__(self, width, height):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
             "-screen", "0", f"{width}x{height}x24"],
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
        self.width, self.height = width, height

    def close(self):
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
