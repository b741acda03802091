#!/bin/sh
# Filter matching speed: kav_filt_match against libpcap's compiled filters.
# Usage: bench/kavfilt.sh <bin dir> [frames] [rounds per trial] [trials]
bin=${1:-build/bin}
if [ ! -x "$bin/kavfilt_bench" ]; then
  echo "kavfilt_bench not built (needs libpcap-dev)" >&2
  exit 1
fi
exec "$bin/kavfilt_bench" "${2:-2000}" "${3:-10}" "${4:-80}"
