#!/bin/sh
# Decoding speed of the analyser against tcpdump on two generated captures,
# each written both as a log and as pcap: mixed frames (TCP, UDP, ICMP, ARP,
# IPv6) and application traffic (DNS queries and answers, DHCP, HTTP), whose
# payloads both programs decode.
#
#   sh bench/kavpan_decode.sh [bindir] [frames]
#
# Prints, per capture, frames per second for kavpan -N -v 2, kavpan -N -v 4,
# tcpdump -n and tcpdump -nvvX (best of three runs each), the ratios, and a
# profile of kavpan -N -v 2 (perf, or callgrind when perf is not usable).
# Output goes to a regular file, so both programs buffer it fully (on a pipe or
# a terminal the analyser flushes every line so that live captures show at once).
bin=${1:-build/bin}
frames=${2:-250000}
src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d /tmp/kavpan_bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT INT TERM
export TOVATRC_FILENAME=/dev/null

if [ ! -x "$bin/kavpan" ]; then
  echo "kavpan is not built in $bin" >&2
  exit 1
fi
${CXX:-c++} -std=c++20 -O2 -I"$src/samples" -o "$tmp/mkcapture" "$src/samples/mkcapture.cpp" || exit 1
now() { date +%s.%N; }
# best_of CMD...: the least time of three runs, in seconds. With GNU time
# available it is CPU time (user + system), which the other jobs of a busy
# machine disturb less than wall time; otherwise wall time.
if [ -x /usr/bin/time ]; then clock="CPU"; else clock="wall"; fi
best_of() {
  best=""
  for i in 1 2 3; do
    if [ "$clock" = CPU ]; then
      /usr/bin/time -f "%U %S" -o "$tmp/time" sh -c "$1 > '$tmp/out' 2>/dev/null"
      d=$(awk '{ print $1 + $2 }' "$tmp/time")
    else
      t0=$(now)
      sh -c "$1 > '$tmp/out' 2>/dev/null"
      t1=$(now)
      d=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
    fi
    best=$(awk -v d="$d" -v c="$best" 'BEGIN { if (c == "" || d < c) print d; else print c }')
  done
  echo "$best"
}
# lines written by the last run of CMD
lines() { wc -l < "$tmp/out" | tr -d ' '; }
run_mix() {
mix=$1
"$tmp/mkcapture" "$mix" "$frames" "$tmp/$mix.kav" "$tmp/$mix.pcap" || exit 1
echo
echo "=== capture '$mix': $frames frames, log $(wc -c < "$tmp/$mix.kav") bytes, pcap $(wc -c < "$tmp/$mix.pcap") bytes"
kv2="'$bin/kavpan' -N -v 2 < '$tmp/$mix.kav'"
kv4="'$bin/kavpan' -N -v 4 < '$tmp/$mix.kav'"
td="tcpdump -n -r '$tmp/$mix.pcap'"
tdx="tcpdump -nvvX -r '$tmp/$mix.pcap'"

t_kv2=$(best_of "$kv2"); l_kv2=$(lines)
t_kv4=$(best_of "$kv4"); l_kv4=$(lines)
have_td=0
if command -v tcpdump >/dev/null 2>&1; then
  have_td=1
  t_td=$(best_of "$td"); l_td=$(lines)
  t_tdx=$(best_of "$tdx"); l_tdx=$(lines)
fi

rate() { awk -v n="$frames" -v t="$1" 'BEGIN { if (t <= 0) t = 0.001; printf "%10.0f frames/s  (%.3f s)", n / t, t }'; }
echo
echo "($clock time, best of three runs)"
echo "kavpan -N -v 2   $(rate "$t_kv2")  $l_kv2 lines"
echo "kavpan -N -v 4   $(rate "$t_kv4")  $l_kv4 lines"
if [ $have_td = 1 ]; then
  echo "tcpdump -n       $(rate "$t_td")  $l_td lines"
  echo "tcpdump -nvvX    $(rate "$t_tdx")  $l_tdx lines"
  echo
  awk -v a="$t_kv2" -v b="$t_td" 'BEGIN { printf "kavpan -v 2 vs tcpdump -n:     %.2fx tcpdump speed\n", b / a }'
  awk -v a="$t_kv4" -v b="$t_tdx" 'BEGIN { printf "kavpan -v 4 vs tcpdump -nvvX:  %.2fx tcpdump speed\n", b / a }'
else
  echo "(tcpdump not installed: no comparison)"
fi

echo
echo "=== where kavpan -N -v 2 spends its time ($mix)"
if command -v perf >/dev/null 2>&1 &&
   perf record -q -o "$tmp/perf.data" -- sh -c "\"$bin/kavpan\" -N -v 2 < \"$tmp/$mix.kav\" > \"$tmp/out\"" \
     > /dev/null 2>&1; then
  perf report -i "$tmp/perf.data" --stdio --sort dso,symbol 2>/dev/null |
    grep -v '^#' | grep '%' | head -25
elif command -v valgrind >/dev/null 2>&1; then
  "$tmp/mkcapture" $mix 20000 "$tmp/small.kav" "$tmp/small.pcap"
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.out" "$bin/kavpan" -N -v 2 \
    < "$tmp/small.kav" > "$tmp/out" 2>/dev/null
  callgrind_annotate "$tmp/cg.out" 2>/dev/null | head -40
else
  echo "(neither perf nor valgrind is available)"
fi
}

run_mix mixed
run_mix app
