#!/usr/bin/python3
"""Desktop backends compared on the same content: the host mirroring a 1920x1080 screen on X11
(a private Xvfb), on GNOME Wayland (a private headless GNOME session, tests/gnome/headless_gnome.sh)
and on sway (a private headless sway, tests/wlroots/headless_sway.sh),
with window_animator full screen changing the whole picture 60 times a second. For each backend:
frames delivered per second and the host's CPU time per delivered frame (balanced, 60/s, taken
while stream_probe reads without decoding), then the host's CPU on a still screen (the animator's
last picture, a viewer connected).

usage: bench/desktop_bench.py [--build-dir build/release] [--seconds 10] [--rounds 3] [--backends x11,gnome,sway]
Results: a table on standard output and JSON (default build/desktop_results.json).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stream_bench as sb  # noqa: E402

REPO = sb.REPO
SIZE = "1920x1080"


def environment(workdir, backend, children):
    """The environment the host and the animator run in; starts Xvfb for X11."""
    user_dirs = {}
    for variable in ("XDG_CONFIG_HOME",):
        user_dirs[variable] = os.path.join(workdir, f"{backend}-{variable.lower()}")
        os.makedirs(user_dirs[variable], mode=0o700, exist_ok=True)
    if backend == "x11":
        _, display = sb.start_xvfb(children)
        env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", **user_dirs)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("XDG_SESSION_TYPE", None)
        return env
    return dict(os.environ, QT_QPA_PLATFORM="wayland", **user_dirs)


def measure(args, backend, workdir):
    tools = sb.Tools(args.build_dir)
    animator = os.path.join(args.build_dir, "bench/stream/window_animator")
    results = {"rounds": []}
    with sb.Children() as children:
        env = environment(workdir, backend, children)
        for _ in range(args.rounds):
            drawing = children.start("window_animator", [animator, "--rate", "60"], env=env)
            drawing.wait_for(lambda line: line == "ready", 15)
            port = sb.free_port()
            host = children.start("kestrio", [tools.host, "--headless", "--port", str(port), "--mode", "mirror", "--quality",
                                              "balanced", "--fps", "60", "--no-port-mapping"], env=env)
            host.wait_for(lambda line: line.startswith("listening on port"), 15)
            marks = {}
            mark = lambda name: marks.__setitem__(name, (time.monotonic(), sb.cpu_seconds(host.pid)))
            summary = sb.run_probe(children, tools, port, 2, args.seconds, os.path.join(workdir, f"{backend}-frames.txt"),
                                   lambda _: None, lambda _: None, count_seconds=args.seconds,
                                   on_counting=lambda _: mark("start"), on_counted=lambda _: mark("end"))
            counted = summary["counted"]
            cpu = marks["end"][1] - marks["start"][1]
            results["rounds"].append({"frames_per_s": counted["frames"] / counted["seconds"],
                                      "host_cpu_ms_per_frame": cpu * 1000 / max(1, counted["frames"]),
                                      "host_cpu_percent_of_core": cpu * 100 / (marks["end"][0] - marks["start"][0])})
            children.stop(host)
            children.stop(drawing)
        # Still: the picture changes while the viewer warms up, then no more; a viewer connected.
        port = sb.free_port()
        host = children.start("kestrio", [tools.host, "--headless", "--port", str(port), "--mode", "mirror", "--quality", "balanced",
                                          "--fps", "60", "--no-port-mapping"], env=env)
        host.wait_for(lambda line: line.startswith("listening on port"), 15)
        drawing = children.start("window_animator", [animator, "--stop-after", "4"], env=env)
        drawing.wait_for(lambda line: line == "ready", 15)
        marks = {}
        mark = lambda name: marks.__setitem__(name, (time.monotonic(), sb.cpu_seconds(host.pid)))
        summary = sb.run_probe(children, tools, port, 6, args.seconds, os.path.join(workdir, f"{backend}-still.txt"),
                               lambda _: mark("start"), lambda _: mark("end"))
        wall = marks["end"][0] - marks["start"][0]
        results["still_host_cpu_percent_of_core"] = (marks["end"][1] - marks["start"][1]) * 100 / wall
        results["still_frames_per_s"] = summary["frames"] / summary["seconds"]
    for key in ("frames_per_s", "host_cpu_ms_per_frame", "host_cpu_percent_of_core"):
        results[key] = statistics.median(r[key] for r in results["rounds"])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build/release"))
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--backends", default="x11,gnome,sway")
    parser.add_argument("--output", default=os.path.join(REPO, "build/desktop_results.json"))
    parser.add_argument("--inside", help=argparse.SUPPRESS)  # run one backend here and print its JSON
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    workdir = os.path.join(os.path.dirname(args.output), "desktop-bench")
    os.makedirs(workdir, exist_ok=True)
    if args.inside:
        print("RESULT " + json.dumps(measure(args, args.inside, workdir)), flush=True)
        return
    results = {}
    for backend in args.backends.split(","):
        argv = [sys.executable, os.path.abspath(__file__), "--inside", backend, "--build-dir", args.build_dir, "--seconds",
                str(args.seconds), "--rounds", str(args.rounds), "--output", args.output]
        if backend == "gnome":
            argv = ["sh", os.path.join(REPO, "tests/gnome/headless_gnome.sh"), *argv]
        elif backend == "sway":
            argv = ["sh", os.path.join(REPO, "tests/wlroots/headless_sway.sh"), *argv]
        run = subprocess.run(argv, capture_output=True, text=True,
                             env=dict(os.environ, KESTRIO_GNOME_MONITOR=SIZE, KESTRIO_SWAY_OUTPUT=SIZE))
        line = next((l for l in run.stdout.splitlines() if l.startswith("RESULT ")), None)
        if not line:
            sys.exit(f"{backend}: no result\n{run.stdout}{run.stderr}")
        results[backend] = json.loads(line[len("RESULT "):])
    print(f"{'backend':8} {'frames/s':>9} {'CPU ms/frame':>13} {'CPU % core':>11} {'still CPU %':>12} {'still frames/s':>15}")
    for backend, r in results.items():
        print(f"{backend:8} {r['frames_per_s']:9.1f} {r['host_cpu_ms_per_frame']:13.2f} {r['host_cpu_percent_of_core']:11.1f} "
              f"{r['still_host_cpu_percent_of_core']:12.2f} {r['still_frames_per_s']:15.2f}")
    with open(args.output, "w") as f:
        json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
