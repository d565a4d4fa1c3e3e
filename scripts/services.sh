#!/usr/bin/env bash
# Starts and ends the local services the tests need: a D-Bus bus and an avahi-daemon of their own.
#
#   services.sh start          start what is missing (idempotent)
#   services.sh stop           end what this script started, nothing else
#   services.sh avahi-stop     end the tests' avahi-daemon
#   services.sh avahi-start    start it again
#   services.sh mdns-exec CMD  run CMD where it sees the daemon's multicast
#   services.sh bus-address    print the D-Bus address the tests' daemon is reached at
#
# The tests never use the machine's own D-Bus system bus or avahi-daemon (a desktop runs one):
# that daemon would announce the tests' services on the real network, and it is not the tests'
# to stop. Their daemon is on a bus of its own, whose socket is in the state folder; programs
# reach it as their system bus through DBUS_SYSTEM_BUS_ADDRESS, which libdbus (and so
# libavahi-client, avahi-browse and dbus-send --system) honours. The test support sets it for
# every test (tests/platform/test_services.h, tests/integration/host_support.py).
#
# The daemon runs in a network namespace of its own with only `lo` up, so its multicast reaches
# no real network, and in a mount namespace of its own where the state folder's avahi-daemon
# directory stands in for /run/avahi-daemon (its pid file and socket), so the machine's daemon
# and its files are left alone. It still serves programs in the host namespace, because D-Bus
# goes through a socket file. A browser that speaks mDNS itself (python-zeroconf) must run inside
# the network namespace to see the daemon's announcements, and must never send its queries on a
# real network: mdns-exec runs a command there, with the bus address set.
#
# PID 1 may not reap orphans here, so a daemon we killed can linger as a zombie and `kill -0`
# still succeeds: liveness is read from /proc/PID/stat, and the PIDs we started are kept in the
# state folder. Needs root: network and mount namespaces, and the folder in /run.

set -euo pipefail

readonly STATE_DIR=${KESTRIO_SERVICES_STATE_DIR:-/run/kestrio-test-services}
readonly NETNS=kestrio-test-mdns
readonly AVAHI_NAME=org.freedesktop.Avahi
readonly BUS_SOCKET=$STATE_DIR/system_bus_socket
# Where avahi-daemon keeps its pid file and socket (built into it), and what stands in for it.
readonly AVAHI_RUNTIME_DIR=/run/avahi-daemon
readonly OWN_AVAHI_RUNTIME_DIR=$STATE_DIR/avahi-daemon
readonly START_TIMEOUT_SECONDS=20
readonly STOP_TIMEOUT_SECONDS=10

# Everything below, and every program this script runs, talks to the tests' bus.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$BUS_SOCKET

die() {
    echo "services.sh: $*" >&2
    exit 1
}

usage() {
    echo "usage: services.sh start|stop|avahi-start|avahi-stop|bus-address|mdns-exec COMMAND [ARGUMENT...]" >&2
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

# These talk to the tests' bus (DBUS_SYSTEM_BUS_ADDRESS above), never to the machine's.
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
    pid=$(read_pid "$STATE_DIR/avahi-daemon.pid") || return 1
    process_running "$pid" avahi-daemon || return 1
    echo "$pid"
}

own_bus_pid() {
    local pid
    pid=$(read_pid "$STATE_DIR/bus.pid") || return 1
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

write_bus_config() {
    # A bus for the tests alone: everyone on this machine may connect, own names and talk, as
    # the tests' programs and avahi-daemon (after it drops to its own user) do.
    cat >"$STATE_DIR/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$BUS_SOCKET</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
}

ensure_bus() {
    if own_bus_pid >/dev/null && bus_answers; then
        return 0
    fi
    command -v dbus-daemon >/dev/null || die "dbus-daemon is not installed (apt-get install dbus)"
    local stale
    if stale=$(own_bus_pid); then
        die "our dbus-daemon (pid $stale) runs but its bus at $BUS_SOCKET does not answer"
    fi
    write_bus_config
    rm -f "$BUS_SOCKET" "$STATE_DIR/bus.pid"
    local pid
    pid=$(dbus-daemon --config-file="$STATE_DIR/bus.conf" --fork --print-pid 9>&-) ||
        die "dbus-daemon for the tests' bus did not start"
    pid=$(tr -dc '0-9' <<<"$pid")
    echo "$pid" >"$STATE_DIR/bus.pid"
    local deadline=$((SECONDS + START_TIMEOUT_SECONDS))
    until bus_answers; do
        ((SECONDS < deadline)) || die "the tests' bus (dbus-daemon pid $pid) does not answer after ${START_TIMEOUT_SECONDS} s"
        sleep 0.05
    done
    echo "started dbus-daemon for the tests at $BUS_SOCKET (pid $pid)"
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
        # Not by name: until the namespaces are set up, the process is not called avahi-daemon.
        if ! process_running "$pid"; then
            echo "services.sh: avahi-daemon (pid $pid) ended while starting; its log:" >&2
            tail -n 20 "$STATE_DIR/avahi-daemon.log" >&2 || true
            exit 1
        fi
        if ((SECONDS >= deadline)); then
            echo "services.sh: avahi-daemon does not report state 2 (running) on the tests' bus after ${START_TIMEOUT_SECONDS} s" >&2
            tail -n 20 "$STATE_DIR/avahi-daemon.log" >&2 || true
            exit 1
        fi
        sleep 0.05
    done
}

ensure_avahi() {
    local pid
    if pid=$(own_avahi_pid); then
        wait_for_avahi "$pid"
        return 0
    fi
    command -v avahi-daemon >/dev/null || die "avahi-daemon is not installed (apt-get install avahi-daemon)"
    command -v unshare >/dev/null || die "unshare is not installed (apt-get install util-linux)"
    avahi_name_owned && die "$AVAHI_NAME is owned on the tests' bus by a daemon this script did not start"
    ensure_netns
    write_avahi_config
    # The daemon refuses to start while its pid file names a live process, and a zombie counts
    # as live for the check it makes. The folder is ours alone.
    rm -rf "$OWN_AVAHI_RUNTIME_DIR"
    mkdir -p "$OWN_AVAHI_RUNTIME_DIR"
    # The mount point; a machine without avahi may not have it yet. Over it, only the daemon's
    # mount namespace sees our folder: nothing is mounted where the machine would see it.
    [[ -d $AVAHI_RUNTIME_DIR ]] || mkdir -p "$AVAHI_RUNTIME_DIR"
    # Every step execs the next, so the PID started here is the daemon's.
    # shellcheck disable=SC2016 # the inner shell expands its own arguments
    setsid ip netns exec "$NETNS" unshare --mount --propagation private \
        sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$OWN_AVAHI_RUNTIME_DIR" "$AVAHI_RUNTIME_DIR" \
        avahi-daemon -f "$STATE_DIR/avahi-daemon.conf" --no-proc-title \
        </dev/null >"$STATE_DIR/avahi-daemon.log" 2>&1 9>&- &
    pid=$!
    echo "$pid" >"$STATE_DIR/avahi-daemon.pid"
    wait_for_avahi "$pid"
    echo "started avahi-daemon in network namespace $NETNS on the tests' bus (pid $pid)"
}

stop_own_avahi() {
    local pid
    if pid=$(own_avahi_pid); then
        end_process "$pid" avahi-daemon
        local deadline=$((SECONDS + STOP_TIMEOUT_SECONDS))
        while bus_answers && avahi_name_owned; do
            ((SECONDS < deadline)) || die "$AVAHI_NAME is still owned on the tests' bus after avahi-daemon (pid $pid) ended"
            sleep 0.05
        done
    fi
    rm -f "$STATE_DIR/avahi-daemon.pid"
}

command=${1:-}
[[ -n $command ]] || usage
shift

case $command in
start | avahi-start)
    [[ $# -eq 0 ]] || usage
    take_lock
    ensure_bus
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
    if pid=$(own_bus_pid); then
        end_process "$pid" dbus-daemon
    fi
    rm -rf "$OWN_AVAHI_RUNTIME_DIR"
    rm -f "$STATE_DIR/bus.pid" "$BUS_SOCKET" "$STATE_DIR/bus.conf" "$STATE_DIR/avahi-daemon.conf"
    ;;
avahi-stop)
    [[ $# -eq 0 ]] || usage
    take_lock
    stop_own_avahi
    ;;
bus-address)
    [[ $# -eq 0 ]] || usage
    echo "$DBUS_SYSTEM_BUS_ADDRESS"
    ;;
mdns-exec)
    [[ $# -gt 0 ]] || usage
    # Also while our daemon is stopped for the moment: the command still must not speak mDNS on
    # a real network.
    netns_exists || die "no mDNS namespace: run services.sh start first"
    exec ip netns exec "$NETNS" "$@"
    ;;
*)
    usage
    ;;
esac
