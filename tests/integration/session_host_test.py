"""kestrio --headless as the session controller: a handshake streams a new virtual monitor (where
touches land there x11_input_test checks); MODE mirror streams the physical screen; the host waits
for the next viewer; an independent mDNS browser sees the host until SIGTERM, which also leaves the
screen as found; no stream setting is stored."""

import os
import re

from host_support import (Host, UserDirs, XServer, browse, check, connect, free_port, key_frame, require, require_mdns,
                          share_close_to, wait_until)

MONITOR = "Kestrio iPhone"
FULL_HD = (1920, 1080)
PHYSICAL, VIRTUAL = (220, 40, 40), (40, 60, 220)


def shows(viewer, colour, paint):
    """Key frames, requested (after painting again: the server repaints the root window when the
    screen changes size) until one shows mostly `colour`."""
    check(wait_until(lambda: paint() or viewer.send_line("KEYFRAME") or share_close_to(key_frame(viewer), colour) >= 0.9, 15, 0),
          f"the streamed picture never showed {colour}")


def session(server):
    port = free_port()
    physical = lambda: server.fill(0, 0, *FULL_HD, PHYSICAL)
    with UserDirs() as dirs, Host(port, "--fps", "30", env=server.environment(), dirs=dirs) as host:
        name = host.line(r'^listening on port \d+ as ".*"$').split(' as "', 1)[1][:-1]
        check(name.endswith(" \u00b7 KS1"), f"instance name {name!r}")
        host.line("^iPhone을 기다리는 중$")
        host.line("^remote address: 자동 포트 연결 꺼짐$")
        host.line("^Automatic port mapping is off$")
        viewer = connect(port, "테스트 폰")
        host.line(r"^iPhone 연결됨$")
        host.line(r" · 이 컴퓨터 · H\.264$")
        key_frame(viewer, first=True)
        check(wait_until(lambda: server.size() == (2 * FULL_HD[0], FULL_HD[1])), f"screen did not grow: {server.size()}")
        shows(viewer, VIRTUAL, lambda: (physical(), server.fill(FULL_HD[0], 0, *FULL_HD, VIRTUAL)))

        viewer.send_line("MODE mirror")
        shows(viewer, PHYSICAL, physical)

        # The next viewer gets a fresh stream in the mode the last one chose.
        mark = len(host.read_lines())
        viewer.close()
        check(host.wait_for_line("^iPhone을 기다리는 중$", since=mark), f"no waiting status after the viewer left: {host.lines[mark:]}")
        viewer = connect(port, "두 번째")
        check(wait_until(lambda: (name, port) in browse(), 20), f"{name!r} on {port} not browsed")
        key_frame(viewer, first=True)
        check(MONITOR not in server.monitors(), "the mode the viewer chose was not kept")
        viewer.send_line("MODE virtualDisplay")
        check(wait_until(lambda: MONITOR in server.monitors()), "no monitor after MODE virtualDisplay")

        check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
        check(viewer.closed_by_host(), "viewer connection not closed on SIGTERM")
        check(wait_until(lambda: (name, port) not in browse(), 20), "advertisement outlived the host")
        check(MONITOR not in server.monitors() and server.size() == FULL_HD, f"screen not restored: {server.monitors()}")
        check(not os.path.exists(dirs.pid_file), "single-instance record left behind")
        stored = [(k, v) for k, v in dirs.settings().items() if re.search("mode|quality|fps|frame|resolution", k, re.I) or v in ("mirror", "balanced", 30)]
        check(not stored, f"stream settings stored: {stored}")


def main():
    require("Xvfb", "xrandr", "ffmpeg", modules=["Xlib"])
    require_mdns()
    with XServer(2 * FULL_HD[0], 2 * FULL_HD[1]) as server:
        # 1920×1080, with room to grow up to the size it was started with.
        server.xrandr("--newmode", "1920x1080", "173.00", "1920", "2048", "2248", "2576", "1080", "1083", "1088", "1120", "-hsync", "+vsync")
        server.xrandr("--addmode", "screen", "1920x1080")
        server.xrandr("--output", "screen", "--mode", "1920x1080", "--fb", "1920x1080")
        session(server)
    print("session host: ok")


if __name__ == "__main__":
    main()
