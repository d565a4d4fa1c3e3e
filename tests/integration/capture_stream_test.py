"""The picture on the X screen reaches kestrio-viewer through kestrio --headless, as H.264 and as
JPEG, close to the source."""

import math
import os
import subprocess
import tempfile

from host_support import Host, XServer, check, free_port, require, skip

VIEWER = os.environ.get("KESTRIO_VIEWER", "")
WIDTH, HEIGHT = 1728, 972  # "balanced" captures up to 1728 pixels wide: streamed unscaled


def main():
    require()
    if not VIEWER:
        skip("KESTRIO_VIEWER is not set")
    # Structure at several scales.
    rows = [bytes(v for x in range(WIDTH) for v in (((x * 255 // WIDTH) if (x // 48 + y // 48) % 2 else 40),
                                                   y * 255 // HEIGHT,
                                                   200 if (x // 48 + y // 48) % 2 else (x + y) * 255 // (WIDTH + HEIGHT)))
            for y in range(HEIGHT)]
    reference = b"".join(rows)
    port = free_port()
    with XServer(WIDTH, HEIGHT) as server, tempfile.TemporaryDirectory() as work:
        server.paint(rows)
        with Host(port, "--mode", "mirror", "--quality", "balanced", "--fps", "30", env=server.environment()) as host:
            host.line(r"^listening on port", 10)
            for codec in ("H264", "JPEG"):
                picture = os.path.join(work, f"{codec}.ppm")
                result = subprocess.run([VIEWER, "--port", str(port), "--codec", codec, "--frames", "3", "--seconds", "20",
                                         "--save-frame", picture], capture_output=True, text=True, timeout=60)
                check(result.returncode == 0, f"viewer ({codec}) exit {result.returncode}: {result.stdout}{result.stderr}")
                with open(picture, "rb") as f:
                    check(f.read(len(header := f"P6\n{WIDTH} {HEIGHT}\n255\n")) == header.encode(), f"{codec} frame size")
                    pixels = f.read()
                check(len(pixels) == len(reference), f"{codec}: {len(pixels)} bytes of pixels")
                mse = sum((a - b) * (a - b) for a, b in zip(reference, pixels)) / len(reference)
                psnr = 10 * math.log10(255 * 255 / max(mse, 1e-9))
                print(f"{codec}: PSNR {psnr:.1f} dB")
                check(psnr >= 30, f"{codec} PSNR {psnr:.1f} dB below 30")
            check(host.terminate() == 0, "exit status after SIGTERM")
    print("capture stream: ok")


if __name__ == "__main__":
    main()
