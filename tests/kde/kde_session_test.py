"""kestrio on KDE Plasma (run inside headless_kwin.sh, as KWin's user): the KDE backend serves the
session, extended mode falls back to mirroring where KWin makes no virtual outputs (its virtual
backend), and clicks, scrolls, keys and text (Korean and emoji included, under load, the user's
clipboard given back) reach a Wayland client filling the mirrored output at the mapped points.
KWin's virtual backend never hands a picture to a cast, so the stream's pictures are not checked."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from host_support import Host, check, connect, free_port, wait_until  # noqa: E402
from input_checks import input_lands, require_observers  # noqa: E402

USER = os.environ["KESTRIO_KWIN_USER"]


def casting():
    """Whether the host consumes one of KWin's casts: it streams (with no pictures to show here)."""
    nodes = subprocess.run(["pw-cli", "ls", "Node"], capture_output=True, text=True, timeout=10).stdout
    return 'node.name = "kestrio"' in nodes


def main():
    require_observers()
    port = free_port()
    with Host(port, "--fps", "30", user=USER) as host:
        host.line(r"^sharing the KDE Plasma desktop through KWin's screen-cast and fake-input protocols$")
        host.line(r"^listening on port")
        viewer = connect(port, "테스트 폰")
        check(wait_until(casting, 20), "the host never cast KWin's output")
        # KWin takes fake scrolls as a wheel's: pixels arrive as whole clicks (ten units each, which
        # GTK reads as smooth deltas), as on X11. The 30 pixels across left from the first scroll
        # make a click with the second's.
        input_lands(viewer, 1280, 720, "qt", scroll=("wheel", [0, -2]))
        input_lands(viewer, 1280, 720, "gtk", scroll=("scroll", [-10, -20]), texts=20, clipboard=True)
        viewer.close()
        # Said once the viewer has gone (while one watches, the status describes it).
        host.line(r"^확장 모니터 생성 실패 · 화면 미러링으로 전송 시작 · ")
        check(host.terminate() == 0, "exit status after SIGTERM")
    print("KDE session: ok")


if __name__ == "__main__":
    main()
