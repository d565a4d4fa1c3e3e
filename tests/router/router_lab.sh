#!/bin/sh
# A home network in three network namespaces: an ISP side, a router (miniupnpd runs there, the
# caller starts it) and a host. Needs root, iproute2 and nft.
#
#   router_lab.sh up NAME WAN_PREFIX   e.g. up kr123 11.22.33    (router .1, ISP .2 on WAN_PREFIX.0/24)
#   router_lab.sh down NAME
#   router_lab.sh miniupnpd NAME FOLDER NATPMP UPNP PERMISSIONS
#       NATPMP, UPNP: yes or no; PERMISSIONS: miniupnpd's permission rules, one a line (whatever
#       they leave out is denied).
#       Writes FOLDER/miniupnpd.conf and becomes miniupnpd, in the foreground, on the router (the
#       process keeps its id: the caller can signal and wait for it). Its pid and lease files go
#       into FOLDER.
#
# Namespaces: NAME-isp, NAME-rtr, NAME-host. LAN: router 192.168.77.1, host 192.168.77.2.
# The router's NAT table has miniupnpd's chains (table inet filter: miniupnpd,
# prerouting_miniupnpd, postrouting_miniupnpd) hooked in; forwarding is only what miniupnpd
# opens, plus replies and the LAN's own traffic.
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
    for pair in "$rtr wan" "$rtr lan" "$isp wan" "$host lan"; do
        set -- $pair
        ip -n "$1" link set "$2" up
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
    chain miniupnpd {
    }
    chain prerouting {
        type nat hook prerouting priority -100; policy accept;
        jump prerouting_miniupnpd
    }
    chain postrouting {
        type nat hook postrouting priority 100; policy accept;
        jump postrouting_miniupnpd
        oifname "wan" masquerade
    }
    chain prerouting_miniupnpd {
    }
    chain postrouting_miniupnpd {
    }
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
    # With -d miniupnpd logs everything to stderr, and also to syslog, which falls back to the
    # console when there is no /dev/log: one console write per line, 65535 of them when it refuses
    # a NAT-PMP request. `ip netns exec` gives it a mount namespace of its own, where the console
    # can be /dev/null.
    exec ip netns exec "$rtr" sh -c 'mount --bind /dev/null /dev/console && exec "$0" "$@"' \
        "$(command -v miniupnpd)" -d -f "$config" -P "$folder/miniupnpd.pid"
    ;;
*)
    echo "unknown command $command" >&2
    exit 2
    ;;
esac
