#!/bin/sh
# Merge of several large logs by kavmerge against mergecap on the equivalent
# pcap files. Usage: merge_vs_mergecap.sh <bin-dir> [files] [frames-per-file]
# Prints both times (best of 3) and mergecap's time divided by ours.
set -e
BIN=${1:?usage: $0 bin-dir [files] [frames-per-file]}
FILES=${2:-4}
FRAMES=${3:-150000}
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
bench_start "merge_vs_mergecap" mergecap
c++ -O2 -o "$TMP/mkpcap" "$HERE/mkpcap.cpp"
logs=""
pcaps=""
i=1
while [ "$i" -le "$FILES" ]; do
  # Same start and rate, different jitter: the files interleave closely.
  "$TMP/mkpcap" "$TMP/in$i.pcap" "$FRAMES" "$i" 1700000000 400
  "$BIN/kav_import" -x Tcpdump <"$TMP/in$i.pcap" >"$TMP/in$i.log" 2>/dev/null
  logs="$logs $TMP/in$i.log"
  pcaps="$pcaps $TMP/in$i.pcap"
  i=$((i + 1))
done

# shellcheck disable=SC2086
run_merge() { "$BIN/kavmerge" $logs >"$TMP/merged.log"; }
# shellcheck disable=SC2086
run_mergecap() { mergecap -F pcap -w "$TMP/merged.pcap" $pcaps 2>/dev/null; }

cat $logs $pcaps >/dev/null
ours=$(best run_merge)
theirs=$(best run_mergecap)
echo "merge_vs_mergecap: $FILES files of $FRAMES frames"
echo "  kavmerge        : ${ours} us ($(wc -c <"$TMP/merged.log") bytes out)"
echo "  mergecap -F pcap: ${theirs} us ($(wc -c <"$TMP/merged.pcap") bytes out)"
awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "  ratio mergecap/kavmerge = %.2f (above 1: kavmerge faster)\n", a / b }'
