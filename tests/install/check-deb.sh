#!/bin/sh
# Builds the Debian packages with CPack (qrb-updater, qrb-flash and
# qrb-updater-common) and checks them: together the same files as an
# installation with prefix /usr, each in its package, owned by root with the
# same modes, the data files unchanged, sane control fields, dependencies (the
# station without Qt), a changelog, manual pages and metainfo of this version,
# and nothing that lintian reports as an error or warning.
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
packages="qrb-updater qrb-flash qrb-updater-common"
debs=""
for package in $packages; do
    deb=$(find "$work/out" -maxdepth 1 -name "${package}_*.deb")
    [ "$(echo "$deb" | wc -w)" -eq 1 ] || {
        cat "$work/cpack.log"
        echo "FAIL: expected one package $package, found: $deb"
        exit 1
    }
    debs="$debs $deb"
done
[ "$(find "$work/out" -maxdepth 1 -name '*.deb' | wc -l)" -eq 3 ] || fail "more packages than $packages"
deb_of() { find "$work/out" -maxdepth 1 -name "${1}_*.deb"; }

mode() {
    case $1 in
    -rwxr-xr-x) echo 755 ;;
    -rw-r--r--) echo 644 ;;
    *) echo "$1" ;;
    esac
}
: >"$work/actual"
for package in $packages; do
    deb=$(deb_of "$package")
    # Control fields.
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = "$package" ] || fail "Package is '$(field Package)', not $package"
    [ "$(field Version)" = "$version" ] || fail "$package: Version is '$(field Version)', not $version"
    if [ "$package" = qrb-updater-common ]; then
        [ "$(field Architecture)" = all ] || fail "$package: Architecture is '$(field Architecture)', not all"
    else
        [ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "$package: Architecture is '$(field Architecture)'"
    fi
    field Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "$package: Maintainer '$(field Maintainer)' is not 'Name <address>'"
    [ -n "$(field Section)" ] || fail "$package: no Section"
    [ -n "$(field Priority)" ] || fail "$package: no Priority"
    field Installed-Size | grep -Eq '^[0-9]+$' || fail "$package: Installed-Size is '$(field Installed-Size)'"
    # A one-line summary, then an extended description.
    [ "$(field Description | head -n 1 | wc -w)" -gt 1 ] || fail "$package: no summary in Description"
    [ "$(field Description | wc -l)" -gt 1 ] || fail "$package: no extended description"
    [ "$(field Description | awk 'length > 80' | wc -l)" -eq 0 ] || fail "$package: Description has lines over 80 columns"

    # Contents: regular files, with owner and mode, and the package.
    dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6, $1, $2 }' | sed 's|^\./||' >"$work/listing"
    awk -v p="$package" '$3 != "root/root" { print "FAIL: " p ": " $1 " is owned by " $3 }' "$work/listing" >"$work/owners"
    if [ -s "$work/owners" ]; then
        cat "$work/owners"
        failures=$((failures + 1))
    fi
    while read -r path perms _owner; do
        echo "$path $(mode "$perms") $package"
    done <"$work/listing" >>"$work/actual"
    dpkg-deb -x "$deb" "$work/root"

    # The documents speak of the packaged version.
    doc="$work/root/usr/share/doc/$package"
    cmp -s "$source/packaging/copyright" "$doc/copyright" || fail "$package: the copyright differs from packaging/copyright"
    if gzip -t "$doc/changelog.gz" 2>/dev/null; then
        top=$(gzip -dc "$doc/changelog.gz" | head -n 1)
        [ "$top" = "qrb-updater ($version) unstable; urgency=medium" ] ||
            fail "$package: the changelog's last entry is '$top', not version $version (packaging/changelog)"
    else
        fail "usr/share/doc/$package/changelog.gz is not a gzip file"
    fi
done
LC_ALL=C sort -o "$work/actual" "$work/actual"
grep -v '^#' "$expected" | LC_ALL=C sort >"$work/expected"
if ! diff -u "$work/expected" "$work/actual" >"$work/diff"; then
    fail "package contents differ from the list (- expected, + packaged):"
    cat "$work/diff"
fi

# Depends: from the libraries each program links (dpkg-shlibdeps), and the
# common package of the same version; the station without Qt.
depends_of() { dpkg-deb -f "$(deb_of "$1")" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//'; }
for package in qrb-updater qrb-flash; do
    for needed in qrb-updater-common libc6 libstdc++6 libudev1 libplist3; do
        depends_of "$package" | grep -Fxq "$needed" || fail "$package: Depends lacks $needed: $(depends_of "$package" | tr '\n' ' ')"
    done
    dpkg-deb -f "$(deb_of "$package")" Depends | grep -q "qrb-updater-common (= $version)" ||
        fail "$package: Depends does not name qrb-updater-common of version $version"
done
for needed in libqt6widgets6 libqt6gui6 libqt6core6; do
    depends_of qrb-updater | grep -Fxq "$needed" || fail "qrb-updater: Depends lacks $needed"
done
if depends_of qrb-flash | grep -q '^libqt'; then
    fail "qrb-flash depends on Qt: $(depends_of qrb-flash | tr '\n' ' ')"
fi

# The maintainer script that applies the udev rule to adapters already
# plugged in comes with the rule.
dpkg-deb -e "$(deb_of qrb-updater-common)" "$work/control"
if [ -f "$work/control/postinst" ]; then
    [ "$(stat -c %a "$work/control/postinst")" = 755 ] || fail "postinst is not mode 755"
    sh -n "$work/control/postinst" || fail "postinst is not a valid shell script"
else
    fail "qrb-updater-common has no postinst"
fi

# The service's defaults file is the administrator's: a conffile.
dpkg-deb -e "$(deb_of qrb-flash)" "$work/flash-control"
grep -qx /etc/default/qrb-flash "$work/flash-control/conffiles" 2>/dev/null ||
    fail "qrb-flash does not mark /etc/default/qrb-flash as a conffile"

# The data files travel unchanged; the programs are executables for this machine.
for f in QRB_Image.plist QRB_Firmware.sc QRB_RAM_Bootloader.sc; do
    cmp -s "$source/resources/$f" "$work/root/usr/share/qrb-updater/$f" || fail "usr/share/qrb-updater/$f differs from resources/$f"
done
cmp -s "$source/packaging/70-qrb-updater.rules" "$work/root/usr/lib/udev/rules.d/70-qrb-updater.rules" ||
    fail "the packaged udev rule differs from packaging/70-qrb-updater.rules"
cmp -s "$source/packaging/qrb-updater.desktop" "$work/root/usr/share/applications/qrb-updater.desktop" ||
    fail "the packaged desktop entry differs from packaging/qrb-updater.desktop"
for program in qrb-updater qrb-flash; do
    bin="$work/root/usr/bin/$program"
    [ -x "$bin" ] && [ "$(head -c 4 "$bin" | od -An -c | tr -d ' ')" = '177ELF' ] ||
        fail "usr/bin/$program is not an executable ELF file"
    man="$work/root/usr/share/man/man1/$program.1.gz"
    title=$(echo "$program" | tr '[:lower:]' '[:upper:]')
    gzip -dc "$man" 2>/dev/null | grep -q "^\.TH $title 1 .*\"$program $version\"" ||
        fail "the manual page is not $program(1) of version $version"
done
grep -q "<release version=\"$version\"" "$work/root/usr/share/metainfo/"*.metainfo.xml ||
    fail "the metainfo lists no release $version (packaging/*.metainfo.xml)"

# What Debian's package checker says: no error and no warning.
if command -v lintian >/dev/null 2>&1; then
    # shellcheck disable=SC2086
    lintian --fail-on error,warning $debs >"$work/lintian" 2>&1 || {
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
echo "Debian packages $packages: $(wc -l <"$work/actual") files"
