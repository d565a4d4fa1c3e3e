"""The picture on the X screen reaches a viewer through kestrio --headless, as H.264 and as JPEG,
decoded by kestrio-viewer and close to the source."""

import os
import subprocess
import tempfile

from host_support import Host, XServer, check, free_port, paint, psnr, read_ppm, require, skip, test_picture

VIEWER = os.environ.get("KESTRIO_VIEWER", "")
# "balanced" captures up to 1728 pixels wide: a screen of that size is streamed unscaled.
WIDTH, HEIGHT = 1728, 972


def main():
    require()
    if not VIEWER:
        skip("KESTRIO_VIEWER is not set")
    rows = test_picture(WIDTH, HEIGHT)
    port = free_port()
    with XServer(WIDTH, HEIGHT) as server, tempfile.TemporaryDirectory() as work:
        paint(server.name, rows)
        with Host(port, "--mode", "mirror", "--quality", "balanced", "--fps", "30", env=server.environment()) as host:
            host.line(r"^listening on port", 10)
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
    print("capture stream: ok")


if __name__ == "__main__":
    main()
