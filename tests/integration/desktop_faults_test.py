"""kestrio --headless when the desktop fails under the stream: a mirrored monitor turned off moves
the stream to the display left, on the same connection, with a status line saying so; the host's
own X server killed is started again and the viewer served again; a desktop's X server killed ends
the host, non-zero, with a message. The host's threads, descriptors and children are back where
they were afterwards. Prints how long each recovery took."""

import os
import re
import signal
import subprocess
import time

from host_support import (Host, XServer, XorgServer, check, child_pid, connect, free_port, key_frame, next_key_frame_within, require,
                          settled_footprint, wait_until)


def decoded_size(stream):
    result = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-select_streams", "v", "-show_entries", "stream=width,height",
                             "-of", "csv=p=0", "-"], input=stream, capture_output=True, timeout=30)
    return tuple(int(n) for n in result.stdout.split(b",")) if result.returncode == 0 else result.stderr


def mirrored_monitor_turned_off():
    XorgServer.require()
    with XorgServer() as server, Host(free_port(), "--mode", "mirror", env=server.environment()) as host:
        server.light("DUMMY1", 1728, 972)
        host.line("^listening on port ")
        viewer = connect(host.port, "Xorg 폰")
        check(decoded_size(key_frame(viewer, first=True)) == (1728, 1296), "DUMMY0 (2048x1536) streams at 1728x1296")
        viewer.send_line("KEYFRAME")
        key_frame(viewer)
        before = settled_footprint(host.process)
        server.xrandr("--output", "DUMMY0", "--off")
        turned_off = time.monotonic()
        size = None
        while time.monotonic() - turned_off < 10 and size != (1728, 972):
            size = decoded_size(key_frame(viewer))
        took = time.monotonic() - turned_off
        check(size == (1728, 972), f"after DUMMY0 went off: key frames of {size}")
        print(f"mirrored monitor turned off: DUMMY1's picture after {took:.2f} s")
        check(took < 2, f"DUMMY1's picture came after {took:.2f} s")
        host.line("The streamed display went away: now streaming DUMMY1")
        after = settled_footprint(host.process)
        check(after == before, f"threads and descriptors {before} before, {after} after")


def own_screen_killed():
    require("Xvfb")
    environment = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    with Host(free_port(), "--mode", "mirror", env=environment) as host:
        display = re.search(r"on (:\d+)$", host.line("^no DISPLAY given: sharing a virtual screen on ")).group(1)
        host.line("^listening on port ")
        viewer = connect(host.port, "Xvfb 폰")
        key_frame(viewer, first=True)
        before = settled_footprint(host.process)
        server = child_pid(host.process, "Xvfb")
        os.kill(server, signal.SIGKILL)
        took = next_key_frame_within(viewer, 10)
        check(took is not None, f"no picture on the connection after the screen was killed: {host.read_lines()}")
        print(f"own X server killed: served again after {took:.2f} s")
        check(took < 5, f"served again after {took:.2f} s")
        host.line(f"^the virtual screen stopped: sharing a new one on {display}$")
        check(child_pid(host.process, "Xvfb") not in (None, server), "a new Xvfb")
        after = settled_footprint(host.process)
        check(after == before, f"threads, descriptors and children {before} before, {after} after")
        # Killed itself, the host leaves no server behind.
        server = child_pid(host.process, "Xvfb")
        host.process.kill()
        check(wait_until(lambda: not os.path.exists(f"/proc/{server}") or open(f"/proc/{server}/stat").read().split(") ")[1][0] == "Z", 5),
              "the host's own Xvfb outlived it")


def desktop_server_killed():
    require("Xvfb")
    with XServer(640, 480) as server, Host(free_port(), "--mode", "mirror", env=server.environment()) as host:
        host.line("^listening on port ")
        viewer = connect(host.port, "Xvfb 폰")
        key_frame(viewer, first=True)
        host.ends_after(server.process.kill, "desktop X server killed", "desktop session ended")
        server.process = None


if __name__ == "__main__":
    mirrored_monitor_turned_off()
    own_screen_killed()
    desktop_server_killed()
