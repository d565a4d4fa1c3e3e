"""kestrio --headless as the session controller: a handshake streams a new virtual monitor, where a
viewer's clicks and text land; MODE mirror streams the physical screen; the host waits for the next
viewer; an independent mDNS browser sees the host until SIGTERM, which also leaves the screen as
found; no stream setting is stored."""

import base64
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
    check(wait_until(lambda: paint() or viewer.send_line("KEYFRAME") or share_close_to(key_frame(viewer), colour) >= 0.9,
                     15, 0), f"the streamed picture never showed {colour}")


def monitor_rect(server):
    found = re.search(rf"{MONITOR} (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+)", server.monitors())
    return found and tuple(int(found.group(i)) for i in (3, 4, 1, 2))


def input_lands_on_the_monitor(server, viewer):
    from x_input_recorder import BUTTON_PRESS, CONTROL_MASK, KEY_PRESS, InputRecorder, keysym_of
    x0, y0, width, height = wait_until(lambda: monitor_rect(server))
    with InputRecorder(server.name) as recorder:
        keys = lambda got: [e for e in got if e.type == KEY_PRESS and not 0xFFE1 <= e.keysym <= 0xFFEE]

        def typed(line, count):
            viewer.send_line(line)
            recorder.wait_for(lambda got: len(keys(got)) >= count)
            return keys(recorder.take())
        viewer.send_line("R 0.75 0.25")
        recorder.wait_for(lambda got: got)
        clicks = [(e.detail, e.x, e.y) for e in recorder.take() if e.type == BUTTON_PRESS]
        check(clicks == [(3, x0 + round(width * 0.75), y0 + round(height * 0.25))], f"R 0.75 0.25 gave {clicks}")
        text = typed("T " + base64.b64encode("한글 ñ😀".encode()).decode(), 5)
        check([e.keysym for e in text] == [keysym_of(c) for c in "한글 ñ😀"], f"text arrived as {text}")
        viewer.send_line("K COMMAND_DOWN")
        text = typed("T " + base64.b64encode(b"c").decode(), 1)
        viewer.send_line("K COMMAND_UP")
        check(text[-1].keysym == ord("c") and text[-1].state & CONTROL_MASK, f"Command + c arrived as {text}")


def session(server):
    port = free_port()
    physical = lambda: server.fill(0, 0, *FULL_HD, PHYSICAL)
    with UserDirs() as dirs, Host(port, "--fps", "30", env=server.environment(), dirs=dirs) as host:
        name = host.line(r'^listening on port \d+ as ".*"$').split(' as "', 1)[1][:-1]
        check(name.endswith(" \u00b7 KS1"), f"instance name {name!r}")
        mark, _ = host.status("Waiting for iPhone")
        viewer = connect(port, "테스트 폰")
        mark, status = host.status("iPhone Connected", mark)
        check(status[0] == "iPhone 연결됨" and status[2].endswith(" · 이 컴퓨터 · H.264"), f"connected status {status}")
        key_frame(viewer, first=True)
        check(wait_until(lambda: server.size() == (2 * FULL_HD[0], FULL_HD[1])), f"screen did not grow: {server.size()}")
        shows(viewer, VIRTUAL, lambda: (physical(), server.fill(FULL_HD[0], 0, *FULL_HD, VIRTUAL)))
        input_lands_on_the_monitor(server, viewer)

        viewer.send_line("MODE mirror")
        check(wait_until(lambda: MONITOR not in server.monitors()), f"monitor kept in mirror mode: {server.monitors()}")
        shows(viewer, PHYSICAL, physical)

        # The next viewer gets a fresh stream in the mode the last one chose.
        viewer.close()
        mark, status = host.status("Waiting for iPhone", mark)
        check(status[0] == "iPhone을 기다리는 중", f"waiting status {status}")
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
        stored = [(k, v) for k, v in dirs.settings().items()
                  if re.search("mode|quality|fps|frame|resolution", k, re.I) or v in ("mirror", "balanced", 30)]
        check(not stored, f"stream settings stored: {stored}")


def main():
    require("Xvfb", "xrandr", "ffmpeg", modules=["Xlib"])
    require_mdns()
    with XServer(2 * FULL_HD[0], 2 * FULL_HD[1]) as server:
        server.run_at_full_hd()
        session(server)
    print("session host: ok")


if __name__ == "__main__":
    main()
