"""kestrio on a GNOME Wayland session (run inside headless_gnome.sh): extended mode adds a monitor
of the chosen size for as long as a viewer watches, mirror mode streams the compositor's own
monitor, the H.264 decodes at the streamed size, clicks, scrolls and text (Korean and emoji
included) reach a Wayland client filling the captured monitor at the mapped points, and the
window starts on Wayland."""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from host_support import Host, check, connect, free_port, require  # noqa: E402
from input_checks import (TOOLKITS, decoded_size, first_touch_lands, input_lands, require_observers,  # noqa: E402
                          window_and_virtual_display_start)


def monitors():
    """(product, width, height) of the monitors the compositor lists."""
    state = subprocess.run(["gdbus", "call", "--session", "--dest", "org.gnome.Mutter.DisplayConfig", "--object-path",
                            "/org/gnome/Mutter/DisplayConfig", "--method", "org.gnome.Mutter.DisplayConfig.GetCurrentState"],
                           capture_output=True, text=True, timeout=10).stdout
    return [(product, int(w), int(h)) for product, w, h in
            re.findall(r"\('[^']*', '[^']*', '([^']*)', '[^']*'\), \[\('[^']*', (\d+), (\d+)", state)]


def main():
    require("gdbus", "ffprobe")
    require_observers()
    port = free_port()
    with Host(port, "--fps", "30") as host:
        host.line(r"^sharing the GNOME Wayland desktop")
        host.line(r"^listening on port")
        check(monitors() == [("MetaVirtualMonitor", 1280, 720)], f"monitors before: {monitors()}")
        viewer = connect(port, "테스트 폰")
        # Extended: a 1920×1080 monitor, streamed at balanced's 1728 pixels across.
        check(decoded_size(viewer) == (1728, 972), "extended mode's stream size")
        input_lands(viewer, 1920, 1080, "qt")
        viewer.send_line("MODE mirror")
        check(decoded_size(viewer) == (1280, 720), "mirror mode's stream size")
        input_lands(viewer, 1280, 720, "gtk", texts=20, clipboard=True)
        viewer.close()
        check(host.terminate() == 0, "exit status after SIGTERM")
    for toolkit in TOOLKITS:
        first_touch_lands(1280, 720, toolkit)
    window_and_virtual_display_start()
    # A Wayland session without Mutter's services (a session bus of its own) is not shared at all,
    # and says so.
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"], stdout=subprocess.PIPE, text=True)
    try:
        address = bus.stdout.readline().strip()
        with Host(free_port(), env={**os.environ, "XDG_SESSION_TYPE": "wayland", "DBUS_SESSION_BUS_ADDRESS": address}) as host:
            host.line(r"^this Wayland session cannot be shared: no org\.gnome\.Mutter\.DisplayConfig")
            host.line(r"^지원되지 않는 Wayland 데스크톱$")
    finally:
        bus.kill()
        bus.wait()
    print("GNOME session: ok")


if __name__ == "__main__":
    main()
