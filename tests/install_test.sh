#!/bin/sh
# Installs a finished build into a scratch prefix and checks what a desktop needs from it: the
# program starts from there as its menu entry names it, both desktop entries are valid, the icons
# come in the hicolor sizes, the resources sit where the program looks; then uninstalls.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR
set -eu
source_dir=$1
build=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for file in bin/kestrin-ai share/applications/kestrin-ai.desktop share/kestrin-ai/kokoro_server.py \
    share/kestrin-ai/GAZETTEER-NOTICE share/kestrin-ai/kestrin-ai-autostart.desktop; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done
if [ -f /usr/share/xplanet/images/earth.jpg ]; then
    [ -f "$prefix/share/kestrin-ai/earth.jpg" ] || fail "the earth picture was not installed"
fi
desktop-file-validate "$prefix/share/applications/kestrin-ai.desktop" "$prefix/share/kestrin-ai/kestrin-ai-autostart.desktop" \
    || fail "invalid desktop entry"

# Each icon is a PNG of its folder's size.
for size in 16 32 64 128 256 512; do
    icon="$prefix/share/icons/hicolor/${size}x${size}/apps/kestrin-ai.png"
    python3 - "$icon" "$size" <<'PY' || fail "icon $size"
import struct, sys
data = open(sys.argv[1], "rb").read(24)
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
width, height = struct.unpack(">II", data[16:24])
assert (width, height) == (int(sys.argv[2]),) * 2, (width, height)
PY
done

# The menu entry's command, found on the PATH as a launcher would, runs the installed program.
exec_line=$(sed -n 's/^Exec=//p' "$prefix/share/applications/kestrin-ai.desktop")
icon_name=$(sed -n 's/^Icon=//p' "$prefix/share/applications/kestrin-ai.desktop")
[ "$icon_name" = kestrin-ai ] || fail "the entry names icon $icon_name"
PATH="$prefix/bin:$PATH" $exec_line --help >/dev/null || fail "$exec_line --help"

make -s -C "$source_dir" uninstall BUILD_DIR="$build" >/dev/null
left=$(find "$prefix" -type f)
[ -z "$left" ] || fail "left after uninstall: $left"
echo "PASS: installed, checked and uninstalled under $prefix"
