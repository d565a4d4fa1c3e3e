"""kestrio on sway (run inside headless_sway.sh): extended mode adds a headless output of the chosen
size while a viewer watches (removed after where sway can), mirror mode streams sway's own output,
the H.264 decodes at the streamed size, clicks, scrolls and text (Korean and emoji included) reach
a Wayland client filling the captured output at the mapped points; the window starts on sway."""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from host_support import Host, check, connect, free_port, require, wait_until  # noqa: E402
from input_checks import (TOOLKITS, decoded_size, first_touch_lands, input_lands, require_observers,  # noqa: E402
                          window_and_virtual_display_start)


def swaymsg(kind):
    return json.loads(subprocess.run(["swaymsg", "-r", "-t", kind], capture_output=True, text=True, timeout=10, check=True).stdout)


def outputs():
    """(name, width, height) of the outputs sway lists."""
    return sorted((o["name"], o["current_mode"]["width"], o["current_mode"]["height"]) for o in swaymsg("get_outputs") if o["active"])


def placed_on(output):
    """Sway does not always give a new full-screen window the output it asks for, or the focus:
    the test's window is put there."""
    def place(process):
        command = f"[pid={process.pid}] move container to output {output}, focus, fullscreen enable"
        placed = lambda: all(r.get("success") for r in json.loads(subprocess.run(
            ["swaymsg", "-r", command], capture_output=True, text=True, timeout=10).stdout or "[{}]"))
        check(wait_until(placed, 10), "the observer's window never appeared")
    return place


def main():
    require("swaymsg", "ffprobe")
    require_observers()
    version = tuple(int(part) for part in swaymsg("get_version")["human_readable"].split(".")[:2])
    port = free_port()
    with Host(port, "--fps", "30") as host:
        host.line(r"^sharing the Wayland desktop through the wlroots screen-copy and virtual-input protocols, virtual monitors")
        host.line(r"^listening on port")
        check(outputs() == [("HEADLESS-1", 1280, 720)], f"outputs before: {outputs()}")
        viewer = connect(port, "테스트 폰")
        # Extended: a 1920×1080 output, streamed at balanced's 1728 pixels across.
        check(decoded_size(viewer) == (1728, 972), "extended mode's stream size")
        input_lands(viewer, 1920, 1080, "qt", shown=placed_on("HEADLESS-2"))
        viewer.send_line("MODE mirror")
        if version >= (1, 8):
            check(wait_until(lambda: len(outputs()) == 1, 10), f"outputs after extended mode: {outputs()}")
        check(decoded_size(viewer) == (1280, 720), "mirror mode's stream size")
        input_lands(viewer, 1280, 720, "gtk", shown=placed_on("HEADLESS-1"), texts=20)
        viewer.close()
        check(host.terminate() == 0, "exit status after SIGTERM")
    for toolkit in TOOLKITS:
        first_touch_lands(1280, 720, toolkit, shown=placed_on("HEADLESS-1"))
    window_and_virtual_display_start()
    print("sway session: ok")


if __name__ == "__main__":
    main()
