"""kestrio --smoke-virtual-display: one line, exit 0 with an active monitor; on a screen that
cannot grow, id 0, not active, exit 4. Nothing is left behind."""

import os
import re
import subprocess

from host_support import BIN, UserDirs, XServer, check, free_port, run_kestrio, skip


def smoke(environment):
    return run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=environment)


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")

    # No DISPLAY: the host's own virtual screen, started large enough to grow.
    environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    result = smoke(environment)
    check(re.fullmatch(r"virtual_display_id=[1-9][0-9]* active=true\n", result.stdout), f"output {result.stdout!r}")
    check(result.returncode == 0, f"exit {result.returncode}")

    # On a screen of ours that can grow, the monitor is listed while the process lives, and gone after.
    server = XServer(3840, 2160)
    try:
        environment["DISPLAY"] = server.name
        server.run_at_full_hd()
        with UserDirs() as dirs:
            process = subprocess.Popen([BIN, "--port", str(free_port()), "--smoke-virtual-display"],
                                       env=dirs.environment(environment), stdout=subprocess.PIPE, text=True)
            seen = False
            while process.poll() is None and not seen:
                monitors = subprocess.run(["xrandr", "--listmonitors"], env=environment, capture_output=True, text=True)
                seen = "Kestrio iPhone" in monitors.stdout
            output, _ = process.communicate(timeout=30)
        check(seen, "the monitor was never listed while the process lived")
        check(re.fullmatch(r"virtual_display_id=[1-9][0-9]* active=true\n", output), f"output {output!r}")
        check(process.returncode == 0, f"exit {process.returncode}")
        monitors = subprocess.run(["xrandr", "--listmonitors"], env=environment, capture_output=True, text=True)
        check("Kestrio iPhone" not in monitors.stdout, f"monitor left behind: {monitors.stdout}")
        size = subprocess.run(["xrandr"], env=environment, capture_output=True, text=True).stdout
        check("current 1920 x 1080" in size, f"screen not restored: {size.splitlines()[0]}")
    finally:
        server.close()

    # A screen that cannot grow: no monitor.
    server = XServer(1920, 1080)
    try:
        environment["DISPLAY"] = server.name
        result = smoke(environment)
        check(result.stdout == "virtual_display_id=0 active=false\n", f"output {result.stdout!r}")
        check(result.returncode == 4, f"exit {result.returncode}")
        monitors = subprocess.run(["xrandr", "--listmonitors"], env=environment, capture_output=True, text=True)
        check("Kestrio iPhone" not in monitors.stdout, "a monitor was left behind")
    finally:
        server.close()
    print("smoke virtual display: ok")


if __name__ == "__main__":
    main()
