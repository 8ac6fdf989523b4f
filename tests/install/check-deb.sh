#!/bin/sh
# Builds the Debian package with CPack and checks it: the same files as an
# installation with prefix /usr, owned by root with the same modes, the data
# files unchanged, sane control fields, a changelog, manual page and metainfo
# of this version, and nothing that lintian reports as an error or warning.
#
#   check-deb.sh BUILD_DIR SOURCE_DIR EXPECTED_FILES VERSION
set -eu

build=$(realpath "$1")
source=$(realpath "$2")
expected=$(realpath "$3")
version=$4

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qrb-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    echo "FAIL: cpack failed"
    exit 1
}
deb=$(find "$work/out" -maxdepth 1 -name '*.deb')
[ "$(echo "$deb" | wc -w)" -eq 1 ] || {
    cat "$work/cpack.log"
    echo "FAIL: expected one .deb, found: $deb"
    exit 1
}

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qrb-updater ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
field Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[ -n "$(field Section)" ] || fail "no Section"
[ -n "$(field Priority)" ] || fail "no Priority"
field Installed-Size | grep -Eq '^[0-9]+$' || fail "Installed-Size is '$(field Installed-Size)'"
# A one-line summary, then an extended description.
[ "$(field Description | head -n 1 | wc -w)" -gt 1 ] || fail "no summary in Description"
[ "$(field Description | wc -l)" -gt 1 ] || fail "no extended description"
[ "$(field Description | awk 'length > 80' | wc -l)" -eq 0 ] || fail "Description has lines over 80 columns"
depends=$(field Depends)
# From the libraries the program links, found by dpkg-shlibdeps.
for package in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6 libudev1; do
    echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -Fxq "$package" ||
        fail "Depends lacks $package: $depends"
done
echo "$depends" | grep -q 'libplist' || fail "Depends lacks libplist: $depends"

# The maintainer script that applies the udev rule to adapters already plugged in.
dpkg-deb -e "$deb" "$work/control"
if [ -f "$work/control/postinst" ]; then
    [ "$(stat -c %a "$work/control/postinst")" = 755 ] || fail "postinst is not mode 755"
    sh -n "$work/control/postinst" || fail "postinst is not a valid shell script"
else
    fail "no postinst"
fi

# Contents: regular files, with owner and mode, against the list.
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6, $1, $2 }' | sed 's|^\./||' | LC_ALL=C sort >"$work/listing"
awk '$2 ~ /^-/ && $3 != "root/root" { print "FAIL: " $1 " is owned by " $3 }' "$work/listing" >"$work/owners"
if [ -s "$work/owners" ]; then
    cat "$work/owners"
    failures=$((failures + 1))
fi
mode() {
    case $1 in
    -rwxr-xr-x) echo 755 ;;
    -rw-r--r--) echo 644 ;;
    *) echo "$1" ;;
    esac
}
while read -r path perms _owner; do
    echo "$path $(mode "$perms")"
done <"$work/listing" >"$work/actual"
grep -v '^#' "$expected" | LC_ALL=C sort >"$work/expected"
if ! diff -u "$work/expected" "$work/actual" >"$work/diff"; then
    fail "package contents differ from the list (- expected, + packaged):"
    cat "$work/diff"
fi

# The data files travel unchanged; the program is an executable for this machine.
dpkg-deb -x "$deb" "$work/root"
for f in QRB_Image.plist QRB_Firmware.sc QRB_RAM_Bootloader.sc; do
    cmp -s "$source/resources/$f" "$work/root/usr/share/qrb-updater/$f" || fail "usr/share/qrb-updater/$f differs from resources/$f"
done
cmp -s "$source/packaging/70-qrb-updater.rules" "$work/root/usr/lib/udev/rules.d/70-qrb-updater.rules" ||
    fail "the packaged udev rule differs from packaging/70-qrb-updater.rules"
cmp -s "$source/packaging/qrb-updater.desktop" "$work/root/usr/share/applications/qrb-updater.desktop" ||
    fail "the packaged desktop entry differs from packaging/qrb-updater.desktop"
bin="$work/root/usr/bin/qrb-updater"
[ -x "$bin" ] && [ "$(head -c 4 "$bin" | od -An -c | tr -d ' ')" = '177ELF' ] ||
    fail "usr/bin/qrb-updater is not an executable ELF file"

# The documents speak of the packaged version.
doc="$work/root/usr/share/doc/qrb-updater"
cmp -s "$source/packaging/copyright" "$doc/copyright" || fail "the packaged copyright differs from packaging/copyright"
if gzip -t "$doc/changelog.gz" 2>/dev/null; then
    top=$(gzip -dc "$doc/changelog.gz" | head -n 1)
    [ "$top" = "qrb-updater ($version) unstable; urgency=medium" ] ||
        fail "the changelog's last entry is '$top', not version $version (packaging/changelog)"
else
    fail "usr/share/doc/qrb-updater/changelog.gz is not a gzip file"
fi
man="$work/root/usr/share/man/man1/qrb-updater.1.gz"
gzip -dc "$man" 2>/dev/null | grep -q "^\.TH QRB-UPDATER 1 .*\"qrb-updater $version\"" ||
    fail "the manual page is not qrb-updater(1) of version $version"
grep -q "<release version=\"$version\"" "$work/root/usr/share/metainfo/"*.metainfo.xml ||
    fail "the metainfo lists no release $version (packaging/*.metainfo.xml)"

# What Debian's package checker says: no error and no warning.
if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || {
        fail "lintian:"
        grep -v 'running with root privileges' "$work/lintian"
    }
else
    fail "lintian is not installed (scripts/install-deps.sh installs it)"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "Debian package $(basename "$deb"): $(wc -l <"$work/actual") files, Depends: $depends"
