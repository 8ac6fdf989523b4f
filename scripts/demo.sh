#!/bin/sh
# The demo of `make demo-protocol`: a simulated QRB board taken through a whole
# firmware update with the sample images. Usage: scripts/demo.sh BUILD_DIR
set -eu
build="${1:-build}"
root="$(cd "$(dirname "$0")/.." && pwd)"
demo="$build/demo/qrb-protocol-demo"
if [ ! -x "$demo" ]; then
    echo "demo.sh: $demo is missing; build first (make build)" >&2
    exit 1
fi
exec "$demo" "$root/resources"
