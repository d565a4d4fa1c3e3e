"""The table of input checks on X11 (Xvfb): a viewer's clicks, scroll, keys, Command+C and text
(typed under load) reach a Qt and a GTK 3 client full screen on the mirrored screen, and the first
touch after connecting and after a switch to extended mode and back lands."""

from host_support import Host, XServer, check, connect, free_port, require, wait_until
from input_checks import TOOLKITS, decoded_size, first_touch_lands, input_lands, require_observers

FULL_HD = (1920, 1080)
STREAMED = (1728, 972)  # balanced's size for 1920×1080, in either mode
MONITOR = "Kestrio iPhone"


def main():
    require("Xvfb", "xrandr", "ffprobe")
    require_observers()
    # 1920×1080, with room for extended mode's monitor beside it.
    with XServer(2 * FULL_HD[0], FULL_HD[1]) as server:
        server.xrandr("--newmode", "1920x1080", "173.00", "1920", "2048", "2248", "2576", "1080", "1083", "1088", "1120", "-hsync", "+vsync")
        server.xrandr("--addmode", "screen", "1920x1080")
        server.xrandr("--output", "screen", "--mode", "1920x1080", "--fb", "1920x1080")
        env = server.environment()

        def streams(viewer, mode):
            # Both modes stream the same size here: the virtual monitor tells them apart.
            wanted = lambda: (MONITOR in server.monitors()) == (mode != "mirror")
            return wait_until(wanted, 20, 0.5) and decoded_size(viewer) == STREAMED or server.monitors()

        for toolkit in TOOLKITS:
            first_touch_lands(*FULL_HD, toolkit, env=env, host_env=env, streams=streams)
        for toolkit in TOOLKITS:
            port = free_port()
            with Host(port, "--fps", "30", "--mode", "mirror", env=env) as host:
                host.line(r"^listening on port")
                viewer = connect(port, "입력 표")
                check(decoded_size(viewer) == STREAMED, "mirror mode's stream size")
                # A wheel click is 50 pixels: 100 pixels are two clicks, 30 none yet.
                input_lands(viewer, *FULL_HD, toolkit, env=env, scroll=("wheel", [0, -2]), texts=20 if toolkit == "gtk" else 1)
                viewer.close()
                check(host.terminate() == 0, "exit status after SIGTERM")
    print("X11 input: ok")


if __name__ == "__main__":
    main()
