#!/bin/sh
# Regenerates the sample images in resources/ with qrb-image, from
# deterministic pseudo-random payloads, and writes the update configuration
# that names them. Run from anywhere; builds qrb-image when QRB_IMAGE is not
# given.
#
#   scripts/make-sample-images.sh            # builds qrb-image in build/
#   QRB_IMAGE=path/to/qrb-image scripts/make-sample-images.sh
set -eu
cd "$(dirname "$0")/.."

if [ -z "${QRB_IMAGE:-}" ]; then
    BUILD=${BUILD:-build}
    cmake -S . -B "$BUILD" -G Ninja >/dev/null
    cmake --build "$BUILD" --target qrb-image >/dev/null
    QRB_IMAGE=$BUILD/tools/qrb-image
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# payload FILE SIZE SEED: SIZE bytes of a 32-bit xorshift sequence from SEED.
payload() {
    perl -e '
        my ($size, $x) = @ARGV;
        my $out = "";
        for (1 .. $size) {
            $x ^= ($x << 13) & 0xFFFFFFFF;
            $x ^= $x >> 17;
            $x ^= ($x << 5) & 0xFFFFFFFF;
            $out .= chr($x & 0xFF);
        }
        binmode STDOUT;
        print $out;
    ' "$2" "$3" >"$1"
}

# The RAM bootloader: 3 KiB and a 3-byte tail, so its last word is partly
# filled, at the address the updater jumps to.
payload "$work/ram.bin" 3075 20240601
"$QRB_IMAGE" create -o resources/QRB_RAM_Bootloader.sc 0x400000:"$work/ram.bin"

# The firmware: three records in flash, with unaligned starts and ends.
payload "$work/fw0.bin" 16386 1
payload "$work/fw1.bin" 12289 2
payload "$work/fw2.bin" 8190 3
"$QRB_IMAGE" create -o resources/QRB_Firmware.sc \
    0x0:"$work/fw0.bin" 0x8002:"$work/fw1.bin" 0x10001:"$work/fw2.bin"

cat >resources/QRB_Image.plist <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>QRB_FW_Image_Version_Major</key>
	<integer>1</integer>
	<key>QRB_FW_Image_Version_Minor</key>
	<integer>2</integer>
	<key>QRB_FW_Image_Version_Revision</key>
	<integer>3</integer>
	<key>QRB_FW_Image_File_Path</key>
	<string>QRB_Firmware.sc</string>
	<key>RAM_Bootloader_Path</key>
	<string>QRB_RAM_Bootloader.sc</string>
</dict>
</plist>
PLIST

"$QRB_IMAGE" info resources/QRB_RAM_Bootloader.sc
"$QRB_IMAGE" info resources/QRB_Firmware.sc
