"""kestrio --headless when the desktop fails under the stream: a mirrored monitor turned off moves
the stream to the display left, on the same connection, with a status line saying so; the host's
threads and descriptors are back where they were afterwards. Prints how long each recovery took."""

import os
import subprocess
import time

from host_support import Host, XorgServer, check, connect, free_port, key_frame, wait_until


def decoded_size(stream):
    result = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-select_streams", "v", "-show_entries", "stream=width,height",
                             "-of", "csv=p=0", "-"], input=stream, capture_output=True, timeout=30)
    return tuple(int(n) for n in result.stdout.split(b",")) if result.returncode == 0 else result.stderr


def footprint(process):
    """The host's threads and open descriptors."""
    return len(os.listdir(f"/proc/{process.pid}/task")), len(os.listdir(f"/proc/{process.pid}/fd"))


def settled_footprint(process):
    """The footprint once it held still for a second (threads of a stopped capture end on their own)."""
    last = None
    for _ in range(20):
        now = footprint(process)
        if now == last:
            return now
        last = now
        time.sleep(1)
    return last


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


if __name__ == "__main__":
    mirrored_monitor_turned_off()
