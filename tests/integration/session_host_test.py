"""kestrio --headless as the session controller, driven from the outside on an X server of the
test's own that can grow: a viewer's handshake starts the stream on a new virtual monitor, the
viewer switches it to mirroring and stops it, viewers come and go while the host waits (and stays
advertised), and SIGTERM leaves the screen as it found it. A screen that cannot grow is mirrored
instead. A newer host takes over from an older one; stream settings are never stored; a bad
option ends the program at once without touching the running host."""

import base64
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import time

from host_support import (BIN, Host, UserDirs, Viewer, XServer, annex_b, browse, check, free_port, last_picture,
                          mdns_available, next_video, picture_size, run_kestrio, share_close_to, skip, video_packet,
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
QUIET_AFTER_STOP = 2.0


def connect(port, name):
    """A viewer that has completed the handshake as `name`."""
    viewer = Viewer(port)
    viewer.send_line("HELLO 2 H264 " + base64.b64encode(name.encode()).decode())
    welcome = viewer.read_control().split(" ")
    check(welcome[:3] == ["WELCOME", "2", "H264"], f"welcome {welcome}")
    return viewer


def first_key_frame(viewer, who):
    """The viewer's first video packet, which must be a key frame with both parameter sets, as
    an Annex B stream."""
    key, sps, pps, data = video_packet(next_video(viewer, timeout=15))
    check(key == 1, f"{who}: the first video packet is not a key frame")
    check(sps and sps[0] & 0x1F == 7, f"{who}: key frame without a sequence parameter set")
    check(pps and pps[0] & 0x1F == 8, f"{who}: key frame without a picture parameter set")
    return annex_b(sps, pps, data)


def requested_key_frame(viewer):
    viewer.send_line("KEYFRAME")
    # Frames already under way may come first; the requested key frame follows.
    for _ in range(60):
        key, sps, pps, data = video_packet(next_video(viewer))
        if key:
            check(sps and pps, "requested key frame without parameter sets")
            return annex_b(sps, pps, data)
    check(False, "no key frame after KEYFRAME")


def wait_for_picture(viewer, colour, paint, what, timeout=15.0):
    """A key frame, requested until one shows mostly `colour`; `paint` puts the colour on the
    screen before each request (the server repaints the root window when the screen changes
    size). Returns the key frame as an Annex B stream."""
    deadline = time.monotonic() + timeout
    share = 0.0
    while time.monotonic() < deadline:
        paint()
        stream = requested_key_frame(viewer)
        share = share_close_to(last_picture(stream), colour)
        if share >= 0.9:
            return stream
    check(False, f"{what}: the streamed picture never showed the expected colour ({share:.0%} of it did)")


def expect_silence_after_stop(viewer):
    """Frames already in flight may still come; then none for QUIET_AFTER_STOP seconds."""
    viewer.send_line("STOP")
    deadline = time.monotonic() + 10.0
    last_frame = time.monotonic()
    while True:
        now = time.monotonic()
        quiet_left = last_frame + QUIET_AFTER_STOP - now
        if quiet_left <= 0:
            return
        check(now < deadline, "video packets keep coming after STOP")
        if viewer.next_video(timeout=min(quiet_left, deadline - now)) is not None:
            last_frame = time.monotonic()


def expect_waiting(host, since, who):
    """The waiting status printed after line `since`; its four lines."""
    found = host.wait_for_status("Waiting for iPhone", since=since)
    check(found, f"{who}: no waiting status after the viewer left: {host.lines[since:]}")
    status = found[1]
    check(status[0] == "iPhone을 기다리는 중", f"{who}: waiting title {status[0]!r}")
    check(host.process.poll() is None, f"{who}: host ended when the viewer left (status {host.process.poll()})")
    return status


def expect_connected(host, since, who):
    """The connected status printed after line `since`; the index of the line that follows it."""
    found = host.wait_for_status("iPhone Connected", since=since)
    check(found, f"{who}: no connected status: {host.lines[since:]}")
    index, status = found
    check(status[0] == "iPhone 연결됨", f"{who}: connected title {status[0]!r}")
    check(status[2].endswith(" · H.264"), f"{who}: connected detail {status[2]!r}")
    check(status[3] == "Ready to receive the screen", f"{who}: connected detail {status[3]!r}")
    return index + 4


def advertised_name(host):
    line = host.wait_for_line(r'^listening on port \d+ as ".*"$', timeout=15)
    check(line, f"no listening line in {host.lines}")
    return line.split(' as "', 1)[1][:-1]


def expect_advertised(name, port, mdns, when):
    if mdns:
        check(wait_until(lambda: (name, port) in browse(), timeout=20), f"{name!r} on {port} not browsable {when}")


def expect_port_closed(port):
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("::", port))
        except OSError as error:
            check(False, f"port {port} still taken after the host ended: {error}")


def expect_no_stream_settings(dirs):
    """Nothing stores a stream setting: the settings file, if there is one at all, holds none."""
    path = os.path.join(dirs.settings_folder, "settings.json")
    if not os.path.exists(path):
        return
    with open(path, encoding="utf-8") as f:
        stored = json.load(f)
    check(isinstance(stored, dict), f"settings file is not an object: {stored!r}")
    for key, value in stored.items():
        lowered = key.lower()
        check(not any(word in lowered for word in ("mode", "quality", "fps", "frame", "resolution")),
              f"stream setting stored: {key}={value!r}")
        check(value not in ("mirror", "virtualDisplay", "balanced", "30", 30),
              f"stream setting stored: {key}={value!r}")


def session(server, mdns):
    """One host through a whole session: extended, mirrored, stopped, left, served again, shut."""
    dirs = UserDirs()
    port = free_port()
    host = Host(port, "--fps", "30", env=server.environment(), dirs=dirs)
    viewers = []
    physical = lambda: server.fill(0, 0, FULL_HD[0], FULL_HD[1], PHYSICAL_COLOUR)
    monitor = lambda: server.fill(FULL_HD[0], 0, FULL_HD[0], FULL_HD[1], MONITOR_COLOUR)
    try:
        name = advertised_name(host)
        check(host.wait_for_status("Waiting for iPhone"), f"no waiting status at start: {host.lines}")

        # The handshake starts the stream by itself, on a new monitor right of the screen.
        mark = len(host.lines)
        viewer = connect(port, "테스트 폰")
        viewers.append(viewer)
        check(host.wait_for_line(r"^viewer: 테스트 폰$", since=mark), f"viewer line in {host.lines[mark:]}")
        mark = expect_connected(host, mark, "first viewer")
        size = picture_size(first_key_frame(viewer, "first viewer"))
        check(size == STREAMED, f"extended: key frame is {size}")
        check(wait_until(lambda: MONITOR in server.monitors()), f"no monitor listed: {server.monitors()}")
        check(server.size() == (2 * FULL_HD[0], FULL_HD[1]), f"screen did not grow for the monitor: {server.size()}")
        wait_for_picture(viewer, MONITOR_COLOUR, lambda: (physical(), monitor()), "extended")

        # Mirroring: the monitor goes, the physical screen is streamed.
        viewer.send_line("MODE mirror")
        check(wait_until(lambda: MONITOR not in server.monitors()),
              f"monitor still listed in mirror mode: {server.monitors()}")
        check(wait_until(lambda: server.size() == FULL_HD), f"screen not shrunk back: {server.size()}")
        size = picture_size(wait_for_picture(viewer, PHYSICAL_COLOUR, physical, "mirror"))
        check(size == STREAMED, f"mirror: key frame is {size}")

        expect_silence_after_stop(viewer)
        viewer.send_line("PING 7")
        check(viewer.read_control() == "PONG 7", "viewer not answered after STOP")

        # The viewer leaves; the host waits, advertised, and serves the next one.
        viewer.close()
        expect_waiting(host, mark, "stopped stream")
        expect_advertised(name, port, mdns, "while waiting")
        mark = len(host.lines)
        viewer = connect(port, "두 번째")
        viewers.append(viewer)
        mark = expect_connected(host, mark, "second viewer")
        size = picture_size(first_key_frame(viewer, "second viewer"))
        check(size == STREAMED, f"second viewer: key frame is {size}")
        check(MONITOR not in server.monitors(), "the mode the viewer chose was not kept")
        viewer.send_line("MODE virtualDisplay")
        check(wait_until(lambda: MONITOR in server.monitors()),
              f"no monitor after MODE virtualDisplay: {server.monitors()}")
        wait_for_picture(viewer, MONITOR_COLOUR, lambda: (physical(), monitor()), "extended again")

        # Leaving a running stream: it goes on (the monitor stays) until the next viewer, who
        # gets a fresh stream.
        viewer.close()
        expect_waiting(host, mark, "running stream")
        check(MONITOR in server.monitors(), "the stream ended with the viewer")
        expect_advertised(name, port, mdns, "while the stream runs without a viewer")
        viewer = connect(port, "세 번째")
        viewers.append(viewer)
        size = picture_size(first_key_frame(viewer, "third viewer"))
        check(size == STREAMED, f"third viewer: key frame is {size}")
        check(MONITOR in server.monitors(), "no monitor for the third viewer")

        # SIGTERM: everything the host set up is undone.
        check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
        check(viewer.closed_by_host(), "viewer connection not closed on SIGTERM")
        expect_port_closed(port)
        check(MONITOR not in server.monitors(), f"monitor left behind: {server.monitors()}")
        check(server.size() == FULL_HD, f"screen not restored: {server.size()}")
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
        mark = expect_connected(host, 0, "fallback")
        size = picture_size(first_key_frame(viewer, "fallback"))
        check(size == STREAMED, f"fallback: key frame is {size}")
        check(MONITOR not in server.monitors(), f"a monitor on a screen that cannot grow: {server.monitors()}")
        wait_for_picture(viewer, PHYSICAL_COLOUR, lambda: server.fill(0, 0, *FULL_HD, PHYSICAL_COLOUR), "fallback")
        viewer.close()
        status = expect_waiting(host, mark, "fallback")
        check(status[2].startswith("확장 모니터 생성 실패 · 화면 미러링으로 전송 시작 · "),
              f"fallback detail {status[2]!r}")
        check(host.terminate() == 0, "exit status after SIGTERM")
        check(server.size() == FULL_HD, f"screen changed: {server.size()}")
    finally:
        if viewer:
            viewer.close()
        host.kill()
        server.close()


def running(pid):
    """Whether the process runs (a zombie nobody reaps does not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(") ", 1)[1][0] not in "ZXx"
    except FileNotFoundError:
        return False


def own_screen():
    """Without DISPLAY the host shares an X server of its own, which can grow for the monitor,
    admits only holders of its cookie, and ends it on the way out."""
    environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    host = Host(free_port(), "--fps", "30", env=environment)
    viewer = None
    try:
        line = host.wait_for_line(r"^no DISPLAY given: sharing a virtual screen on :\d+$", timeout=15)
        check(line, f"no line about the host's own screen: {host.lines}")
        authority = host.wait_for_line(r"^its X authority file: /\S+$")
        check(authority, f"no line about the X authority file: {host.lines}")
        authority = authority.rsplit(" ", 1)[1]
        check(host.wait_for_line(r"^listening on port"), f"host did not start: {host.lines}")
        display = line.rsplit(" ", 1)[1]
        stranger = subprocess.run(["xrandr", "-q"], env=dict(environment, DISPLAY=display, XAUTHORITY="/nonexistent"),
                                  capture_output=True)
        check(stranger.returncode != 0, "the host's own X server admits a client without its cookie")
        check(stat.S_IMODE(os.stat(authority).st_mode) == 0o600, f"authority file mode {os.stat(authority).st_mode:o}")
        server = XServer.attach(display, authority)
        check(server.size() == FULL_HD, f"own screen runs at {server.size()}")
        check(server.maximum_size() == (2 * FULL_HD[0], 2 * FULL_HD[1]), f"own screen grows to {server.maximum_size()}")
        children = []
        for task in os.listdir(f"/proc/{host.process.pid}/task"):
            with open(f"/proc/{host.process.pid}/task/{task}/children") as f:
                children += [int(pid) for pid in f.read().split()]
        check(children, "the host's own X server is not its child")
        viewer = connect(host.port, "자체 화면")
        size = picture_size(first_key_frame(viewer, "own screen"))
        check(size == STREAMED, f"own screen: key frame is {size}")
        check(wait_until(lambda: MONITOR in server.monitors()),
              f"no monitor on the host's own screen: {server.monitors()}")
        host.process.send_signal(signal.SIGINT)
        check(host.wait_for_exit() == 0, f"exit status after SIGINT: {host.process.poll()}")
        check(viewer.closed_by_host(), "viewer connection not closed on SIGINT")
        check(wait_until(lambda: not any(running(pid) for pid in children)), "the host's own X server outlived it")
        check(not os.path.exists(authority), "the authority file outlived the host")
    finally:
        if viewer:
            viewer.close()
        host.kill()


def single_instance_and_options(server):
    """A newer host ends the older one of the same user, which cleans up as on any SIGTERM; bad
    options end the program before it takes over anything."""
    environment = server.environment()
    with UserDirs() as dirs:
        older = Host(free_port(), env=environment, dirs=dirs)
        newer = viewer = None
        try:
            check(older.wait_for_line(r"^listening on port"), f"older host did not start: {older.lines}")
            check(wait_until(lambda: os.path.exists(dirs.pid_file)), "no single-instance record")
            viewer = connect(older.port, "먼저")
            first_key_frame(viewer, "older host")
            check(wait_until(lambda: MONITOR in server.monitors()),
                  f"no monitor for the older host: {server.monitors()}")

            newer = Host(free_port(), "--mode", "mirror", env=environment, dirs=dirs)
            check(older.wait_for_exit(timeout=10) == 0, f"older host: exit status {older.process.poll()}")
            check(viewer.closed_by_host(), "the older host's viewer was not closed")
            check(MONITOR not in server.monitors(), f"the older host's monitor was left behind: {server.monitors()}")
            check(server.size() == FULL_HD, f"screen not restored after the older host: {server.size()}")
            check(newer.wait_for_line(r"^listening on port"), f"newer host did not start: {newer.lines}")
            with open(dirs.pid_file) as f:
                check(f.read().strip() == str(newer.process.pid), "the record does not name the newer host")

            # Which values are bad is the parser's tests' part; here, how the program ends on one.
            result = run_kestrio("--headless", "--port", str(free_port()), "--fps", "45", env=environment, dirs=dirs)
            check(result.returncode == 2, f"--fps 45: exit status {result.returncode}")
            check('kestrio: --fps takes' in result.stderr and '"45"' in result.stderr,
                  f"--fps 45: standard error {result.stderr!r}")
            check(not result.stdout, f"--fps 45: standard output {result.stdout!r}")
            check(newer.process.poll() is None, "a bad command line ended the running host")

            viewer.close()
            viewer = connect(newer.port, "나중")
            first_key_frame(viewer, "newer host")
            check(newer.terminate() == 0, "newer host: exit status after SIGTERM")
            check(not os.path.exists(dirs.pid_file), "single-instance record left behind")
            expect_no_stream_settings(dirs)
        finally:
            if viewer:
                viewer.close()
            older.kill()
            if newer:
                newer.kill()


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    for tool in ("Xvfb", "xrandr", "ffmpeg", "ffprobe"):
        if not shutil.which(tool):
            skip(f"{tool} is not installed")
    mdns = mdns_available()
    if not mdns:
        check(os.environ.get("KESTRIO_REQUIRE_MDNS") != "1",
              "no avahi-daemon on the tests' bus; run scripts/services.sh start")
        print("note: no avahi-daemon on the tests' bus, advertising is not checked")

    server = XServer(2 * FULL_HD[0], 2 * FULL_HD[1])
    try:
        server.run_at_full_hd()
        started = time.monotonic()
        session(server, mdns)
        print(f"session: ok ({time.monotonic() - started:.1f} s)")
        started = time.monotonic()
        single_instance_and_options(server)
        print(f"single instance and options: ok ({time.monotonic() - started:.1f} s)")
    finally:
        server.close()
    started = time.monotonic()
    fallback()
    print(f"fallback to mirroring: ok ({time.monotonic() - started:.1f} s)")
    started = time.monotonic()
    own_screen()
    print(f"own screen: ok ({time.monotonic() - started:.1f} s)")
    print("session host: ok")


if __name__ == "__main__":
    main()
