#!/usr/bin/python3
"""Input flood: what one viewer sending input as fast as it can costs the host and other viewers.

Starts a private Xvfb (1920x1080x24) and `kestrio --headless --mode mirror` on it. A flooding
viewer handshakes, then writes "M", "B" and 2,000-character "T" lines as fast as the socket takes
them; when the host ends its connection it connects again at once (and is turned away while its
address is held off). Measured:
- phase 1 (--seconds, 10 by default): the host's resident memory (VmRSS, sampled every 50 ms)
  above its level before the flood, and how long the host takes to print the status lines of
  the flooder's comings and goings (a connection shown as "iPhone Connected"; a dropped one);
- phase 2: the flooder floods for 2 s more, then leaves and a well-behaved viewer connects at
  once: how long until the host shows it connected, and how many key and button events reach the
  X server from 1 s to 4 s after the flooder left (recorded by a second X client).
Prints a summary; JSON with --output.
"""

import argparse
import faulthandler
import base64
import json
import os
import socket
import statistics
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

import host_support  # noqa: E402
from host_support import Host, UserDirs, XServer, free_port  # noqa: E402
from x_input_recorder import BUTTON_PRESS, BUTTON_RELEASE, KEY_PRESS, KEY_RELEASE, InputRecorder, of_type  # noqa: E402

WIDTH, HEIGHT = 1920, 1080
CONNECTED = "iPhone Connected"
FLOOD_TEXT = "입력이 너무 많아 연결을 끊음"
TEXT = ("kestrio flood " * 200)[:2000]
BURST = ("M 0.3 0.4\nB\nT " + base64.b64encode(TEXT.encode()).decode() + "\n").encode() * 16


class StatusLines:
    """The host's output lines with the time each was read."""

    def __init__(self, host):
        self.lines = []  # (monotonic time, text)
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(host.process.stdout,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in stream:
            with self._lock:
                self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))

    def first_after(self, since, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                hit = next((t for t, line in self.lines if t >= since and line == text), None)
            if hit is not None:
                return hit
            time.sleep(0.005)
        return None


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Flooder:
    """Floods from one connection after another until stopped."""

    def __init__(self, port, reconnect=True):
        self.port = port
        self.reconnect = reconnect
        self.connections = []  # served ones: (connected at, dropped at or None)
        self.turned_away = 0  # closed unanswered
        self.bytes = 0
        self._stop = threading.Event()
        self._socket = None
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=2)
            except OSError:
                time.sleep(0.01)
                continue
            self._socket = sock
            record = [time.monotonic(), None]
            try:
                sock.sendall(b"HELLO 2 H264 " + base64.b64encode(b"Flooder") + b"\n")
                # Served (the host answers) or turned away (closed unanswered) before flooding.
                if not sock.recv(4):
                    raise ConnectionResetError
                self.connections.append(record)
                while not self._stop.is_set():
                    sock.sendall(BURST)
                    self.bytes += len(BURST)
            except OSError:
                record[1] = time.monotonic()
                if record not in self.connections:
                    self.turned_away += 1
            sock.close()
            if not self.reconnect:
                self._stop.wait()

    def stop(self):
        """Stops and closes the current connection; returns when it is closed."""
        self._stop.set()
        if self._socket:
            try:
                self._socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join(5)
        return time.monotonic()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "release"))
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--single-connection", action="store_true",
                        help="the flooder does not connect again once dropped")
    parser.add_argument("--output", help="JSON results")
    arguments = parser.parse_args()
    faulthandler.dump_traceback_later(float(os.environ.get("FLOOD_TRACE_AFTER", "1e9")), exit=True)
    host_support.BIN = os.path.join(arguments.build_dir, "src", "app", "kestrio")

    server = XServer(WIDTH, HEIGHT)
    dirs = UserDirs()
    host = recorder = flooder = viewer = None
    results = {}
    try:
        port = free_port()
        host = Host(port, "--mode", "mirror", "--fps", "30", env=server.environment(), dirs=dirs)
        status = StatusLines(host)
        deadline = time.monotonic() + 15
        while not any(line.startswith("listening on port") for _, line in list(status.lines)):
            if time.monotonic() > deadline:
                raise RuntimeError(f"the host did not start: {status.lines}")
            time.sleep(0.05)
        with server.as_client():
            recorder = InputRecorder(server.name)
        time.sleep(1)
        baseline = rss_kib(host.process.pid)

        # Phase 1: the flood, with the host's memory sampled throughout.
        flooder = Flooder(port, reconnect=not arguments.single_connection)
        started = time.monotonic()
        peak = baseline
        while time.monotonic() - started < arguments.seconds:
            peak = max(peak, rss_kib(host.process.pid))
            time.sleep(0.05)
        connections = list(flooder.connections)
        time.sleep(0.5)
        # Every served connection and every drop may change what the host shows: the time from
        # each change to the next line the host prints. A connection served and dropped within a
        # few milliseconds may leave the status as it was, and then nothing needs printing: such
        # changes (no line within a second) are counted apart.
        printed = [t for t, _ in list(status.lines)]
        changes = sorted([c for c, _ in connections] + [d for _, d in connections if d is not None])
        gaps = []
        for change in changes:
            later = next((t for t in printed if t >= change), None)
            if later is not None and later - change < 1:
                gaps.append((later - change) * 1000)
        flood_lines = sum(1 for _, line in list(status.lines) if line == FLOOD_TEXT)
        results["flood_seconds"] = arguments.seconds
        results["flood_megabytes_sent"] = round(flooder.bytes / 1e6, 1)
        results["flooder_connections"] = len(connections)
        results["flooder_drops"] = sum(1 for _, d in connections if d is not None)
        results["flooder_turned_away"] = flooder.turned_away
        results["rss_baseline_mib"] = round(baseline / 1024, 1)
        results["rss_growth_mib"] = round((peak - baseline) / 1024, 1)
        results["status_after_change_ms"] = {
            "changes": len(changes), "answered_within_1_s": len(gaps),
            "median": round(statistics.median(gaps), 1) if gaps else None,
            "p95": round(sorted(gaps)[round(0.95 * (len(gaps) - 1))], 1) if gaps else None,
            "max": round(max(gaps), 1) if gaps else None}
        results["flood_status_lines"] = flood_lines

        # Phase 2: a well-behaved viewer takes over from a flooder.
        time.sleep(2)
        recorder.take()
        gone = flooder.stop()
        # From another address, as the owner's phone would be.
        viewer = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.0.2", 0))
        viewer.sendall(b"HELLO 2 H264 " + base64.b64encode(b"Second") + b"\n")
        # The host names each viewer that identifies itself; the status block stays "iPhone
        # Connected" (it is printed again only when it changes).
        hit = status.first_after(gone, "viewer: Second", 5)
        results["second_viewer_shown_ms"] = None if hit is None else round((hit - gone) * 1000, 1)
        time.sleep(0.3)
        last_title = [line for _, line in list(status.lines) if line in (CONNECTED, "Waiting for iPhone")][-1:]
        results["title_after_second_viewer"] = last_title[0] if last_title else None
        time.sleep(max(0.0, gone + 1 - time.monotonic()))
        early = recorder.take()
        time.sleep(max(0.0, gone + 4 - time.monotonic()))
        late = recorder.take()
        kinds = (KEY_PRESS, KEY_RELEASE, BUTTON_PRESS, BUTTON_RELEASE)
        results["events_first_second_after_leaving"] = len(of_type(early, *kinds))
        results["events_1_to_4_s_after_leaving"] = len(of_type(late, *kinds))
        results["rss_end_mib"] = round(rss_kib(host.process.pid) / 1024, 1)
        results["host_alive"] = host.process.poll() is None
    finally:
        if flooder:
            flooder.stop()
        if viewer:
            viewer.close()
        if recorder:
            recorder.close()
        if host and os.environ.get("FLOOD_STACKS"):
            import subprocess
            subprocess.run(["gdb", "-p", str(host.process.pid), "-batch", "-ex", "thread apply all bt 12"],
                           stdout=open(os.environ["FLOOD_STACKS"], "w"), stderr=subprocess.STDOUT)
        if host:
            try:
                ended = time.monotonic()
                host.terminate()
                results["host_exit_s"] = round(time.monotonic() - ended, 2)
            except Exception as error:  # noqa: BLE001
                results["host_exit_s"] = f"did not end: {error}"
            host.kill()
        dirs.close()
        server.close()
    for key, value in results.items():
        print(f"{key}: {value}")
    if arguments.output:
        with open(arguments.output, "w") as f:
            json.dump(results, f, indent=2, ensure_ascii=False)


if __name__ == "__main__":
    main()
