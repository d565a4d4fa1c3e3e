#!/usr/bin/env bash
# Sets up this machine and runs every test: the optimised build (warnings are errors), the
# address/undefined and thread sanitizer builds, and a bounded fuzzing run.
#   KESTRIO_FUZZ_SECONDS   how long each fuzzer runs (default 30)
#   KESTRIO_SKIP_SANITIZERS=1  only the optimised build and the fuzzers
# Needs root: the tests use network and mount namespaces and keep their own bus and mDNS daemon
# in /run (scripts/services.sh), and the packages are installed with apt-get.
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/test.sh needs root (network namespaces, its own services in /run, apt-get): run it with sudo" >&2
    exit 1
fi

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

"$root/scripts/install-deps.sh" test
"$root/scripts/test-ratio.sh"

# A compiler cache kept on this machine between runs, so that a run compiles only what changed
# since the last one (KESTRIO_CCACHE_DIR chooses where; the first run fills it).
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_DIR=${KESTRIO_CCACHE_DIR:-/var/cache/kestrio/ccache}
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
    mkdir -p "$CCACHE_DIR"
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# The tests' own D-Bus bus and mDNS daemon, never the machine's: started here and ended again.
"$root/scripts/services.sh" start
trap '"$root/scripts/services.sh" stop' EXIT
export KESTRIO_REQUIRE_MDNS=1
export KESTRIO_SOURCE="$root"

failed=0
passed_total=0
skipped_total=0
failed_total=0
# KESTRIO_BUILD_TARGET: what to build before testing (default: everything).
run_preset() {
    local preset=$1
    shift
    echo "== $preset"
    cmake --preset "$preset" "${launcher[@]}" >/dev/null
    cmake --build --preset "$preset" -j "$jobs" ${KESTRIO_BUILD_TARGET:+--target "$KESTRIO_BUILD_TARGET"}
    local log="$root/build/$preset/ctest.log"
    ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log" || true
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        echo "$preset: ctest printed no summary"
        failed=1
        return
    fi
    local failures total skipped
    failures=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    # ctest counts a skipped test as passed; it lists them under "did not run" as "(Skipped)".
    skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .+ \(Skipped\)$' "$log" || true)
    passed_total=$((passed_total + total - failures - skipped))
    skipped_total=$((skipped_total + skipped))
    failed_total=$((failed_total + failures))
    [ "$failures" -eq 0 ] || failed=1
}

run_preset release
# The Debian package, from the optimised build just made.
echo "== package"
if ! KESTRIO_PACKAGE_BUILD_DIR="$root/build/release" "$root/scripts/check-package.sh"; then
    echo "package: FAILED"
    failed=1
fi
if [ "${KESTRIO_SKIP_SANITIZERS:-0}" != 1 ]; then
    # The sanitized builds leave out the end-to-end tests and the real-time link tests
    # (KESTRIO_SKIP_TESTS in their presets).
    KESTRIO_BUILD_TARGET=kestrio_tests run_preset asan
    # The thread-sanitized build leaves out (KESTRIO_SKIP_TESTS in its preset) the platform
    # tests, whose mDNS checks start avahi-browse from a multi-threaded process, which can hang in
    # a thread-sanitized child, and the window's, since Qt is not built with the thread sanitizer,
    # which then cannot see its locks; both run in the two builds above. Only what the remaining
    # tests need is built.
    KESTRIO_BUILD_TARGET=kestrio_tests TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_preset tsan
fi

echo "== fuzz"
cmake --preset fuzz "${launcher[@]}" >/dev/null
cmake --build --preset fuzz --target kestrio_fuzzers -j "$jobs"
fuzz_seconds=${KESTRIO_FUZZ_SECONDS:-30}
for fuzzer in build/fuzz/fuzz/*_fuzz; do
    name=$(basename "$fuzzer")
    corpus="$root/build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds="$root/fuzz/corpus/${name%_fuzz}"
    [ -d "$seeds" ] || seeds=
    if "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" $seeds >"$root/build/fuzz/$name.log" 2>&1; then
        echo "$name: $(grep -E 'stat::number_of_executed_units' "$root/build/fuzz/$name.log" | awk '{print $2}') inputs, no faults"
    else
        tail -n 40 "$root/build/fuzz/$name.log"
        echo "$name: FAILED"
        failed=1
    fi
done

"$root/scripts/test-ratio.sh"
echo "all builds: $passed_total passed, $skipped_total skipped, $failed_total failed"
exit $failed
