#!/bin/sh
# Export of a large log to pcap by kavpan -x Tcpdump against a pcap-to-pcap
# rewrite of the equivalent file by editcap. Usage: kavpan_export.sh <bin-dir> [frames]
# The log is the importer's copy of the pcap, so both sides carry the same
# frames. Prints both times (best of 3) and editcap's time divided by ours.
set -e
BIN=${1:?usage: $0 bin-dir [frames]}
FRAMES=${2:-400000}
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
bench_start "kavpan_export" editcap
bench_pcap "$FRAMES"
"$BIN/kav_import" -x Tcpdump <"$TMP/big.pcap" >"$TMP/big.log" 2>/dev/null

run_export() { "$BIN/kavpan" -x Tcpdump <"$TMP/big.log" >"$TMP/ours.pcap"; }
run_editcap() { editcap -F pcap "$TMP/big.pcap" "$TMP/theirs.pcap" 2>/dev/null; }

cat "$TMP/big.pcap" "$TMP/big.log" >/dev/null  # warm the page cache for both
ours=$(best run_export)
theirs=$(best run_editcap)
# Both must have written the same file: the frames of the original.
cmp -s "$TMP/ours.pcap" "$TMP/big.pcap" || { echo "kavpan_export: exported pcap differs from the original"; exit 1; }
echo "kavpan_export: $FRAMES frames, $(wc -c <"$TMP/big.log") log bytes, $(wc -c <"$TMP/big.pcap") pcap bytes"
bench_machine
echo "  kavpan -x Tcpdump : ${ours} us"
echo "  editcap -F pcap   : ${theirs} us"
awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "  ratio editcap/kavpan = %.2f (above 1: kavpan faster)\n", a / b }'
