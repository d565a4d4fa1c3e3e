#!/bin/sh
# Runs a command beside a headless KWin of its own and ends it after: KWin's virtual backend with
# two 1280×720 outputs (KESTRIO_KWIN_OUTPUTS: how many), a private session bus, PipeWire and
# WirePlumber, a private home. They run as the system user kestrio-kwin (made when missing), as a
# desktop session runs as its user, and KWin from a copy of its binary in the private home: the
# installed one carries a file capability, which a container refuses to run (the copy keeps the
# name kwin_wayland, by which it finds its plugins). KWin grants its restricted protocols only to clients of its own user: the command runs
# as root beside it, and programs that need them run as KESTRIO_KWIN_USER; --as-user runs the
# command itself as that user. KWin's permission checks are lifted unless KESTRIO_KWIN_GRANT names
# a program, for which a desktop entry granting them is written to KWin's data folder.
# A compositor already running on the machine is never touched.
#   headless_kwin.sh [--as-user] COMMAND [ARGUMENT...]
set -u
user=kestrio-kwin
as_user=
if [ "${1:-}" = "--as-user" ]; then
    as_user="runuser -u $user --"
    shift
fi
id "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
home=$(mktemp -d)
chmod 755 "$home"
runtime="$home/runtime"
mkdir -p "$home/bin" "$home/data/applications" "$home/config" "$runtime"
chmod 700 "$runtime"
cp /usr/bin/kwin_wayland "$home/bin/kwin_wayland"
permission_checks="KWIN_WAYLAND_NO_PERMISSION_CHECKS=1"
if [ -n "${KESTRIO_KWIN_GRANT:-}" ]; then
    permission_checks="KESTRIO_KWIN_CHECKS=1"
    printf '[Desktop Entry]\nType=Application\nName=Kestrio\nExec=%s\nX-KDE-Wayland-Interfaces=zkde_screencast_unstable_v1,org_kde_kwin_fake_input\n' \
        "$KESTRIO_KWIN_GRANT" >"$home/data/applications/kestrio.desktop"
fi
chown -R "$user" "$home"
log="$home/log"
session="env -i PATH=$PATH HOME=$home XDG_RUNTIME_DIR=$runtime XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data
    PIPEWIRE_RUNTIME_DIR=$runtime DBUS_SESSION_BUS_ADDRESS=unix:path=$runtime/bus"
runuser -u "$user" -- $session dbus-daemon --session --nofork --address="unix:path=$runtime/bus" >"$log" 2>&1 &
bus_pid=$!
for _ in $(seq 1 50); do [ -S "$runtime/bus" ] && break; sleep 0.1; done
runuser -u "$user" -- $session pipewire >>"$log" 2>&1 &
pipewire_pid=$!
# WirePlumber gives up at once when PipeWire is not there yet, and then nothing links a cast.
for _ in $(seq 1 100); do [ -S "$runtime/pipewire-0" ] && break; sleep 0.1; done
runuser -u "$user" -- $session wireplumber >>"$log" 2>&1 &
wireplumber_pid=$!
runuser -u "$user" -- $session $permission_checks "$home/bin/kwin_wayland" --virtual --output-count "${KESTRIO_KWIN_OUTPUTS:-2}" --width 1280 --height 720 \
    --socket kestrio-kwin-0 >>"$log" 2>&1 &
kwin_pid=$!
ready=
for _ in $(seq 1 200); do
    [ -S "$runtime/kestrio-kwin-0" ] && [ -S "$runtime/pipewire-0" ] && ready=1 && break
    sleep 0.1
done
status=1
if [ -n "$ready" ]; then
    # Absolute paths: found also by programs the tests give runtime folders of their own.
    $as_user env WAYLAND_DISPLAY="$runtime/kestrio-kwin-0" XDG_SESSION_TYPE=wayland PIPEWIRE_RUNTIME_DIR="$runtime" \
        KESTRIO_KWIN_USER="$user" KESTRIO_KWIN_HOME="$home" "$@"
    status=$?
else
    echo "the headless KWin did not start:" >&2
    cat "$log" >&2
fi
if ! kill -0 "$kwin_pid" 2>/dev/null; then
    echo "the compositor ended during the run:" >&2
    tail -n 20 "$log" >&2
fi
# runuser waits for its child: ending the child ends it.
for pid in $kwin_pid $wireplumber_pid $pipewire_pid $bus_pid; do
    pkill -TERM -P "$pid" 2>/dev/null
done
wait
[ -n "${KESTRIO_KWIN_LOG:-}" ] && cp "$log" "$KESTRIO_KWIN_LOG"
rm -rf "$home"
exit "$status"
