#!/bin/sh
# Installs the Debian packages that building, testing and the demo need, when
# any of them is missing. Uses sudo when not run as root.
set -eu

PACKAGES="
build-essential
cmake
ninja-build
pkg-config
clang-format
googletest
libgtest-dev
libgmock-dev
libplist-dev
nlohmann-json3-dev
libudev-dev
libsqlite3-dev
libpq-dev
postgresql
sqlite3
libssl-dev
libsystemd-dev
libmicrohttpd-dev
systemd
prometheus
python3-jsonschema
umockdev
libumockdev-dev
qt6-base-dev
xvfb
xauth
xdotool
desktop-file-utils
appstream
lintian
udev
dpkg-dev
file
util-linux
clang-14
libclang-rt-14-dev
llvm-14
"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "Installing missing packages:$missing"
if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
