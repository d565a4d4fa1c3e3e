"""kestrio --smoke-virtual-display: exit 0 with an active monitor on the host's own screen; on a
screen that cannot grow, id 0, not active, exit 4, and nothing left behind."""

import os
import re

from host_support import XServer, check, free_port, require, run_kestrio


def main():
    require()
    with XServer(1920, 1080) as server:
        for env, expected in (({k: v for k, v in os.environ.items() if k != "DISPLAY"}, r"[1-9][0-9]* active=true"),
                              (server.environment(), "0 active=false")):
            result = run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=env)
            check(re.fullmatch(rf"virtual_display_id={expected}\n", result.stdout)
                  and result.returncode == (0 if "true" in expected else 4), f"exit {result.returncode}, {result.stdout!r}")
        check("Kestrio iPhone" not in server.monitors(), "a monitor was left behind")
    print("smoke virtual display: ok")


if __name__ == "__main__":
    main()
