#!/bin/sh
# Installs the build into a temporary DESTDIR with prefix /usr and checks the
# tree: exactly the expected files with their modes, the data files unchanged,
# a relocatable binary, a valid desktop entry whose command and icon are
# installed, valid AppStream metadata that names that desktop entry, and an
# update configuration whose images lie beside it. The station's service:
# a unit that runs the installed program, that `systemd-analyze verify`
# passes and `systemd-analyze security` rates at most 2.0, and a message
# catalog that explains every journal entry the program sends.
#
# With PROBE_PLUGINS (the demo probe's plugin directory) it also starts the
# installed program, with an empty emulated device tree and Qt's offscreen
# platform, and checks that its welcome screen shows the version of the
# installed configuration, changed for the purpose: the installed program
# reads its resources from the installed tree. The installed station, which
# links no Qt, reads the same configuration: a broken installed image makes it
# end with exit code 78, naming that image.
#
#   check-install-tree.sh BUILD_DIR SOURCE_DIR EXPECTED_FILES [PROBE_PLUGINS]
set -eu

build=$(realpath "$1")
source=$(realpath "$2")
expected=$(realpath "$3")
probe=${4:-}

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qrb-install.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
root="$work/root"

DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    echo "FAIL: cmake --install failed"
    exit 1
}

# The files and their modes, against the list.
(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort |
    while read -r f; do echo "$f $(stat -c %a "$f")"; done) >"$work/actual"
grep -v '^#' "$expected" | awk '{ print $1, $2 }' | LC_ALL=C sort >"$work/expected"
if ! diff -u "$work/expected" "$work/actual" >"$work/diff"; then
    fail "installed files differ from the list (- expected, + installed):"
    cat "$work/diff"
fi

data="$root/usr/share/qrb-updater"
for f in QRB_Image.plist QRB_Firmware.sc QRB_RAM_Bootloader.sc; do
    cmp -s "$source/resources/$f" "$data/$f" || fail "share/qrb-updater/$f differs from resources/$f"
done
cmp -s "$source/packaging/70-qrb-updater.rules" "$root/usr/lib/udev/rules.d/70-qrb-updater.rules" ||
    fail "the installed udev rule differs from packaging/70-qrb-updater.rules"

# The configuration names its images by file name: they must lie beside it.
for image in $(sed -n 's|.*<string>\(.*\)</string>.*|\1|p' "$data/QRB_Image.plist"); do
    [ -f "$data/$image" ] || fail "QRB_Image.plist names $image, which is not installed beside it"
done

bin="$root/usr/bin/qrb-updater"
if [ -f "$bin" ]; then
    [ "$(head -c 4 "$bin" | od -An -c | tr -d ' ')" = '177ELF' ] || fail "bin/qrb-updater is not an ELF file"
    # An installed program must not look for libraries in the build tree.
    if readelf -d "$bin" | grep -E 'R(UN)?PATH' | grep -q "$build"; then
        fail "bin/qrb-updater keeps a search path into the build tree"
    fi
fi

desktop="$root/usr/share/applications/qrb-updater.desktop"
if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" >"$work/validate" 2>&1 || true
    if [ -s "$work/validate" ]; then
        fail "desktop-file-validate:"
        cat "$work/validate"
    fi
    exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$root/usr/bin/$exec_cmd" ] || fail "the desktop entry runs '$exec_cmd', which is not installed in bin/"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    found=$(find "$root/usr/share/icons/hicolor" -path "*/apps/$icon.*" 2>/dev/null)
    [ -n "$found" ] || fail "the desktop entry's icon '$icon' is not installed in the hicolor theme"
fi

# The metainfo with the desktop entry it names, as software centres read them
# (offline: the screenshot's address is not fetched).
if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate-tree --no-net "$root" >"$work/appstream" 2>&1 || {
        fail "appstreamcli validate-tree:"
        cat "$work/appstream"
    }
    grep -q '<launchable type="desktop-id">qrb-updater.desktop</launchable>' \
        "$root/usr/share/metainfo/"*.metainfo.xml 2>/dev/null ||
        fail "the metainfo does not name the desktop entry qrb-updater.desktop"
else
    fail "appstreamcli is not installed (scripts/install-deps.sh installs it)"
fi

icons="$root/usr/share/icons/hicolor"
[ ! -f "$icons/scalable/apps/qrb-updater.svg" ] || grep -q '<svg' "$icons/scalable/apps/qrb-updater.svg" ||
    fail "the scalable icon is not an SVG file"
png="$icons/128x128/apps/qrb-updater.png"
if [ -f "$png" ]; then
    # PNG signature, then the IHDR width and height: the theme directory says 128x128.
    [ "$(od -An -tx1 -j 16 -N 8 "$png" | tr -d ' \n')" = 0000008000000080 ] ||
        fail "the 128x128 icon is not a 128x128 PNG"
fi

# The installed program finds its resources beside it.
if [ -n "$probe" ] && [ -x "$bin" ]; then
    plist="$data/QRB_Image.plist"
    sed -e '/QRB_FW_Image_Version_Major/{n;s|<integer>[0-9]*</integer>|<integer>9</integer>|}' \
        -e '/QRB_FW_Image_Version_Minor/{n;s|<integer>[0-9]*</integer>|<integer>8</integer>|}' \
        -e '/QRB_FW_Image_Version_Revision/{n;s|<integer>[0-9]*</integer>|<integer>7</integer>|}' \
        "$plist" >"$work/plist" && cat "$work/plist" >"$plist"
    grep -q '<integer>9</integer>' "$plist" || fail "could not change the installed configuration's version"
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
        QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$probe" QT_QPA_GENERIC_PLUGINS=qrbdemoprobe \
        QRB_DEMO_PROBE_FD=1 timeout 30 umockdev-run -- "$bin" >"$work/screens" 2>"$work/program.log" &
    program=$!
    waited=0
    while [ ! -s "$work/screens" ] && [ "$waited" -lt 200 ] && kill -0 "$program" 2>/dev/null; do
        sleep 0.1
        waited=$((waited + 1))
    done
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    screen=$(head -n 1 "$work/screens")
    case $screen in
    *"firmware will be updated to version 9.8.7."*) ;;
    *)
        cat "$work/program.log"
        fail "the installed program did not show the installed configuration's version 9.8.7; it showed: ${screen:-nothing}"
        ;;
    esac
fi

flash="$root/usr/bin/qrb-flash"
if [ -x "$flash" ]; then
    if readelf -d "$flash" | grep -q 'NEEDED.*libQt'; then
        fail "bin/qrb-flash links Qt"
    fi
    "$flash" --version | grep -q '^qrb-flash [0-9]' || fail "qrb-flash --version does not name its version"
    printf 'broken' >"$data/QRB_Firmware.sc"
    status=0
    # umockdev-run preloads its library ahead of a sanitizer build's runtime.
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
        umockdev-run -- "$flash" --json >"$work/flash.out" 2>"$work/flash.err" || status=$?
    [ "$status" -eq 78 ] || fail "the installed qrb-flash with a broken installed image ended with $status, not 78"
    grep -q "$data/QRB_Firmware.sc" "$work/flash.err" ||
        fail "the installed qrb-flash did not name the installed image: $(cat "$work/flash.err")"
    [ ! -s "$work/flash.out" ] || fail "qrb-flash printed on standard output: $(cat "$work/flash.out")"
else
    fail "bin/qrb-flash is not installed"
fi

# The service, as systemd reads it. verify runs the unit's program and its
# manual page: here the installed ones, in a copy of the unit.
unit="$root/usr/lib/systemd/system/qrb-flash.service"
if [ -f "$unit" ]; then
    grep -qx 'ExecStart=/usr/bin/qrb-flash --watch $QRB_FLASH_ARGS' "$unit" ||
        fail "the unit does not start the installed program: $(grep ExecStart "$unit")"
    mkdir "$work/unit"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/unit/qrb-flash.service"
    MANPATH="$root/usr/share/man" systemd-analyze verify "$work/unit/qrb-flash.service" >"$work/verify" 2>&1 ||
        fail "systemd-analyze verify failed"
    if [ -s "$work/verify" ]; then
        fail "systemd-analyze verify:"
        cat "$work/verify"
    fi
    systemd-analyze security --offline=true "$unit" >"$work/security" 2>&1
    exposure=$(sed -n 's/.*Overall exposure level for qrb-flash.service: \([0-9.]*\).*/\1/p' "$work/security")
    if [ -z "$exposure" ] || awk -v e="$exposure" 'BEGIN { exit !(e > 2.0) }'; then
        cat "$work/security"
        fail "systemd-analyze security rates the unit ${exposure:-unknown}, above 2.0"
    fi
else
    fail "the service unit is not installed"
fi
# Every message id the station sends is in the installed catalog, which the
# journal reads.
journalctl --root="$root" --update-catalog >"$work/catalog.log" 2>&1 || {
    cat "$work/catalog.log"
    fail "journalctl --update-catalog refused the installed catalog"
}
journalctl --root="$root" --list-catalog >"$work/catalog" 2>&1
for id in $(sed -n 's/^ *return "\([0-9a-f]\{32\}\)";$/\1/p' "$source/station/JournalEntry.cpp"); do
    grep -q "^$id qrb-flash: " "$work/catalog" || fail "the catalog does not explain message id $id"
done
[ "$(grep -c ' qrb-flash: ' "$work/catalog")" -eq 4 ] || fail "the catalog has not the four results: $(cat "$work/catalog")"
# The completion loads into bash and completes qrb-flash.
bash -c ". '$root/usr/share/bash-completion/completions/qrb-flash' && complete -p qrb-flash" >/dev/null 2>&1 ||
    fail "the installed bash completion does not load"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "install tree: $(wc -l <"$work/actual") files in place${probe:+; the installed program reads the installed configuration}"
