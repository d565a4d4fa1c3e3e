#!/bin/sh
# A home network in network namespaces NAME-isp, NAME-rtr and NAME-host. Needs root, iproute2, nft.
#   up NAME WAN_PREFIX   WAN WAN_PREFIX.0/24 (router .1, ISP .2); LAN router 192.168.77.1, host .2
#   down NAME
#   miniupnpd NAME FOLDER NATPMP(yes|no) UPNP(yes|no) PERMISSIONS
#       becomes miniupnpd on the router, in the foreground, keeping its files in FOLDER;
#       PERMISSIONS are its rules, one a line (whatever they leave out is denied).
# The router forwards only what miniupnpd opens, replies and the LAN's own traffic.
set -eu
PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
name=${2:?name}
isp=$name-isp rtr=$name-rtr host=$name-host

down() {
    for ns in "$isp" "$rtr" "$host"; do ip netns delete "$ns" 2>/dev/null || true; done
}

case ${1:?command} in
down) down ;;
up)
    down
    trap down EXIT
    for ns in "$isp" "$rtr" "$host"; do ip netns add "$ns" && ip -n "$ns" link set lo up; done
    # Made inside the namespaces, so that names never meet those of another run.
    ip -n "$rtr" link add wan type veth peer name wan netns "$isp"
    ip -n "$rtr" link add lan type veth peer name lan netns "$host"
    for side in "$rtr wan ${3:?wan prefix}.1" "$isp wan $3.2" "$rtr lan 192.168.77.1" "$host lan 192.168.77.2"; do
        set -- $side
        ip -n "$1" addr add "$3/24" dev "$2" && ip -n "$1" link set "$2" up
    done
    ip -n "$host" route add default via 192.168.77.1
    ip netns exec "$rtr" sysctl -q -w net.ipv4.ip_forward=1
    ip netns exec "$rtr" nft -f - <<NFT
table inet filter {
    chain forward {
        type filter hook forward priority 0; policy drop;
        ct state established,related accept
        iifname "lan" accept
        jump miniupnpd
    }
    chain miniupnpd {}
    chain prerouting { type nat hook prerouting priority -100; jump prerouting_miniupnpd; }
    chain postrouting { type nat hook postrouting priority 100; jump postrouting_miniupnpd; oifname "wan" masquerade; }
    chain prerouting_miniupnpd {}
    chain postrouting_miniupnpd {}
}
NFT
    trap - EXIT
    ;;
miniupnpd)
    folder=${3:?folder}
    printf 'ext_ifname=wan\nlistening_ip=lan\nipv6_disable=yes\nenable_natpmp=%s\nenable_upnp=%s\n' "${4:?}" "${5:?}" >"$folder/miniupnpd.conf"
    printf 'uuid=3a6b1c5e-0c4f-4d0a-9d3e-5b2f7c8d9e01\nlease_file=%s/leases\n%s\ndeny 0-65535 0.0.0.0/0 0-65535\n' \
        "$folder" "${6-}" >>"$folder/miniupnpd.conf"
    # With -d it logs to stderr and to syslog, which without /dev/log writes the console: 65535
    # lines when it refuses a NAT-PMP request. Its own mount namespace's console is /dev/null.
    exec ip netns exec "$rtr" sh -c 'mount --bind /dev/null /dev/console && exec "$0" "$@"' \
        "$(command -v miniupnpd)" -d -f "$folder/miniupnpd.conf" -P "$folder/miniupnpd.pid"
    ;;
*) echo "unknown command $1" >&2 && exit 2 ;;
esac
