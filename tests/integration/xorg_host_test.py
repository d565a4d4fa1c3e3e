"""kestrio --headless on an Xorg that drives monitors (the dummy driver: DUMMY0 lit, fifteen spare
outputs): a viewer's virtual monitor lights a spare output (how, and how it is undone, the X11
display tests check); a window and the pointer go there, a viewer's touch lands there and its
stream shows it. STOP, the host's exit, and the next start after the host was killed take the
output, its mode and the larger screen away again; a switched-off monitor that announces itself is
no spare."""

import subprocess

from host_support import Host, UserDirs, XorgServer, check, connect, free_port, key_frame, require, share_close_to, wait_until

MONITOR = "Kestrio iPhone"
PHYSICAL = (2048, 1536)
PICTURE = (1728, 972)  # "balanced" streams the 1920x1080 monitor at most 1728 pixels wide
GREEN = (40, 170, 70)


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
        check(wait_until(lambda: server.layout().outputs[output].mode), f"{output} not lit: {server.xrandr()}")
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


def main():
    XorgServer.require()
    require("ffmpeg", "ffprobe")
    with XorgServer() as server:
        check(server.layout().outputs["DUMMY0"].mode and spare(server.layout()), f"not the dummy driver's outputs: {server.xrandr()}")
        extended_on_a_spare_output(server)
        restart_after_kill(server)
    print("xorg host: ok")


if __name__ == "__main__":
    main()
