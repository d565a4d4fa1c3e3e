"""kestrio --headless end to end: a real viewer on loopback, the advertisement as an independent
mDNS browser sees it, a daemon that appears late, and a clean end on SIGTERM."""

import re

from host_support import Host, browse, check, connect, free_port, require, require_mdns, services, wait_until


def advertised_as(host):
    return host.line(r'^listening on port \d+ as ".*"$', 10).split(' as "', 1)[1][:-1]


def main():
    require()
    require_mdns()

    # Advertised, answering, and gone from the network on SIGTERM.
    port = free_port()
    with Host(port) as host:
        name = advertised_as(host)
        check(name.endswith(" \u00b7 KS1"), f"instance name {name!r}")
        viewer = connect(port, "테스트 폰")
        host.line(r"^viewer: 테스트 폰$", 10)
        # The status lines speak of this computer, never of a Mac (the advertised name may keep
        # its "Kestrio Mac" fallback, which phones already know).
        host.line(r" · 이 컴퓨터 · H\.264$", 10)
        mac = [line for line in host.lines
               if not line.startswith("listening on ") and re.search(r"Mac|iMessage|Apple|Xcode|Messages|맥", line)]
        check(not mac, f"status lines that speak of the Mac: {mac}")
        check(wait_until(lambda: (name, port) in browse(), timeout=20), f"{name!r} on {port} not browsed")
        check(host.terminate() == 0, "exit status after SIGTERM")
        check(viewer.closed_by_host(), "viewer connection not closed on SIGTERM")
        check(wait_until(lambda: (name, port) not in browse(), timeout=20), "advertisement outlived the host")

    # Without a daemon the host still listens and serves; it is advertised once one appears.
    services("avahi-stop")
    port = free_port()
    try:
        with Host(port) as host:
            name = advertised_as(host)
            viewer = connect(port, "테스트 폰")
            services("avahi-start")
            check(wait_until(lambda: (name, port) in browse(), timeout=30), "not advertised after the daemon appeared")
            viewer.send_line("PING 13")
            check(viewer.read_control() == "PONG 13", "viewer lost while the daemon came up")
            # Ended with SIGTERM, the host also ends the X server it started for want of DISPLAY.
            check(host.terminate() == 0, "exit status after SIGTERM")
    finally:
        services("avahi-start")
    print("headless host: ok")


if __name__ == "__main__":
    main()
