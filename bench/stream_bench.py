#!/usr/bin/python3
"""End-to-end streaming benchmark: the host on a private Xvfb, measured by a viewer.

For every quality x frame rate it starts a private Xvfb (1920x1080x24), stream_animator (the whole
screen changes every frame and carries a frame counter), `kestrio --headless`, and stream_probe
(a viewer that decodes every frame and reads the counter back). Over the measurement window it
reports frames delivered per second, the host's CPU time per delivered frame, video bytes per
frame and the drawn->decoded latency; then the same screen is encoded by `ffmpeg -f x11grab ...
libx264 ultrafast zerolatency` as the baseline a user would otherwise run. Then: the host's CPU
on a still screen, the host's memory while a viewer never reads, the latency of a change on a
still desktop against the same ffmpeg pipe, and (with --long S) memory over a long stream.

Everything started here is ended here (SIGTERM, then SIGKILL, always waited for), also on
failure or Ctrl-C. Results: a table on standard output and JSON (default build/stream_results.json).
"""

import argparse
import json
import os
import queue
import signal
import statistics
import socket
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
SCREEN_WIDTH, SCREEN_HEIGHT = 1920, 1080
QUALITIES = ("dataSaver", "balanced", "sharp")
FRAME_RATES = (60, 30)
BIT_RATES = {"dataSaver": "4M", "balanced": "8M", "sharp": "14M"}
SETTLE_SECONDS = 3
OUTPUT_SIZES = {"dataSaver": (1280, 720), "balanced": (1728, 972), "sharp": (1920, 1080)}
SECTIONS = ("matrix", "still", "stuck", "changes", "player", "slowlink", "latency", "long")
DEFAULT_SECTIONS = SECTIONS[:-1]


class BenchError(Exception):
    pass


def terminate_by_signal(signum, frame):
    raise KeyboardInterrupt


# ---------------------------------------------------------------------------------------------
# /proc


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise BenchError(f"no VmRSS for {pid}")


def machine_busy_seconds():
    """(busy, total) CPU seconds of the whole machine, all cores, from /proc/stat."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + values[4]  # idle + iowait
    total = sum(values[:8])  # guest time is already inside user
    return (total - idle) / CLOCK_TICKS, total / CLOCK_TICKS


def percentile(values, fraction):
    if not values:
        return None
    ordered = sorted(values)
    position = (len(ordered) - 1) * fraction
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


# ---------------------------------------------------------------------------------------------
# Processes


class Child:
    """A started process whose output lines are collected by a thread."""

    def __init__(self, name, argv, env=None, pipe_stdout=True, pipe_stderr=False, pass_fds=(), stdin=subprocess.DEVNULL, stdout=None):
        """`stdout`, when given, is where standard output goes instead (a file or descriptor)."""
        self.name = name
        self.lines = queue.Queue()
        self.stderr_lines = []
        self.popen = subprocess.Popen(
            argv,
            env=env,
            stdin=stdin,
            stdout=stdout if stdout is not None else subprocess.PIPE if pipe_stdout else subprocess.DEVNULL,
            stderr=subprocess.PIPE if pipe_stderr else subprocess.DEVNULL,
            pass_fds=pass_fds,
            start_new_session=True,  # a Ctrl-C reaches only us; we end the children in order
            text=True,
            errors="replace",
        )
        self.pid = self.popen.pid
        self.threads = []
        if pipe_stdout and stdout is None:
            self.threads.append(threading.Thread(target=self._drain, args=(self.popen.stdout, self.lines.put), daemon=True))
        if pipe_stderr:
            self.threads.append(threading.Thread(target=self._drain, args=(self.popen.stderr, self.stderr_lines.append), daemon=True))
        for thread in self.threads:
            thread.start()

    @staticmethod
    def _drain(stream, sink):
        for line in stream:
            sink(line.rstrip("\n"))
        sink(None)

    def alive(self):
        return self.popen.poll() is None

    def next_line(self, timeout):
        """The next output line, None at end of output; raises BenchError after `timeout` seconds."""
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise BenchError(f"{self.name}: no output within {timeout} s") from None

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise BenchError(f"{self.name}: expected output did not come within {timeout} s")
            line = self.next_line(remaining)
            if line is None:
                raise BenchError(f"{self.name} ended (status {self.popen.wait()}) before the expected output")
            if predicate(line):
                return line

    def stop(self, grace=5.0):
        if self.popen.poll() is None:
            try:
                self.popen.send_signal(signal.SIGTERM)
                self.popen.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()
        for thread in self.threads:
            thread.join(timeout=2)
        return self.popen.returncode


class Children:
    """Ends, in reverse order of start, everything started through it."""

    def __init__(self):
        self.children = []

    def start(self, *args, **kwargs):
        child = Child(*args, **kwargs)
        self.children.append(child)
        return child

    def stop(self, child):
        status = child.stop()
        if child in self.children:
            self.children.remove(child)
        return status

    def stop_all(self):
        while self.children:
            self.stop(self.children[-1])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # Even a second Ctrl-C must not leave processes behind.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            self.stop_all()
        finally:
            signal.signal(signal.SIGINT, previous)
        return False


class Tools:
    def __init__(self, build_dir):
        self.host = os.path.join(build_dir, "src/app/kestrio")
        self.animator = os.path.join(build_dir, "bench/stream/stream_animator")
        self.probe = os.path.join(build_dir, "bench/stream/stream_probe")
        for path in (self.host, self.animator, self.probe):
            if not os.access(path, os.X_OK):
                raise BenchError(f"missing {path}: build the targets kestrio, stream_animator and stream_probe")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_xvfb(children):
    read_end, write_end = os.pipe()
    try:
        xvfb = children.start(
            "Xvfb",
            ["Xvfb", "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp", "-screen", "0", f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24"],
            pipe_stdout=False,
            pass_fds=(write_end,),
        )
        os.close(write_end)
        write_end = None
        number = b""
        deadline = time.monotonic() + 10
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or not xvfb.alive():
                raise BenchError("Xvfb did not start")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise BenchError("Xvfb did not report its display")
            number += chunk
        return xvfb, ":" + number.decode().strip()
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)


class Stage:
    """One private X server with the animator on it."""

    def __init__(self, children, tools, workdir, tag):
        self.children = children
        self.tools = tools
        self.xvfb, self.display = start_xvfb(children)
        # The host's per-user folders are the bench's own: it must neither ask a host the user
        # runs to quit (one instance per user) nor read or write the user's settings.
        user_dirs = {}
        for variable in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
            user_dirs[variable] = os.path.join(workdir, f"{tag}-{variable.lower()}")
            os.makedirs(user_dirs[variable], mode=0o700, exist_ok=True)
        self.env = dict(os.environ, DISPLAY=self.display, **user_dirs)
        self.animator_log = os.path.join(workdir, f"{tag}-animator.log")
        self.animator = None
        self.drawn = {}

    def start_animator(self, rate=60, pattern="screen", interval=None):
        timing = ["--interval", interval] if interval else ["--rate", str(rate)]
        self.animator = self.children.start("stream_animator", [self.tools.animator, "--log", self.animator_log, *timing,
                                                                "--pattern", pattern], env=self.env, pipe_stdout=False)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:  # drawing has begun once the first time is logged
            if os.path.exists(self.animator_log) and os.path.getsize(self.animator_log) > 0:
                return
            if not self.animator.alive():
                raise BenchError("stream_animator ended at start")
            time.sleep(0.05)
        raise BenchError("stream_animator drew nothing")

    def stop_animator(self):
        if self.animator:
            self.children.stop(self.animator)
            self.animator = None

    def load_drawn_times(self):
        """counter (low 16 bits) -> ascending CLOCK_MONOTONIC ns of every frame drawn with it."""
        drawn = {}
        with open(self.animator_log) as f:
            for line in f:
                parts = line.split()
                if len(parts) != 2:
                    continue
                drawn.setdefault(int(parts[0]) & 0xFFFF, []).append(int(parts[1]))
        self.drawn = drawn

    def start_host(self, quality, fps, wrapper=()):
        port = free_port()
        host = self.children.start("kestrio", [*wrapper, self.tools.host, "--headless", "--port", str(port), "--mode", "mirror", "--quality", quality,
                                               "--fps", str(fps)], env=self.env)
        host.wait_for(lambda line: line.startswith("listening on port"), 15)
        return host, port

    def close(self):
        self.stop_animator()
        self.children.stop(self.xvfb)


def run_probe(children, tools, port, warmup, seconds, records, on_measuring, on_done, sample=None, count_seconds=0,
              on_counting=None, on_counted=None, extra=(), wrapper=(), on_started=None):
    """Runs stream_probe; calls on_measuring() at the end of the warm-up and on_done() at the end
    of the window, and sample() about once a second meanwhile. With count_seconds, the probe then
    reads without decoding for that long, between on_counting() and on_counted(); its figures come
    back under "counted". Without a port the probe reads an Annex B stream on its standard input,
    a pipe handed to on_started(probe) to feed. Returns the summary fields."""
    source = ["--port", str(port)] if port else ["--annexb-stdin"]
    argv = [tools.probe, *source, "--records", records, "--warmup", str(warmup), "--seconds", str(seconds),
            "--screen-width", str(SCREEN_WIDTH)]
    if count_seconds:
        argv += ["--count-seconds", str(count_seconds)]
    probe = children.start("stream_probe", [*wrapper, *argv, *extra], pipe_stderr=True,
                           stdin=subprocess.DEVNULL if port else subprocess.PIPE)
    if on_started:
        on_started(probe)
    probe.wait_for(lambda line: line == "connected", 15)
    probe.wait_for(lambda line: line == "measuring", warmup + 15)
    on_measuring(probe.pid)
    deadline = time.monotonic() + seconds + 30
    summary = None
    next_sample = time.monotonic()
    while summary is None:
        now = time.monotonic()
        if now > deadline:
            raise BenchError("stream_probe did not finish")
        if sample and now >= next_sample:
            sample()
            next_sample += 1.0
        try:
            line = probe.lines.get(timeout=max(0.01, min(next_sample - time.monotonic(), 0.5)) if sample else 0.5)
        except queue.Empty:
            continue
        if line is None:
            raise BenchError(f"stream_probe ended early: {' '.join(l for l in probe.stderr_lines if l)}")
        if line.startswith("done "):
            on_done(probe.pid)
            summary = dict(item.split("=", 1) for item in line.split()[1:])
    counted = None
    if count_seconds and int(summary.get("result", -1)) == 0:
        probe.wait_for(lambda line: line == "counting", 15)
        on_counting(probe.pid)
        deadline = time.monotonic() + count_seconds + 30
        while counted is None:
            if time.monotonic() > deadline:
                raise BenchError("stream_probe did not finish counting")
            try:
                line = probe.lines.get(timeout=0.5)
            except queue.Empty:
                continue
            if line is None:
                raise BenchError(f"stream_probe ended early: {' '.join(l for l in probe.stderr_lines if l)}")
            if line.startswith("counted "):
                on_counted(probe.pid)
                counted = dict(item.split("=", 1) for item in line.split()[1:])
    delivered = None
    if counted:  # the kept payloads are decoded once the connection is closed
        line = probe.wait_for(lambda line: line.startswith("delivered "), 60)
        delivered = {key: int(value) for key, value in (item.split("=", 1) for item in line.split()[1:])}
    children.stop(probe)
    result = {key: (float(value) if "." in value else int(value)) for key, value in summary.items()}
    if counted:
        result["counted"] = {key: (float(value) if "." in value else int(value)) for key, value in counted.items()}
    if delivered:
        result["delivered"] = delivered
    result["probe_status"] = probe.popen.returncode
    return result


def latencies(records_path, drawn):
    """drawn->decoded and drawn->received latencies (ms) of every frame whose counter was read."""
    decoded, received, counters = [], [], set()
    unmatched = 0
    with open(records_path) as f:
        for line in f:
            counter, decoded_ns, received_ns, _, _ = line.split()
            counter, decoded_ns, received_ns = int(counter), int(decoded_ns), int(received_ns)
            if counter < 0:
                continue
            times = [t for t in drawn.get(counter, ()) if t <= decoded_ns]
            if not times:
                unmatched += 1
                continue
            counters.add(counter)
            decoded.append((decoded_ns - times[-1]) / 1e6)
            received.append((received_ns - times[-1]) / 1e6)
    return decoded, received, len(counters), unmatched


def measure_host(stage, tools, children, workdir, quality, fps, warmup, seconds):
    host, port = stage.start_host(quality, fps)
    records = os.path.join(workdir, f"{quality}-{fps}-frames.txt")
    marks = {}

    def mark(name, probe_pid):
        marks[name] = {"time": time.monotonic(), "host": cpu_seconds(host.pid), "xvfb": cpu_seconds(stage.xvfb.pid),
                       "animator": cpu_seconds(stage.animator.pid), "probe": cpu_seconds(probe_pid), "machine": machine_busy_seconds()}

    # The host's CPU is taken in the counting window, where the probe reads the stream without
    # decoding it: a decoder on the same cores (the phone's work) would otherwise slow the host
    # down and be billed to it. The decoding window's figure is kept alongside.
    summary = run_probe(children, tools, port, warmup, seconds, records, lambda pid: mark("start", pid), lambda pid: mark("end", pid),
                        count_seconds=seconds, on_counting=lambda pid: mark("count_start", pid),
                        on_counted=lambda pid: mark("count_end", pid))
    rss = rss_kib(host.pid)
    capture_line = None
    while True:
        try:
            line = host.lines.get_nowait()
        except queue.Empty:
            break
        if line and line.startswith("capture: ") and "x" in line and capture_line is None:
            capture_line = line
    children.stop(host)
    time.sleep(0.6)  # the animator flushes its log twice a second
    stage.load_drawn_times()
    decoded, received, distinct, unmatched = latencies(records, stage.drawn)
    wall = marks["end"]["time"] - marks["start"]["time"]
    frames = summary["frames"]
    host_cpu = marks["end"]["host"] - marks["start"]["host"]
    counted = summary.get("counted")
    if counted:
        count_wall = marks["count_end"]["time"] - marks["count_start"]["time"]
        count_cpu = marks["count_end"]["host"] - marks["count_start"]["host"]
        counting = {
            "window_s": round(count_wall, 3),
            "frames": counted["frames"],
            "frames_per_s": counted["frames"] / counted["seconds"],
            "bytes_per_frame": counted["payload_bytes"] / counted["frames"] if counted["frames"] else None,
            "host_cpu_s": count_cpu,
            "host_cpu_ms_per_frame": count_cpu * 1000 / counted["frames"] if counted["frames"] else None,
            "host_cpu_percent_of_core": count_cpu * 100 / count_wall,
            "viewer_cpu_percent_of_core": (marks["count_end"]["probe"] - marks["count_start"]["probe"]) * 100 / count_wall,
        }
    else:
        counting = None
    return {
        "quality": quality,
        "fps": fps,
        "output": f"{summary['width']}x{summary['height']}",
        "host_line": capture_line,
        "window_s": round(wall, 3),
        "frames": frames,
        "frames_per_s": frames / summary["seconds"],
        "distinct_counters": distinct,
        "unreadable_counters": summary["unreadable"],
        "unmatched_counters": unmatched,
        "key_frames": summary["key_frames"],
        "decode_errors": summary["decode_errors"],
        "bytes_per_frame": summary["payload_bytes"] / frames if frames else None,
        "video_mbit_per_s": summary["payload_bytes"] * 8 / summary["seconds"] / 1e6,
        "host_cpu_s_while_decoding": host_cpu,
        "host_cpu_ms_per_frame_while_decoding": host_cpu * 1000 / frames if frames else None,
        "host_cpu_percent_of_core_while_decoding": host_cpu * 100 / wall,
        "host_cpu_ms_per_frame": counting["host_cpu_ms_per_frame"] if counting else None,
        "host_cpu_percent_of_core": counting["host_cpu_percent_of_core"] if counting else None,
        "counting_window": counting,
        "xvfb_cpu_percent_of_core": (marks["end"]["xvfb"] - marks["start"]["xvfb"]) * 100 / wall,
        "animator_cpu_percent_of_core": (marks["end"]["animator"] - marks["start"]["animator"]) * 100 / wall,
        "viewer_cpu_percent_of_core": (marks["end"]["probe"] - marks["start"]["probe"]) * 100 / wall,
        "machine_busy_percent_of_all_cores": (marks["end"]["machine"][0] - marks["start"]["machine"][0]) * 100
        / max(1e-9, marks["end"]["machine"][1] - marks["start"]["machine"][1]),
        "host_rss_kib_at_end": rss,
        "latency_ms_p50": percentile(decoded, 0.5),
        "latency_ms_p95": percentile(decoded, 0.95),
        "latency_ms_max": max(decoded) if decoded else None,
        "received_latency_ms_p50": percentile(received, 0.5),
        "received_latency_ms_p95": percentile(received, 0.95),
    }


def median_round(rounds):
    """The first round's details, with the CPU figures replaced by the medians over all rounds and
    the ratios computed from those medians; each round's figures are kept under "rounds"."""
    run = dict(rounds[0])
    run["rounds"] = []
    for one in rounds:
        entry = {"host_cpu_ms_per_frame": one["host_cpu_ms_per_frame"], "frames_per_s": one["frames_per_s"]}
        for key in ("baseline", "baseline_420"):
            if key in one:
                entry[f"{key}_cpu_ms_per_frame"] = one[key]["cpu_ms_per_frame"]
        run["rounds"].append(entry)
    if len(rounds) > 1:
        run["host_cpu_ms_per_frame"] = statistics.median(r["host_cpu_ms_per_frame"] for r in rounds if r["host_cpu_ms_per_frame"])
        for key in ("baseline", "baseline_420"):
            if key in run:
                run[key] = dict(run[key])
                run[key]["cpu_ms_per_frame"] = statistics.median(r[key]["cpu_ms_per_frame"] for r in rounds if r[key]["cpu_ms_per_frame"])
    for key in ("baseline", "baseline_420"):
        if key in run and run["host_cpu_ms_per_frame"] and run[key]["cpu_ms_per_frame"]:
            run[f"cpu_ratio_to_{key}"] = run["host_cpu_ms_per_frame"] / run[key]["cpu_ms_per_frame"]
    return run


def measure_baseline(stage, children, quality, fps, width, height, warmup, seconds, yuv420=False):
    argv = ["ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "info", "-progress", "pipe:1", "-stats_period", "0.1",
            "-f", "x11grab", "-framerate", str(fps), "-video_size", f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}", "-i", stage.display,
            "-vf", f"scale={width}:{height}"]
    if yuv420:
        argv += ["-pix_fmt", "yuv420p"]
    argv += ["-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0", "-b:v", BIT_RATES[quality], "-f", "null", "-"]
    ffmpeg = children.start("ffmpeg", argv, env=stage.env, pipe_stderr=True)
    progress = {"frame": 0}

    def absorb_progress(until):
        while True:
            remaining = until - time.monotonic()
            try:
                line = ffmpeg.lines.get(timeout=max(0.0, remaining)) if remaining > 0 else ffmpeg.lines.get_nowait()
            except queue.Empty:
                return
            if line is None:
                raise BenchError(f"ffmpeg ended: {' | '.join(l for l in ffmpeg.stderr_lines[-5:] if l)}")
            if line.startswith("frame="):
                progress["frame"] = int(line.split("=", 1)[1])

    absorb_progress(time.monotonic() + warmup)
    start = (time.monotonic(), cpu_seconds(ffmpeg.pid), progress["frame"], machine_busy_seconds())
    absorb_progress(time.monotonic() + seconds)
    end = (time.monotonic(), cpu_seconds(ffmpeg.pid), progress["frame"], machine_busy_seconds())
    children.stop(ffmpeg)
    profile = next((l.split("] ", 1)[1] for l in ffmpeg.stderr_lines if l and "profile" in l and "libx264" in l), None)
    frames = end[2] - start[2]
    cpu = end[1] - start[1]
    wall = end[0] - start[0]
    return {
        "command": " ".join(argv),
        "x264_profile": profile,
        "window_s": round(wall, 3),
        "frames": frames,
        "frames_per_s": frames / wall,
        "cpu_s": cpu,
        "cpu_ms_per_frame": cpu * 1000 / frames if frames else None,
        "cpu_percent_of_core": cpu * 100 / wall,
        "machine_busy_percent_of_all_cores": (end[3][0] - start[3][0]) * 100 / max(1e-9, end[3][1] - start[3][1]),
    }


def measure_still(children, tools, workdir, seconds):
    """Host CPU with a connected viewer and a screen that does not change."""
    stage = Stage(children, tools, workdir, "still")
    try:
        stage.start_animator()
        time.sleep(0.5)
        stage.stop_animator()  # leaves its last picture on the screen
        host, port = stage.start_host("balanced", 60)
        marks = {}

        def mark(name):
            marks[name] = (time.monotonic(), cpu_seconds(host.pid))

        summary = run_probe(children, tools, port, 2, seconds, os.path.join(workdir, "still-frames.txt"), lambda _: mark("start"),
                            lambda _: mark("end"))
        children.stop(host)
        wall = marks["end"][0] - marks["start"][0]
        cpu = marks["end"][1] - marks["start"][1]
        return {"quality": "balanced", "fps": 60, "window_s": round(wall, 3), "host_cpu_s": cpu, "host_cpu_percent_of_core": cpu * 100 / wall,
                "frames_delivered": summary["frames"], "payload_bytes": summary["payload_bytes"]}
    finally:
        stage.close()


def measure_stuck_viewer(children, tools, workdir, seconds):
    """Host RSS each second while a handshaken viewer never reads and the screen keeps changing."""
    stage = Stage(children, tools, workdir, "stuck")
    try:
        stage.start_animator()
        host, port = stage.start_host("balanced", 60)
        stuck = children.start("stream_probe (not reading)", [tools.probe, "--port", str(port), "--no-read",
                                                                       "--seconds", str(seconds + SETTLE_SECONDS + 5)])
        stuck.wait_for(lambda line: line == "connected", 15)
        settling = []
        for _ in range(SETTLE_SECONDS):  # capture and encoder start, the socket buffers fill
            time.sleep(1.0)
            settling.append(rss_kib(host.pid))
        samples = []
        start = time.monotonic()
        cpu_start = cpu_seconds(host.pid)
        for i in range(seconds + 1):
            time.sleep(max(0.0, start + i - time.monotonic()))
            if not host.alive():
                break
            samples.append(rss_kib(host.pid))
        cpu = cpu_seconds(host.pid) - cpu_start if host.alive() else None
        alive_while_stuck = host.alive()
        children.stop(stuck)
        # Once the stuck viewer is gone, a reading viewer must be served again.
        recovered = None
        if host.alive():
            time.sleep(1.0)
            try:
                after = run_probe(children, tools, port, 1, 2, os.path.join(workdir, "stuck-after-frames.txt"), lambda _: None, lambda _: None)
                recovered = after["frames"]
            except BenchError as error:
                recovered = f"failed: {error}"
        alive = host.alive()
        children.stop(host)
        return {"seconds": seconds, "rss_kib_settling": settling, "rss_kib": samples, "rss_kib_min": min(samples) if samples else None,
                "rss_kib_max": max(samples) if samples else None, "host_alive_while_stuck": alive_while_stuck,
                "host_alive_at_end": alive, "host_cpu_percent_of_core_while_stuck": cpu * 100 / seconds if cpu is not None else None,
                "frames_to_next_viewer_in_2s": recovered}
    finally:
        stage.close()


def measure_changes(children, tools, workdir, qualities, frame_rates, codecs, patterns, seconds):
    """Distinct screen changes delivered against changes drawn. The animator changes the screen at
    a known rate and stamps each change with a counter; the probe reads the stream without
    decoding it (the two cores go to the host and the animator), then decodes what it kept and
    counts the counters: delivered = distinct counters / the counters the kept stream spans."""
    rows = []
    for pattern in patterns:
        for rate in sorted(set(frame_rates), reverse=True):
            stage = Stage(children, tools, workdir, f"changes-{pattern}-{rate}")
            try:
                stage.start_animator(rate, pattern)
                for quality in qualities:
                    for fps in frame_rates:
                        if fps < rate:
                            continue  # more changes than frames: the frame rate caps them, by design
                        for codec in codecs:
                            print(f"-- changes: {pattern} at {rate}/s, {quality}/{fps}, {codec}", flush=True)
                            host, port = stage.start_host(quality, fps)
                            marks = {}

                            def mark(name, probe_pid):
                                marks[name] = (time.monotonic(), cpu_seconds(host.pid))

                            summary = run_probe(children, tools, port, 2, 1, os.path.join(workdir, "changes-frames.txt"), lambda _: None,
                                                lambda _: None, count_seconds=seconds, on_counting=lambda pid: mark("start", pid),
                                                on_counted=lambda pid: mark("end", pid), extra=("--codec", codec))
                            children.stop(host)
                            delivered = summary.get("delivered", {})
                            counted = summary.get("counted", {})
                            span = delivered.get("span", 0)
                            wall = marks["end"][0] - marks["start"][0] if len(marks) == 2 else None
                            rows.append({
                                "pattern": pattern, "changes_per_s": rate, "quality": quality, "fps": fps, "codec": codec,
                                "frames": counted.get("frames"), "frames_per_s": counted["frames"] / counted["seconds"] if counted else None,
                                "distinct": delivered.get("distinct"), "span": span, "repeats": delivered.get("repeats"),
                                "unreadable": delivered.get("unreadable"),
                                "delivered_percent": delivered["distinct"] * 100 / span if span else None,
                                "host_cpu_percent_of_core": (marks["end"][1] - marks["start"][1]) * 100 / wall if wall else None,
                            })
            finally:
                stage.close()
    return rows


# mpdecimate's strictest judgement: any pixel that differs makes a picture distinct.
STRICT_DECIMATE = "mpdecimate=hi=1:lo=1:frac=0"


def count_distinct(argv_input, seconds=None, decimate="mpdecimate"):
    """Frames ffmpeg's mpdecimate keeps (its judgement of distinct pictures) from an input."""
    return finish_count(start_count(argv_input, seconds, decimate), seconds)


def start_count(argv_input, seconds=None, decimate="mpdecimate"):
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", *argv_input]
    if seconds:
        argv += ["-t", str(seconds)]
    argv += ["-vf", decimate, "-f", "null", "-", "-progress", "pipe:1", "-nostats"]
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_count(process, seconds=None):
    try:
        stdout, stderr = process.communicate(timeout=120 + (seconds or 0))
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise BenchError("ffmpeg did not finish counting distinct frames")
    frames = [int(line.split("=", 1)[1]) for line in stdout.splitlines() if line.startswith("frame=")]
    if process.returncode != 0 or not frames:
        raise BenchError(f"ffmpeg could not count distinct frames: {stderr.strip()[-300:]}")
    return frames[-1]


def measure_player(children, tools, workdir, seconds, quality="balanced", fps=60, source_size=f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}"):
    """A real video player's output: ffplay plays its testsrc2 pattern (`source_size`, scaled to the
    screen) full screen at 60 fps while
    the host mirrors it. The screen's distinct pictures per second are counted by x11grab through
    the strictest mpdecimate while the host serves it; the host's count is every video message the
    viewer receives. Then the pipe a user would run instead (x11grab -> libx264 ultrafast
    zerolatency at the host's picture size) on the same screen, for the CPU per frame."""
    stage = Stage(children, tools, workdir, "player")
    try:
        children.start("ffplay", ["ffplay", "-loglevel", "quiet", "-f", "lavfi", "-i", f"testsrc2=size={source_size}:rate=60",
                                   "-fs", "-an"], env=stage.env, pipe_stdout=False)
        time.sleep(3)
        grab = ["-f", "x11grab", "-framerate", "60", "-video_size", f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}", "-i", stage.display]
        host, port = stage.start_host(quality, fps)
        marks, counting = {}, {}

        def mark(name, probe_pid):
            marks[name] = (time.monotonic(), cpu_seconds(host.pid))
            if name == "start":
                counting["screen"] = start_count(grab, seconds, STRICT_DECIMATE)

        summary = run_probe(children, tools, port, 3, 1, os.path.join(workdir, "player-frames.txt"), lambda _: None, lambda _: None,
                            count_seconds=seconds, on_counting=lambda pid: mark("start", pid), on_counted=lambda pid: mark("end", pid))
        changes = finish_count(counting["screen"], seconds)
        children.stop(host)
        width, height = OUTPUT_SIZES[quality]
        pipe = measure_baseline(stage, children, quality, fps, width, height, 2, seconds)
        counted = summary["counted"]
        changes_per_s = changes / seconds
        frames_per_s = counted["frames"] / counted["seconds"]
        cpu_ms_per_frame = (marks["end"][1] - marks["start"][1]) * 1000 / max(1, counted["frames"])
        return {"quality": quality, "fps": fps, "seconds": seconds, "screen_changes_per_s": changes_per_s, "frames_per_s": frames_per_s,
                "delivered_percent": frames_per_s * 100 / changes_per_s, "host_cpu_ms_per_frame": cpu_ms_per_frame,
                "host_cpu_percent_of_core": (marks["end"][1] - marks["start"][1]) * 100 / (marks["end"][0] - marks["start"][0]),
                "pipe": pipe, "cpu_ratio_to_pipe": cpu_ms_per_frame / pipe["cpu_ms_per_frame"] if pipe["cpu_ms_per_frame"] else None}
    finally:
        stage.close()


class SlowLink:
    """A veth pair between this namespace and one of its own, each direction limited by a tbf
    qdisc: `rate`, with a queue of `queue_ms`. The host stays here; the viewer runs in the other
    namespace and reaches the host at HOST_ADDRESS. Needs root."""

    HOST_ADDRESS = "10.251.0.1"
    VIEWER_ADDRESS = "10.251.0.2"

    def __init__(self, rate="1mbit", queue_ms=50):
        tag = os.getpid() % 100000
        self.namespace = f"kestrio-bench-{tag}"
        self.device = f"kbh{tag}"
        self.commands = [
            ["ip", "netns", "add", self.namespace],
            ["ip", "-n", self.namespace, "link", "set", "lo", "up"],
            ["ip", "link", "add", self.device, "type", "veth", "peer", "name", "viewer", "netns", self.namespace],
            ["ip", "addr", "add", f"{self.HOST_ADDRESS}/24", "dev", self.device],
            ["ip", "-n", self.namespace, "addr", "add", f"{self.VIEWER_ADDRESS}/24", "dev", "viewer"],
            ["ip", "link", "set", self.device, "up"],
            ["ip", "-n", self.namespace, "link", "set", "viewer", "up"],
            ["tc", "qdisc", "add", "dev", self.device, "root", "tbf", "rate", rate, "burst", "4kb", "latency", f"{queue_ms}ms"],
            ["tc", "-n", self.namespace, "qdisc", "add", "dev", "viewer", "root", "tbf", "rate", rate, "burst", "4kb", "latency",
             f"{queue_ms}ms"],
        ]
        self.made = False

    def __enter__(self):
        if os.geteuid() != 0:
            raise BenchError("the slow link needs root (network namespaces and tc)")
        self.made = True
        for command in self.commands:
            result = subprocess.run(command, capture_output=True, text=True)
            if result.returncode != 0:
                self.__exit__()
                raise BenchError(f"{' '.join(command)}: {result.stderr.strip()}")
        return self

    def __exit__(self, *exc):
        if self.made:  # deleting the namespace takes the pair with it
            subprocess.run(["ip", "netns", "delete", self.namespace], capture_output=True)
            subprocess.run(["ip", "link", "delete", self.device], capture_output=True)
            self.made = False
        return False

    def wrapper(self):
        return ("ip", "netns", "exec", self.namespace)


def measure_slow_link(children, tools, workdir, seconds, quality="balanced", fps=60, warmup=3, codec="h264"):
    """The host streams the moving screen through a 1 Mbit/s link with a 50 ms queue; the viewer
    decodes everything and sends "PING" every 200 ms. After the first `warmup` seconds: the
    round trip of "PING" -> "PONG", and the age of every delivered frame (drawn -> received)."""
    stage = Stage(children, tools, workdir, "slowlink")
    try:
        stage.start_animator(60)
        with SlowLink() as link:
            host, port = stage.start_host(quality, fps)
            records = os.path.join(workdir, "slowlink-frames.txt")
            summary = run_probe(children, tools, port, warmup, seconds, records, lambda _: None, lambda _: None,
                                extra=("--host", SlowLink.HOST_ADDRESS, "--ping-ms", "200", "--codec", codec), wrapper=link.wrapper())
            children.stop(host)
        time.sleep(0.6)
        stage.load_drawn_times()
        _, received, distinct, _ = latencies(records, stage.drawn)
        return {"quality": quality, "fps": fps, "codec": codec, "link": "1 Mbit/s, 50 ms queue", "seconds": summary["seconds"],
                "decode_errors": summary["decode_errors"],
                "frames_per_s": summary["frames"] / summary["seconds"], "key_frames": summary["key_frames"],
                "video_kbit_per_s": summary["payload_bytes"] * 8 / summary["seconds"] / 1000,
                "pongs": summary["pongs"], "pong_ms_p50": summary["rtt_p50_ms"], "pong_ms_p95": summary["rtt_p95_ms"],
                "pong_ms_max": summary["rtt_max_ms"], "frame_age_ms_p50": percentile(received, 0.5),
                "frame_age_ms_p95": percentile(received, 0.95), "distinct_counters": distinct}
    finally:
        stage.close()


def stamp_latencies(records_path, drawn, start_ns, end_ns):
    """For each stamp drawn in [start_ns, end_ns): drawn -> received (ms) of the first picture to
    show it, matched as latencies() does. Returns the latencies and the number of stamps drawn."""
    first = {}  # drawn time (one per stamp) -> earliest received time
    with open(records_path) as f:
        for line in f:
            counter, decoded_ns, received_ns, _, _ = line.split()
            counter, decoded_ns, received_ns = int(counter), int(decoded_ns), int(received_ns)
            times = [t for t in drawn.get(counter, ()) if t <= decoded_ns] if counter >= 0 else ()
            if times:
                first[times[-1]] = min(first.get(times[-1], received_ns), received_ns)
    stamps = [t for times in drawn.values() for t in times if start_ns <= t < end_ns]
    return [(first[t] - t) / 1e6 for t in stamps if t in first], len(stamps)


def measure_latency(children, tools, workdir, warmup, seconds, quality="balanced", fps=60):
    """Change-to-arrival latency on a still desktop: the animator moves its rectangle and redraws
    its counter after random pauses of 40-60 ms, which no capture cadence can lock onto. Each
    stamp's latency runs from its drawing to the arrival at the viewer of the first packet whose
    picture shows it: first from the host in mirror mode, then from the ffmpeg pipe a user would
    run (x11grab -> libx264 ultrafast zerolatency, Annex B on a pipe into the probe) on the same
    screen. Stamps drawn in the last half second of a window are left out: they may not have
    arrived before it closed."""
    stage = Stage(children, tools, workdir, "latency")
    try:
        stage.start_animator(pattern="rectangle", interval="40:60")
        host, port = stage.start_host(quality, fps)
        host_records = os.path.join(workdir, "latency-host-frames.txt")
        host_summary = run_probe(children, tools, port, warmup, seconds, host_records, lambda _: None, lambda _: None)
        children.stop(host)

        width, height = OUTPUT_SIZES[quality]
        argv = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", str(fps), "-video_size",
                f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}", "-i", stage.display, "-vf", f"scale={width}:{height}", "-c:v", "libx264",
                "-preset", "ultrafast", "-tune", "zerolatency", "-bf", "0", "-b:v", BIT_RATES[quality], "-x264-params", "aud=1",
                "-flush_packets", "1", "-f", "h264", "-"]
        pipe = {}

        def start_pipe(probe):
            pipe["ffmpeg"] = children.start("ffmpeg", argv, env=stage.env, pipe_stderr=True, stdout=probe.popen.stdin)
            probe.popen.stdin.close()  # the probe sees the end of the stream when ffmpeg ends

        pipe_records = os.path.join(workdir, "latency-pipe-frames.txt")
        try:
            pipe_summary = run_probe(children, tools, None, warmup, seconds, pipe_records, lambda _: None, lambda _: None,
                                     on_started=start_pipe)
        except BenchError as error:
            errors = " | ".join(l for l in pipe["ffmpeg"].stderr_lines[-5:] if l) if "ffmpeg" in pipe else ""
            raise BenchError(f"{error}; ffmpeg: {errors}") from None
        children.stop(pipe["ffmpeg"])
        time.sleep(0.6)  # the animator flushes its log twice a second
        stage.load_drawn_times()
    finally:
        stage.close()

    def figures(summary, records):
        window = summary["start_ns"], summary["end_ns"] - 500_000_000
        latencies, drawn = stamp_latencies(records, stage.drawn, *window)
        return {"window_s": summary["seconds"], "frames": summary["frames"], "frames_per_s": summary["frames"] / summary["seconds"],
                "unreadable": summary["unreadable"], "decode_errors": summary["decode_errors"],
                "video_mbit_per_s": summary["payload_bytes"] * 8 / summary["seconds"] / 1e6, "stamps_drawn": drawn,
                "stamps_seen": len(latencies), "latency_ms_p50": percentile(latencies, 0.5),
                "latency_ms_p95": percentile(latencies, 0.95), "latency_ms_max": max(latencies) if latencies else None}

    result = {"quality": quality, "fps": fps, "stamp_interval_ms": "40-60", "host": figures(host_summary, host_records),
              "pipe": figures(pipe_summary, pipe_records), "pipe_command": " ".join(argv)}
    for key in ("p50", "p95"):
        host_ms, pipe_ms = result["host"][f"latency_ms_{key}"], result["pipe"][f"latency_ms_{key}"]
        result[f"{key}_ratio_to_pipe"] = host_ms / pipe_ms if host_ms is not None and pipe_ms else None
    return result


def measure_long(children, tools, workdir, seconds):
    stage = Stage(children, tools, workdir, "long")
    try:
        stage.start_animator()
        host, port = stage.start_host("balanced", 60)
        samples = []
        marks = {}

        def mark(name):
            marks[name] = (time.monotonic(), cpu_seconds(host.pid))

        def sample():
            samples.append(rss_kib(host.pid))

        records = os.path.join(workdir, "long-frames.txt")
        summary = run_probe(children, tools, port, 3, seconds, records, lambda _: mark("start"), lambda _: mark("end"), sample=sample)
        children.stop(host)
        time.sleep(0.6)
        stage.load_drawn_times()
        decoded, _, _, _ = latencies(records, stage.drawn)
        wall = marks["end"][0] - marks["start"][0]
        return {"quality": "balanced", "fps": 60, "seconds": seconds, "frames_per_s": summary["frames"] / summary["seconds"],
                "host_cpu_ms_per_frame": (marks["end"][1] - marks["start"][1]) * 1000 / max(1, summary["frames"]),
                "host_cpu_percent_of_core": (marks["end"][1] - marks["start"][1]) * 100 / wall,
                "latency_ms_p50": percentile(decoded, 0.5), "latency_ms_p95": percentile(decoded, 0.95),
                "rss_kib": samples, "rss_kib_first": samples[0] if samples else None, "rss_kib_last": samples[-1] if samples else None,
                "rss_kib_max": max(samples) if samples else None}
    finally:
        stage.close()


def fmt(value, digits=1):
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:.{digits}f}"
    return str(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "release"), help="build folder with kestrio and bench/stream")
    parser.add_argument("--output", default=os.path.join(REPO, "build", "stream_results.json"), help="where the JSON goes")
    parser.add_argument("--warmup", type=float, default=3.0, help="seconds streamed before measuring")
    parser.add_argument("--seconds", type=float, default=20.0, help="measurement window per configuration")
    parser.add_argument("--baseline-warmup", type=float, default=2.0)
    parser.add_argument("--baseline-seconds", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=1, help="host and baseline windows, alternated, per configuration")
    parser.add_argument("--no-baseline-420", action="store_true", help="skip the baseline variant forced to 4:2:0")
    parser.add_argument("--qualities", default=",".join(QUALITIES))
    parser.add_argument("--fps", default=",".join(map(str, FRAME_RATES)))
    parser.add_argument("--still-seconds", type=int, default=10)
    parser.add_argument("--stuck-seconds", type=int, default=30)
    parser.add_argument("--changes-seconds", type=float, default=8.0, help="counting window of each changes run")
    parser.add_argument("--codecs", default="h264,jpeg", help="codecs of the changes runs")
    parser.add_argument("--patterns", default="screen,rectangle", help="animator patterns of the changes runs")
    parser.add_argument("--player-seconds", type=float, default=8.0)
    parser.add_argument("--player-size", default=f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}",
                        help="the size of the player's video, scaled to the screen (smaller: more pictures a second on a slow machine)")
    parser.add_argument("--slow-link-seconds", type=float, default=20.0)
    parser.add_argument("--slow-link-codec", default="h264", choices=("h264", "jpeg"))
    parser.add_argument("--latency-seconds", type=float, default=10.0, help="window of the host and of the pipe in the latency run")
    parser.add_argument("--sections", default=",".join(DEFAULT_SECTIONS),
                        help=f"what to run, of {','.join(SECTIONS)} (long needs --long)")
    parser.add_argument("--long", type=int, default=0, metavar="SECONDS", help="stream balanced/60 this long, sampling RSS each second")
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    if args.long:
        sections.add("long")
    if not sections <= set(SECTIONS):
        parser.error(f"unknown sections: {','.join(sorted(sections - set(SECTIONS)))}")

    # Also when started in the background, where SIGINT arrives ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, terminate_by_signal)
    signal.signal(signal.SIGHUP, terminate_by_signal)
    tools = Tools(args.build_dir)
    workdir = os.path.join(os.path.dirname(os.path.abspath(args.output)), "stream_bench_work")
    os.makedirs(workdir, exist_ok=True)
    results = {"machine_cores": os.cpu_count(), "loadavg_at_start": open("/proc/loadavg").read().split()[:3],
               "started": time.strftime("%Y-%m-%dT%H:%M:%S"), "runs": [], "still": None, "stuck_viewer": None, "changes": [],
               "player": None, "slow_link": None, "latency": None, "long": None}
    began = time.monotonic()

    with Children() as children:
        if "matrix" in sections:
            for quality in args.qualities.split(","):
                for fps in map(int, args.fps.split(",")):
                    print(f"-- {quality} {fps} fps", flush=True)
                    stage = Stage(children, tools, workdir, f"{quality}-{fps}")
                    rounds = []
                    try:
                        stage.start_animator(60)
                        width, height = OUTPUT_SIZES[quality]
                        # Host and baseline alternate, so that a slow spell of a shared machine
                        # weighs on both; the medians of the rounds are reported.
                        for _ in range(args.rounds):
                            one = measure_host(stage, tools, children, workdir, quality, fps, args.warmup, args.seconds)
                            one["baseline"] = measure_baseline(stage, children, quality, fps, width, height, args.baseline_warmup,
                                                               args.baseline_seconds)
                            if not args.no_baseline_420:
                                one["baseline_420"] = measure_baseline(stage, children, quality, fps, width, height, args.baseline_warmup,
                                                                       args.baseline_seconds, yuv420=True)
                            rounds.append(one)
                    finally:
                        stage.close()
                    run = median_round(rounds)
                    results["runs"].append(run)
        if "still" in sections:
            print("-- still screen", flush=True)
            results["still"] = measure_still(children, tools, workdir, args.still_seconds)
        if "stuck" in sections:
            print("-- viewer that never reads", flush=True)
            results["stuck_viewer"] = measure_stuck_viewer(children, tools, workdir, args.stuck_seconds)
        if "changes" in sections:
            results["changes"] = measure_changes(children, tools, workdir, args.qualities.split(","), [int(f) for f in args.fps.split(",")],
                                                 args.codecs.split(","), args.patterns.split(","), args.changes_seconds)
        if "player" in sections:
            print("-- video player", flush=True)
            results["player"] = measure_player(children, tools, workdir, args.player_seconds, source_size=args.player_size)
        if "slowlink" in sections:
            print("-- slow link", flush=True)
            results["slow_link"] = measure_slow_link(children, tools, workdir, args.slow_link_seconds, codec=args.slow_link_codec)
        if "latency" in sections:
            print("-- latency of a change on a still desktop", flush=True)
            results["latency"] = measure_latency(children, tools, workdir, args.warmup, args.latency_seconds)
        if args.long:
            print(f"-- long stream, {args.long} s", flush=True)
            results["long"] = measure_long(children, tools, workdir, args.long)
    results["elapsed_s"] = round(time.monotonic() - began, 1)

    # Targets.
    targets = {}
    balanced60 = next((r for r in results["runs"] if r["quality"] == "balanced" and r["fps"] == 60), None)
    if balanced60:
        targets["balanced_60_frames_per_s_at_least_55"] = balanced60["frames_per_s"] >= 55
        if "cpu_ratio_to_baseline" in balanced60:
            targets["balanced_60_cpu_at_most_0.6x_baseline"] = balanced60["cpu_ratio_to_baseline"] <= 0.6
    if results["still"]:
        targets["still_screen_below_3_percent"] = results["still"]["host_cpu_percent_of_core"] < 3.0
    # "Flat": the samples stay within 4 MiB of each other.
    if results["stuck_viewer"] and results["stuck_viewer"]["rss_kib"]:
        s = results["stuck_viewer"]
        targets["stuck_viewer_memory_flat_and_host_alive"] = s["rss_kib_max"] - s["rss_kib_min"] <= 4096 and s["host_alive_at_end"]
    if results["long"] and results["long"]["rss_kib"]:
        samples = results["long"]["rss_kib"]
        settled = samples[min(len(samples) - 1, 10):]
        targets["long_stream_memory_flat"] = max(settled) - min(settled) <= 4096
    binding = [r for r in results["changes"] if r["quality"] == "balanced" and r["changes_per_s"] == r["fps"]]
    if binding:
        targets["known_rate_changes_at_least_95_percent_delivered_at_balanced"] = all(
            (r["delivered_percent"] or 0) >= 95 for r in binding)
    if results["player"]:
        targets["player_changes_at_least_85_percent_delivered"] = results["player"]["delivered_percent"] >= 85
        targets["player_cpu_per_frame_at_most_half_the_pipe"] = (results["player"]["cpu_ratio_to_pipe"] or 1) <= 0.5
    if results["slow_link"]:
        link = results["slow_link"]
        targets["slow_link_pong_p50_at_most_300_ms"] = 0 <= link["pong_ms_p50"] <= 300
        targets["slow_link_pong_p95_at_most_800_ms"] = 0 <= link["pong_ms_p95"] <= 800
    if results["latency"]:
        latency = results["latency"]
        targets["latency_median_at_most_half_the_pipe"] = (latency["p50_ratio_to_pipe"] or 1) <= 0.5
        targets["latency_p95_at_most_0_6_of_the_pipe"] = (latency["p95_ratio_to_pipe"] or 1) <= 0.6
        targets["no_stamp_lost"] = 0 < latency["host"]["stamps_drawn"] == latency["host"]["stamps_seen"]
    results["targets"] = targets

    with open(args.output, "w") as f:
        json.dump(results, f, indent=1)

    header = (f"{'quality':<10}{'fps':>4}{'output':>10}{'frames/s':>9}{'cpu ms/fr':>10}{'+dec':>6}{'cpu %':>7}{'KB/fr':>7}{'lat p50':>8}{'lat p95':>8}"
              f"{'base f/s':>9}{'base ms/fr':>11}{'ratio':>7}{'b420 ms/fr':>11}{'ratio':>7}")
    if results["runs"]:
        print("\ncpu ms/fr: the host's CPU per frame while the probe only reads the stream; +dec: the same while")
        print("the probe also decodes every frame on the same cores (the latency window)")
        print(header)
    for r in results["runs"]:
        b, b4 = r.get("baseline", {}), r.get("baseline_420", {})
        print(f"{r['quality']:<10}{r['fps']:>4}{r['output']:>10}{fmt(r['frames_per_s']):>9}{fmt(r['host_cpu_ms_per_frame'], 2):>10}"
              f"{fmt(r['host_cpu_ms_per_frame_while_decoding'], 2):>6}{fmt(r['host_cpu_percent_of_core']):>7}{fmt(r['bytes_per_frame'] / 1000 if r['bytes_per_frame'] else None):>7}"
              f"{fmt(r['latency_ms_p50']):>8}{fmt(r['latency_ms_p95']):>8}{fmt(b.get('frames_per_s')):>9}{fmt(b.get('cpu_ms_per_frame'), 2):>11}"
              f"{fmt(r.get('cpu_ratio_to_baseline'), 2):>7}{fmt(b4.get('cpu_ms_per_frame'), 2):>11}{fmt(r.get('cpu_ratio_to_baseline_420'), 2):>7}")
    if results["runs"]:
        print(f"\n{'quality':<10}{'fps':>4}{'host %':>8}{'Xvfb %':>8}{'anim %':>8}{'viewer %':>9}{'machine busy %':>15}{'base busy %':>12}"
              f"{'unreadable':>11}{'keyframes':>10}{'Mbit/s':>8}")
    for r in results["runs"]:
        print(f"{r['quality']:<10}{r['fps']:>4}{fmt(r['host_cpu_percent_of_core']):>8}{fmt(r['xvfb_cpu_percent_of_core']):>8}"
              f"{fmt(r['animator_cpu_percent_of_core']):>8}{fmt(r['viewer_cpu_percent_of_core']):>9}{fmt(r['machine_busy_percent_of_all_cores']):>15}"
              f"{fmt(r.get('baseline', {}).get('machine_busy_percent_of_all_cores')):>12}{r['unreadable_counters']:>11}{r['key_frames']:>10}"
              f"{fmt(r['video_mbit_per_s'], 2):>8}")
    if results["still"]:
        s = results["still"]
        print(f"\nstill screen (balanced/60): host {s['host_cpu_percent_of_core']:.2f} % of one core over {s['window_s']} s, "
              f"{s['frames_delivered']} frames delivered")
    if results["stuck_viewer"]:
        s = results["stuck_viewer"]
        print(f"viewer that never reads ({s['seconds']} s): host RSS min {s['rss_kib_min']} KiB, max {s['rss_kib_max']} KiB, "
              f"host alive {s['host_alive_at_end']}, next viewer got {s['frames_to_next_viewer_in_2s']} frames in 2 s")
    if results["long"]:
        s = results["long"]
        print(f"long stream ({s['seconds']} s, balanced/60): RSS first {s['rss_kib_first']} KiB, last {s['rss_kib_last']} KiB, "
              f"max {s['rss_kib_max']} KiB; {s['frames_per_s']:.1f} frames/s, latency p50 {fmt(s['latency_ms_p50'])} ms")
    if results["changes"]:
        print(f"\n{'pattern':<10}{'changes/s':>10}{'quality':>10}{'fps':>4}{'codec':>6}{'frames/s':>9}{'delivered':>10}{'of':>6}"
              f"{'%':>7}{'repeats':>8}{'host %':>8}")
    for r in results["changes"]:
        print(f"{r['pattern']:<10}{r['changes_per_s']:>10}{r['quality']:>10}{r['fps']:>4}{r['codec']:>6}{fmt(r['frames_per_s']):>9}"
              f"{fmt(r['distinct']):>10}{fmt(r['span']):>6}{fmt(r['delivered_percent']):>7}{fmt(r['repeats']):>8}"
              f"{fmt(r['host_cpu_percent_of_core']):>8}")
    if results["player"]:
        p = results["player"]
        print(f"\nvideo player ({p['quality']}/{p['fps']}): the screen changes {p['screen_changes_per_s']:.1f}/s while the host serves it; "
              f"the host sent {p['frames_per_s']:.1f} frames/s = {p['delivered_percent']:.0f} %, {fmt(p['host_cpu_ms_per_frame'])} ms of CPU "
              f"per frame ({p['host_cpu_percent_of_core']:.0f} % of a core); the ffmpeg pipe on the same screen {p['pipe']['frames_per_s']:.1f} "
              f"frames/s, {fmt(p['pipe']['cpu_ms_per_frame'])} ms per frame (host/pipe {fmt(p['cpu_ratio_to_pipe'], 2)})")
    if results["slow_link"]:
        k = results["slow_link"]
        print(f"\nslow link ({k['link']}, {k['quality']}/{k['fps']} {k['codec']}): PONG p50 {fmt(k['pong_ms_p50'])} ms, p95 {fmt(k['pong_ms_p95'])} ms, "
              f"max {fmt(k['pong_ms_max'])} ms over {k['pongs']} pings; frame age p50 {fmt(k['frame_age_ms_p50'])} ms, "
              f"p95 {fmt(k['frame_age_ms_p95'])} ms; {k['frames_per_s']:.1f} frames/s, {k['video_kbit_per_s']:.0f} kbit/s, "
              f"{k['key_frames']} key frames, {k['decode_errors']} decode errors")
    if results["latency"]:
        h, p, latency = results["latency"]["host"], results["latency"]["pipe"], results["latency"]
        print(f"\nlatency ({latency['quality']}/{latency['fps']}, a stamp every {latency['stamp_interval_ms']} ms on a still desktop, "
              f"drawn -> first packet showing it): host p50 {fmt(h['latency_ms_p50'])} ms, p95 {fmt(h['latency_ms_p95'])} ms, "
              f"{h['stamps_seen']}/{h['stamps_drawn']} stamps seen; ffmpeg pipe p50 {fmt(p['latency_ms_p50'])} ms, "
              f"p95 {fmt(p['latency_ms_p95'])} ms, {p['stamps_seen']}/{p['stamps_drawn']} seen; host/pipe p50 "
              f"{fmt(latency['p50_ratio_to_pipe'], 2)}, p95 {fmt(latency['p95_ratio_to_pipe'], 2)}")
    print("\ntargets:", ", ".join(f"{k}: {'met' if v else 'NOT met'}" for k, v in targets.items()))
    print(f"results: {args.output} ({results['elapsed_s']} s)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; everything started was ended", file=sys.stderr)
        sys.exit(130)
    except BenchError as error:
        print(f"stream_bench: {error}", file=sys.stderr)
        sys.exit(1)
