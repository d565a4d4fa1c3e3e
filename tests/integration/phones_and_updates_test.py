"""The host remembers the user's phone and checks for updates: a handshake with a name and an
identifier stores the phone, which a restarted host (its device listing failing for want of
usbmuxd) lists as the saved one; --check-for-updates and a starting host read an HTTPS feed whose
address the settings give."""

import http.server
import os
import ssl
import subprocess
import threading
import time

from host_support import Host, UserDirs, Viewer, XServer, check, free_port, hello, require, run_kestrio, wait_until

NAME = "Mina의 iPhone"
IDENTIFIER = "00008110-001A2B3C4D5E801E"


def remembered_phone(server, dirs):
    # No usbmuxd answers here, whatever the machine runs: the listing fails and the saved phone
    # is what the list holds.
    environment = {**server.environment(), "USBMUXD_SOCKET_ADDRESS": "UNIX:" + os.path.join(dirs.root, "no-usbmuxd")}
    port = free_port()
    with Host(port, "--mode", "mirror", env=environment, dirs=dirs) as host:
        host.line(r"^listening on port ")
        host.line(r"^기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요 · 이 컴퓨터 IP ")
        viewer = Viewer(port)
        viewer.send_line(hello(NAME, IDENTIFIER))
        check(viewer.read_control().startswith("WELCOME 2 H264 "), "no welcome")
        stored = lambda: (dirs.settings().get("selectedPhoneID"), dirs.settings().get("selectedPhoneName"))
        check(wait_until(lambda: stored() == (IDENTIFIER, NAME), 10), f"settings after the handshake: {dirs.settings()}")
        viewer.close()
    with Host(port, "--mode", "mirror", env=environment, dirs=dirs) as host:
        host.line(r"^저장된 iPhone 사용 · 이 컴퓨터 IP ")


class Feed(http.server.BaseHTTPRequestHandler):
    body = b""
    requests = 0

    def do_GET(self):
        Feed.requests += 1
        self.send_response(200)
        self.send_header("Content-Type", "application/rss+xml")
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        self.wfile.write(self.body)

    def log_message(self, *_):
        pass


APPCAST = """<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
  <channel>
    <title>Kestrio</title>
    <item><title>Old</title><sparkle:version>0.0.9</sparkle:version>
      <enclosure url="https://example.invalid/kestrio-0.0.9.deb" type="application/octet-stream"/></item>
    <item><title>New</title><sparkle:version>999.0</sparkle:version>
      <enclosure url="https://example.invalid/kestrio-999.0.deb" type="application/octet-stream"/></item>
  </channel>
</rss>
"""


def update_check(server, dirs):
    # The feed server over TLS with a certificate of its own for 127.0.0.1, which the host is told
    # to trust through SSL_CERT_FILE.
    certificate, key = os.path.join(dirs.root, "feed.pem"), os.path.join(dirs.root, "feed.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate],
                   check=True, capture_output=True)
    feed = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Feed)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    feed.socket = context.wrap_socket(feed.socket, server_side=True)
    threading.Thread(target=feed.serve_forever, daemon=True).start()
    try:
        dirs.store(updateFeedURL=f"https://127.0.0.1:{feed.server_address[1]}/appcast.xml")
        # Which feeds say what is the updates tests' part; here, what the program prints.
        Feed.body = APPCAST.encode()
        result = run_kestrio("--check-for-updates", env={**os.environ, "SSL_CERT_FILE": certificate}, dirs=dirs)
        check((result.returncode, result.stdout) == (0, "update available: 999.0 https://example.invalid/kestrio-999.0.deb\n"),
              f"{result.returncode} {result.stdout!r} {result.stderr!r}")

        # A host checks by itself on start (never checked before) and says what it found.
        Feed.requests = 0
        with Host(free_port(), env={**server.environment(), "SSL_CERT_FILE": certificate}, dirs=dirs) as host:
            host.line("^update: 새 버전 사용 가능 · 999.0$")
            host.line("^download: https://example.invalid/kestrio-999.0.deb$", 5)
            check(Feed.requests == 1, f"{Feed.requests} requests for one check")
            checked = dirs.settings().get("lastUpdateCheckTime", "")
            check(checked.isdigit() and abs(int(checked) - time.time()) < 120, f"time of the check: {checked!r}")
    finally:
        feed.shutdown()
        feed.server_close()


def main():
    require("Xvfb")
    with XServer(1280, 720) as server, UserDirs() as dirs:
        remembered_phone(server, dirs)
        update_check(server, dirs)
    print("phones and updates: ok")


if __name__ == "__main__":
    main()
