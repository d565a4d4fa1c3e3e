#!/bin/sh
# A home network in network namespaces NAME-isp, NAME-rtr and NAME-host. Needs root, iproute2, nft.
#   up NAME WAN_PREFIX   WAN WAN_PREFIX.0/24 (router .1, ISP .2); LAN router 192.168.77.1, host .2
#   down NAME
#   miniupnpd NAME FOLDER NATPMP(yes|no) UPNP(yes|no) PERMISSIONS
#       becomes miniupnpd on the router, in the foreground, configured and keeping its files in
#       FOLDER; PERMISSIONS are its rules, one a line (whatever they leave out is denied).
# The router forwards only what miniupnpd opens, replies and the LAN's own traffic.
set -eu
PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH

command=${1:?command}
name=${2:?name}
isp=$name-isp
rtr=$name-rtr
host=$name-host

down() {
    for ns in "$isp" "$rtr" "$host"; do
        ip netns delete "$ns" 2>/dev/null || true
    done
}

case $command in
down)
    down
    ;;
up)
    wan=${3:?wan prefix}
    down
    trap down EXIT
    for ns in "$isp" "$rtr" "$host"; do
        ip netns add "$ns"
        ip -n "$ns" link set lo up
    done
    # Created inside the namespaces so that names never meet those of another run.
    ip -n "$rtr" link add wan type veth peer name wan netns "$isp"
    ip -n "$rtr" link add lan type veth peer name lan netns "$host"
    ip -n "$rtr" addr add "$wan.1/24" dev wan
    ip -n "$isp" addr add "$wan.2/24" dev wan
    ip -n "$rtr" addr add 192.168.77.1/24 dev lan
    ip -n "$host" addr add 192.168.77.2/24 dev lan
    ip -n "$rtr" link set wan up
    ip -n "$rtr" link set lan up
    ip -n "$isp" link set wan up
    ip -n "$host" link set lan up
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
    chain prerouting {
        type nat hook prerouting priority -100; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd
        oifname "wan" masquerade
    }
    chain prerouting_miniupnpd {}
    chain postrouting_miniupnpd {}
}
NFT
    trap - EXIT
    ;;
miniupnpd)
    folder=${3:?folder}
    config=$folder/miniupnpd.conf
    {
        printf 'ext_ifname=wan\nlistening_ip=lan\nipv6_disable=yes\n'
        printf 'enable_natpmp=%s\nenable_upnp=%s\n' "${4:?natpmp}" "${5:?upnp}"
        printf 'uuid=3a6b1c5e-0c4f-4d0a-9d3e-5b2f7c8d9e01\nlease_file=%s/leases\n' "$folder"
        printf '%s\ndeny 0-65535 0.0.0.0/0 0-65535\n' "${6-}"
    } >"$config"
    # With -d it logs to stderr and to syslog, which without /dev/log writes the console: 65535
    # lines when it refuses a NAT-PMP request. Its own mount namespace's console is /dev/null.
    exec ip netns exec "$rtr" sh -c 'mount --bind /dev/null /dev/console && exec "$0" "$@"' \
        "$(command -v miniupnpd)" -d -f "$config" -P "$folder/miniupnpd.pid"
    ;;
*)
    echo "unknown command $command" >&2
    exit 2
    ;;
esac
