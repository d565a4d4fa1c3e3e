"""Shared pieces for driving the kestrio executable from tests and benches."""

import base64
import contextlib
import importlib.util
import json
import os
import pwd
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

SOURCE = os.environ.get("KESTRIO_SOURCE", "")
BIN = os.environ.get("KESTRIO_BIN", "")
SERVICES = os.path.join(SOURCE, "scripts", "services.sh")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
# The tests' own bus and avahi-daemon (scripts/services.sh), never the machine's: a desktop's
# daemon would announce the tests' services on the real network.
SERVICES_BUS = os.path.join(os.environ.get("KESTRIO_SERVICES_STATE_DIR") or "/run/kestrio-test-services", "system_bus_socket")
os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + SERVICES_BUS
# Asking a real router on this machine's network to open a port is no test's business.
NO_MAPPING = "--no-port-mapping"


def skip(reason):
    print("SKIP:", reason)
    sys.exit(77)


def require(*tools, modules=(), root=None):
    """Skips unless the tools and modules are there, and (`root` says why it is needed) the test runs as root."""
    for reason, missing in [("KESTRIO_BIN is not set", not BIN), (root, root and os.geteuid() != 0),
                            *((f"{name} is not installed", not shutil.which(name)) for name in tools),
                            *((f"{name} is not installed", not importlib.util.find_spec(name)) for name in modules)]:
        if missing:
            skip(reason)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def wait_until(condition, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if value := condition():
            return value
        time.sleep(step)


def free_port():
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
        probe.bind(("::", 0))
        return probe.getsockname()[1]


def require_mdns():
    probe = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/", "org.freedesktop.Avahi.Server.GetState"], capture_output=True, text=True)
    if not (os.path.exists(SERVICES) and probe.returncode == 0 and "int32 2" in probe.stdout):
        check(os.environ.get("KESTRIO_REQUIRE_MDNS") != "1", f"no avahi-daemon on {SERVICES_BUS}")
        skip(f"no avahi-daemon on the tests' bus at {SERVICES_BUS} (scripts/services.sh start)")


def browse():
    """Resolved (name, port) pairs as an independent browser sees them."""
    result = subprocess.run([SERVICES, "mdns-exec", "timeout", "10", "avahi-browse", "-rpt", "_kestrio._tcp"], capture_output=True, timeout=30)
    unescape = lambda field: re.sub(rb"\\(\d{3})", lambda m: bytes([int(m.group(1))]), field.encode("latin-1")).decode("utf-8", "replace")
    return {(unescape(f[3]), int(f[8])) for f in (line.split(";") for line in result.stdout.decode("latin-1").splitlines()) if f[0] == "=" and len(f) >= 9}


class Closing:
    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


class UserDirs(Closing):
    """Private settings and runtime folders, so that a test never touches the user's own."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kestrio-test-")
        self.config_home, self.runtime_dir = os.path.join(self.root, "config"), os.path.join(self.root, "runtime")
        self.settings_file = os.path.join(self.config_home, "kestrio", "settings.json")
        self.pid_file = os.path.join(self.runtime_dir, "kestrio", "kestrio.pid")
        os.makedirs(os.path.dirname(self.settings_file), 0o700)
        os.mkdir(self.runtime_dir, 0o700)

    def environment(self, base=None):
        return {**(os.environ if base is None else base), "XDG_CONFIG_HOME": self.config_home, "XDG_RUNTIME_DIR": self.runtime_dir}

    def settings(self):
        """What the host stored (it replaces the file whole), or nothing."""
        return json.loads(open(self.settings_file, encoding="utf-8").read()) if os.path.exists(self.settings_file) else {}

    def store(self, **values):
        stored = {**self.settings(), **values}
        with open(self.settings_file, "w", encoding="utf-8") as f:
            json.dump(stored, f)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


def run_kestrio(*arguments, env=None, dirs=None):
    with UserDirs() as own:
        return subprocess.run([BIN, *arguments, NO_MAPPING], env=(dirs or own).environment(env), capture_output=True, text=True, timeout=60)


class Host(Closing):
    """kestrio --headless with its output collected, in `dirs` or private user folders of its own."""

    def __init__(self, port, *extra, env=None, dirs=None, port_mapping=False, command=(), user=None):
        """`user`: the account it runs as (a compositor's, which grants only its own user), whose home
        its folders then are."""
        self.port, self.lines, self._pending = port, [], b""
        self._own_dirs = dirs is None
        self.dirs = dirs or UserDirs()
        environment, account = self.dirs.environment(env), {}
        if user:
            subprocess.run(["chown", "-R", user, self.dirs.root], check=True)
            os.chmod(self.dirs.root, 0o755)
            environment["HOME"] = self.dirs.root
            account = {"user": user, "group": pwd.getpwnam(user).pw_gid, "extra_groups": []}
        self.process = subprocess.Popen([*command, BIN, "--headless", "--port", str(port), *([] if port_mapping else [NO_MAPPING]), *extra],
                                        env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **account)

    def read_lines(self):
        if select.select([self.process.stdout], [], [], 0.1)[0]:
            *complete, self._pending = (self._pending + os.read(self.process.stdout.fileno(), 65536)).split(b"\n")
            self.lines.extend(line.decode("utf-8", "replace") for line in complete)
        return self.lines

    def wait_for_line(self, pattern, timeout=10.0, since=0):
        return wait_until(lambda: next((l for l in self.read_lines()[since:] if re.search(pattern, l)), None), timeout)

    def line(self, pattern, timeout=15.0):
        found = self.wait_for_line(pattern, timeout)
        check(found, f"no line matching {pattern!r}: {self.lines}")
        return found

    def ends_after(self, fault, name, message, timeout=10.0):
        """Runs `fault`, which must end the host within 2 s with status 3 and a line holding `message`;
        prints how long it took, named `name`."""
        fault()
        began = time.monotonic()
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            status = None
        took = time.monotonic() - began
        print(f"{name}: the host ended after {took:.2f} s (exit status {status})")
        check(status == 3 and took < 2, f"exit status {status} after {took:.2f} s: {self.read_lines()[-3:]}")
        check(any(message in line for line in self.read_lines()), f"no message: {self.read_lines()[-3:]}")

    def terminate(self, timeout=10.0):
        self.process.terminate()
        return self.process.wait(timeout)

    def __exit__(self, failure, *_):
        if failure:  # what the host said, for the failure's report
            print("the host's last lines:", *self.read_lines()[-30:], sep="\n  ", file=sys.stderr)
        self.close()

    def close(self):
        """Ends the host as a user would (SIGTERM), so that it undoes what it made; killed if it hangs."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._own_dirs:
            self.dirs.close()


class Viewer:
    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.buffer, self.video_messages = b"", 0

    def send_line(self, line):
        self.sock.sendall(line.encode("utf-8") + b"\n")

    def read_message(self):
        while len(self.buffer) < 4 or len(self.buffer) < 4 + struct.unpack(">I", self.buffer[:4])[0]:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("host closed the connection")
            self.buffer += chunk
        length = 4 + struct.unpack(">I", self.buffer[:4])[0]
        payload, self.buffer = self.buffer[4:length], self.buffer[length:]
        return payload

    def read_control(self):
        while not (payload := self.read_message()).startswith(b"\x03") or payload.startswith(b"\x03INPUT "):
            pass
        return payload[1:].decode("utf-8")

    def drain(self):
        """Reads on a thread of its own until the host closes, counting video messages."""
        def run():
            self.sock.settimeout(None)
            try:
                while True:
                    self.video_messages += self.read_message()[:1] != b"\x03"
            except (EOFError, OSError):
                pass
        threading.Thread(target=run, daemon=True).start()

    def closed_by_host(self, timeout=10.0, unanswered=False):
        """Whether the host closed the connection; with `unanswered`, only if it sent nothing (a
        close with lines left unread is then a reset, which counts)."""
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(65536):
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


def connect(port, name, host="127.0.0.1", **hello_fields):
    viewer = Viewer(port, host)
    viewer.send_line(hello(name, **hello_fields))
    welcome = viewer.read_control()
    check(welcome.startswith(f"WELCOME 2 {hello_fields.get('codec', 'H264')} "), f"welcome {welcome}")
    return viewer


def key_frame(viewer, first=False):
    """The next key frame (it must be the first video packet, with `first`) as Annex B."""
    viewer.sock.settimeout(15)
    for _ in range(1 if first else 60):
        while (payload := viewer.read_message())[:1] == b"\x03":
            pass
        if payload[:2] == b"\2\1":
            offset, units = 2, []
            while offset < len(payload):
                size_bytes = 2 if len(units) < 2 else 4
                units.append(payload[offset + size_bytes:offset + size_bytes + int.from_bytes(payload[offset:offset + size_bytes], "big")])
                offset += size_bytes + len(units[-1])
            return b"".join(b"\0\0\0\1" + unit for unit in units)
    check(False, f"no key frame: {payload[:2].hex()}")


def next_key_frame_within(viewer, seconds):
    """How long until the next key frame comes, or None."""
    began = time.monotonic()
    viewer.sock.settimeout(seconds)
    try:
        key_frame(viewer)
        return time.monotonic() - began
    except (OSError, AssertionError):
        return None


def children(process):
    """The host's child processes, as {pid: name}."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                name, fields = f.read().split(" (", 1)[1].rsplit(") ", 1)
            if int(fields.split()[1]) == process.pid:
                found[int(entry)] = name
        except (OSError, IndexError):
            pass
    return found


def child_pid(process, name):
    return next((pid for pid, comm in children(process).items() if comm == name), None)


def settled_footprint(process):
    """The host's threads, open descriptors and children once they held still for a second
    (threads of a stopped capture end on their own)."""
    last = None
    for _ in range(20):
        now = (len(os.listdir(f"/proc/{process.pid}/task")), len(os.listdir(f"/proc/{process.pid}/fd")), sorted(children(process).values()))
        if now == last:
            return now
        last = now
        time.sleep(1)
    return last


def share_close_to(stream, colour, tolerance=48):
    """The share of pixels within `tolerance` of `colour` in the last picture of the stream."""
    with tempfile.NamedTemporaryFile(suffix=".h264") as f:
        f.write(stream)
        f.flush()
        result = subprocess.run(["ffmpeg", "-v", "error", "-f", "h264", "-i", f.name, "-vf", "scale=32:18", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                                capture_output=True, timeout=60)
    check(result.returncode == 0, f"ffmpeg: {result.stderr.decode(errors='replace')}")
    pixels = [result.stdout[-32 * 18 * 3:][i:i + 3] for i in range(0, 32 * 18 * 3, 3)]
    return sum(all(abs(a - b) <= tolerance for a, b in zip(p, colour)) for p in pixels) / len(pixels)


class XServer(Closing):
    """Xvfb of a test's own: one screen, whose only RandR output is named "screen" (or the X server
    `command` starts). Only holders of its private cookie (a wildcard entry, as libXau and the
    recorder read it) connect."""

    def __init__(self, width=0, height=0, command=None, folder=None):
        self.folder = folder or tempfile.mkdtemp(prefix="kestrio-x-")
        self.authority, self.process, self._client = os.path.join(self.folder, "authority"), None, None
        field = lambda data: struct.pack(">H", len(data)) + data
        with open(os.open(self.authority, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
            f.write(struct.pack(">H", 0xFFFF) + field(b"") + field(b"") + field(b"MIT-MAGIC-COOKIE-1") + field(os.urandom(16)))
        read_end, write_end = os.pipe()
        try:
            command = command or ["Xvfb", "-screen", "0", f"{width}x{height}x24"]
            self.process = subprocess.Popen([*command, "-displayfd", str(write_end), "-auth", self.authority, "-noreset", "-nolisten", "tcp"],
                                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            with os.fdopen(read_end, "rb") as numbers:
                number = numbers.readline() if select.select([numbers], [], [], 30)[0] else b""
            self.name = ":" + number.decode().strip()
            check(self.name != ":", f"{command[0]} did not start")
        except BaseException:
            self.close()
            raise

    def environment(self, base=None):
        return {**(os.environ if base is None else base), "DISPLAY": self.name, "XAUTHORITY": self.authority}

    @contextlib.contextmanager
    def as_client(self):
        """python-xlib reads the cookie's file from the environment when it connects."""
        import x_input_recorder  # noqa: F401 (python-xlib then takes wildcard cookies)
        saved = os.environ.get("XAUTHORITY")
        os.environ["XAUTHORITY"] = self.authority
        try:
            yield
        finally:
            os.environ.pop("XAUTHORITY") if saved is None else os.environ.update(XAUTHORITY=saved)

    @property
    def client(self):
        """A python-xlib connection of the test's own, open while the server runs."""
        if not self._client:
            from Xlib import display as xdisplay
            with self.as_client():
                self._client = xdisplay.Display(self.name)
        return self._client

    def xrandr(self, *arguments):
        """xrandr's output; a query racing a client that reconfigures the screen may need retries."""
        for _ in range(10):
            result = subprocess.run(["xrandr", *arguments], env=self.environment(), capture_output=True, text=True)
            if result.returncode == 0:
                return result.stdout
            time.sleep(0.1)
        raise RuntimeError(f"xrandr {' '.join(arguments)}: {result.stderr.strip()}")

    def monitors(self):
        return self.xrandr("--listmonitors")

    def size(self):
        return tuple(int(n) for n in re.search(r"current (\d+) x (\d+)", self.xrandr()).groups())

    def paint(self, rows, x=0, y=0):
        """Draws RGB rows (bytes) on the root window, and parks the pointer in a corner."""
        from Xlib import X
        root, width = self.client.screen().root, len(rows[0]) // 3
        for top in range(0, len(rows), 16):
            band = rows[top:top + 16]
            data = b"".join(bytes((row[i + 2], row[i + 1], row[i], 0)) for row in band for i in range(0, width * 3, 3))
            root.put_image(root.create_gc(), x, y + top, width, len(band), X.ZPixmap, 24, 0, data)
        root.warp_pointer(self.client.screen().width_in_pixels - 1, self.client.screen().height_in_pixels - 1)
        self.client.sync()

    def fill(self, x, y, width, height, colour):
        root = self.client.screen().root
        root.fill_rectangle(root.create_gc(foreground=int.from_bytes(bytes(colour), "big")), x, y, width, height)
        self.client.sync()

    def close(self):
        if self._client:
            self._client.close()
        if self.process:
            self.process.terminate()
            self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class XorgServer(XServer):
    """Xorg on the dummy driver (tests/support/xorg-dummy.conf), as a graphics card drives monitors:
    sixteen RandR outputs with a CRTC each, DUMMY0 lit at 2048x1536, DUMMY1-DUMMY15 disconnected."""

    CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "xorg-dummy.conf")

    @staticmethod
    def require():
        require("Xorg", "xrandr", modules=["Xlib"], root="Xorg takes a configuration from outside its own folders only from root")
        modules = subprocess.run(["Xorg", "-showDefaultModulePath"], capture_output=True, text=True).stderr.strip()
        if not os.path.exists(os.path.join(modules, "drivers", "dummy_drv.so")):
            skip("Xorg's dummy video driver is not installed")

    def __init__(self):
        folder = tempfile.mkdtemp(prefix="kestrio-x-")
        os.mkdir(os.path.join(folder, "none"))
        # On the console's current VT, never switching to one of its own.
        super().__init__(command=["Xorg", "-config", self.CONFIG, "-configdir", os.path.join(folder, "none"), "-logfile",
                                  os.path.join(folder, "Xorg.log"), "-sharevts", "-novtswitch"], folder=folder)

    def light(self, output, width, height, right_of="DUMMY0"):
        """Shows `output` at a mode of its own of width x height, right of another."""
        # Plausible 60 Hz timings: the dummy driver shows any.
        name, total = f"test-{width}x{height}", (width + 160, height + 40)
        timings = [f"{total[0] * total[1] * 60 / 1e6:.2f}", width, width + 48, width + 80, total[0], height, height + 3, height + 8, total[1]]
        self.xrandr("--newmode", name, *map(str, timings), "-hsync", "+vsync")
        self.xrandr("--addmode", output, name)
        self.xrandr("--output", output, "--mode", name, "--right-of", right_of)
