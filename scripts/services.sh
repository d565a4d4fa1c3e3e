#!/usr/bin/env bash
# Starts and ends the local services the tests need: the D-Bus system bus and an avahi-daemon.
#
#   services.sh start          start what is missing (idempotent)
#   services.sh stop           end what this script started, nothing else
#   services.sh avahi-stop     end the avahi-daemon this script started (exit status 3 when the
#                              daemon on the bus is someone else's)
#   services.sh avahi-start    start it again
#   services.sh mdns-exec CMD  run CMD where it sees the daemon's multicast
#
# Our avahi-daemon never runs in the host's network namespace: its multicast must not reach any
# real network. It runs in a namespace of its own with only `lo` up and still serves programs in
# the host namespace, because D-Bus goes through a socket file. A browser that speaks mDNS
# itself (python-zeroconf) must run inside that namespace to see the daemon's announcements, and
# must never send its queries on a real network: mdns-exec runs a command there. When a system
# avahi-daemon already owns the bus name (a developer's desktop), it is used as is and mdns-exec
# runs the command as is.
#
# PID 1 may not reap orphans here, so a daemon we killed can linger as a zombie and `kill -0`
# still succeeds: liveness is read from /proc/PID/stat, and the PIDs we started are kept in the
# state folder.

set -euo pipefail

readonly STATE_DIR=${KESTRIO_SERVICES_STATE_DIR:-/run/kestrio-test-services}
readonly NETNS=kestrio-mdns
readonly AVAHI_NAME=org.freedesktop.Avahi
readonly AVAHI_PID_FILE=/run/avahi-daemon/pid
readonly DBUS_PID_FILE=/run/dbus/pid
readonly START_TIMEOUT_SECONDS=20
readonly STOP_TIMEOUT_SECONDS=10

die() {
    echo "services.sh: $*" >&2
    exit 1
}

usage() {
    echo "usage: services.sh start|stop|avahi-start|avahi-stop|mdns-exec COMMAND [ARGUMENT...]" >&2
    exit 2
}

# True while PID is a running (not zombie, not dead) process, optionally with the given name.
process_running() {
    local pid=$1 name=${2:-} stat comm state
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    # The name sits in parentheses and may itself contain spaces or parentheses.
    comm=${stat#*(}
    comm=${comm%)*}
    state=${stat##*) }
    state=${state%% *}
    [[ $state != Z && $state != X && $state != x ]] || return 1
    [[ -z $name || $comm == "$name" ]]
}

read_pid() {
    local file=$1
    [[ -r $file ]] || return 1
    local pid
    pid=$(tr -dc '0-9' <"$file")
    [[ -n $pid ]] || return 1
    echo "$pid"
}

bus_answers() {
    dbus-send --system --print-reply --reply-timeout=2000 --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.ListNames >/dev/null 2>&1
}

avahi_name_owned() {
    dbus-send --system --print-reply --reply-timeout=2000 --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:"$AVAHI_NAME" 2>/dev/null |
        grep -q 'boolean true'
}

avahi_running() {
    dbus-send --system --print-reply --reply-timeout=2000 --dest="$AVAHI_NAME" \
        / org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'
}

# The avahi-daemon this script started, if it is still running.
own_avahi_pid() {
    local pid
    pid=$(read_pid "$STATE_DIR/avahi.pid") || return 1
    process_running "$pid" avahi-daemon || return 1
    echo "$pid"
}

own_dbus_pid() {
    local pid
    pid=$(read_pid "$STATE_DIR/dbus.pid") || return 1
    process_running "$pid" dbus-daemon || return 1
    echo "$pid"
}

# Sends TERM and waits until PID is gone or a zombie; KILL as a last resort.
end_process() {
    local pid=$1 name=$2 deadline
    process_running "$pid" "$name" || return 0
    kill -TERM "$pid" 2>/dev/null || true
    deadline=$((SECONDS + STOP_TIMEOUT_SECONDS))
    while process_running "$pid" "$name"; do
        if ((SECONDS >= deadline)); then
            kill -KILL "$pid" 2>/dev/null || true
            sleep 0.2
            process_running "$pid" "$name" && die "$name (pid $pid) does not end"
            return 0
        fi
        sleep 0.05
    done
}

# Serialises concurrent runs of this script. The lock descriptor is closed for every daemon we
# start, or the daemon would hold the lock for as long as it lives.
take_lock() {
    mkdir -p "$STATE_DIR"
    exec 9>"$STATE_DIR/lock"
    flock 9
}

ensure_dbus() {
    bus_answers && return 0
    command -v dbus-daemon >/dev/null || die "dbus-daemon is not installed (apt-get install dbus)"
    mkdir -p /run/dbus
    # A pid file left by a bus that is gone makes dbus-daemon refuse to start.
    local stale
    if stale=$(read_pid "$DBUS_PID_FILE") && process_running "$stale" dbus-daemon; then
        die "a dbus-daemon (pid $stale) runs but the system bus does not answer"
    fi
    rm -f "$DBUS_PID_FILE"
    if [[ ! -s /etc/machine-id && ! -s /var/lib/dbus/machine-id ]]; then
        dbus-uuidgen --ensure
    fi
    local pid
    pid=$(dbus-daemon --system --fork --print-pid 9>&-) || die "dbus-daemon --system did not start"
    pid=$(tr -dc '0-9' <<<"$pid")
    echo "$pid" >"$STATE_DIR/dbus.pid"
    local deadline=$((SECONDS + START_TIMEOUT_SECONDS))
    until bus_answers; do
        ((SECONDS < deadline)) || die "the system bus (dbus-daemon pid $pid) does not answer after ${START_TIMEOUT_SECONDS} s"
        sleep 0.05
    done
    echo "started dbus-daemon --system (pid $pid)"
}

netns_exists() {
    ip netns list 2>/dev/null | grep -qE "^$NETNS( |\$)"
}

ensure_netns() {
    command -v ip >/dev/null || die "ip is not installed (apt-get install iproute2)"
    if ! netns_exists; then
        ip netns add "$NETNS" || die "cannot create network namespace $NETNS (needs root and CAP_SYS_ADMIN)"
        touch "$STATE_DIR/netns-created"
    fi
    ip -n "$NETNS" link set lo up || die "cannot bring up lo in network namespace $NETNS"
}

write_avahi_config() {
    # Loopback only, nothing of this machine published, no relaying. Other mDNS stacks may share
    # the port so that a test browser (python-zeroconf) can listen next to the daemon.
    cat >"$STATE_DIR/avahi-daemon.conf" <<'EOF'
[server]
use-ipv4=yes
use-ipv6=yes
allow-interfaces=lo
enable-dbus=yes
disallow-other-stacks=no
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no

[reflector]
enable-reflector=no

[rlimits]
EOF
}

wait_for_avahi() {
    local pid=$1 deadline=$((SECONDS + START_TIMEOUT_SECONDS))
    until avahi_running; do
        # Not by name: until `ip netns exec` has run it, the process is not called avahi-daemon.
        if [[ -n $pid ]] && ! process_running "$pid"; then
            echo "services.sh: avahi-daemon (pid $pid) ended while starting; its log:" >&2
            tail -n 20 "$STATE_DIR/avahi-daemon.log" >&2 || true
            exit 1
        fi
        if ((SECONDS >= deadline)); then
            echo "services.sh: avahi-daemon does not report state 2 (running) on the system bus after ${START_TIMEOUT_SECONDS} s" >&2
            [[ -n $pid ]] && tail -n 20 "$STATE_DIR/avahi-daemon.log" >&2
            exit 1
        fi
        sleep 0.05
    done
}

ensure_avahi() {
    if own_avahi_pid >/dev/null; then
        wait_for_avahi "$(own_avahi_pid)"
        return 0
    fi
    if avahi_name_owned; then
        # Someone else's daemon (a developer's desktop): use it, and never end it.
        rm -f "$STATE_DIR/avahi.pid"
        wait_for_avahi ""
        return 0
    fi
    command -v avahi-daemon >/dev/null || die "avahi-daemon is not installed (apt-get install avahi-daemon)"
    ensure_netns
    write_avahi_config
    # avahi-daemon refuses to start while its pid file names a live process, and a zombie
    # counts as live for the check it makes.
    local stale
    if stale=$(read_pid "$AVAHI_PID_FILE"); then
        if process_running "$stale" avahi-daemon; then
            die "an avahi-daemon (pid $stale) runs but does not own $AVAHI_NAME on the system bus"
        fi
        rm -f "$AVAHI_PID_FILE"
    fi
    setsid ip netns exec "$NETNS" avahi-daemon -f "$STATE_DIR/avahi-daemon.conf" --no-proc-title \
        </dev/null >"$STATE_DIR/avahi-daemon.log" 2>&1 9>&- &
    local pid=$!
    echo "$pid" >"$STATE_DIR/avahi.pid"
    wait_for_avahi "$pid"
    echo "started avahi-daemon in network namespace $NETNS (pid $pid)"
}

stop_own_avahi() {
    local pid
    if pid=$(own_avahi_pid); then
        end_process "$pid" avahi-daemon
        local deadline=$((SECONDS + STOP_TIMEOUT_SECONDS))
        while avahi_name_owned; do
            ((SECONDS < deadline)) || die "$AVAHI_NAME is still owned on the system bus after avahi-daemon (pid $pid) ended"
            sleep 0.05
        done
    fi
    rm -f "$STATE_DIR/avahi.pid"
}

command=${1:-}
[[ -n $command ]] || usage
shift

case $command in
start | avahi-start)
    [[ $# -eq 0 ]] || usage
    take_lock
    ensure_dbus
    ensure_avahi
    ;;
stop)
    [[ $# -eq 0 ]] || usage
    take_lock
    stop_own_avahi
    if [[ -e $STATE_DIR/netns-created ]]; then
        ip netns del "$NETNS" 2>/dev/null || true
        rm -f "$STATE_DIR/netns-created"
    fi
    if pid=$(own_dbus_pid); then
        end_process "$pid" dbus-daemon
        rm -f "$DBUS_PID_FILE"
    fi
    rm -f "$STATE_DIR/dbus.pid" "$STATE_DIR/avahi-daemon.conf"
    ;;
avahi-stop)
    [[ $# -eq 0 ]] || usage
    take_lock
    if ! own_avahi_pid >/dev/null && bus_answers && avahi_name_owned; then
        echo "services.sh: the avahi-daemon on the system bus was not started by this script; not ending it" >&2
        exit 3
    fi
    stop_own_avahi
    ;;
mdns-exec)
    [[ $# -gt 0 ]] || usage
    if own_avahi_pid >/dev/null; then
        exec ip netns exec "$NETNS" "$@"
    fi
    if bus_answers && avahi_name_owned; then
        exec "$@"
    fi
    # Our daemon is stopped for the moment: the command still must not speak mDNS on a real
    # network.
    if netns_exists; then
        exec ip netns exec "$NETNS" "$@"
    fi
    die "no mDNS namespace and no avahi-daemon: run services.sh start first"
    ;;
*)
    usage
    ;;
esac
