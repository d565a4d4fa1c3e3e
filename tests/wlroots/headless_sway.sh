#!/bin/sh
# Runs a command next to a headless sway of its own and ends it after: the headless backend with
# the pixman renderer, one output (1280×720, or KESTRIO_SWAY_OUTPUT), a private runtime folder.
# Sway refuses to run as root: as root, it runs as the system user kestrio-sway (made when
# missing), and the command runs as root beside it. A compositor already running is never touched.
#   headless_sway.sh COMMAND [ARGUMENT...]
set -u
home=$(mktemp -d)
runtime="$home/runtime"
mkdir -m 700 "$runtime"
printf 'output HEADLESS-1 resolution %s\n' "${KESTRIO_SWAY_OUTPUT:-1280x720}" >"$home/config"
as_user=
if [ "$(id -u)" -eq 0 ]; then
    id kestrio-sway >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin kestrio-sway
    chown kestrio-sway "$home" "$runtime" "$home/config"
    as_user="runuser -u kestrio-sway --"
fi
$as_user env -i PATH="$PATH" HOME="$home" XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless WLR_RENDERER=pixman \
    WLR_LIBINPUT_NO_DEVICES=1 sway -c "$home/config" >"$home/log" 2>&1 &
sway_pid=$!
socket=
for _ in $(seq 1 100); do
    socket=$(ls "$runtime"/sway-ipc.*.sock 2>/dev/null | head -n 1)
    [ -n "$socket" ] && [ -S "$runtime/wayland-1" ] && break
    socket=
    sleep 0.1
done
status=1
if [ -n "$socket" ]; then
    # Full paths: found also by programs the tests give runtime folders of their own.
    SWAYSOCK="$socket" WAYLAND_DISPLAY="$runtime/wayland-1" XDG_SESSION_TYPE=wayland "$@"
    status=$?
else
    echo "the headless sway did not start:" >&2
    cat "$home/log" >&2
fi
pkill -P "$sway_pid" 2>/dev/null
kill "$sway_pid" 2>/dev/null
pkill -u kestrio-sway -x sway 2>/dev/null
wait
rm -rf "$home"
exit "$status"
