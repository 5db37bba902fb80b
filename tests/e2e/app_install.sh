#!/usr/bin/env bash
# Installs the build into a staging prefix and checks the desktop integration:
# the program, a valid desktop entry that starts it, its icon in every size the
# theme looks for, and the README's one-line command that enables autostart.
#
#   app_install.sh <build dir> <staging dir>
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 <build dir> <staging dir>" >&2
    exit 2
fi
build=$1
stage=$2
readonly test_name=app_install
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

rm -rf "$stage"
mkdir -p "$stage"
prefix=$stage/prefix
cmake --install "$build" --prefix "$prefix" >"$stage/install.log" || fail "cmake --install failed"

[ -x "$prefix/bin/postwren" ] || fail "no program at $prefix/bin/postwren"

entry=$prefix/share/applications/postwren.desktop
[ -f "$entry" ] || fail "no desktop entry"
desktop-file-validate "$entry" || fail "the desktop entry does not validate"
exec_line=$(sed -n 's/^Exec=//p' "$entry")
[ "$exec_line" = "postwren" ] || fail "the entry starts \"$exec_line\""
icon=$(sed -n 's/^Icon=//p' "$entry")
for size in 16 24 32 48 64 128 256; do
    png=$prefix/share/icons/hicolor/${size}x$size/apps/$icon.png
    [ -f "$png" ] || fail "no $size x $size icon named $icon"
    got=$(identify -format '%wx%h' "$png")
    [ "$got" = "${size}x$size" ] || fail "the $size x $size icon is $got"
done

# The README's command, with this prefix and a throwaway home.
export HOME=$stage/home
mkdir -p "$HOME"
install -Dm644 "$prefix/share/applications/postwren.desktop" ~/.config/autostart/postwren.desktop
desktop-file-validate "$HOME/.config/autostart/postwren.desktop" || fail "the autostart entry does not validate"

echo "app_install: PASS"
