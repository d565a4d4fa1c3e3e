"""The picture on the X screen reaches a viewer through kestrio --headless, as H.264 and as JPEG,
decoded and close to the source; key frames carry both parameter sets; the H.264 stream is
valid Annex B for the ffmpeg tool once rewritten."""

import os
import subprocess
import tempfile

from host_support import (BIN, Host, Viewer, XServer, annex_b, check, free_port, next_video, paint, psnr, read_ppm,
                          skip, test_picture, video_packet)

VIEWER = os.environ.get("KESTRIO_VIEWER", "")

# "balanced" captures up to 1728 pixels wide: a screen of that size is streamed unscaled.
WIDTH, HEIGHT = 1728, 972


def decoded_frame_psnr(port, codec, rows, work):
    picture = os.path.join(work, f"{codec}.ppm")
    result = subprocess.run([VIEWER, "--port", str(port), "--codec", codec, "--frames", "3", "--seconds", "20",
                             "--save-frame", picture], capture_output=True, text=True, timeout=60)
    check(result.returncode == 0, f"viewer ({codec}) exit {result.returncode}: {result.stdout}{result.stderr}")
    width, height, pixels = read_ppm(picture)
    check((width, height) == (WIDTH, HEIGHT), f"{codec} frame is {width}x{height}")
    return psnr(rows, pixels)


def main():
    if not BIN or not VIEWER:
        skip("KESTRIO_BIN or KESTRIO_VIEWER is not set")
    server = XServer(WIDTH, HEIGHT)
    host = None
    try:
        rows = test_picture(WIDTH, HEIGHT)
        paint(server.name, rows)
        os.environ["DISPLAY"] = server.name
        port = free_port()
        host = Host(port, "--mode", "mirror", "--quality", "balanced", "--fps", "30")
        check(host.wait_for_line(r"^listening on port"), f"host did not start: {host.lines}")

        with tempfile.TemporaryDirectory() as work:
            for codec in ("H264", "JPEG"):
                value = decoded_frame_psnr(port, codec, rows, work)
                print(f"{codec}: PSNR {value:.1f} dB")
                check(value >= 30, f"{codec} PSNR {value:.1f} dB below 30")

            # The first H.264 frame after the handshake, and after KEYFRAME, is a key frame with
            # both parameter sets.
            viewer = Viewer(port)
            viewer.send_line("HELLO 2 H264")
            stream = b""
            for request in range(3):
                if request:
                    viewer.send_line("KEYFRAME")
                    # Frames already under way may come first; the requested key frame follows.
                    for _ in range(10):
                        payload = next_video(viewer)
                        key, sps, pps, data = video_packet(payload)
                        stream += annex_b(sps, pps, data)
                        if key:
                            break
                else:
                    key, sps, pps, data = video_packet(next_video(viewer))
                    stream += annex_b(sps, pps, data)
                check(key == 1, f"frame after request {request} is not a key frame")
                check(sps and sps[0] & 0x1F == 7, "key frame without a sequence parameter set")
                check(pps and pps[0] & 0x1F == 8, "key frame without a picture parameter set")
            # Changing pictures give ordinary frames too.
            for phase in (16, 32):
                paint(server.name, test_picture(WIDTH, HEIGHT, phase))
                key, sps, pps, data = video_packet(next_video(viewer))
                if not key:
                    check(not sps and not pps, "parameter sets on a non-key frame")
                stream += annex_b(sps, pps, data)
            path = os.path.join(work, "stream.h264")
            with open(path, "wb") as f:
                f.write(stream)
            decode = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                                    capture_output=True, text=True, timeout=60)
            check(decode.returncode == 0 and not decode.stderr.strip(), f"ffmpeg: {decode.stderr}")

            # A viewer that only understands JPEG gets bare JPEG files.
            viewer = Viewer(port)
            viewer.send_line("CAP JPEG")
            payload = next_video(viewer)
            check(payload[:2] == b"\xff\xd8", f"JPEG frame starts with {payload[:2].hex()}")
        check(host.terminate() == 0, "exit status after SIGTERM")
    finally:
        if host:
            host.kill()
        server.close()
    print("capture stream: ok")


if __name__ == "__main__":
    main()
