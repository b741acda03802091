#!/bin/sh
# Merge of several large logs by kavmerge against mergecap on the equivalent
# pcap files. Usage: merge_vs_mergecap.sh <bin-dir> [files] [frames-per-file]
# Environment: RUNS (default 5) runs of each side, in alternating order.
# Prints min/median/max of each side's CPU time (user + system: a busy
# machine's other jobs and the disk's write-back disturb wall time far more)
# and of its wall time, the ratio mergecap/kavmerge per run (above 1: kavmerge
# faster), and two references with no merging at all: the physical limit, the
# same octets read and written once with 1 MiB buffers (dd), and the same
# writes as kavmerge's from the same mappings (gathercopy.cpp).
set -e
BIN=${1:?usage: $0 bin-dir [files] [frames-per-file]}
FILES=${2:-4}
FRAMES=${3:-150000}
RUNS=${RUNS:-5}
HERE=$(cd "$(dirname "$0")" && pwd)
command -v mergecap >/dev/null || { echo "merge_vs_mergecap: mergecap not installed - skipped"; exit 0; }
TMP=$(mktemp -d /tmp/kavbench.XXXXXX)
trap 'rm -rf "$TMP"' EXIT INT TERM
c++ -O2 -I"$HERE/../testsupport" -o "$TMP/mkpcap" "$HERE/mkpcap.cpp"
c++ -O2 -o "$TMP/cputime" "$HERE/cputime.cpp"
c++ -O2 -I"$HERE/../libkav" -o "$TMP/gathercopy" "$HERE/gathercopy.cpp"
export TOVATRC_FILENAME=/dev/null
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

# timed NAME CMD...: appends CMD's CPU and wall seconds to $TMP/NAME.cpu and .wall.
# First, outside the timing: everything written so far is flushed to disk,
# since the write-back of one run's 500 MB would cost whichever program runs
# next a time that is not its own; all inputs are read once more, since a
# machine that pages out cold memory may have dropped some from the cache;
# and only then is the output of the run before removed, right before the
# run, whose output takes the pages that frees. A virtual machine that hands
# free memory back to its host (free page reporting) does so within a second
# or two; a run that then needs fresh pages waits for the host to supply
# each one, which showed here as up to a second of system time on either
# side.
timed() {
  name=$1
  shift
  sync
  # shellcheck disable=SC2086
  cat $logs $pcaps >/dev/null
  rm -f "$TMP/merged.log" "$TMP/merged.pcap" "$TMP/copy.out" "$TMP/gather.out"
  [ "$name" = ours ] && rm -f "$TMP/timed.log"
  "$TMP/cputime" "$TMP/time" "$@"
  # Kept for the check below that the timed merge did all its work.
  [ "$name" = ours ] && mv "$TMP/merged.log" "$TMP/timed.log"
  [ -n "$VERBOSE" ] && echo "$name $(cat "$TMP/time")" >&2
  awk '{ printf "%.4f\n", $1 + $2 }' "$TMP/time" >> "$TMP/$name.cpu"
  awk '{ printf "%.4f\n", $3 }' "$TMP/time" >> "$TMP/$name.wall"
}
stats() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.3f/%.3f/%.3f", v[1], (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[NR] }'
}
# Commands for "sh -c" (cputime runs programs, not shell functions).
run_merge="'$BIN/kavmerge' $logs > '$TMP/merged.log'"
run_mergecap="mergecap -F pcap -w '$TMP/merged.pcap' $pcaps 2>/dev/null"
run_copy="for f in $logs; do dd if=\"\$f\" bs=1M status=none; done > '$TMP/copy.out'"
run_gather="'$TMP/gathercopy' $logs > '$TMP/gather.out'"

load0=$(cut -d' ' -f1-3 /proc/loadavg)
k=0
while [ "$k" -lt "$RUNS" ]; do
  k=$((k + 1))
  if [ $((k % 2)) = 1 ]; then
    timed ours sh -c "$run_merge"
    timed theirs sh -c "$run_mergecap"
  else
    timed theirs sh -c "$run_mergecap"
    timed ours sh -c "$run_merge"
  fi
  timed copy sh -c "$run_copy"
  timed gather sh -c "$run_gather"
  awk -v a="$(tail -1 "$TMP/theirs.cpu")" -v b="$(tail -1 "$TMP/ours.cpu")" \
    'BEGIN { print a / (b > 0 ? b : 0.001) }' >> "$TMP/ratio.cpu"
  awk -v a="$(tail -1 "$TMP/theirs.wall")" -v b="$(tail -1 "$TMP/ours.wall")" \
    'BEGIN { print a / (b > 0 ? b : 0.001) }' >> "$TMP/ratio.wall"
done
load1=$(cut -d' ' -f1-3 /proc/loadavg)

# The timed work was the whole merge: the last output is the same log, byte
# for byte, as the merge of the same inputs read through pipes (the stdio
# path), and it holds every frame and every session's end.
checked="merged output NOT checked"
if [ -s "$TMP/timed.log" ]; then
  fifos=""
  feeders=""
  i=1
  for f in $logs; do
    mkfifo "$TMP/fifo$i"
    cat "$f" >"$TMP/fifo$i" &
    feeders="$feeders $!"
    fifos="$fifos $TMP/fifo$i"
    i=$((i + 1))
  done
  rc=0
  # shellcheck disable=SC2086
  "$BIN/kavmerge" $fifos >"$TMP/piped.log" || rc=$?
  # A merge that stopped early leaves feeders waiting for it.
  # shellcheck disable=SC2086
  kill $feeders 2>/dev/null || true
  wait
  [ "$rc" = 0 ] || { echo "merge_vs_mergecap: the piped merge failed ($rc)" >&2; exit 1; }
  cmp -s "$TMP/timed.log" "$TMP/piped.log" || { echo "merge_vs_mergecap: kavmerge's output differs from the piped merge" >&2; exit 1; }
  events=$("$BIN/kavpan" -v 1 <"$TMP/timed.log" | grep -c '^- Evt=')
  want=$((FILES * (FRAMES + 1)))
  [ "$events" = "$want" ] || { echo "merge_vs_mergecap: kavmerge's output holds $events events, not $want" >&2; exit 1; }
  checked="merged output checked: $events events, the same bytes as a merge through pipes"
fi

echo "merge_vs_mergecap: $FILES files of $FRAMES frames, $RUNS runs each; $checked"
echo "  CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1) ($(nproc) online), load $load0 before, $load1 after"
echo "  seconds min/median/max      CPU (user+sys)         wall"
echo "  kavmerge                    $(stats "$TMP/ours.cpu")    $(stats "$TMP/ours.wall")"
echo "  mergecap -F pcap            $(stats "$TMP/theirs.cpu")    $(stats "$TMP/theirs.wall")"
echo "  physical limit (dd bs=1M)   $(stats "$TMP/copy.cpu")    $(stats "$TMP/copy.wall")"
echo "  gathered copy, no merging   $(stats "$TMP/gather.cpu")    $(stats "$TMP/gather.wall")"
echo "  ratio mergecap/kavmerge     $(stats "$TMP/ratio.cpu")    $(stats "$TMP/ratio.wall")  (above 1: kavmerge faster)"
echo "  CPU ratio run by run        $(awk '{ printf "%s%.2f", (NR > 1 ? " " : ""), $1 }' "$TMP/ratio.cpu")"
