#!/bin/sh
# Capture benchmark: replays a large generated capture at top speed through a
# veth pair between two private network namespaces and captures it on the far
# end, first with kavtap and then with tcpdump -w, both writing a file with
# the same snapshot length. Reports the frames actually found in each output
# file and the CPU time per frame, read from the scheduler's nanosecond
# run-time counters; either tool failing fails the benchmark.
#
# usage: bench/kavtap_capture.sh BIN_DIR [FRAMES] [ROUNDS] [LOOPS]
# The capture is replayed LOOPS times per run, so each run lasts seconds.
# Needs root, tcpreplay, tcpdump and python3.
set -eu

BIN=${1:?usage: $0 BIN_DIR [FRAMES] [ROUNDS]}
FRAMES=${2:-400000}
ROUNDS=${3:-3}
LOOPS=${4:-4}
HERE=$(cd "$(dirname "$0")" && pwd)
TAP=$(cd "$BIN" && pwd)/kavtap
SNAP=600

[ "$(id -u)" = 0 ] || { echo "kavtap_capture: needs root" >&2; exit 1; }
for t in tcpreplay tcpdump python3 ip; do
  command -v $t >/dev/null || { echo "kavtap_capture: $t not found" >&2; exit 1; }
done
[ -x "$TAP" ] || { echo "kavtap_capture: no $TAP" >&2; exit 1; }

W=$(mktemp -d /tmp/kavtap_bench.XXXXXX)
# Captures are written to memory when possible, so disk writeback does not
# blur the comparison.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then OUT=$(mktemp -d /dev/shm/kavtap_bench.XXXXXX); else OUT=$W; fi
NA=kvbench$$a
NB=kvbench$$b
VA=vba$$
VB=vbb$$
cleanup() {
  ip netns del $NA 2>/dev/null || true
  ip netns del $NB 2>/dev/null || true
  rm -rf "$W" "$OUT"
}
trap cleanup EXIT INT TERM

echo "Generating $FRAMES frames ..."
python3 "$HERE/gen_capture.py" "$W/replay.pcap" "$FRAMES"
BYTES=$(stat -c %s "$W/replay.pcap")

ip netns add $NA
ip netns add $NB
for n in $NA $NB; do
  ip netns exec $n sh -c 'echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6; true' 2>/dev/null
  ip -n $n link set lo up
done
ip -n $NA link add $VA type veth peer name $VB netns $NB
ip -n $NA addr add 198.18.255.1/24 dev $VA
ip -n $NB addr add 198.18.255.2/24 dev $VB
ip -n $NA link set $VA up
ip -n $NB link set $VB up
sleep 1

# CPU seconds of a running process, all its threads, from the nanosecond
# run-time counters (the tick counts of /proc/PID/stat are 10 ms coarse).
cpu_of() {
  cat /proc/$1/task/*/schedstat | awk '{ ns += $1 } END { printf "%.6f\n", ns / 1e9 }'
}

# Runs one capture: $1 = name, rest = command run inside the namespace.
# Prints "frames cpu_seconds".
capture() {
  name=$1
  shift
  out=$OUT/$name.out
  ip netns exec $NA "$@" > "$out" 2> "$W/$name.err" &
  pid=$!
  # Wait until the capture is listening: the interface turns promiscuous.
  i=0
  while [ $i -lt 100 ]; do
    if ip -n $NA -d link show $VA | grep -q "promiscuity [1-9]"; then break; fi
    sleep 0.1
    i=$((i + 1))
  done
  sleep 0.5
  ip netns exec $NB tcpreplay -q -t --loop=$LOOPS -i $VB "$W/replay.pcap" > "$W/$name.replay" 2>&1
  sleep 1
  cpu=$(cpu_of $pid)
  kill -INT $pid
  status=0
  wait $pid || status=$?
  if [ $status != 0 ]; then
    echo "kavtap_capture: $name ended with status $status" >&2
    cat "$W/$name.err" >&2
    exit 1
  fi
  # The frames really written, counted from the file itself.
  if [ "$name" = kavtap ]; then
    kept=$(python3 -c '
import struct, sys
d = open(sys.argv[1], "rb").read()
nses, at = d[14], 15
for _ in range(nses):
    at += 216 + struct.unpack_from("<q", d, at + 144)[0]
n = 0
while at + 40 <= len(d):
    typ = d[at + 1]
    at += 40 + struct.unpack_from("<q", d, at + 24)[0]
    if typ == 1:
        n += 1
    elif typ in (3, 4):
        at += 40
if at != len(d):
    sys.exit("log ends inside an event")
print(n)' "$out")
  else
    kept=$(python3 -c '
import struct, sys
d = open(sys.argv[1], "rb").read()
n, at = 0, 24
while at + 16 <= len(d):
    at += 16 + struct.unpack_from("<I", d, at + 8)[0]
    n += 1
if at != len(d):
    sys.exit("capture ends inside a record")
print(n)' "$out")
  fi
  rm -f "$out"
  echo "$kept $cpu"
}

echo "Replaying $FRAMES frames ($BYTES bytes) $LOOPS times at top speed, $ROUNDS rounds each"
printf "%-8s %-6s %12s %12s %16s\n" tool round kept cpu_s us_per_frame
TK=0; TKC=0; DK=0; DKC=0
r=1
run_kavtap() {
  set -- $(capture kavtap "$TAP" -t $SNAP -i $VA)
  printf "%-8s %-6s %12s %12s %16s\n" kavtap $r "$1" "$2" "$(echo "$2 $1" | awk '{ printf "%.3f", $1 * 1e6 / ($2 ? $2 : 1) }')"
  TK=$(echo "$TK $1" | awk '{ print $1 + $2 }'); TKC=$(echo "$TKC $2" | awk '{ print $1 + $2 }')
}
run_tcpdump() {
  set -- $(capture tcpdump tcpdump -n -s $SNAP -B 4096 -i $VA -w -)
  printf "%-8s %-6s %12s %12s %16s\n" tcpdump $r "$1" "$2" "$(echo "$2 $1" | awk '{ printf "%.3f", $1 * 1e6 / ($2 ? $2 : 1) }')"
  DK=$(echo "$DK $1" | awk '{ print $1 + $2 }'); DKC=$(echo "$DKC $2" | awk '{ print $1 + $2 }')
}
while [ $r -le "$ROUNDS" ]; do
  # Alternate the order so neither tool always runs on a warmer machine.
  if [ $((r % 2)) = 1 ]; then run_kavtap; run_tcpdump; else run_tcpdump; run_kavtap; fi
  r=$((r + 1))
done
echo "$TK $TKC $DK $DKC" | awk '{
  printf "kavtap:  %d frames kept, %.3f us CPU per frame\n", $1, $2 * 1e6 / $1
  printf "tcpdump: %d frames kept, %.3f us CPU per frame\n", $3, $4 * 1e6 / $3
  printf "frames kept, kavtap/tcpdump: %.3f\n", $1 / $3
  printf "CPU per frame, kavtap/tcpdump: %.3f\n", ($2 / $1) / ($4 / $3)
}'
