"""kestrio on a GNOME Wayland session (run inside headless_gnome.sh) when it fails under the stream:
PipeWire restarted in extended mode stops the frames while it is gone, and they come again on the
same connection once it is back, on a virtual monitor made again (one, never two), the host's
threads, descriptors and children back where they were; the compositor gone ends the host, exit
status 3, with a message. Prints how long each took."""

import contextlib
import os
import signal
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from host_support import Host, check, connect, free_port, key_frame, next_key_frame_within, require, settled_footprint, wait_until  # noqa: E402
from gnome_session_test import monitors  # noqa: E402


def session_process(name):
    """The process id headless_gnome.sh started `name` with."""
    return int(dict(entry.split("=") for entry in os.environ["KESTRIO_GNOME_PIDS"].split())[name])


def pipewire_answers():
    with socket.socket(socket.AF_UNIX) as probe:
        return probe.connect_ex(os.path.join(os.environ["PIPEWIRE_RUNTIME_DIR"], "pipewire-0")) == 0


def main():
    require("gdbus", "pipewire", "wireplumber")
    port = free_port()
    restarted = []
    with Host(port, "--fps", "30") as host:
        host.line(r"^listening on port")
        viewer = connect(port, "테스트 폰")
        key_frame(viewer, first=True)
        check(monitors().count(("Virtual remote monitor", 1920, 1080)) == 1, f"monitors: {monitors()}")
        before = settled_footprint(host.process)
        try:
            for name in ("pipewire", "wireplumber"):
                with contextlib.suppress(ProcessLookupError):  # WirePlumber may go with PipeWire
                    os.kill(session_process(name), signal.SIGKILL)
            check(next_key_frame_within(viewer, 3) is None, "frames while PipeWire is gone")
            restarted.append(subprocess.Popen(["pipewire"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            # WirePlumber gives up at once when PipeWire does not answer yet.
            check(wait_until(pipewire_answers, 10), "PipeWire did not come back")
            restarted.append(subprocess.Popen(["wireplumber"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            took = next_key_frame_within(viewer, 15)
            check(took is not None, f"no picture after PipeWire came back: {host.read_lines()[-5:]}")
            print(f"PipeWire restarted: the extended monitor streams again {took:.2f} s after its return")
            check(took < 7, f"the stream came back {took:.2f} s after PipeWire")
            check(monitors().count(("Virtual remote monitor", 1920, 1080)) == 1, f"monitors afterwards: {monitors()}")
            check(sum(line.startswith("viewer: ") for line in host.read_lines()) == 1, "the viewer connected again")
            after = settled_footprint(host.process)
            check(after == before, f"threads, descriptors and children {before} before, {after} after")
        finally:
            for process in restarted:
                process.kill()
                process.wait()
    with Host(free_port()) as host:
        host.line(r"^listening on port")
        host.ends_after(lambda: os.kill(session_process("mutter"), signal.SIGKILL), "compositor killed",
                        "Mutter closed the connection")
    print("GNOME faults: ok")


if __name__ == "__main__":
    main()
