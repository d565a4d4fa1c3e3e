#!/usr/bin/python3
"""How long the host takes to recover from a desktop that fails under the stream, as the fault
tests measure it, over several rounds: a mirrored Xorg monitor turned off (until the remaining
monitor's picture arrives on the same connection), the host's own Xvfb killed (until the viewer
gets a picture again), a desktop's X server killed (until the host has exited), PipeWire
restarted under an extended GNOME stream (from its return until the picture comes again) and
the compositor killed (until the host has exited). Needs root (Xorg) and what the tests need.

usage: bench/recovery_bench.py [--build-dir build/release] [--rounds 5]
Results: a table on standard output and JSON (default build/recovery_results.json).
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# "FAULT: what happened after T s" (or "T s after"), as the tests print it.
FIGURE = re.compile(r"^([^:]+): .*?(\d+\.\d+) s\b", re.MULTILINE)


def run(command, build):
    environment = dict(os.environ, KESTRIO_BIN=os.path.join(build, "src", "app", "kestrio"),
                       KESTRIO_VIEWER=os.path.join(build, "tools", "viewer", "kestrio-viewer"), KESTRIO_SOURCE=REPO)
    result = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return [(fault, float(seconds)) for fault, seconds in FIGURE.findall(result.stdout)]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", default=os.path.join(REPO, "build", "recovery_results.json"))
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build_dir)
    figures = {}
    for round_ in range(arguments.rounds):
        for command in (["/usr/bin/python3", os.path.join(REPO, "tests", "integration", "desktop_faults_test.py")],
                        ["sh", os.path.join(REPO, "tests", "gnome", "headless_gnome.sh"), "/usr/bin/python3",
                         os.path.join(REPO, "tests", "gnome", "gnome_faults_test.py")]):
            for fault, seconds in run(command, build):
                figures.setdefault(fault, []).append(seconds)
        print(f"round {round_ + 1} of {arguments.rounds} done", file=sys.stderr)
    print(f"{'fault':<34} {'median s':>9} {'max s':>7}  rounds")
    for fault, values in figures.items():
        print(f"{fault:<34} {statistics.median(values):>9.2f} {max(values):>7.2f}  {len(values)}")
    with open(arguments.json, "w") as f:
        json.dump(figures, f, indent=2)


if __name__ == "__main__":
    main()
