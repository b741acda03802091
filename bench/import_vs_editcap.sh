#!/bin/sh
# Import of a large pcap by kav_import against a pcap-to-pcap rewrite of the
# same file by editcap. Usage: import_vs_editcap.sh <bin-dir> [frames]
# Prints both times (best of 3) and editcap's time divided by ours.
set -e
BIN=${1:?usage: $0 bin-dir [frames]}
FRAMES=${2:-400000}
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
bench_start "import_vs_editcap" editcap
bench_pcap "$FRAMES"

run_import() { "$BIN/kav_import" -x Tcpdump <"$TMP/big.pcap" >"$TMP/big.log" 2>"$TMP/import.err"; }
run_editcap() { editcap -F pcap "$TMP/big.pcap" "$TMP/copy.pcap" 2>/dev/null; }

cat "$TMP/big.pcap" >/dev/null  # warm the page cache for both
ours=$(best run_import)
theirs=$(best run_editcap)
size=$(wc -c <"$TMP/big.pcap")
tail -n 1 "$TMP/import.err"
echo "import_vs_editcap: $FRAMES frames, $size bytes"
bench_machine
echo "  kav_import -x Tcpdump : ${ours} us"
echo "  editcap -F pcap       : ${theirs} us"
awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "  ratio editcap/kav_import = %.2f (above 1: kav_import faster)\n", a / b }'
