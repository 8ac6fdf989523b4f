#!/bin/sh
# The demo of `make demo-station`: qrb-flash on three emulated QRB boards
# (one with older firmware, one up to date, one that refuses the seal). It
# ends with status 0 when each board ended as the demo intends, and records
# them in build/demo/ (history.db, state/), never in the user's history.
# Usage: scripts/demo-station.sh BUILD_DIR [QRB-FLASH ARGUMENTS]
set -eu
build="${1:-build}"
[ $# -gt 0 ] && shift
root="$(cd "$(dirname "$0")/.." && pwd)"
demo="$build/demo/qrb-station-demo"
if [ ! -x "$demo" ]; then
    echo "demo-station.sh: $demo is missing; build first (make build)" >&2
    exit 1
fi
exec umockdev-wrapper "$demo" "$build/station/qrb-flash" --config "$root/resources/QRB_Image.plist" "$@"
