#!/usr/bin/python3
"""Input latency: from a viewer's control line to the X server reporting the event to a client.

Starts a private Xvfb (1920x1080x24), `kestrio --headless --mode mirror` streaming that screen to
a viewer on loopback, and a second X client holding a window over the screen. For each kind of
line it sends one line at a time and times it from just before the send to the moment the client
reads the matching event: a pointer move (MotionNotify at the mapped point), a click
(ButtonPress), a keyboard character (KeyPress), a character that is not on the keyboard (KeyPress
on a remapped keycode) and a Return key. The stream runs throughout, so the host also captures
and encodes while it injects. Reports p50/p95/max per kind in milliseconds; JSON with --output.
"""

import argparse
import base64
import json
import os
import statistics
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from host_support import Host, UserDirs, Viewer, XServer, free_port, wait_until  # noqa: E402
from x_input_recorder import BUTTON_PRESS, KEY_PRESS, MOTION, InputRecorder, keysym_of  # noqa: E402

WIDTH, HEIGHT = 1920, 1080


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


def measure(viewer, recorder, kind, samples):
    """Latencies in milliseconds of `samples` lines of one kind."""
    latencies = []
    for index in range(samples):
        if kind == "move":
            fx, fy = (0.25, 0.75)[index % 2], 0.5
            line = f"M {fx} {fy}"
            target = (round(WIDTH * fx), round(HEIGHT * fy))
            matches = lambda e: e.type == MOTION and (e.x, e.y) == target  # noqa: E731
        elif kind == "click":
            line = "C 0.5 0.5"
            matches = lambda e: e.type == BUTTON_PRESS and e.detail == 1  # noqa: E731
        elif kind in ("letter", "remapped"):
            character = "abcdefghij"[index % 10] if kind == "letter" else "áéíóúñçøåß"[index % 10]
            line = "T " + base64.b64encode(character.encode()).decode()
            wanted = keysym_of(character)
            matches = lambda e, wanted=wanted: e.type == KEY_PRESS and e.keysym == wanted  # noqa: E731
        else:
            line = "K RETURN"
            matches = lambda e: e.type == KEY_PRESS and e.keysym == 0xFF0D  # noqa: E731
        recorder.take()
        sent = time.monotonic()
        viewer.send_line(line)
        events = recorder.wait_for(lambda got: any(matches(e) for e in got), timeout=5)
        hit = next((e for e in events if matches(e)), None)
        if hit is None:
            raise RuntimeError(f"{kind}: no event for {line!r}")
        latencies.append((hit.received - sent) * 1000)
        # Let the host settle (key releases, the remap wait) so each sample starts from rest.
        time.sleep(0.02 if kind != "remapped" else 0.1)
    return latencies


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "release"))
    parser.add_argument("--samples", type=int, default=200)
    parser.add_argument("--output", help="JSON results")
    arguments = parser.parse_args()
    binary = os.path.join(arguments.build_dir, "src", "app", "kestrio")

    server = XServer(WIDTH, HEIGHT)
    dirs = UserDirs()
    host = viewer = recorder = None
    results = {}
    try:
        port = free_port()
        import host_support
        host_support.BIN = binary
        host = Host(port, "--mode", "mirror", "--fps", "60", env=server.environment(), dirs=dirs)
        if not host.wait_for_line(r"^listening on port ", 15):
            raise RuntimeError(f"the host did not start: {host.lines}")
        viewer = Viewer(port)
        viewer.send_line("HELLO 2 H264 " + base64.b64encode(b"Latency").decode())
        viewer.read_control()
        viewer.drain()
        if not wait_until(lambda: viewer.video_messages, 15):
            raise RuntimeError("no video")
        with server.as_client():
            recorder = InputRecorder(server.name)
        print(f"{'kind':<10} {'samples':>7} {'p50 ms':>8} {'p95 ms':>8} {'max ms':>8}")
        for kind in ("move", "click", "letter", "remapped", "key"):
            values = measure(viewer, recorder, kind, arguments.samples)
            results[kind] = {"samples": len(values), "p50_ms": statistics.median(values),
                             "p95_ms": percentile(values, 0.95), "max_ms": max(values)}
            row = results[kind]
            print(f"{kind:<10} {row['samples']:>7} {row['p50_ms']:>8.2f} {row['p95_ms']:>8.2f} {row['max_ms']:>8.2f}")
        results["video_messages"] = viewer.video_messages
    finally:
        if recorder:
            recorder.close()
        if viewer:
            viewer.close()
        if host:
            host.terminate()
            host.kill()
        dirs.close()
        server.close()
    if arguments.output:
        with open(arguments.output, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
