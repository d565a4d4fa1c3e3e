"""kestrio --smoke-virtual-display: one line, exit 0 with an active monitor on the host's own
screen; on a screen that cannot grow, id 0, not active, exit 4, and nothing left behind."""

import os
import re

from host_support import BIN, XServer, check, free_port, run_kestrio, skip


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    result = run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=environment)
    check(re.fullmatch(r"virtual_display_id=[1-9][0-9]* active=true\n", result.stdout), f"output {result.stdout!r}")
    check(result.returncode == 0, f"exit {result.returncode}")

    server = XServer(1920, 1080)
    try:
        result = run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=server.environment())
        check(result.stdout == "virtual_display_id=0 active=false\n", f"output {result.stdout!r}")
        check(result.returncode == 4, f"exit {result.returncode}")
        check("Kestrio iPhone" not in server.monitors(), "a monitor was left behind")
    finally:
        server.close()
    print("smoke virtual display: ok")


if __name__ == "__main__":
    main()
