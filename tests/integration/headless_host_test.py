"""kestrio --headless end to end: a real viewer on loopback, the advertisement as an independent
mDNS browser sees it, a daemon that appears late, and a clean end on SIGTERM."""

import base64
import re
import socket

from host_support import (BIN, Host, Viewer, browse, check, free_port, require_mdns, services, skip,
                          wait_until)


def expect_listening_and_answering(port):
    viewer = Viewer(port)
    viewer.send_line("HELLO 2 H264 " + base64.b64encode("테스트 폰".encode()).decode())
    welcome = viewer.read_control().split(" ")
    check(welcome[:3] == ["WELCOME", "2", "H264"], f"welcome {welcome}")
    check(len(welcome) == 6, f"welcome fields {welcome}")
    base64.b64decode(welcome[3], validate=True)
    viewer.send_line("PING 12")
    check(viewer.read_control() == "PONG 12", "pong")
    return viewer


def advertised_as(host):
    line = host.wait_for_line(r'^listening on port \d+ as ".*"$')
    check(line, f"no listening line in {host.lines}")
    return line.split(' as "', 1)[1][:-1]


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    require_mdns()

    # Advertised, answering, replaced, and closed cleanly on SIGTERM.
    port = free_port()
    host = Host(port)
    try:
        name = advertised_as(host)
        check(name.endswith(" \u00b7 KS1"), f"instance name {name!r}")
        viewer = expect_listening_and_answering(port)
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
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind(("::", port))  # nobody listens on the port any more
        check(wait_until(lambda: (name, port) not in browse(), timeout=20), "advertisement outlived the host")
    finally:
        host.kill()

    # Without a daemon the host still listens and serves; it is advertised once one appears.
    services("avahi-stop")
    port = free_port()
    host = Host(port)
    try:
        name = advertised_as(host)
        viewer = expect_listening_and_answering(port)
        services("avahi-start")
        check(wait_until(lambda: (name, port) in browse(), timeout=30), "not advertised after the daemon appeared")
        viewer.send_line("PING 13")
        check(viewer.read_control() == "PONG 13", "viewer lost while the daemon came up")
        check(host.terminate() == 0, "exit status after SIGTERM")
    finally:
        host.kill()
        services("avahi-start")
    print("headless host: ok")


if __name__ == "__main__":
    main()
