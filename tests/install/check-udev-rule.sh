#!/bin/sh
# Checks the updater's udev rule with the real udev rule engine on emulated
# devices: it must load without a diagnostic, tag the ttys of QRB and WMX
# adapters for uaccess before 73-seat-late.rules acts on the tag, tell
# ModemManager to ignore them, set a 1 ms latency timer on the usb-serial
# ports of those that ftdi_sio drives, and leave every other device alone.
#
#   check-udev-rule.sh RULE_FILE DEVICE_DESCRIPTION
#
# `udevadm test` runs under umockdev, which emulates /sys from the
# description. It writes a device database under /run/udev and links under
# /dev, and reads its rules from fixed directories; so it runs in a mount
# namespace of its own, with /dev and /run on fresh tmpfs and the rule
# directories replaced by one holding this rule (and the system's
# 73-seat-late.rules, when there is one). That needs root; without it the test
# is skipped (status 77).
set -eu

rule=$(realpath "$1")
description=$(realpath "$2")
rule_name=$(basename "$rule")
seat_late=/usr/lib/udev/rules.d/73-seat-late.rules

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
failures=0

[ "$(id -u)" -eq 0 ] || skip "needs root for a private mount namespace"
for tool in udevadm umockdev-run unshare; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
unshare --mount --propagation private true 2>/dev/null || skip "cannot create a mount namespace here"

work=$(mktemp -d "${TMPDIR:-/tmp}/qrb-udev-rule.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Runs `udevadm test` for each sysfs path in "$@" with the rules in
# $work/rules; the output for the Nth path goes to $work/out.N.
run_udev_tests() {
    unshare --mount --propagation private sh -eu -s "$work" "$description" "$@" <<'NAMESPACE'
work=$1
description=$2
shift 2
mkdir -p "$work/realdev" "$work/empty"
mount --rbind /dev "$work/realdev"
mount -t tmpfs tmpfs /dev
for node in null zero full random urandom tty; do
    touch "/dev/$node"
    mount --bind "$work/realdev/$node" "/dev/$node"
done
mkdir /dev/pts /dev/shm
mount --bind "$work/realdev/pts" /dev/pts
ln -s pts/ptmx /dev/ptmx
mount -t tmpfs tmpfs /run
for dir in /usr/lib/udev/rules.d /lib/udev/rules.d /etc/udev/rules.d; do
    [ -d "$dir" ] || continue
    if [ "$dir" = /etc/udev/rules.d ]; then
        mount --bind "$work/empty" "$dir"
    else
        mount --bind "$work/rules" "$dir"
    fi
done
n=0
for syspath in "$@"; do
    n=$((n + 1))
    timeout 60 umockdev-run -d "$description" -- \
        env SYSTEMD_LOG_LEVEL=debug udevadm test --action=add "$syspath" >"$work/out.$n" 2>&1 || echo "udevadm test $syspath: status $?" >>"$work/out.$n"
done
NAMESPACE
}

# Diagnostics that udev gave about a rule file: lines "PATH:LINE message".
diagnostics() {
    grep -E "^(/usr)?/lib/udev/rules\.d/$1:[0-9]+ " "$2" || true
}

# The rule engine must report a broken rule in this form, or a clean run below
# would prove nothing.
mkdir -p "$work/rules"
{
    cat "$rule"
    echo 'SUBSYSTEM="tty", ATTRS{serial}=="QRB*", TAG+="uaccess"'
} >"$work/rules/$rule_name"
run_udev_tests /sys/class/tty/ttyUSB0
if [ -z "$(diagnostics "$rule_name" "$work/out.1")" ]; then
    cat "$work/out.1"
    fail "udevadm did not report a deliberately broken line: its diagnostics cannot be checked"
fi

cp "$rule" "$work/rules/$rule_name"
[ -f "$seat_late" ] && cp "$seat_late" "$work/rules/"

# 1: QRB adapter, 2: WMX adapter, 3: another adapter's tty, 4: an on-board
# UART, 5: the QRB adapter's USB device itself (not a tty); the usb-serial
# ports of 6: the QRB adapter, 7: the WMX adapter, 8: the other adapter,
# 9: a QRB adapter of another driver (cp210x).
usb=/sys/devices/pci0000:00/0000:00:14.0/usb1
run_udev_tests /sys/class/tty/ttyUSB0 /sys/class/tty/ttyUSB1 /sys/class/tty/ttyUSB2 \
    /sys/class/tty/ttyS0 $usb/1-2 $usb/1-2/1-2:1.0/ttyUSB0 $usb/1-3/1-3:1.0/ttyUSB1 \
    $usb/1-4/1-4:1.0/ttyUSB2 $usb/1-5/1-5:1.0/ttyUSB3

problems=$(diagnostics "$rule_name" "$work/out.1")
if [ -n "$problems" ]; then
    fail "udev reported problems in $rule_name:"
    echo "$problems"
fi

has_tag() { grep -Eq "^TAGS=.*:uaccess:" "$1"; }
ignored_by_mm() { grep -q "^ID_MM_DEVICE_IGNORE=1$" "$1"; }

for n in 1 2; do
    out="$work/out.$n"
    case $n in 1) what="QRB00042 on ttyUSB0" ;; 2) what="WMX00007 on ttyUSB1" ;; esac
    grep -q "^DEVPATH=" "$out" || { cat "$out"; fail "$what: udevadm test did not run"; continue; }
    has_tag "$out" || fail "$what: no uaccess tag"
    ignored_by_mm "$out" || fail "$what: ID_MM_DEVICE_IGNORE is not 1"
    if [ -f "$seat_late" ]; then
        grep -q "^run: 'uaccess'" "$out" ||
            fail "$what: 73-seat-late.rules did not act on the tag (does $rule_name sort before it?)"
    fi
done

for n in 3 4 5; do
    out="$work/out.$n"
    case $n in
    3) what="another adapter (AB0QRB12) on ttyUSB2" ;;
    4) what="the on-board UART ttyS0" ;;
    5) what="the QRB adapter's USB device" ;;
    esac
    grep -q "^DEVPATH=" "$out" || { cat "$out"; fail "$what: udevadm test did not run"; continue; }
    has_tag "$out" && fail "$what: tagged for uaccess"
    ignored_by_mm "$out" && fail "$what: hidden from ModemManager"
done

# The latency timer of ftdi_sio: 1 ms on the usb-serial ports of QRB and WMX
# adapters that this driver runs, and nowhere else.
sets_latency() { grep -q "ATTR '[^']*/latency_timer' writing '1'" "$1"; }
for n in 6 7; do
    out="$work/out.$n"
    grep -q "^DEVPATH=" "$out" || { cat "$out"; fail "usb-serial port $n: udevadm test did not run"; continue; }
    sets_latency "$out" || fail "usb-serial port $n of a QRB/WMX ftdi_sio adapter: latency_timer not set to 1"
done
for n in 1 2 3 4 5 8 9; do
    sets_latency "$work/out.$n" && fail "device $n: latency_timer set on a device that is no QRB/WMX ftdi_sio port"
done

# udev applies rules in the order of their file names.
first=$(printf '%s\n' "$rule_name" 73-seat-late.rules | LC_ALL=C sort | head -n 1)
[ "$first" = "$rule_name" ] || fail "$rule_name does not sort before 73-seat-late.rules"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "udev rule $rule_name: loads cleanly, matches QRB and WMX adapters only, sets the latency timer of their ftdi_sio ports"
