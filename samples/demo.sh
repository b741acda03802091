#!/bin/sh
# Runs the suite's main job on the bundled sample: the analyser decodes the
# sample capture in summary form, then shows a few frames in full. Run as
# root it also captures a few seconds of loopback traffic live.
bin=${1:-build/bin}
here=$(dirname "$0")
sample="$here/sample.kav"

if [ ! -x "$bin/kavpan" ]; then
  echo "Built the libraries; the analyser is not built yet, so there is nothing to decode."
  exit 0
fi

# Keep the framework's log out of the user's home directory.
: "${TOVATRC_FILENAME:=/dev/null}"
export TOVATRC_FILENAME

echo "=== $sample at verbosity 2 (one line per frame)"
"$bin/kavpan" -N -v 2 < "$sample" || exit 1

echo
echo "=== frames 4 and 14 of $sample at verbosity 4 (every field)"
"$bin/kavpan" -N -v 4 -e 4,14 < "$sample" || exit 1

if [ "$(id -u)" != 0 ]; then
  echo
  echo "=== (not root: skipping the live loopback capture)"
  exit 0
fi
if [ ! -x "$bin/kavtap" ]; then
  echo
  echo "=== (the capture tap is not built: skipping the live loopback capture)"
  exit 0
fi

echo
echo "=== live: 3 seconds of loopback traffic, kavtap -i lo | kavpan"
# Some traffic to see: a few pings, or failing that a few local connection
# attempts (refused, but each is a TCP SYN and a reset on the wire).
(
  sleep 0.5
  if command -v ping >/dev/null 2>&1; then
    ping -c 4 -i 0.4 127.0.0.1 >/dev/null 2>&1
  elif command -v bash >/dev/null 2>&1; then
    for i in 1 2 3 4; do bash -c 'exec 3<>/dev/tcp/127.0.0.1/9' 2>/dev/null; sleep 0.4; done
  fi
) &
traffic=$!
timeout -s INT 3 "$bin/kavtap" -i lo -t 0 | "$bin/kavpan" -N -v 2
status=$?
wait "$traffic" 2>/dev/null
exit $status
