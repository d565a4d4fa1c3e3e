"""kestrio --headless end to end: a real viewer on loopback, the advertisement as an independent
mDNS browser sees it, a daemon that appears late, and a clean end on SIGTERM."""

import re

from host_support import BIN, Host, browse, check, connect, free_port, require_mdns, services, skip, wait_until


def advertised_as(host):
    line = host.wait_for_line(r'^listening on port \d+ as ".*"$')
    check(line, f"no listening line in {host.lines}")
    return line.split(' as "', 1)[1][:-1]


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    require_mdns()

    # Advertised, answering, and gone from the network on SIGTERM.
    port = free_port()
    host = Host(port)
    try:
        name = advertised_as(host)
        check(name.endswith(" \u00b7 KS1"), f"instance name {name!r}")
        viewer = connect(port, "테스트 폰")
        check(host.wait_for_line(r"^viewer: 테스트 폰$"), f"viewer line in {host.lines}")
        # The status lines speak of this computer, never of a Mac (the advertised name may keep
        # its "Kestrio Mac" fallback, which phones already know).
        check(host.wait_for_line(r" · 이 컴퓨터 · H\.264$"), f"connection line in {host.lines}")
        mac = [line for line in host.lines
               if not line.startswith("listening on ") and re.search(r"Mac|iMessage|Apple|Xcode|Messages|맥", line)]
        check(not mac, f"status lines that speak of the Mac: {mac}")
        check(wait_until(lambda: (name, port) in browse(), timeout=20), f"{name!r} on {port} not browsed")
        check(host.terminate() == 0, "exit status after SIGTERM")
        check(viewer.closed_by_host(), "viewer connection not closed on SIGTERM")
        check(wait_until(lambda: (name, port) not in browse(), timeout=20), "advertisement outlived the host")
    finally:
        host.kill()

    # Without a daemon the host still listens and serves; it is advertised once one appears.
    services("avahi-stop")
    port = free_port()
    host = Host(port)
    try:
        name = advertised_as(host)
        viewer = connect(port, "테스트 폰")
        services("avahi-start")
        check(wait_until(lambda: (name, port) in browse(), timeout=30), "not advertised after the daemon appeared")
        viewer.send_line("PING 13")
        check(viewer.read_control() == "PONG 13", "viewer lost while the daemon came up")
        # Ended with SIGTERM, the host also ends the X server it started for want of DISPLAY.
        check(host.terminate() == 0, "exit status after SIGTERM")
    finally:
        host.kill()
        services("avahi-start")
    print("headless host: ok")


if __name__ == "__main__":
    main()
