#!/usr/bin/env bash
# Real traffic through the KT735N driver (root): kt735sim on two TAP interfaces, the protocol
# side in one network namespace and the peer in another, then ping and iperf3 (TCP and UDP, each
# way) across, and the figures. Everything made here is removed at the end, whatever happens.
#
#   tools/netns-demo.sh [KT735SIM [kt735sim options...]]
#   tools/netns-demo.sh build/release/tools/kt735sim --ethernet none --phoneline 0x5C20:up
#
# DEMO_SECONDS sets each iperf3 run's length (default 10), DEMO_UDP_RATE the UDP offered load
# (default 12M, above the USB 1.1 ceiling).
set -euo pipefail

sim=${1:-build/release/tools/kt735sim}
shift || true
secs=${DEMO_SECONDS:-10}
rate=${DEMO_UDP_RATE:-12M}
id=$$
a=kt735demo-host-$id
b=kt735demo-peer-$id
h=ktdh$id
p=ktdp$id
log=$(mktemp)
simpid=
serverpid=

cleanup() {
  [ -n "$serverpid" ] && kill "$serverpid" 2>/dev/null
  if [ -n "$simpid" ] && kill -TERM "$simpid" 2>/dev/null; then
    for _ in $(seq 100); do kill -0 "$simpid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$simpid" 2>/dev/null || true
  fi
  ip netns del "$a" 2>/dev/null || true
  ip netns del "$b" 2>/dev/null || true
  rm -f "$log"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { echo "netns-demo: run as root" >&2; exit 2; }
[ -x "$sim" ] || { echo "netns-demo: no kt735sim at $sim (build the release preset)" >&2; exit 2; }
for tool in ip ping iperf3; do
  command -v $tool >/dev/null || { echo "netns-demo: needs $tool" >&2; exit 2; }
done

ip netns add "$a"
ip netns add "$b"
ip netns exec "$a" "$sim" --tap "$h,$p" "$@" >"$log" 2>&1 &
simpid=$!
for _ in $(seq 300); do grep -q "real time from here" "$log" && break; sleep 0.1; done
grep -q "real time from here" "$log" || { cat "$log"; exit 1; }
ip -n "$a" link set "$p" netns "$b"
ip -n "$a" addr add 198.18.0.1/24 dev "$h"
ip -n "$b" addr add 198.18.0.2/24 dev "$p"
ip -n "$a" link set "$h" up
ip -n "$b" link set "$p" up
ip -n "$b" link set lo up
ip netns exec "$b" iperf3 -s -B 198.18.0.2 >/dev/null 2>&1 &
serverpid=$!
sleep 1

echo "kt735sim${*:+ $*} --tap $h,$p: $(grep -m1 'chip on' "$log" | sed 's/.*chip on //')"
ip netns exec "$a" ping -c 20 -i 0.2 -w 30 198.18.0.2 |
  awk '/packets transmitted/ {loss=$0} /^rtt/ {split($4, r, "/")}
       END {printf "ping 198.18.0.2 (20 x 64 bytes): rtt min/avg/max %s/%s/%s ms; %s\n",
            r[1], r[2], r[3], loss}'

# iperf3's receiver line: the goodput in bytes per second and, for UDP, the datagrams lost.
run() {
  local what=$1
  shift
  ip netns exec "$a" iperf3 -c 198.18.0.2 -t "$secs" -f k "$@" 2>&1 |
    awk -v what="$what" '/receiver/ {
        for (i = 1; i < NF; i++) if ($(i + 1) == "Kbits/sec") rate = $i
        lost = ""
        for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+\/[0-9]+$/) lost = ", lost " $i " " $(i + 1)
        printf "%-44s %9.0f B/s%s\n", what, rate * 1000 / 8, lost }'
}
run "TCP goodput, host to peer"
run "TCP goodput, peer to host" -R
run "UDP goodput, host to peer ($rate offered)" -u -b "$rate" -l 1472
run "UDP goodput, peer to host ($rate offered)" -u -b "$rate" -l 1472 -R
echo "USB 1.1 full-speed ceiling                     1216000 B/s"
echo "one transfer in flight, 1514-byte frames: 757000 B/s one way, 504667 B/s each way at once"

kill "$serverpid" 2>/dev/null || true
wait "$serverpid" 2>/dev/null || true
serverpid=
kill -TERM "$simpid"
wait "$simpid" || true
simpid=
echo "kt735sim's summary:"
sed -n '/^summary/,$p' "$log"
