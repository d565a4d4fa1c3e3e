#!/usr/bin/python3
"""Window start-up and memory: the window program on a private Xvfb, from process start to its
first frame, and its memory once it shows.

Runs kestrio_window_probe (the window over the model with stand-ins for the platform; built with
the tests, in <build>/tests/window/) several times with each scene-graph backend: Qt Quick's
software renderer (QT_QUICK_BACKEND=software) and OpenGL through Mesa's llvmpipe
(LIBGL_ALWAYS_SOFTWARE=1). For each run:

  start-up   CLOCK_MONOTONIC just before the process is spawned, to the probe's own reading when
             the window's first frame was swapped (the probe prints it)
  RSS, PSS   from /proc/PID/status and /proc/PID/smaps_rollup, one second after the first frame

Prints min / median / max per backend; JSON with --output. Every process started here is ended
here, also on failure or Ctrl-C.
"""

import argparse
import glob
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))

from host_support import XServer  # noqa: E402

SETTLE_SECONDS = 1.0
BACKENDS = {
    "software": {"QT_QUICK_BACKEND": "software"},
    "llvmpipe": {"LIBGL_ALWAYS_SOFTWARE": "1", "GALLIUM_DRIVER": "llvmpipe"},
}


def find_probe():
    candidates = glob.glob(os.path.join(REPO, "build", "*", "tests", "window", "kestrio_window_probe"))
    if not candidates:
        raise SystemExit("no kestrio_window_probe under build/*/tests/window: build it, or pass --probe")
    # Prefer an optimised build: its folder name says so in this tree's presets.
    candidates.sort(key=lambda path: ("rel" not in path, "asan" in path or "tsan" in path, path))
    return candidates[0]


def proc_kib(pid, path, key):
    with open(f"/proc/{pid}/{path}") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {key} in /proc/{pid}/{path}")


def one_run(probe, environment):
    started = time.monotonic_ns()
    process = subprocess.Popen([probe, "--quit-after-ms", str(int(SETTLE_SECONDS * 1000 + 500))], env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        first_frame = None
        scene_graph = None
        for line in process.stdout:
            if line.startswith("first-frame-ns "):
                first_frame = int(line.split()[1])
            elif line.startswith("scene-graph "):
                scene_graph = line.split()[1]
                break
        if first_frame is None:
            raise RuntimeError("the probe showed no frame")
        time.sleep(SETTLE_SECONDS)
        rss = proc_kib(process.pid, "status", "VmRSS")
        pss = proc_kib(process.pid, "smaps_rollup", "Pss")
        status = process.wait(timeout=30)
        if status != 0:
            raise RuntimeError(f"the probe exited with {status}")
        return {"startup_ms": (first_frame - started) / 1e6, "rss_mib": rss / 1024, "pss_mib": pss / 1024,
                "scene_graph": scene_graph}
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def summary(values):
    return {"min": min(values), "median": statistics.median(values), "max": max(values)}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--probe", help="the kestrio_window_probe to run (default: found under build/)")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--output", help="write the results as JSON here")
    arguments = parser.parse_args()
    probe = arguments.probe or find_probe()
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    runtime_dir = tempfile.mkdtemp(prefix="kestrio-window-bench-")  # 0700, as Qt wants it
    server = XServer(1920, 1080)
    results = {"probe": probe, "runs": arguments.runs, "backends": {}}
    try:
        for backend, variables in BACKENDS.items():
            environment = server.environment()
            for name in ("QT_QUICK_BACKEND", "QT_QPA_PLATFORM", "QT_SCALE_FACTOR", "LIBGL_ALWAYS_SOFTWARE", "GALLIUM_DRIVER"):
                environment.pop(name, None)
            environment.update(variables)
            environment["QT_QPA_PLATFORM"] = "xcb"
            environment["XDG_RUNTIME_DIR"] = runtime_dir
            environment["DBUS_SESSION_BUS_ADDRESS"] = "disabled:"
            one_run(probe, environment)  # warms the page cache and the font cache
            runs = [one_run(probe, environment) for _ in range(arguments.runs)]
            results["backends"][backend] = {
                "scene_graph": sorted({run["scene_graph"] for run in runs}),
                "startup_ms": summary([run["startup_ms"] for run in runs]),
                "rss_mib": summary([run["rss_mib"] for run in runs]),
                "pss_mib": summary([run["pss_mib"] for run in runs]),
            }
    finally:
        server.close()
        shutil.rmtree(runtime_dir, ignore_errors=True)

    print(f"probe: {probe}")
    print(f"{'backend':10} {'scene graph':12} {'start-up ms (min/median/max)':30} {'RSS MiB (median)':17} {'PSS MiB (median)'}")
    for backend, result in results["backends"].items():
        startup = result["startup_ms"]
        print(f"{backend:10} {','.join(result['scene_graph']):12} "
              f"{startup['min']:7.0f} /{startup['median']:7.0f} /{startup['max']:7.0f}        "
              f"{result['rss_mib']['median']:10.1f}        {result['pss_mib']['median']:10.1f}")
    if arguments.output:
        with open(arguments.output, "w") as f:
            json.dump(results, f, indent=2)


if __name__ == "__main__":
    main()
