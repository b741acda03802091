#!/bin/sh
# Runs the suite's main job on the bundled sample: the analyser decodes the
# sample capture in summary form, then shows a few frames in full. Run as
# root it also captures a few seconds of loopback traffic live, and shows
# the bandwidth monitor on a traffic-server tap, saving a screenshot.
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
  echo "=== (not root: skipping the live loopback capture and the bandwidth monitor)"
  exit 0
fi
if [ ! -x "$bin/kavtap" ]; then
  echo
  echo "=== (the capture tap is not built: skipping the live loopback capture and the bandwidth monitor)"
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
[ "$status" = 0 ] || exit $status

echo
echo "=== bandwidth monitor: kavwin on a traffic-server tap (kavtap -R) on loopback"
if [ ! -x "$bin/kavwin" ]; then
  echo "=== (the monitor is not built: skipping it)"
  exit 0
fi
for tool in socat xwd xwininfo xwdtopnm pnmtopng; do
  if ! command -v $tool >/dev/null 2>&1; then
    echo "=== ($tool is not installed: skipping the bandwidth monitor)"
    exit 0
  fi
done
if [ -z "$DISPLAY" ] && ! command -v Xvfb >/dev/null 2>&1; then
  echo "=== (no display and no Xvfb: skipping the bandwidth monitor)"
  exit 0
fi
absbin=$(cd "$bin" && pwd)
shot="$(cd "$bin/.." && pwd)/kavwin.png"
work=$(mktemp -d)
xvfb= server= monitor= load=
cleanup() {
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null
  [ -n "$load" ] && kill "$load" 2>/dev/null
  # The taps first, while their super-server is there to collect them.
  [ -n "$server" ] && pkill -TERM -P "$server" 2>/dev/null && sleep 0.3
  [ -n "$server" ] && kill "$server" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$DISPLAY" ]; then
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb=$!
  for i in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
  if [ ! -s "$work/display" ]; then
    echo "=== (Xvfb did not start: skipping the bandwidth monitor)"
    exit 0
  fi
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
  echo "(on a private X server, $DISPLAY)"
fi

# The traffic server as a super-server runs it: one tap per connection,
# the connection being the tap's standard input and output.
socat TCP-LISTEN:19681,bind=127.0.0.1,reuseaddr,fork "EXEC:$absbin/kavtap -R,nofork" 2>"$work/socat.err" &
server=$!
sleep 0.5
if ! kill -0 "$server" 2>/dev/null; then
  echo "=== (port 19681 is taken on loopback: skipping the bandwidth monitor)"
  cat "$work/socat.err"
  exit 0
fi

# A changing load of UDP datagrams to port 40555, the only traffic the
# monitor asks the tap to count.
(
  i=0
  while [ $i -lt 80 ]; do
    i=$((i + 1))
    head -c $((4000 + (i * 7919) % 26000)) /dev/zero | socat -u - UDP-SENDTO:127.0.0.1:40555 2>/dev/null
    sleep 0.2
  done
) &
load=$!

"$bin/kavwin" -geom 600x360+0+0 \
  -xrm "*Interface-Text.value: 127.0.0.1:19681" \
  -xrm "*Filter-Text.value: UDP DST=40555" \
  -xrm "*Max-Bandwidth-Text.value: 1000" \
  -xrm "kavwin.autoStart: true" &
monitor=$!
echo "kavwin plots the UDP traffic to port 40555 against 1000 Kbps for 14 seconds ..."
sleep 14
if ! kill -0 "$monitor" 2>/dev/null; then
  echo "=== the monitor ended early"
  exit 1
fi
# The toolkit keeps an unmapped window of the same name: take the one shown.
win=
for id in $(xwininfo -root -tree | sed -n 's/^ *\(0x[0-9a-f]*\) "kavwin": ("kavwin" "Kavwin").*/\1/p'); do
  xwininfo -id "$id" | grep -q "Map State: IsViewable" && win=$id
done
if [ -n "$win" ] && xwd -silent -id "$win" | xwdtopnm 2>/dev/null | pnmtopng > "$shot" 2>/dev/null && [ -s "$shot" ]; then
  echo "=== screenshot of the monitor saved in $shot"
else
  echo "=== could not take a screenshot of the monitor"
  exit 1
fi
exit 0
