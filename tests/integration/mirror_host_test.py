"""kestrio --headless mirroring an X screen: the picture reaches kestrio-viewer as H.264 and as JPEG,
close to the source; a handshake stores the phone, which a restarted host (no usbmuxd) uses as the
saved one; --check-for-updates and a starting host read the HTTPS feed the settings name, and the
host records when it checked. --smoke-virtual-display: exit 0 with an active monitor on the host's
own screen; on a screen that cannot grow, id 0, not active, exit 4, and nothing left behind."""

import functools
import http.server
import math
import os
import re
import ssl
import subprocess
import threading
import time

from host_support import Host, UserDirs, XServer, check, connect, free_port, require, run_kestrio, skip, wait_until

VIEWER = os.environ.get("KESTRIO_VIEWER", "")
WIDTH, HEIGHT = 1728, 972  # "balanced" captures up to 1728 pixels wide: streamed unscaled
NAME, IDENTIFIER = "Mina의 iPhone", "00008110-001A2B3C4D5E801E"
APPCAST = (b'<?xml version="1.0" encoding="utf-8"?><rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">'
           b'<channel><item><sparkle:version>999.0</sparkle:version><enclosure url="https://example.invalid/kestrio-999.0.deb"/></item></channel></rss>')


def pictures_phone_and_updates(server, dirs, environment):
    # Structure at several scales.
    rows = [bytes(v for x in range(WIDTH) for v in (((x * 255 // WIDTH) if (x // 48 + y // 48) % 2 else 40), y * 255 // HEIGHT,
                                                   200 if (x // 48 + y // 48) % 2 else (x + y) * 255 // (WIDTH + HEIGHT)))
            for y in range(HEIGHT)]
    reference = b"".join(rows)
    server.paint(rows)
    port = free_port()
    with Host(port, "--mode", "mirror", "--quality", "balanced", "--fps", "30", env=environment, dirs=dirs) as host:
        host.line(r"^기기 검색 실패 · iPhone 앱을 한 번 직접 열어 주세요 · 이 컴퓨터 IP ")
        for codec in ("H264", "JPEG"):
            picture = os.path.join(dirs.root, f"{codec}.ppm")
            result = subprocess.run([VIEWER, "--port", str(port), "--codec", codec, "--frames", "3", "--seconds", "20", "--save-frame", picture],
                                    capture_output=True, text=True, timeout=60)
            check(result.returncode == 0, f"viewer ({codec}) exit {result.returncode}: {result.stdout}{result.stderr}")
            with open(picture, "rb") as f:
                check(f.read(len(header := f"P6\n{WIDTH} {HEIGHT}\n255\n")) == header.encode(), f"{codec} frame size")
                pixels = f.read()
            check(len(pixels) == len(reference), f"{codec}: {len(pixels)} bytes of pixels")
            mse = sum((a - b) * (a - b) for a, b in zip(reference, pixels)) / len(reference)
            psnr = 10 * math.log10(255 * 255 / max(mse, 1e-9))
            print(f"{codec}: PSNR {psnr:.1f} dB")
            check(psnr >= 30, f"{codec} PSNR {psnr:.1f} dB below 30")
        connect(port, NAME, identifier=IDENTIFIER).close()
        check(wait_until(lambda: dirs.settings().get("selectedPhoneID") == IDENTIFIER), f"settings after the handshake: {dirs.settings()}")
        check(host.terminate() == 0, "exit status after SIGTERM")

    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", "feed.key", "-out", "feed.pem"], check=True, capture_output=True, cwd=dirs.root)
    os.mkdir(served := os.path.join(dirs.root, "feed"))
    with open(os.path.join(served, "appcast.xml"), "wb") as f:
        f.write(APPCAST)
    feed = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(http.server.SimpleHTTPRequestHandler, directory=served))
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


def main():
    require("Xvfb", "openssl")
    if not VIEWER:
        skip("KESTRIO_VIEWER is not set")
    with XServer(WIDTH, HEIGHT) as server, UserDirs() as dirs:
        pictures_phone_and_updates(server, dirs, {**server.environment(), "USBMUXD_SOCKET_ADDRESS": "UNIX:" + os.path.join(dirs.root, "none"),
                                                  "SSL_CERT_FILE": os.path.join(dirs.root, "feed.pem")})
        for env, expected in (({k: v for k, v in os.environ.items() if k != "DISPLAY"}, r"[1-9][0-9]* active=true"),
                              (server.environment(), "0 active=false")):
            result = run_kestrio("--port", str(free_port()), "--smoke-virtual-display", env=env)
            check(re.fullmatch(rf"virtual_display_id={expected}\n", result.stdout) and result.returncode == (0 if "true" in expected else 4),
                  f"exit {result.returncode}, {result.stdout!r}")
        check("Kestrio iPhone" not in server.monitors(), "a monitor was left behind")
    print("mirror host: ok")


if __name__ == "__main__":
    main()
