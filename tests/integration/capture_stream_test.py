"""The picture on the X screen reaches a viewer through kestrio --headless, as H.264 and as JPEG,
decoded by kestrio-viewer and close to the source."""

import os
import subprocess
import tempfile

from host_support import BIN, Host, XServer, check, free_port, paint, psnr, read_ppm, skip, test_picture

VIEWER = os.environ.get("KESTRIO_VIEWER", "")

# "balanced" captures up to 1728 pixels wide: a screen of that size is streamed unscaled.
WIDTH, HEIGHT = 1728, 972


def main():
    if not BIN or not VIEWER:
        skip("KESTRIO_BIN or KESTRIO_VIEWER is not set")
    server = XServer(WIDTH, HEIGHT)
    host = None
    try:
        rows = test_picture(WIDTH, HEIGHT)
        paint(server.name, rows)
        port = free_port()
        host = Host(port, "--mode", "mirror", "--quality", "balanced", "--fps", "30", env=server.environment())
        check(host.wait_for_line(r"^listening on port"), f"host did not start: {host.lines}")
        with tempfile.TemporaryDirectory() as work:
            for codec in ("H264", "JPEG"):
                picture = os.path.join(work, f"{codec}.ppm")
                result = subprocess.run([VIEWER, "--port", str(port), "--codec", codec, "--frames", "3", "--seconds", "20",
                                         "--save-frame", picture], capture_output=True, text=True, timeout=60)
                check(result.returncode == 0, f"viewer ({codec}) exit {result.returncode}: {result.stdout}{result.stderr}")
                width, height, pixels = read_ppm(picture)
                check((width, height) == (WIDTH, HEIGHT), f"{codec} frame is {width}x{height}")
                value = psnr(rows, pixels)
                print(f"{codec}: PSNR {value:.1f} dB")
                check(value >= 30, f"{codec} PSNR {value:.1f} dB below 30")
        check(host.terminate() == 0, "exit status after SIGTERM")
    finally:
        if host:
            host.kill()
        server.close()
    print("capture stream: ok")


if __name__ == "__main__":
    main()
