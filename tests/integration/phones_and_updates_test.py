"""The host remembers the user's phone and checks for updates, end to end: a viewer's handshake
with a name and an identifier makes that phone the selected one, stored, and a restarted host
lists it again as the saved phone (the device listing itself failing, as it does with no
usbmuxd); `kestrio --check-for-updates` reads a feed from a local HTTPS server, the address
coming from the settings, and a host checks that feed by itself when it starts and prints what it
found."""

import base64
import http.server
import json
import os
import shutil
import ssl
import subprocess
import threading
import time

from host_support import BIN, Host, UserDirs, Viewer, XServer, check, free_port, run_kestrio, skip, wait_until

NAME = "Mina의 iPhone"
IDENTIFIER = "00008110-001A2B3C4D5E801E"


def settings(dirs):
    try:
        with open(os.path.join(dirs.settings_folder, "settings.json"), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def remembered_phone(server, dirs):
    # No usbmuxd answers here, whatever the machine runs: the listing fails and the saved phone
    # is what the list holds.
    environment = server.environment()
    environment["USBMUXD_SOCKET_ADDRESS"] = "UNIX:" + os.path.join(dirs.root, "no-usbmuxd")
    port = free_port()
    host = Host(port, "--mode", "mirror", env=environment, dirs=dirs)
    try:
        check(host.wait_for_line(r"^listening on port ", 15), f"the host did not start: {host.lines}")
        check(host.wait_for_line(r"^기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요 · 이 컴퓨터 IP ", 15),
              f"no failed-listing line with nothing saved: {host.lines}")
        viewer = Viewer(port)
        viewer.send_line(" ".join(["HELLO", "2", "H264", base64.b64encode(NAME.encode()).decode(),
                                   base64.b64encode(IDENTIFIER.encode()).decode()]))
        check(viewer.read_control().startswith("WELCOME 2 H264 "), "no welcome")
        check(wait_until(lambda: (settings(dirs).get("selectedPhoneID"), settings(dirs).get("selectedPhoneName")) == (IDENTIFIER, NAME),
                         10), f"settings after the handshake: {settings(dirs)}")
        viewer.close()
    finally:
        host.kill()

    host = Host(port, "--mode", "mirror", env=environment, dirs=dirs)
    try:
        check(host.wait_for_line(r"^저장된 iPhone 사용 · 이 컴퓨터 IP ", 15),
              f"the restarted host does not use the saved phone: {host.lines}")
    finally:
        host.kill()
    print("remembered phone: ok")


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
    <item><title>New</title><sparkle:version>{version}</sparkle:version>
      <enclosure url="https://example.invalid/kestrio-{version}.deb" type="application/octet-stream"/></item>
  </channel>
</rss>
"""


def https_feed(folder):
    """The feed server over TLS with a certificate of its own for 127.0.0.1, and that
    certificate's file, which the host is told to trust through SSL_CERT_FILE."""
    certificate = os.path.join(folder, "feed.pem")
    key = os.path.join(folder, "feed.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", certificate],
                   check=True, capture_output=True)
    feed = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Feed)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    feed.socket = context.wrap_socket(feed.socket, server_side=True)
    return feed, certificate


def update_check(server, dirs):
    feed, certificate = https_feed(dirs.root)
    trust = {**os.environ, "SSL_CERT_FILE": certificate}
    threading.Thread(target=feed.serve_forever, daemon=True).start()
    try:
        os.makedirs(dirs.settings_folder, exist_ok=True)
        stored = settings(dirs)
        stored["updateFeedURL"] = f"https://127.0.0.1:{feed.server_address[1]}/appcast.xml"
        with open(os.path.join(dirs.settings_folder, "settings.json"), "w", encoding="utf-8") as f:
            json.dump(stored, f)
        # Which feeds say what is the updates tests' part; here, what the program prints.
        Feed.body = APPCAST.format(version="999.0").encode()
        result = run_kestrio("--check-for-updates", env=trust, dirs=dirs)
        check((result.returncode, result.stdout) == (0, "update available: 999.0 https://example.invalid/kestrio-999.0.deb\n"),
              f"{result.returncode} {result.stdout!r} {result.stderr!r}")

        # A host checks by itself on start (never checked before) and says what it found.
        Feed.requests = 0
        host = Host(free_port(), env={**server.environment(), "SSL_CERT_FILE": certificate}, dirs=dirs)
        try:
            check(host.wait_for_line("^update: 새 버전 사용 가능 · 999.0$", 15), f"no update line: {host.lines}")
            check(host.wait_for_line("^download: https://example.invalid/kestrio-999.0.deb$", 5), f"no download line: {host.lines}")
            check(Feed.requests == 1, f"{Feed.requests} requests for one check")
            checked = settings(dirs).get("lastUpdateCheckTime", "")
            check(checked.isdigit() and abs(int(checked) - time.time()) < 120, f"time of the check: {checked!r}")
        finally:
            host.kill()
    finally:
        feed.shutdown()
        feed.server_close()
    print("update check: ok")


def main():
    if not BIN:
        skip("KESTRIO_BIN is not set")
    if not shutil.which("Xvfb"):
        skip("Xvfb is not installed")
    server = XServer(1280, 720)
    try:
        with UserDirs() as dirs:
            remembered_phone(server, dirs)
            update_check(server, dirs)
    finally:
        server.close()
    print("phones and updates: ok")


if __name__ == "__main__":
    main()
