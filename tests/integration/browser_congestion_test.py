"""The browser viewer's bit rate follows the path: the host in a network namespace of the test's
own whose only way out is a link limited to 3 Mbit/s (a token bucket holding at most 200 ms),
streaming a desktop whose picture is noise changing 20 times a second, at balanced quality
(8 Mbit/s). The page's own reports (transport-wide feedback, receiver reports) bring the rate down:
once settled, Chromium loses under 5 % of the packets and keeps showing frames, where a stream at
the nominal rate loses most of them."""

import os
import re
import subprocess
import threading
import time

from chromium import Chromium
from host_support import Host, XServer, check, free_port, require, wait_until

LIMIT = "3mbit"


class Namespace:
    """A network namespace joined to this one by a veth pair: here .1, there .2; what leaves it
    goes through a token bucket."""

    def __init__(self):
        tag = os.getpid() % 100000
        self.name, self.outer, self.prefix = f"kestrio-cc-{tag}", f"kcc{tag}", f"10.231.{tag % 250}"
        self.address = f"{self.prefix}.2"
        steps = [["ip", "netns", "add", self.name],
                 ["ip", "link", "add", self.outer, "type", "veth", "peer", "name", "inner", "netns", self.name],
                 ["ip", "addr", "add", f"{self.prefix}.1/24", "dev", self.outer], ["ip", "link", "set", self.outer, "up"],
                 ["ip", "-n", self.name, "addr", "add", f"{self.address}/24", "dev", "inner"],
                 ["ip", "-n", self.name, "link", "set", "inner", "up"], ["ip", "-n", self.name, "link", "set", "lo", "up"],
                 ["tc", "-n", self.name, "qdisc", "add", "dev", "inner", "root", "tbf", "rate", LIMIT, "burst", "32kbit", "latency", "200ms"]]
        try:
            for step in steps:
                subprocess.run(step, check=True, capture_output=True, timeout=30)
        except BaseException:
            self.close()
            raise

    def close(self):
        subprocess.run(["ip", "netns", "delete", self.name], capture_output=True, timeout=30)
        subprocess.run(["ip", "link", "delete", self.outer], capture_output=True, timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def draw_noise(server, stop):
    """Noise in a 640x360 block at the top left, new 20 times a second."""
    from Xlib import X
    client = server.client
    root = client.screen().root
    gc = root.create_gc()
    rows = 45  # a strip fits one request
    while not stop.is_set():
        for top in range(0, 360, rows):
            root.put_image(gc, 0, top, 640, rows, X.ZPixmap, 24, 0, os.urandom(640 * rows * 4))
        client.sync()
        stop.wait(0.05)


def inbound(browser):
    return browser.evaluate("(async () => { let found = null; (await peer.getStats()).forEach(s => { if (s.type === 'inbound-rtp' && s.kind === 'video') "
                            "found = [s.packetsReceived, s.packetsLost, s.framesDecoded]; }); return found; })()")


def main():
    require("Xvfb", "chromium", "ip", "tc", modules=["websocket", "Xlib"], root=True)
    stop = threading.Event()
    with Namespace() as namespace, XServer(1280, 720) as server:
        drawing = threading.Thread(target=draw_noise, args=(server, stop), daemon=True)
        drawing.start()
        try:
            with Host(free_port(), "--mode", "mirror", "--quality", "balanced", "--fps", "60", "--web-port", str(web_port := free_port()),
                      env=server.environment(), command=["ip", "netns", "exec", namespace.name]) as host:
                code = re.search(r"#(\d{6})$", host.line(r"^browser page: ")).group(1)
                with Chromium(f"http://{namespace.address}:{web_port}/#{code}") as browser:
                    check(wait_until(lambda: (inbound(browser) or [0, 0, 0])[2] >= 3, 30), "no frames in the page")
                    time.sleep(12)  # the rate comes down, and the queue the first seconds built drains
                    received, lost, decoded = inbound(browser)
                    time.sleep(8)
                    received2, lost2, decoded2 = inbound(browser)
                    share = (lost2 - lost) / max(1, received2 - received + lost2 - lost)
                    print(f"settled: {share:.1%} of the packets lost, {(decoded2 - decoded) / 8:.1f} frames/s decoded")
                    # Settled, 0-3 % here (up to 6 % beside other tests: the rate still probes upwards
                    # every few seconds); without the page's feedback, over a quarter, and nothing decoded.
                    check(share < 0.10, f"{share:.1%} of the packets lost once settled")
                    check(decoded2 - decoded >= 8 * 10, f"{decoded2 - decoded} frames decoded in 8 s")
        finally:
            stop.set()
            drawing.join()
    print("browser congestion: ok")


if __name__ == "__main__":
    main()
