"""kestrio --smoke-virtual-display: one line, exit 0 with an active monitor on the host's own
screen; on a screen that cannot grow, id 0, not active, exit 4, and nothing left behind."""

import os
import re

from host_support import XServer, check, free_port, require, run_kestrio


def main():
    require()
    environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    result = run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=environment)
    check(re.fullmatch(r"virtual_display_id=[1-9][0-9]* active=true\n", result.stdout) and result.returncode == 0,
          f"exit {result.returncode}, output {result.stdout!r}")
    with XServer(1920, 1080) as server:
        result = run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=server.environment())
        check((result.stdout, result.returncode) == ("virtual_display_id=0 active=false\n", 4),
              f"exit {result.returncode}, output {result.stdout!r}")
        check("Kestrio iPhone" not in server.monitors(), "a monitor was left behind")
    print("smoke virtual display: ok")


if __name__ == "__main__":
    main()
