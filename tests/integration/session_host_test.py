"""kestrio --headless as the session controller, driven from the outside on an X server of the
test's own that can grow: a viewer's handshake starts the stream on a new virtual monitor, MODE
mirror streams the physical screen instead, the host waits for the next viewer when one leaves,
and SIGTERM leaves the screen as it found it. A screen that cannot grow is mirrored instead.
Without DISPLAY the host shares an X server of its own. Stream settings are never stored. (A
newer host ending an older one is the single-instance tests' part.)"""

import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import time

from host_support import (BIN, Host, UserDirs, XServer, annex_b, check, connect, first_key_frame, free_port,
                          last_picture, next_video, picture_size, share_close_to, skip, video_packet,
                          wait_until)

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
    screen before each request (the server repaints the root window when the screen changes
    size)."""
    deadline = time.monotonic() + timeout
    share = 0.0
    while time.monotonic() < deadline:
        paint()
        viewer.send_line("KEYFRAME")
        # Frames already under way may come first; the requested key frame follows.
        for _ in range(60):
            key, sps, pps, data = video_packet(next_video(viewer))
            if key:
                break
        share = share_close_to(last_picture(annex_b(sps, pps, data)), colour)
        if share >= 0.9:
            return
    check(False, f"{what}: the streamed picture never showed the expected colour ({share:.0%} of it did)")


def expect_status(host, english_title, korean_title, since, who):
    """The status block with this title printed after line `since`: (the index after it, its lines)."""
    found = host.wait_for_status(english_title, since=since)
    check(found, f"{who}: no {english_title!r} status: {host.lines[since:]}")
    check(found[1][0] == korean_title, f"{who}: title {found[1][0]!r}")
    check(host.process.poll() is None, f"{who}: the host ended (status {host.process.poll()})")
    return found[0] + 4, found[1]


def expect_no_stream_settings(dirs):
    """Nothing stores a stream setting: the settings file, if there is one at all, holds none."""
    path = os.path.join(dirs.settings_folder, "settings.json")
    stored = json.load(open(path, encoding="utf-8")) if os.path.exists(path) else {}
    for key, value in stored.items():
        check(not any(word in key.lower() for word in ("mode", "quality", "fps", "frame", "resolution"))
              and value not in ("mirror", "virtualDisplay", "balanced", "30", 30), f"stream setting stored: {key}={value!r}")


def session(server):
    """One host through a whole session: extended, mirrored, left, served again, shut."""
    dirs = UserDirs()
    port = free_port()
    host = Host(port, "--fps", "30", env=server.environment(), dirs=dirs)
    viewers = []
    physical = lambda: server.fill(0, 0, FULL_HD[0], FULL_HD[1], PHYSICAL_COLOUR)
    monitor = lambda: server.fill(FULL_HD[0], 0, FULL_HD[0], FULL_HD[1], MONITOR_COLOUR)
    try:
        check(host.wait_for_line(r"^listening on port ", 15), f"the host did not start: {host.lines}")
        mark, _ = expect_status(host, "Waiting for iPhone", "iPhone을 기다리는 중", 0, "start")

        # The handshake starts the stream by itself, on a new monitor right of the screen.
        viewers.append(connect(port, "테스트 폰"))
        mark, status = expect_status(host, "iPhone Connected", "iPhone 연결됨", mark, "first viewer")
        check(status[2].endswith(" · H.264") and status[3] == "Ready to receive the screen", f"connected status {status}")
        check(picture_size(first_key_frame(viewers[-1])) == STREAMED, "extended: key frame size")
        check(wait_until(lambda: MONITOR in server.monitors()), f"no monitor listed: {server.monitors()}")
        check(server.size() == (2 * FULL_HD[0], FULL_HD[1]), f"screen did not grow for the monitor: {server.size()}")
        wait_for_picture(viewers[-1], MONITOR_COLOUR, lambda: (physical(), monitor()), "extended")

        # Mirroring: the monitor goes, the physical screen is streamed.
        viewers[-1].send_line("MODE mirror")
        check(wait_until(lambda: MONITOR not in server.monitors() and server.size() == FULL_HD),
              f"monitor still listed in mirror mode: {server.monitors()}")
        wait_for_picture(viewers[-1], PHYSICAL_COLOUR, physical, "mirror")

        # The viewer leaves a running stream: the host waits, and the next viewer gets a fresh
        # stream in the mode the last one chose.
        viewers[-1].close()
        mark, _ = expect_status(host, "Waiting for iPhone", "iPhone을 기다리는 중", mark, "viewer left")
        viewers.append(connect(port, "두 번째"))
        check(picture_size(first_key_frame(viewers[-1])) == STREAMED, "second viewer: key frame size")
        check(MONITOR not in server.monitors(), "the mode the viewer chose was not kept")
        viewers[-1].send_line("MODE virtualDisplay")
        check(wait_until(lambda: MONITOR in server.monitors()), f"no monitor after MODE virtualDisplay: {server.monitors()}")

        # SIGTERM: everything the host set up is undone.
        check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
        check(viewers[-1].closed_by_host(), "viewer connection not closed on SIGTERM")
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind(("::", port))  # nobody listens on the port any more
        check(MONITOR not in server.monitors() and server.size() == FULL_HD, f"screen not restored: {server.monitors()}")
        check(not os.path.exists(dirs.pid_file), "single-instance record left behind")
        expect_no_stream_settings(dirs)
    finally:
        for viewer in viewers:
            viewer.close()
        host.kill()
        dirs.close()


def fallback():
    """A screen that cannot grow: no monitor; the physical display is mirrored instead."""
    server = XServer(*FULL_HD)
    host = Host(free_port(), "--fps", "30", env=server.environment())
    viewer = None
    try:
        check(host.wait_for_line(r"^listening on port"), f"host did not start: {host.lines}")
        viewer = connect(host.port, "폴백")
        mark, _ = expect_status(host, "iPhone Connected", "iPhone 연결됨", 0, "fallback")
        check(picture_size(first_key_frame(viewer)) == STREAMED, "fallback: key frame size")
        wait_for_picture(viewer, PHYSICAL_COLOUR, lambda: server.fill(0, 0, *FULL_HD, PHYSICAL_COLOUR), "fallback")
        viewer.close()
        _, status = expect_status(host, "Waiting for iPhone", "iPhone을 기다리는 중", mark, "fallback")
        check(status[2].startswith("확장 모니터 생성 실패 · 화면 미러링으로 전송 시작 · "), f"fallback detail {status[2]!r}")
        check(MONITOR not in server.monitors() and server.size() == FULL_HD, f"screen changed: {server.monitors()}")
    finally:
        if viewer:
            viewer.close()
        host.kill()
        server.close()


def own_screen():
    """Without DISPLAY the host shares an X server of its own, which can grow for the monitor,
    admits only holders of its cookie, and ends it on the way out."""
    environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    host = Host(free_port(), "--fps", "30", env=environment)
    viewer = None
    try:
        line = host.wait_for_line(r"^no DISPLAY given: sharing a virtual screen on :\d+$", timeout=15)
        authority = host.wait_for_line(r"^its X authority file: /\S+$")
        check(line and authority and host.wait_for_line(r"^listening on port"), f"host did not start: {host.lines}")
        display, authority = line.rsplit(" ", 1)[1], authority.rsplit(" ", 1)[1]
        stranger = subprocess.run(["xrandr", "-q"], env=dict(environment, DISPLAY=display, XAUTHORITY="/nonexistent"),
                                  capture_output=True)
        check(stranger.returncode != 0, "the host's own X server admits a client without its cookie")
        check(stat.S_IMODE(os.stat(authority).st_mode) == 0o600, f"authority file mode {os.stat(authority).st_mode:o}")
        server = XServer.attach(display, authority)
        check(server.size() == FULL_HD and server.maximum_size() == (2 * FULL_HD[0], 2 * FULL_HD[1]),
              f"own screen runs at {server.size()} up to {server.maximum_size()}")
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
        check(wait_until(lambda: not any(os.path.exists(f"/proc/{pid}") for pid in children)),
              "the host's own X server outlived it")
        check(not os.path.exists(authority), "the authority file outlived the host")
    finally:
        if viewer:
            viewer.close()
        host.kill()


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    for tool in ("Xvfb", "xrandr", "ffmpeg", "ffprobe"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    server = XServer(2 * FULL_HD[0], 2 * FULL_HD[1])
    try:
        server.run_at_full_hd()
        session(server)
    finally:
        server.close()
    fallback()
    own_screen()
    print("session host: ok")


if __name__ == "__main__":
    main()
