"""Headless Chromium (Debian's) for the browser viewer's tests and benches."""

import json
import os
import shutil
import subprocess
import tempfile
import urllib.request

from host_support import check, wait_until


class Chromium:
    """Headless Chromium of the test's own, on one page, asked through the DevTools protocol."""

    def __init__(self, url, width=1280, height=720):
        import websocket
        self.folder = tempfile.mkdtemp(prefix="kestrio-chromium-")
        self.process = subprocess.Popen(["chromium", "--headless=new", "--no-sandbox", "--remote-debugging-port=0",
                                         f"--user-data-dir={self.folder}", f"--window-size={width},{height}", "about:blank"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file, self.calls = os.path.join(self.folder, "DevToolsActivePort"), 0
        check(wait_until(lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1, 30), "Chromium did not start")
        port = int(open(port_file).read().split()[0])
        pages = wait_until(lambda: [p for p in json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json")) if p["type"] == "page"], 30)
        self.socket = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], timeout=30)
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=False)
        self.call("Page.navigate", url=url)

    def call(self, method, **params):
        self.calls += 1
        self.socket.send(json.dumps({"id": self.calls, "method": method, "params": params}))
        while (reply := json.loads(self.socket.recv())).get("id") != self.calls:
            pass
        return reply.get("result", {})

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True).get("result", {}).get("value")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.socket.close()
        self.process.kill()
        self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)
