#!/bin/sh
# Runs a command inside a headless GNOME session of its own and ends the session after it: a
# private session bus and runtime folder, PipeWire and WirePlumber, and Mutter with one virtual
# monitor (1280×720, or KESTRIO_GNOME_MONITOR). A compositor already running on the machine is
# never touched.
#   headless_gnome.sh COMMAND [ARGUMENT...]
set -u
if [ -z "${KESTRIO_PRIVATE_BUS:-}" ]; then
    exec env KESTRIO_PRIVATE_BUS=1 dbus-run-session -- sh "$0" "$@"
fi
home=$(mktemp -d)
chmod 700 "$home"
export XDG_RUNTIME_DIR="$home/runtime" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" XDG_DATA_HOME="$home/data"
mkdir -m 700 "$XDG_RUNTIME_DIR"
# Found there even by programs the tests give runtime folders of their own.
export PIPEWIRE_RUNTIME_DIR="$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY
log="$home/log"
pipewire >"$log" 2>&1 &
pipewire_pid=$!
# WirePlumber gives up at once when PipeWire is not there yet, and then nothing links a cast.
for _ in $(seq 1 100); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
wireplumber >>"$log" 2>&1 &
wireplumber_pid=$!
mutter --headless --virtual-monitor "${KESTRIO_GNOME_MONITOR:-1280x720}" --wayland --no-x11 --wayland-display kestrio-gnome-0 >>"$log" 2>&1 &
mutter_pid=$!

ready=
for _ in $(seq 1 200); do
    missing=
    for service in org.gnome.Mutter.ScreenCast org.gnome.Mutter.RemoteDesktop org.gnome.Mutter.DisplayConfig; do
        gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
            --method org.freedesktop.DBus.NameHasOwner "$service" 2>/dev/null | grep -q true || missing=1
    done
    [ -z "$missing" ] && [ -S "$XDG_RUNTIME_DIR/kestrio-gnome-0" ] && ready=1 && break
    sleep 0.1
done
status=1
if [ -n "$ready" ]; then
    # An absolute path: found also by programs the tests give runtime folders of their own. The
    # session's process ids, for tests that make it fail.
    KESTRIO_GNOME_PIDS="pipewire=$pipewire_pid wireplumber=$wireplumber_pid mutter=$mutter_pid" \
        WAYLAND_DISPLAY="$XDG_RUNTIME_DIR/kestrio-gnome-0" XDG_SESSION_TYPE=wayland "$@"
    status=$?
else
    echo "the headless GNOME session did not start:" >&2
    cat "$log" >&2
fi
if ! kill -0 "$mutter_pid" 2>/dev/null; then
    echo "the compositor ended during the run:" >&2
    tail -n 20 "$log" >&2
fi
kill "$mutter_pid" "$wireplumber_pid" "$pipewire_pid" 2>/dev/null
wait
# Kept for a look when asked: KESTRIO_GNOME_LOG=FILE.
[ -n "${KESTRIO_GNOME_LOG:-}" ] && cp "$log" "$KESTRIO_GNOME_LOG"
rm -rf "$home"
exit "$status"
