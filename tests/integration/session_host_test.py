"""kestrio --headless as the session controller on an X server that can grow: a handshake streams a
new virtual monitor, MODE mirror the physical screen, the host waits for the next viewer, and SIGTERM
leaves the screen as found; a screen that cannot grow is mirrored; without DISPLAY the host shares an
X server of its own. Stream settings are never stored."""

import os
import signal
import socket
import stat
import subprocess
import time

from host_support import (Host, UserDirs, XServer, check, connect, first_key_frame, free_port, picture_size, require,
                          share_of_last_picture_close_to, video_packet, wait_until)

MONITOR = "Kestrio iPhone"
FULL_HD = (1920, 1080)
# "balanced" streams at most 1728 pixels wide: the 1920 × 1080 monitor and the 1920 × 1080
# physical screen both arrive scaled to this.
STREAMED = (1728, 972)
# Painted on the physical screen and on the part of the root window the monitor covers, so that
# a decoded picture tells which of the two is streamed.
PHYSICAL_COLOUR = (220, 40, 40)
MONITOR_COLOUR = (40, 60, 220)


def wait_for_picture(viewer, colour, paint, what, timeout=15.0):
    """Key frames, requested until one shows mostly `colour`; `paint` puts the colour on the
    screen before each request (the server repaints the root window when the screen changes size)."""
    deadline = time.monotonic() + timeout
    share = 0.0
    while time.monotonic() < deadline and share < 0.9:
        paint()
        viewer.send_line("KEYFRAME")
        # Frames already under way may come first; the requested key frame follows.
        for _ in range(60):
            key, stream, _, _ = video_packet(viewer.next_video())
            if key:
                break
        share = share_of_last_picture_close_to(stream, colour)
    check(share >= 0.9, f"{what}: the streamed picture never showed the expected colour ({share:.0%} of it did)")


def expect_status(host, english_title, since, who):
    """The status block with this title printed after line `since`: (the index after it, its lines)."""
    korean = {"Waiting for iPhone": "iPhone을 기다리는 중", "iPhone Connected": "iPhone 연결됨"}[english_title]
    found = host.wait_for_status(english_title, since=since)
    check(found and found[1][0] == korean, f"{who}: no {english_title!r} status titled {korean!r}: {host.lines[since:]}")
    check(host.process.poll() is None, f"{who}: the host ended (status {host.process.poll()})")
    return found[0] + 4, found[1]


def unchanged(server):
    return MONITOR not in server.monitors() and server.size() == FULL_HD


def session(server):
    """One host through a whole session: extended, mirrored, left, served again, shut."""
    port = free_port()
    physical = lambda: server.fill(0, 0, *FULL_HD, PHYSICAL_COLOUR)
    monitor = lambda: server.fill(FULL_HD[0], 0, *FULL_HD, MONITOR_COLOUR)
    with UserDirs() as dirs, Host(port, "--fps", "30", env=server.environment(), dirs=dirs) as host:
        host.line(r"^listening on port ")
        mark, _ = expect_status(host, "Waiting for iPhone", 0, "start")

        # The handshake starts the stream by itself, on a new monitor right of the screen.
        viewer = connect(port, "테스트 폰")
        mark, status = expect_status(host, "iPhone Connected", mark, "first viewer")
        check(status[2].endswith(" · H.264") and status[3] == "Ready to receive the screen", f"connected status {status}")
        check(picture_size(first_key_frame(viewer)) == STREAMED, "extended: key frame size")
        check(wait_until(lambda: MONITOR in server.monitors()), f"no monitor listed: {server.monitors()}")
        check(server.size() == (2 * FULL_HD[0], FULL_HD[1]), f"screen did not grow for the monitor: {server.size()}")
        wait_for_picture(viewer, MONITOR_COLOUR, lambda: (physical(), monitor()), "extended")

        # Mirroring: the monitor goes, the physical screen is streamed.
        viewer.send_line("MODE mirror")
        check(wait_until(lambda: unchanged(server)), f"monitor still listed in mirror mode: {server.monitors()}")
        wait_for_picture(viewer, PHYSICAL_COLOUR, physical, "mirror")

        # The viewer leaves a running stream: the host waits, and the next viewer gets a fresh
        # stream in the mode the last one chose.
        viewer.close()
        mark, _ = expect_status(host, "Waiting for iPhone", mark, "viewer left")
        viewer = connect(port, "두 번째")
        check(picture_size(first_key_frame(viewer)) == STREAMED, "second viewer: key frame size")
        check(MONITOR not in server.monitors(), "the mode the viewer chose was not kept")
        viewer.send_line("MODE virtualDisplay")
        check(wait_until(lambda: MONITOR in server.monitors()), f"no monitor after MODE virtualDisplay: {server.monitors()}")

        # SIGTERM: everything the host set up is undone.
        check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
        check(viewer.closed_by_host(), "viewer connection not closed on SIGTERM")
        viewer.close()
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind(("::", port))  # nobody listens on the port any more
        check(unchanged(server), f"screen not restored: {server.monitors()}")
        check(not os.path.exists(dirs.pid_file), "single-instance record left behind")
        # Nothing stores a stream setting: the settings file, if there is one at all, holds none.
        for key, value in dirs.settings().items():
            check(not any(word in key.lower() for word in ("mode", "quality", "fps", "frame", "resolution"))
                  and value not in ("mirror", "virtualDisplay", "balanced", "30", 30), f"stream setting stored: {key}={value!r}")


def fallback():
    """A screen that cannot grow: no monitor; the physical display is mirrored instead."""
    with XServer(*FULL_HD) as server, Host(free_port(), "--fps", "30", env=server.environment()) as host:
        host.line(r"^listening on port")
        viewer = connect(host.port, "폴백")
        mark, _ = expect_status(host, "iPhone Connected", 0, "fallback")
        check(picture_size(first_key_frame(viewer)) == STREAMED, "fallback: key frame size")
        wait_for_picture(viewer, PHYSICAL_COLOUR, lambda: server.fill(0, 0, *FULL_HD, PHYSICAL_COLOUR), "fallback")
        viewer.close()
        _, status = expect_status(host, "Waiting for iPhone", mark, "fallback")
        check(status[2].startswith("확장 모니터 생성 실패 · 화면 미러링으로 전송 시작 · "), f"fallback detail {status[2]!r}")
        check(unchanged(server), f"screen changed: {server.monitors()}")


def own_screen():
    """Without DISPLAY the host shares an X server of its own, which can grow for the monitor,
    admits only holders of its cookie, and ends it on the way out."""
    environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    with Host(free_port(), "--fps", "30", env=environment) as host:
        display = host.line(r"^no DISPLAY given: sharing a virtual screen on :\d+$").rsplit(" ", 1)[1]
        authority = host.line(r"^its X authority file: /\S+$").rsplit(" ", 1)[1]
        host.line(r"^listening on port")
        stranger = subprocess.run(["xrandr", "-q"], env=dict(environment, DISPLAY=display, XAUTHORITY="/nonexistent"),
                                  capture_output=True)
        check(stranger.returncode != 0, "the host's own X server admits a client without its cookie")
        check(stat.S_IMODE(os.stat(authority).st_mode) == 0o600, f"authority file mode {os.stat(authority).st_mode:o}")
        server = XServer.attach(display, authority)
        check(server.size() == FULL_HD and server.size("maximum") == (2 * FULL_HD[0], 2 * FULL_HD[1]),
              f"own screen runs at {server.size()} up to {server.size('maximum')}")
        children = []
        for task in os.listdir(f"/proc/{host.process.pid}/task"):
            with open(f"/proc/{host.process.pid}/task/{task}/children") as f:
                children += [int(pid) for pid in f.read().split()]
        check(children, "the host's own X server is not its child")
        viewer = connect(host.port, "자체 화면")
        first_key_frame(viewer)
        check(wait_until(lambda: MONITOR in server.monitors()), f"no monitor on the host's own screen: {server.monitors()}")
        host.process.send_signal(signal.SIGINT)
        check(host.process.wait(10) == 0, f"exit status after SIGINT: {host.process.poll()}")
        viewer.close()
        check(wait_until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in children)),
              "the host's own X server outlived it")
        check(not os.path.exists(authority), "the authority file outlived the host")


def main():
    require("Xvfb", "xrandr", "ffmpeg", "ffprobe")
    with XServer(2 * FULL_HD[0], 2 * FULL_HD[1]) as server:
        server.run_at_full_hd()
        session(server)
    fallback()
    own_screen()
    print("session host: ok")


if __name__ == "__main__":
    main()
