"""kestrio --headless on an Xorg that drives monitors (the dummy driver: DUMMY0 lit, fifteen spare
outputs): the virtual monitor lights the first spare output right of DUMMY0 and leaves DUMMY0 as it
was; a window and the pointer go there, a viewer's touch lands there and its stream shows it. STOP,
the host's exit, and the next start after the host was killed take the output, its mode and the
larger screen away again; a switched-off monitor that announces itself is no spare. With no spare
output the host makes a monitor without one, warns that the pointer cannot enter it, and changes
no output."""

import re
import subprocess

from host_support import Host, UserDirs, XorgServer, check, connect, free_port, key_frame, require, share_close_to, wait_until

MONITOR = "Kestrio iPhone"
MODE = "Kestrio-1920x1080"
PHYSICAL = (2048, 1536)
PICTURE = (1728, 972)  # "balanced" streams the 1920x1080 monitor at most 1728 pixels wide
GREEN = (40, 170, 70)
WARNING = ["가상 모니터에 포인터가 들어갈 수 없음 · 이 X 서버에서는 화면 미러링을 쓰세요",
           "The pointer cannot enter the virtual monitor on this X server: use mirror mode"]


def placement(layout):
    """Where each output shows and on which CRTC: what the host must leave as it was."""
    return {name: (output.crtc, output.mode, output.x, output.y, output.width, output.height) for name, output in layout.outputs.items()}


def spare(layout):
    """The first output that shows nothing, with no monitor on it (the dummy driver's outputs stay
    "connected" once lit, announcing no monitor), one of whose CRTCs no output uses."""
    busy = {output.crtc for output in layout.outputs.values()}
    return next(name for name, output in layout.outputs.items()
                if not output.crtc and not (output.connected and output.announced) and set(output.crtcs) - busy)


def hosts_modes(layout):
    return [mode for mode in layout.modes if mode.startswith("Kestrio-")]


def undone(server, before):
    """The layout once it is as `before` again, with no mode of the host's left on the server."""
    layout = server.layout()
    return placement(layout) == placement(before) and layout.size == before.size and not hosts_modes(layout) and layout


def explain(server, before):
    layout = server.layout()
    changed = {name: (was, now) for (name, was), now in zip(placement(before).items(), placement(layout).values()) if was != now}
    return f"screen {layout.size} (was {before.size}), outputs changed {changed}, host's modes {hosts_modes(layout)}"


def join(host):
    """A viewer (H.264, the default quality) once the host listens."""
    host.line("^listening on port ")
    return connect(host.port, "Xorg 폰")


def pointer(server):
    position = server.client.screen().root.query_pointer()
    return position.root_x, position.root_y


def decoded_size(stream):
    result = subprocess.run(["ffprobe", "-v", "error", "-f", "h264", "-select_streams", "v", "-show_entries", "stream=width,height",
                             "-of", "csv=p=0", "-"], input=stream, capture_output=True, timeout=30)
    return tuple(int(n) for n in result.stdout.split(b",")) if result.returncode == 0 else result.stderr


def extended_on_a_spare_output(server):
    from Xlib import X
    before = server.layout()
    output = spare(before)
    with Host(free_port(), env=server.environment()) as host:
        viewer = join(host)
        key_frame(viewer, first=True)
        lit = wait_until(lambda: (layout := server.layout()).outputs[output].mode and layout)
        check(lit, f"{output} not lit: {server.xrandr()}")
        check(lit.outputs["DUMMY0"] == before.outputs["DUMMY0"], f"DUMMY0 changed: {before.outputs['DUMMY0']} -> {lit.outputs['DUMMY0']}")
        ours = lit.outputs[output]
        check((ours.mode[1], ours.x, ours.y, ours.width, ours.height) == (MODE, PHYSICAL[0], 0, 1920, 1080), f"{output}: {ours}")
        others = [o.crtc for name, o in lit.outputs.items() if name != output]
        check(ours.crtc not in others and lit.size == (PHYSICAL[0] + 1920, PHYSICAL[1]),
              f"{output} on CRTC {ours.crtc} (the others on {others}), screen {lit.size}")
        check(re.search(rf"^ *\d+: \+?{MONITOR} 1920/\d+x1080/\d+\+2048\+0 +{output}$", server.monitors(), re.M), f"monitors: {server.monitors()}")

        # A window placed on the monitor shows in the stream; the pointer goes there, and so does a touch.
        root = server.client.screen().root
        window = root.create_window(PHYSICAL[0], 0, 1920, 1080, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent,
                                    background_pixel=int.from_bytes(bytes(GREEN), "big"), override_redirect=True)
        window.map()
        root.warp_pointer(3000, 500)
        server.client.sync()
        check(pointer(server) == (3000, 500), f"pointer warped to (3000, 500) stayed at {pointer(server)}")
        stream = wait_until(lambda: viewer.send_line("KEYFRAME") or (frame := key_frame(viewer)) and share_close_to(frame, GREEN) >= 0.9 and frame,
                            15, 0)
        check(stream, "the stream never showed the window on the virtual monitor")
        check(decoded_size(stream) == PICTURE, f"the stream decodes at {decoded_size(stream)}")
        viewer.send_line("M 0.5 0.5")
        check(wait_until(lambda: abs((at := pointer(server))[0] - 3008) <= 2 and abs(at[1] - 540) <= 2),
              f"M 0.5 0.5 left the pointer at {pointer(server)}")
        window.destroy()

        viewer.send_line("STOP")
        check(wait_until(lambda: undone(server, before)), f"after STOP: {explain(server, before)}")
        check(MONITOR not in server.monitors(), f"monitor kept after STOP: {server.monitors()}")
        check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
        viewer.close()


def restart_after_kill(server):
    from Xlib import X, Xatom
    # The output used last gets a monitor, switched off, that announces itself (an EDID): no spare.
    switched_off = server.layout().outputs[spare(server.layout())]
    edid = server.client.intern_atom("EDID")
    server.client.xrandr_change_output_property(switched_off.id, edid, Xatom.INTEGER, X.PropModeReplace, (8, bytes(128)))
    before = server.layout()
    output = spare(before)
    with UserDirs() as dirs:
        with Host(free_port(), env=server.environment(), dirs=dirs) as host:
            viewer = join(host)
            check(wait_until(lambda: server.layout().outputs[output].mode), f"{output} not lit: {server.xrandr()}")
            host.kill()
            viewer.close()
        check(server.layout().outputs[output].mode and server.size() != before.size, f"nothing left after SIGKILL: {server.xrandr()}")
        with Host(free_port(), env=server.environment(), dirs=dirs) as host:
            host.line(rf"^turned off {output}, which an earlier run lit for its virtual monitor$")
            check(wait_until(lambda: undone(server, before)), f"the next start left {explain(server, before)}")
            check(MONITOR not in server.monitors(), f"monitor left: {server.monitors()}")
            # Lit again, and the host's exit takes it away.
            viewer = join(host)
            check(wait_until(lambda: server.layout().outputs[output].mode), f"{output} not lit again: {server.xrandr()}")
            check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
            check(wait_until(lambda: undone(server, before)) and MONITOR not in server.monitors(), f"after SIGTERM: {explain(server, before)}")
            viewer.close()
    server.client.xrandr_delete_output_property(switched_off.id, edid)


def no_spare_output(server):
    idle = [name for name, output in server.layout().outputs.items() if not output.mode]
    # Each on its own CRTC, a clone at a small size at the top left, so no CRTC is free.
    server.xrandr("--newmode", "clone", "65.00", "1024", "1048", "1184", "1344", "768", "771", "777", "806", "-hsync", "-vsync")
    for name in idle:
        server.xrandr("--addmode", name, "clone")
    server.xrandr(*(argument for name in idle for argument in ("--output", name, "--mode", "clone", "--pos", "0x0")))
    before = server.layout()
    check(all(output.mode for output in before.outputs.values()), f"outputs left off: {server.xrandr()}")
    try:
        with Host(free_port(), env=server.environment()) as host:
            viewer = join(host)
            key_frame(viewer, first=True)
            host.line("^" + re.escape(WARNING[1]) + "$")
            english = host.lines.index(WARNING[1])
            check(host.lines[english - 1:english + 1] == WARNING, f"status: {host.lines}")
            check(re.search(rf"^ *\d+: {MONITOR} 1920/\d+x1080/\d+\+2048\+0 *$", server.monitors(), re.M), f"monitors: {server.monitors()}")
            check(placement(server.layout()) == placement(before), f"outputs changed: {explain(server, before)}")
            check(host.terminate() == 0, f"exit status after SIGTERM: {host.process.returncode}")
            viewer.close()
        check(wait_until(lambda: undone(server, before)) and MONITOR not in server.monitors(), f"after the host: {explain(server, before)}; {server.monitors()}")
    finally:
        server.xrandr(*(argument for name in idle for argument in ("--output", name, "--off")))
        for name in idle:
            server.xrandr("--delmode", name, "clone")
        server.xrandr("--rmmode", "clone")


def main():
    XorgServer.require()
    require("ffmpeg", "ffprobe")
    with XorgServer() as server:
        check(server.layout().outputs["DUMMY0"].mode and spare(server.layout()), f"not the dummy driver's outputs: {server.xrandr()}")
        extended_on_a_spare_output(server)
        restart_after_kill(server)
        no_spare_output(server)
    print("xorg host: ok")


if __name__ == "__main__":
    main()
