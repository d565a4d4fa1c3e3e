#!/usr/bin/python3
"""The browser viewer against the app's viewer, on the same content: the host mirroring a private
Xvfb (1920x1080) at balanced/60 with window_animator full screen changing the whole picture 60
times a second. For each viewer, over several rounds: the frames per second it is given (the
app's: stream_probe reading without decoding; the browser's: the frames headless Chromium presents
in its <video>, getVideoPlaybackQuality) and the host's CPU time per delivered frame. Then the
change-to-presentation latency on a still desktop (stream_animator stamping a counter after random
pauses of 40-60 ms): for the app's path, from the drawing to the arrival of the first packet that
shows it (stream_probe); for the browser, to the presentation of the first frame that shows it in
the <video> (read back through requestVideoFrameCallback and a canvas; both clocks on this machine).

usage: bench/browser_bench.py [--build-dir build/release] [--seconds 10] [--rounds 3]
Results: a table on standard output and JSON (default build/browser_results.json).
"""

import argparse
import json
import os
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "integration"))
import stream_bench as sb  # noqa: E402
from chromium import Chromium  # noqa: E402

REPO = sb.REPO


def measure(args, workdir):
    tools = sb.Tools(args.build_dir)
    animator = os.path.join(args.build_dir, "bench/stream/window_animator")
    results = {"app": [], "browser": []}
    with sb.Children() as children:
        _, display = sb.start_xvfb(children)
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", XDG_CONFIG_HOME=os.path.join(workdir, "config"))
        env.pop("WAYLAND_DISPLAY", None)
        drawing = children.start("window_animator", [animator, "--rate", "60"], env=env)
        drawing.wait_for(lambda line: line == "ready", 15)
        for _ in range(args.rounds):
            port, web_port = sb.free_port(), sb.free_port()
            host = children.start("kestrio", [tools.host, "--headless", "--port", str(port), "--web-port", str(web_port), "--mode", "mirror",
                                              "--quality", "balanced", "--fps", "60", "--no-port-mapping"], env=env)
            link = host.wait_for(lambda line: line.startswith("browser page: "), 15)
            code = re.search(r"#(\d{6})", link).group(1)
            marks = {}
            mark = lambda name: marks.__setitem__(name, (time.monotonic(), sb.cpu_seconds(host.pid)))
            summary = sb.run_probe(children, tools, port, 2, args.seconds, os.path.join(workdir, "app-frames.txt"),
                                   lambda _: None, lambda _: None, count_seconds=args.seconds,
                                   on_counting=lambda _: mark("start"), on_counted=lambda _: mark("end"))
            counted = summary["counted"]
            cpu = marks["end"][1] - marks["start"][1]
            results["app"].append({"frames_per_s": counted["frames"] / counted["seconds"],
                                   "host_cpu_ms_per_frame": cpu * 1000 / max(1, counted["frames"])})
            with Chromium(f"http://127.0.0.1:{web_port}/#{code}") as browser:
                frames = lambda: browser.evaluate("document.getElementById('video').getVideoPlaybackQuality().totalVideoFrames") or 0
                deadline = time.monotonic() + 30
                while frames() < 10 and time.monotonic() < deadline:
                    time.sleep(0.2)
                time.sleep(2)  # warm-up
                first, started, cpu_before = frames(), time.monotonic(), sb.cpu_seconds(host.pid)
                time.sleep(args.seconds)
                shown, wall, cpu = frames() - first, time.monotonic() - started, sb.cpu_seconds(host.pid) - cpu_before
            results["browser"].append({"frames_per_s": shown / wall, "host_cpu_ms_per_frame": cpu * 1000 / max(1, shown)})
            children.stop(host)
    for viewer in ("app", "browser"):
        rounds = results[viewer]
        results[viewer] = {key: statistics.median(r[key] for r in rounds) for key in rounds[0]} | {"rounds": rounds}
    return results


# Reads the animator's counter from every frame the page presents: the first presentation of each
# value, in milliseconds since the epoch.
COLLECT_STAMPS = """
(() => {
  const video = document.getElementById('video');
  const canvas = document.createElement('canvas');
  canvas.width = 560; canvas.height = 96;
  const context = canvas.getContext('2d', {willReadFrequently: true});
  const seen = new Set();
  window.stamps = [];
  const read = (x, y, pixels) => pixels[(y * 560 + x) * 4 + 1] > 128;
  const frame = (now, metadata) => {
    const scale = video.videoWidth / 1920;
    context.drawImage(video, 0, 0, 560 * scale, 96 * scale, 0, 0, 560, 96);
    const pixels = context.getImageData(0, 0, 560, 96).data;
    let value = 0, valid = true;
    for (let bit = 0; bit < 16; ++bit) {
      const x = 32 + bit * 32, top = read(x, 32, pixels), bottom = read(x, 64, pixels);
      valid = valid && top !== bottom;
      value = (value << 1) | (top ? 1 : 0);
    }
    if (valid && !seen.has(value)) {
      seen.add(value);
      window.stamps.push([value, performance.timeOrigin + metadata.presentationTime,
                          metadata.receiveTime === undefined ? null : performance.timeOrigin + metadata.receiveTime]);
    }
    video.requestVideoFrameCallback(frame);
  };
  video.requestVideoFrameCallback(frame);
  return true;
})()
"""


def measure_latency(args, workdir):
    tools = sb.Tools(args.build_dir)
    with sb.Children() as children:
        stage = sb.Stage(children, tools, workdir, "browser-latency")
        stage.start_animator(pattern="rectangle", interval="40:60")
        port, web_port = sb.free_port(), sb.free_port()
        host = children.start("kestrio", [tools.host, "--headless", "--port", str(port), "--web-port", str(web_port), "--mode", "mirror",
                                          "--quality", "balanced", "--fps", "60", "--no-port-mapping"], env=stage.env)
        code = re.search(r"#(\d{6})", host.wait_for(lambda line: line.startswith("browser page: "), 15)).group(1)
        app_records = os.path.join(workdir, "latency-app-frames.txt")
        app = sb.run_probe(children, tools, port, 2, args.seconds, app_records, lambda _: None, lambda _: None)
        # The browser's clock is the wall clock; the animator's, the monotonic one.
        offset_ns = time.time_ns() - time.monotonic_ns()
        with Chromium(f"http://127.0.0.1:{web_port}/#{code}") as browser:
            deadline = time.monotonic() + 30
            while not browser.evaluate("document.getElementById('video').videoWidth > 0") and time.monotonic() < deadline:
                time.sleep(0.2)
            time.sleep(2)
            browser.evaluate(COLLECT_STAMPS)
            start_ns = time.monotonic_ns()
            time.sleep(args.seconds)
            end_ns = time.monotonic_ns()
            presented = browser.evaluate("window.stamps")
        time.sleep(0.6)  # the animator flushes its log twice a second
        stage.load_drawn_times()
        stage.close()
    app_latencies, _ = sb.stamp_latencies(app_records, stage.drawn, app["start_ns"], app["end_ns"] - 500_000_000)
    first, received = {}, {}
    for value, epoch_ms, receive_ms in presented:
        times = [t for t in stage.drawn.get(value, ()) if t + offset_ns <= epoch_ms * 1e6]
        if times:
            first[times[-1]] = epoch_ms * 1e6 - offset_ns
            if receive_ms is not None:
                received[times[-1]] = receive_ms * 1e6 - offset_ns
    counted = [t for t in first if start_ns <= t < end_ns - 500_000_000]
    browser_latencies = [(first[t] - t) / 1e6 for t in counted]
    figures = lambda values: {"stamps": len(values), "latency_ms_p50": sb.percentile(values, 0.5), "latency_ms_p95": sb.percentile(values, 0.95)}
    browser = figures(browser_latencies)
    # Where the browser's time goes: to the arrival of the picture's last packet in the page, then
    # from there to its presentation (decoding and compositing).
    arrivals = [(received[t] - t) / 1e6 for t in counted if t in received]
    if arrivals:
        browser["arrival_ms_p50"] = sb.percentile(arrivals, 0.5)
        browser["arrival_to_presentation_ms_p50"] = sb.percentile([(first[t] - received[t]) / 1e6 for t in counted if t in received], 0.5)
    return {"app": figures(app_latencies), "browser": browser}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build/release"))
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--output", default=os.path.join(REPO, "build/browser_results.json"))
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    workdir = os.path.join(os.path.dirname(args.output), "browser-bench")
    os.makedirs(workdir, exist_ok=True)
    results = measure(args, workdir)
    latency = measure_latency(args, workdir)
    print(f"{'viewer':<10} {'frames/s':>9} {'host CPU ms/frame':>18} {'latency p50 ms':>15} {'p95 ms':>7}")
    for viewer in ("app", "browser"):
        print(f"{viewer:<10} {results[viewer]['frames_per_s']:>9.1f} {results[viewer]['host_cpu_ms_per_frame']:>18.2f}"
              f" {latency[viewer]['latency_ms_p50']:>15.1f} {latency[viewer]['latency_ms_p95']:>7.1f}")
        results[viewer]["latency"] = latency[viewer]
    if "arrival_ms_p50" in latency["browser"]:
        print(f"browser: change to the last packet's arrival in the page p50 {latency['browser']['arrival_ms_p50']:.1f} ms, "
              f"arrival to presentation p50 {latency['browser']['arrival_to_presentation_ms_p50']:.1f} ms")
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
