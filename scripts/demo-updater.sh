#!/bin/sh
# The updater demo: the real qrb-updater takes an emulated QRB board (a
# umockdev USB serial adapter, serial number QRB00042, answered by the board
# simulator) through a whole update.
#
#   scripts/demo-updater.sh BUILD_DIR [--headless] [DRIVER OPTION]...
#
# With a display (DISPLAY set, not under CI) the windows open there and you
# click through them. Otherwise, or with --headless, it runs on a virtual X
# server (Xvfb), presses each alert's default button with a real key press and
# saves a screenshot of every screen in BUILD_DIR/demo/screenshots/; without
# further options it checks that the board ends up sealed with the image's
# version.
# Further options go to the driver and change the board, e.g.
# --version-word 0x00030201 (a board that is up to date: "Exit" is the
# default) or --fault answer:0x04=0x15 (the board refuses the seal); see
# qrb-sim --help for the faults.
set -eu

[ $# -ge 1 ] || {
    echo "usage: $0 BUILD_DIR [--headless] [DRIVER OPTION]..." >&2
    exit 2
}
build=$(realpath "$1")
shift
headless=no
if [ "${1:-}" = --headless ]; then
    headless=yes
    shift
fi
if [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ]; then
    headless=yes
fi

paths="$build/demo/demo-paths.sh"
[ -f "$paths" ] || {
    echo "$paths is missing: configure and build $build first (make build)" >&2
    exit 1
}
. "$paths"
for f in "$QRB_UPDATER" "$QRB_DEMO_DRIVER"; do
    [ -x "$f" ] || {
        echo "$f is missing: build $build first (make build)" >&2
        exit 1
    }
done

shots="$build/demo/screenshots"
# For sanitizer builds: leaks of the system's libraries are not the program's.
root=$(cd "$(dirname "$0")/.." && pwd)
LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$root/demo/lsan-system-libraries.supp:print_suppressions=0"
export LSAN_OPTIONS
# The emulated board's attempt goes into the demo's own update history and
# traces (build/demo/state/qrb-updater/traces), never the user's.
mkdir -p "$build/demo"
demo_dir=$(cd "$build/demo" && pwd)
QRB_HISTORY="$demo_dir/history.db"
XDG_STATE_HOME="$demo_dir/state"
export QRB_HISTORY XDG_STATE_HOME
expect=
[ $# -gt 0 ] || expect=--expect-update
# The board at its line rates, so that the long steps take long enough to show
# their progress, behind a USB serial converter (ftdi_sio model), as a real one
# is; options given here may name another adapter.
set -- --updater "$QRB_UPDATER" --plugins "$QRB_DEMO_PLUGINS" --resources "$QRB_RESOURCES" \
    --pace --adapter ftdi "$@"

if [ "$headless" = no ]; then
    echo "Updater demo on $DISPLAY: plug-in follows the welcome screen; click through the alerts."
    exec "$QRB_DEMO_DRIVER" --timeout 600 "$@"
fi

command -v xvfb-run >/dev/null 2>&1 || {
    echo "xvfb-run is missing (make deps installs it)" >&2
    exit 1
}
command -v xdotool >/dev/null 2>&1 || {
    echo "xdotool is missing (make deps installs it)" >&2
    exit 1
}
rm -rf "$shots"
mkdir -p "$shots"
echo "Updater demo on a virtual display; screenshots in $shots"
# The driver ends the program itself; xvfb-run's server goes with it.
status=0
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    "$QRB_DEMO_DRIVER" --press-default $expect --timeout 120 --shots "$shots" "$@" ||
    status=$?
ls "$shots"/*.png >/dev/null 2>&1 || {
    echo "no screenshots were saved" >&2
    [ "$status" -ne 0 ] || status=1
}
exit "$status"
