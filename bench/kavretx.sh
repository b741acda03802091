#!/bin/sh
# Retransmission report: kavretx on the analyser's listing of a TCP capture
# against tshark's TCP analysis of the same capture.
# Usage: kavretx.sh <bin-dir> [frames] [connections]
#
# What is compared: kavretx reads the text that `kavpan -N -v 2` prints
# (one line per frame, already decoded) and judges every TCP segment;
# `tshark -q -z io,stat,0,tcp.analysis.retransmission` dissects the pcap
# itself and runs its TCP sequence analysis. Both produce a retransmission
# count for the whole capture; the decode step that kavretx relies on is
# timed separately and shown as the time of the whole pipeline as well.
# Prints the best of 3 runs of each, as lines (frames) per second, and the ratio.
set -e
BIN=${1:?usage: $0 bin-dir [frames] [connections]}
FRAMES=${2:-1000000}
CONNS=${3:-256}
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"
bench_start "kavretx bench" tshark
c++ -O2 -I"$HERE/../testsupport" -o "$TMP/mktcp" "$HERE/mktcp.cpp"
"$TMP/mktcp" "$TMP/tcp.pcap" "$FRAMES" "$CONNS"
"$BIN/kav_import" -x Tcpdump <"$TMP/tcp.pcap" >"$TMP/tcp.kav" 2>/dev/null

run_decode() { "$BIN/kavpan" -N -v 2 <"$TMP/tcp.kav" >"$TMP/tcp.txt"; }
run_retx() { "$BIN/kavretx" <"$TMP/tcp.txt" >"$TMP/retx.txt"; }
run_tshark() { tshark -r "$TMP/tcp.pcap" -q -z io,stat,0,tcp.analysis.retransmission >"$TMP/tshark.txt" 2>/dev/null; }

decode=$(best run_decode)
lines=$(wc -l <"$TMP/tcp.txt")
events=$(grep -c '^- Evt=' "$TMP/tcp.txt" || true)
cat "$TMP/tcp.txt" >/dev/null
ours=$(best run_retx)
theirs=$(best run_tshark)

retx=$(sed -n 's/^Total packets: .*Retx=\([0-9]*\),.*/\1/p' "$TMP/retx.txt")
tretx=$(awk -F'|' '/<>/ { gsub(/ /, "", $3); print $3 }' "$TMP/tshark.txt" | tail -1)
echo "kavretx bench: $FRAMES TCP frames on $CONNS connections, listing of $events events ($lines lines)"
bench_machine
awk -v us="$ours" -v n="$lines" \
  'BEGIN { printf "  kavretx on the listing                      : %d us, %.0f lines/s\n", us, n / (us / 1e6) }'
awk -v us="$theirs" -v n="$FRAMES" \
  'BEGIN { printf "  tshark -q -z io,stat,0,tcp.analysis.retransmission on the pcap: %d us, %.0f frames/s\n", us, n / (us / 1e6) }'
awk -v us="$decode" -v n="$FRAMES" \
  'BEGIN { printf "  kavpan -N -v 2 making the listing (in the last ratio only): %d us, %.0f frames/s\n", us, n / (us / 1e6) }'
echo "  retransmissions found: kavretx Retx=$retx, tshark ${tretx:-?} (each by its own rules: kavretx by the"
echo "    printed sequence numbers, tshark by its TCP analysis, which also flags some late reordered segments)"
awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "  ratio tshark/kavretx = %.2f (above 1: kavretx faster)\n", a / b }'
awk -v a="$theirs" -v b="$ours" -v d="$decode" \
  'BEGIN { printf "  ratio tshark/(kavpan + kavretx) = %.2f (whole pipeline from the log)\n", a / (b + d) }'
