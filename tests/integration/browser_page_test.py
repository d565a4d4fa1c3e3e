"""kestrio --headless and a real browser (Debian's Chromium, headless, driven through its DevTools
protocol): the page is served, on port 59591 unless told otherwise, with everything it needs, and
its address with the pairing code is printed right after the listening line; a wrong code is refused and makes the next try wait; the code in the address pairs,
and the token it gives pairs again. Paired, the page shows the host's stream over WebRTC,
encrypted (DTLS connected, an SRTP cipher), the status says a browser is connected; a click and a
drag on the page land in an X client at the mapped points, so do a tap, a long press (a right
click), a two-finger drag and the wheel (scrolling which way the content goes), and a text typed into the page's field
(Korean and an emoji included) arrives intact; the app's viewer then replaces the browser, and a
browser with WebRTC switched off replaces the app's viewer and is shown the stream as JPEG, its
clicks landing too."""

import json
import re
import time
import urllib.error
import urllib.request

from chromium import Chromium
from host_support import Host, XServer, check, connect, free_port, require, wait_until
from input_checks import TEXT, Observer, require_observers, typed


def pairing(web_port, code):
    import websocket

    def exchange(message):
        socket = websocket.create_connection(f"ws://127.0.0.1:{web_port}/signal", timeout=10)
        socket.send(json.dumps(message) if isinstance(message, dict) else message)
        answer = json.loads(socket.recv())
        socket.close()
        return answer

    with urllib.request.urlopen(f"http://127.0.0.1:{web_port}/") as page:
        body = page.read().decode()
        check(page.headers["Content-Type"] == "text/html; charset=utf-8", page.headers["Content-Type"])
    check("연결 코드" in body and "six-digit code" in body and "<script src" not in body, "the page, whole and bilingual")
    try:
        urllib.request.urlopen(f"http://127.0.0.1:{web_port}/other")
        check(False, "/other was served")
    except urllib.error.HTTPError as error:
        check(error.code == 404, f"/other: {error.code}")
    wrong = "000000" if code != "000000" else "111111"
    check(exchange({"type": "pair", "code": wrong}) == {"type": "refused", "retryAfterMs": 1000}, "a wrong code")
    check(exchange({"type": "pair", "code": code})["type"] == "wait", "the right code while the network waits")
    time.sleep(1.1)
    check(exchange("not json")["type"] == "refused", "anything but a code counts as a wrong one")
    time.sleep(2.1)
    paired = exchange({"type": "pair", "code": code})
    check(paired["type"] == "paired" and len(paired["token"]) == 32, f"the right code: {paired}")
    check(exchange({"type": "resume", "token": paired["token"]})["type"] == "paired", "the token pairs again")
    # Eight pages may be open at once; a ninth is turned away, and says so.
    pages = [websocket.create_connection(f"ws://127.0.0.1:{web_port}/signal", timeout=10) for _ in range(8)]
    with Chromium(f"http://127.0.0.1:{web_port}/#{code}") as browser:
        check(wait_until(lambda: "Too many pages" in (browser.evaluate("document.body?.innerText") or ""), 15), "a ninth page was served")
    for page in pages:
        page.close()
    time.sleep(0.5)
    # A paired page that sends nonsense, or candidates without end, leaves the host serving.
    socket = websocket.create_connection(f"ws://127.0.0.1:{web_port}/signal", timeout=10)
    socket.send(json.dumps({"type": "resume", "token": paired["token"]}))
    check(json.loads(socket.recv())["type"] == "paired", "the token pairs a page that misbehaves")
    for message in ({"type": 5}, {"type": ["answer"]}, {"type": "answer", "sdp": 7}, {"type": "candidate", "mline": -1, "candidate": ""},
                    *({"type": "candidate", "mline": 0, "candidate": f"candidate:{n} 1 UDP 1 10.9.{n // 250}.{n % 250} 9 typ host"} for n in range(500))):
        socket.send(json.dumps(message))
    socket.close()
    with urllib.request.urlopen(f"http://127.0.0.1:{web_port}/") as page:
        check(page.status == 200, "the page after a page that misbehaved")


def main():
    require("Xvfb", "chromium", modules=["websocket", "Xlib"])
    require_observers()
    with XServer(1280, 720) as server, Host(free_port(), env=server.environment()) as host:
        # Served by default, its address with the code right after the listening line.
        host.line(r"^browser page: ")
        first = [line for line in host.lines if not line.startswith(("no DISPLAY", "its X authority"))][:2]
        check(first[0].startswith("listening on port") and re.match(r"^browser page: http://\S+:59591/#\d{6}$", first[1]), f"the first lines: {first}")
        with urllib.request.urlopen("http://127.0.0.1:59591/") as page:
            check(page.status == 200, "the default port's page")
    with XServer(1280, 720) as server, Host(free_port(), "--mode", "mirror", "--web-port", str(web_port := free_port()),
                                            env=server.environment()) as host:
        code = re.search(rf"^browser page: http://\S+:{web_port}/#(\d{{6}})$", host.line(r"^browser page: ")).group(1)
        # Pairing, right or wrong, changes nothing for the viewer already connected.
        first = connect(host.port, "테스트 폰")
        host.line("^iPhone 연결됨$")
        pairing(web_port, code)
        check(not first.closed_by_host(timeout=0.5) and not host.wait_for_line("^브라우저 연결됨$", 0.5), "pairing alone took the viewer's place")
        with Chromium(f"http://127.0.0.1:{web_port}/#{code}") as browser:
            video = "document.getElementById('video')"
            shown = wait_until(lambda: (browser.evaluate(f"{video}.getVideoPlaybackQuality().totalVideoFrames") or 0) >= 3, 30)
            check(shown, f"no frames in the page: {browser.evaluate('document.body.innerText')}")
            check(browser.evaluate(f"[{video}.videoWidth, {video}.videoHeight]") == [1280, 720], "the picture's size")
            transport = browser.evaluate("(async () => { const found = []; (await peer.getStats()).forEach(s => { if (s.type === 'transport') "
                                         "found.push([s.dtlsState, s.srtpCipher]); }); return found; })()")
            check(transport and transport[0][0] == "connected" and transport[0][1], f"the transport: {transport}")
            host.line("^브라우저 연결됨$")
            check(first.closed_by_host(), "the browser did not replace the app's viewer")
            observer = Observer("1280x720", "qt", server.environment())
            try:
                observer.take(lambda got: any(line.startswith("ready") for line in got))
                mouse = lambda kind, x, y: browser.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)
                mouse("mousePressed", 640, 360), mouse("mouseReleased", 640, 360)
                got = observer.take(lambda got: any(line.startswith("release") for line in got))
                check("press 640 360 left" in got, f"a click at the page's centre: {got}")
                mouse("mousePressed", 320, 180), mouse("mouseMoved", 640, 360), mouse("mouseMoved", 960, 540), mouse("mouseReleased", 960, 540)
                got = observer.take(lambda got: any(line.startswith("release") for line in got))
                check("press 320 180 left" in got and "release 960 540 left" in got, f"a drag: {got}")
                # Touches: a tap clicks, a long press right-clicks, two fingers dragged down scroll up
                # (the content follows them); the mouse's wheel turned down scrolls down.
                browser.call("Emulation.setTouchEmulationEnabled", enabled=True, maxTouchPoints=5)
                touch = lambda kind, *points: browser.call("Input.dispatchTouchEvent", type=kind,
                                                           touchPoints=[{"x": x, "y": y, "id": n} for n, (x, y) in enumerate(points)])
                touch("touchStart", (640, 180)), touch("touchEnd")
                got = observer.take(lambda got: any(line.startswith("release") for line in got))
                check("press 640 180 left" in got, f"a tap: {got}")
                touch("touchStart", (320, 540)), time.sleep(0.8), touch("touchEnd")
                got = observer.take(lambda got: any(line.startswith("release") for line in got))
                check("press 320 540 right" in got, f"a long press: {got}")
                wheel = lambda got: sum(int(line.split()[2]) for line in got if line.startswith(("wheel", "scroll")))
                touch("touchStart", (600, 300), (680, 300))
                for step in range(1, 7):
                    touch("touchMove", (600, 300 + 20 * step), (680, 300 + 20 * step))
                touch("touchEnd")
                got = observer.take(lambda got: wheel(got) > 0, required=False)
                check(wheel(got) > 0 and not any(line.startswith("press") for line in got), f"two fingers dragged down: {got}")
                browser.call("Input.dispatchMouseEvent", type="mouseWheel", x=640, y=360, deltaX=0, deltaY=240)
                got = observer.take(lambda got: wheel(got) < 0, required=False)
                check(wheel(got) < 0, f"the wheel turned down: {got}")
                browser.evaluate("document.getElementById('typing').focus()")
                browser.call("Input.insertText", text=TEXT)
                got = observer.take(lambda got: typed(got) == TEXT)
                check(typed(got) == TEXT, f"typed: {got}")
            finally:
                observer.close()
            # A connection that drops while the page is awake comes back by itself, without the code;
            # one that drops while it slept (its timers stopped) does not, until reloaded. The second
            # drop comes as soon as the connection is up, while the host's ICE agent still gathers.
            served = lambda: sum(line == "브라우저 연결됨" for line in host.read_lines())
            before = served()
            browser.evaluate("socket.close()")
            check(wait_until(lambda: served() > before and browser.evaluate("peer?.connectionState") == "connected", 15),
                  "the page did not connect again")
            browser.evaluate("awakeAt = 0; socket.close()")
            check(wait_until(lambda: "reload the page" in (browser.evaluate("document.body?.innerText") or ""), 5), "a page that slept said nothing")
            time.sleep(2)
            check(host.process.poll() is None, f"the host ended: {host.process.poll()}")
            check(browser.evaluate("socket.readyState") == 3 and served() == before + 1, "a page that slept connected again")
            browser.evaluate("location.reload()")
            check(wait_until(lambda: browser.evaluate("peer?.connectionState") == "connected", 15), "reloaded, the page did not resume")
            # The app's viewer replaces the browser, whose page says so.
            app = connect(host.port, "테스트 폰")
            host.line("^iPhone 연결됨$")
            check(wait_until(lambda: "Another viewer" in (browser.evaluate("document.body?.innerText") or ""), 10), "the page does not say it was replaced")
        with Chromium(f"http://127.0.0.1:{web_port}/?webrtc=off#{code}") as browser:
            frames = wait_until(lambda: int(browser.evaluate("document.getElementById('canvas').dataset.frames || 0") or 0) >= 3, 30)
            check(frames, f"no JPEG frames in the page: {browser.evaluate('document.body.innerText')}")
            check(browser.evaluate("[canvas.width, canvas.height]") == [1280, 720], "the JPEG picture's size")
            host.line("JPEG 호환 모드$")
            for kind in ("mousePressed", "mouseReleased"):
                browser.call("Input.dispatchMouseEvent", type=kind, x=320, y=180, button="left", clickCount=1)
            at = wait_until(lambda: (p := server.client.screen().root.query_pointer()) and (p.root_x, p.root_y) == (320, 180), 10)
            check(at, "a click on the JPEG page did not move the X pointer")
            app.close()
    print("browser page: ok")


if __name__ == "__main__":
    main()
