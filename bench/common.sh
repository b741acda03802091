# Shared by the comparison benchmarks; sourced after HERE is set.
# bench_start <name> <peer>: skips (status 0) when the peer tool is missing,
# else makes $TMP, removed on exit, and keeps traces out of the home folder.
bench_start() {
  command -v "$2" >/dev/null || { echo "$1: $2 not installed - skipped"; exit 0; }
  TMP=$(mktemp -d /tmp/kavbench.XXXXXX)
  trap 'rm -rf "$TMP"' EXIT INT TERM
  export TOVATRC_FILENAME=/dev/null
}

now() { date +%s%N; }

# best of three runs of a command, in microseconds
best() {
  b=0
  for k in 1 2 3; do
    t0=$(now); "$@"; t1=$(now)
    t=$(( (t1 - t0) / 1000 ))
    if [ "$b" -eq 0 ] || [ "$t" -lt "$b" ]; then b=$t; fi
  done
  echo "$b"
}

# The machine the figures come from.
bench_machine() {
  echo "  CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1) ($(nproc) online), load $(cut -d' ' -f1-3 /proc/loadavg)"
}

# bench_pcap FRAMES: $TMP/big.pcap, FRAMES frames of the generator's traffic.
bench_pcap() {
  c++ -O2 -o "$TMP/mkpcap" "$HERE/mkpcap.cpp"
  "$TMP/mkpcap" "$TMP/big.pcap" "$1" 1
}
