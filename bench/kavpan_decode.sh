#!/bin/sh
# Decoding speed of the analyser against tcpdump on generated captures,
# written both as a log and as pcap, one capture per traffic mix:
#   mixed  the benchmark's original mix (TCP, UDP, ICMP, ARP, IPv6)
#   web    web and office traffic: TCP segments with HTTP text, DNS queries and
#          answers over UDP, some ICMP and ARP
#   small  small frames: mostly 60-octet TCP acknowledgements and UDP
#   app    application traffic: DNS queries and answers, DHCP, HTTP, whose
#          payloads both programs decode
#
#   sh bench/kavpan_decode.sh [bindir] [frames] [mix ...]
#
# Environment: RUNS (default 5) runs of each side, taken in alternating order;
# REF_BIN, a bin directory of a reference build (for example the unmodified
# merge-base): its output must be byte-identical to this build's, so a speed-up
# that changes the text is caught; NOPROFILE=1 skips the profile.
#
# Times are CPU seconds (user + system) of the decoding program alone, with its
# output to a regular file and to a pipe read by "cat > /dev/null". Printed per
# mix: min/median/max of each side and of the per-run ratio (tcpdump's time
# divided by kavpan's: above 1, kavpan is faster), for kavpan -N -v 2 against
# tcpdump -n and kavpan -N -v 4 against tcpdump -nvvX; and, when kav_import is
# built too, the wall time of the pipeline users run on a pcap file,
# "kav_import -x Tcpdump < pcap | kavpan -N -v 2 > out", against
# "tcpdump -n -r pcap > out". Then a profile of kavpan -N -v 2 on the last mix
# (perf, or callgrind when perf is not usable).
bin=${1:-build/bin}
frames=${2:-200000}
[ $# -gt 2 ] && shift 2 || set --
mixes=${*:-mixed web small app}
runs=${RUNS:-5}
src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d /tmp/kavpan_bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT INT TERM
export TOVATRC_FILENAME=/dev/null

if [ ! -x "$bin/kavpan" ]; then
  echo "kavpan is not built in $bin" >&2
  exit 1
fi
have_td=0
command -v tcpdump >/dev/null 2>&1 && have_td=1
have_imp=0
[ -x "$bin/kav_import" ] && have_imp=1
${CXX:-c++} -std=c++20 -O2 -I"$src/testsupport" -o "$tmp/mkcapture" "$src/samples/mkcapture.cpp" || exit 1
${CXX:-c++} -O2 -o "$tmp/cputime" "$src/bench/cputime.cpp" || exit 1

echo "CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1) ($(nproc) online)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); $runs runs per side, CPU seconds (user+sys)"

# cpu_file CMD...: CPU seconds of CMD, its output to a regular file.
cpu_file() {
  "$tmp/cputime" "$tmp/time" "$@" > "$tmp/out" 2>/dev/null
  awk '{ printf "%.4f\n", $1 + $2 }' "$tmp/time"
}
# cpu_pipe CMD...: the same with the output to a pipe read by cat, as by a
# user's next program.
cpu_pipe() {
  { "$tmp/cputime" "$tmp/time" "$@" 2>/dev/null; } | cat > /dev/null
  awk '{ printf "%.4f\n", $1 + $2 }' "$tmp/time"
}
# wall "PIPELINE": wall seconds of a shell pipeline, its output to a regular file.
wall() {
  t0=$(date +%s.%N)
  sh -c "$1 > '$tmp/out'"
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}
# stats FILE: "min/median/max" of the numbers in FILE.
stats() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.3f/%.3f/%.3f", v[1], (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[NR] }'
}
sum() { md5sum < "$1" | cut -d' ' -f1; }

status=0
for mix in $mixes; do
  kav="$tmp/$mix.kav"
  pcap="$tmp/$mix.pcap"
  "$tmp/mkcapture" mixed "$frames" "$kav" "$pcap" "$mix" || exit 1
  echo
  echo "=== mix $mix: $frames frames, log $(wc -c < "$kav") bytes, pcap $(wc -c < "$pcap") bytes"

  # The text timed must be the reference's, and the same on a pipe as in a file.
  for v in 2 4; do
    "$bin/kavpan" -N -v $v < "$kav" > "$tmp/k$v.txt" 2>/dev/null
    "$bin/kavpan" -N -v $v < "$kav" 2>/dev/null | cat > "$tmp/k$v.pipe"
    s=$(sum "$tmp/k$v.txt")
    line="kavpan -N -v $v output: $(wc -l < "$tmp/k$v.txt") lines, md5 $s"
    if [ "$s" != "$(sum "$tmp/k$v.pipe")" ]; then
      line="$line; PIPE OUTPUT DIFFERS"
      status=1
    fi
    if [ -n "$REF_BIN" ]; then
      "$REF_BIN/kavpan" -N -v $v < "$kav" > "$tmp/r$v.txt" 2>/dev/null
      if [ "$s" = "$(sum "$tmp/r$v.txt")" ]; then
        line="$line, identical to the reference"
      else
        line="$line; DIFFERS FROM THE REFERENCE (md5 $(sum "$tmp/r$v.txt"))"
        status=1
      fi
    fi
    echo "$line"
  done

  : > "$tmp/kf"; : > "$tmp/tf"; : > "$tmp/kp"; : > "$tmp/tp"; : > "$tmp/k4"; : > "$tmp/t4"
  : > "$tmp/rf"; : > "$tmp/rp"; : > "$tmp/r4"; : > "$tmp/kw"; : > "$tmp/tw"; : > "$tmp/rw"
  i=0
  while [ $i -lt "$runs" ]; do
    i=$((i + 1))
    # Alternate which side goes first, so drifts of a busy machine even out.
    for side in $( [ $((i % 2)) = 1 ] && echo "k t" || echo "t k"); do
      if [ $side = k ]; then
        a=$(cpu_file "$bin/kavpan" -N -v 2 < "$kav"); echo "$a" >> "$tmp/kf"
        b=$(cpu_pipe "$bin/kavpan" -N -v 2 < "$kav"); echo "$b" >> "$tmp/kp"
        c=$(cpu_file "$bin/kavpan" -N -v 4 < "$kav"); echo "$c" >> "$tmp/k4"
        [ $have_imp = 1 ] && wall "\"$bin/kav_import\" -x Tcpdump < \"$pcap\" 2>/dev/null | \"$bin/kavpan\" -N -v 2" >> "$tmp/kw"
      elif [ $have_td = 1 ]; then
        cpu_file tcpdump -n -r "$pcap" >> "$tmp/tf"
        cpu_pipe tcpdump -n -r "$pcap" >> "$tmp/tp"
        cpu_file tcpdump -nvvX -r "$pcap" >> "$tmp/t4"
        [ $have_imp = 1 ] && wall "tcpdump -n -r \"$pcap\" 2>/dev/null" >> "$tmp/tw"
      fi
    done
    if [ $have_td = 1 ]; then
      awk -v k="$(tail -1 "$tmp/kf")" -v t="$(tail -1 "$tmp/tf")" 'BEGIN { print t / (k > 0 ? k : 0.001) }' >> "$tmp/rf"
      awk -v k="$(tail -1 "$tmp/kp")" -v t="$(tail -1 "$tmp/tp")" 'BEGIN { print t / (k > 0 ? k : 0.001) }' >> "$tmp/rp"
      awk -v k="$(tail -1 "$tmp/k4")" -v t="$(tail -1 "$tmp/t4")" 'BEGIN { print t / (k > 0 ? k : 0.001) }' >> "$tmp/r4"
      [ $have_imp = 1 ] &&
        awk -v k="$(tail -1 "$tmp/kw")" -v t="$(tail -1 "$tmp/tw")" 'BEGIN { print t / (k > 0 ? k : 0.001) }' >> "$tmp/rw"
    fi
  done
  echo "CPU s min/median/max    kavpan               tcpdump              ratio (tcpdump/kavpan)"
  if [ $have_td = 1 ]; then
    echo "-v 2 vs -n, file        $(stats "$tmp/kf")    $(stats "$tmp/tf")    $(stats "$tmp/rf")"
    echo "-v 2 vs -n, pipe        $(stats "$tmp/kp")    $(stats "$tmp/tp")    $(stats "$tmp/rp")"
    echo "-v 4 vs -nvvX, file     $(stats "$tmp/k4")    $(stats "$tmp/t4")    $(stats "$tmp/r4")"
    [ $have_imp = 1 ] &&
      echo "pipeline, wall s        $(stats "$tmp/kw")    $(stats "$tmp/tw")    $(stats "$tmp/rw")"
  else
    echo "-v 2, file              $(stats "$tmp/kf")    (tcpdump not installed: no comparison)"
    echo "-v 2, pipe              $(stats "$tmp/kp")"
    echo "-v 4, file              $(stats "$tmp/k4")"
  fi
done

[ -n "$NOPROFILE" ] && exit $status
echo
echo "=== where kavpan -N -v 2 spends its time (mix $mix)"
if command -v perf >/dev/null 2>&1 &&
   perf record -q -o "$tmp/perf.data" -- sh -c "\"$bin/kavpan\" -N -v 2 < \"$kav\" > \"$tmp/out\"" \
     > /dev/null 2>&1; then
  perf report -i "$tmp/perf.data" --stdio --sort dso,symbol 2>/dev/null |
    grep -v '^#' | grep '%' | head -25
elif command -v valgrind >/dev/null 2>&1; then
  "$tmp/mkcapture" mixed 20000 "$tmp/small.kav" "$tmp/small.pcap" "$mix"
  valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.out" "$bin/kavpan" -N -v 2 \
    < "$tmp/small.kav" > "$tmp/out" 2>/dev/null
  callgrind_annotate "$tmp/cg.out" 2>/dev/null | head -40
else
  echo "(neither perf nor valgrind is available)"
fi
exit $status
