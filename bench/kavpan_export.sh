#!/bin/sh
# Export of a large log to pcap by kavpan -x Tcpdump against a pcap-to-pcap
# rewrite of the equivalent file by editcap. Usage: kavpan_export.sh <bin-dir> [frames]
# The log is the importer's copy of the pcap, so both sides carry the same
# frames. Prints both times (best of 3) and editcap's time divided by ours.
set -e
BIN=${1:?usage: $0 bin-dir [frames]}
FRAMES=${2:-400000}
HERE=$(cd "$(dirname "$0")" && pwd)
command -v editcap >/dev/null || { echo "kavpan_export: editcap not installed - skipped"; exit 0; }
TMP=$(mktemp -d /tmp/kavbench.XXXXXX)
trap 'rm -rf "$TMP"' EXIT INT TERM
c++ -O2 -o "$TMP/mkpcap" "$HERE/mkpcap.cpp"
"$TMP/mkpcap" "$TMP/big.pcap" "$FRAMES" 1
export TOVATRC_FILENAME=/dev/null
"$BIN/kav_import" -x Tcpdump <"$TMP/big.pcap" >"$TMP/big.log" 2>/dev/null

now() { date +%s%N; }
# best of three, in microseconds
best() {
  b=0
  for i in 1 2 3; do
    t0=$(now); "$@"; t1=$(now)
    t=$(( (t1 - t0) / 1000 ))
    if [ "$b" -eq 0 ] || [ "$t" -lt "$b" ]; then b=$t; fi
  done
  echo "$b"
}
run_export() { "$BIN/kavpan" -x Tcpdump <"$TMP/big.log" >"$TMP/ours.pcap"; }
run_editcap() { editcap -F pcap "$TMP/big.pcap" "$TMP/theirs.pcap" 2>/dev/null; }

cat "$TMP/big.pcap" "$TMP/big.log" >/dev/null  # warm the page cache for both
ours=$(best run_export)
theirs=$(best run_editcap)
# Both must have written the same file: the frames of the original.
cmp -s "$TMP/ours.pcap" "$TMP/big.pcap" || { echo "kavpan_export: exported pcap differs from the original"; exit 1; }
echo "kavpan_export: $FRAMES frames, $(wc -c <"$TMP/big.log") log bytes, $(wc -c <"$TMP/big.pcap") pcap bytes"
echo "  kavpan -x Tcpdump : ${ours} us"
echo "  editcap -F pcap   : ${theirs} us"
awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "  ratio editcap/kavpan = %.2f (above 1: kavpan faster)\n", a / b }'
