"""A handshake with a name and an identifier stores the phone, which a restarted host (its device
listing failing for want of usbmuxd) uses as the saved one; --check-for-updates and a starting host
read the HTTPS feed the settings name, and the host records when it checked."""

import http.server
import os
import ssl
import subprocess
import threading
import time

from host_support import Host, UserDirs, XServer, check, connect, free_port, require, run_kestrio, wait_until

NAME, IDENTIFIER = "Mina의 iPhone", "00008110-001A2B3C4D5E801E"
APPCAST = b"""<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><sparkle:version>0.0.9</sparkle:version><enclosure url="https://example.invalid/kestrio-0.0.9.deb"/></item>
<item><sparkle:version>999.0</sparkle:version><enclosure url="https://example.invalid/kestrio-999.0.deb"/></item>
</channel></rss>"""


class Feed(http.server.BaseHTTPRequestHandler):
    log_message = lambda *_: None

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", str(len(APPCAST)))
        self.end_headers()
        self.wfile.write(APPCAST)


def main():
    require("Xvfb", "openssl")
    with XServer(1280, 720) as server, UserDirs() as dirs:
        environment = {**server.environment(), "USBMUXD_SOCKET_ADDRESS": "UNIX:" + os.path.join(dirs.root, "none"),
                       "SSL_CERT_FILE": os.path.join(dirs.root, "feed.pem")}
        port = free_port()
        with Host(port, "--mode", "mirror", env=environment, dirs=dirs) as host:
            host.line(r"^기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요 · 이 컴퓨터 IP ")
            connect(port, NAME, identifier=IDENTIFIER).close()
            stored = lambda: (dirs.settings().get("selectedPhoneID"), dirs.settings().get("selectedPhoneName"))
            check(wait_until(lambda: stored() == (IDENTIFIER, NAME)), f"settings after the handshake: {dirs.settings()}")

        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", "feed.key", "-out", "feed.pem"],
                       check=True, capture_output=True, cwd=dirs.root)
        feed = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Feed)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(environment["SSL_CERT_FILE"], os.path.join(dirs.root, "feed.key"))
        feed.socket = context.wrap_socket(feed.socket, server_side=True)
        threading.Thread(target=feed.serve_forever, daemon=True).start()
        dirs.store(updateFeedURL=f"https://127.0.0.1:{feed.server_address[1]}/appcast.xml")
        try:
            result = run_kestrio("--check-for-updates", env=environment, dirs=dirs)
            check((result.returncode, result.stdout) == (0, "update available: 999.0 https://example.invalid/kestrio-999.0.deb\n"),
                  f"{result.returncode} {result.stdout!r} {result.stderr!r}")
            # Restarted: the saved phone, and a check of its own on start (it never checked before).
            with Host(port, "--mode", "mirror", env=environment, dirs=dirs) as host:
                host.line(r"^저장된 iPhone 사용 · 이 컴퓨터 IP ")
                host.line("^update: 새 버전 사용 가능 · 999.0$")
                host.line("^download: https://example.invalid/kestrio-999.0.deb$", 5)
                checked = dirs.settings().get("lastUpdateCheckTime", "")
                check(checked.isdigit() and abs(int(checked) - time.time()) < 120, f"time of the check: {checked!r}")
        finally:
            feed.shutdown()
    print("phones and updates: ok")


if __name__ == "__main__":
    main()
