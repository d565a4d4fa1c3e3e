"""kestrio --headless --web-port: the browser viewer's page is served with everything it needs,
its address with the pairing code is printed, a wrong code is refused and makes the next try
wait, the code from the address pairs, and the token it gives pairs the browser again; nothing
else is served."""

import json
import os
import re
import time
import urllib.error
import urllib.request

from host_support import Host, check, free_port, require


def main():
    require("Xvfb", modules=["websocket"])
    import websocket
    port, web_port = free_port(), free_port()
    environment = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    with Host(port, "--mode", "mirror", "--web-port", str(web_port), env=environment) as host:
        code = re.search(rf"^browser page: http://\S+:{web_port}/#(\d{{6}})$", host.line(r"^browser page: ")).group(1)
        base = f"http://127.0.0.1:{web_port}"
        with urllib.request.urlopen(base + "/") as page:
            body = page.read().decode()
            check(page.headers["Content-Type"] == "text/html; charset=utf-8", page.headers["Content-Type"])
        check("연결 코드" in body and "six-digit code" in body and "<script src" not in body, "the page, whole and bilingual")
        try:
            urllib.request.urlopen(base + "/other")
            check(False, "/other was served")
        except urllib.error.HTTPError as error:
            check(error.code == 404, f"/other: {error.code}")

        def exchange(message):
            socket = websocket.create_connection(f"ws://127.0.0.1:{web_port}/signal", timeout=10)
            socket.send(json.dumps(message) if isinstance(message, dict) else message)
            answer = json.loads(socket.recv())
            socket.close()
            return answer

        wrong = "000000" if code != "000000" else "111111"
        check(exchange({"type": "pair", "code": wrong}) == {"type": "refused", "retryAfterMs": 1000}, "a wrong code")
        check(exchange({"type": "pair", "code": code})["type"] == "wait", "the right code while the network waits")
        time.sleep(1.1)
        check(exchange("not json")["type"] == "refused", "anything but a code counts as a wrong one")
        time.sleep(2.1)
        paired = exchange({"type": "pair", "code": code})
        check(paired["type"] == "paired" and len(paired["token"]) == 32, f"the right code: {paired}")
        check(exchange({"type": "resume", "token": paired["token"]})["type"] == "paired", "the token pairs again")
    print("browser page: ok")


if __name__ == "__main__":
    main()
