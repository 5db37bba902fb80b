#!/usr/bin/env bash
# Installs the build into a staging prefix and checks what the README
# promises: the program and postwren-check, stripped; a valid desktop entry
# that starts the program; its icon in every size the theme looks for; the
# README as the project's page; the README's one-line command that enables
# autostart for one user; the autostart entry for every user in
# /etc/xdg/autostart whatever the prefix; and the uninstall target taking it
# all away again.
#
#   app_install.sh <source dir> <build dir> <staging dir>
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 <source dir> <build dir> <staging dir>" >&2
    exit 2
fi
source_dir=$1
build=$2
stage=$3
readonly test_name=app_install
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

# The build's own manifests (a real install's) are put back afterwards.
saved_manifests=$stage.manifests
rm -rf "$saved_manifests"
mkdir -p "$saved_manifests"
find "$build" -maxdepth 1 -name 'install_manifest*.txt' -exec mv {} "$saved_manifests" \;
restore_manifests() {
    rm -f "$build"/install_manifest*.txt
    find "$saved_manifests" -name 'install_manifest*.txt' -exec mv {} "$build" \;
    rm -rf "$saved_manifests"
}
trap restore_manifests EXIT

rm -rf "$stage"
mkdir -p "$stage"
prefix=$stage/prefix
cmake --install "$build" --prefix "$prefix" --strip >"$stage/install.log" || fail "cmake --install --strip failed"

# Stripped: no symbol table, no debugging sections.
for program in postwren postwren-check; do
    [ -x "$prefix/bin/$program" ] || fail "no program at $prefix/bin/$program"
    if readelf -S "$prefix/bin/$program" | grep -E '\.(symtab|debug_info)' >/dev/null; then
        fail "$program is not stripped"
    fi
done
# The keyring's client, which postwren-check loads only when it needs it.
module=$(find "$prefix" -name postwren-keyring.so)
[ -n "$module" ] || fail "no keyring module under $prefix"
if readelf -S "$module" | grep -E '\.(symtab|debug_info)' >/dev/null; then
    fail "the keyring module is not stripped"
fi
echo "app_install: postwren $(stat -c %s "$prefix/bin/postwren") bytes," \
    "postwren-check $(stat -c %s "$prefix/bin/postwren-check") bytes (stripped)"
version=$("$prefix/bin/postwren-check" --version) || fail "the installed postwren-check --version failed"
[[ "$version" == "postwren-check "* ]] || fail "postwren-check --version says \"$version\""

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

# The page the settings dialog's link opens.
readme=$prefix/share/doc/postwren/README.md
[ -f "$readme" ] && [ ! -L "$readme" ] || fail "no README at $readme"
cmp -s "$readme" "$source_dir/README.md" || fail "the installed README is not the project's"

# No autostart for every user unless asked for.
[ ! -e "$prefix/etc/xdg/autostart/postwren.desktop" ] || fail "an autostart entry under the prefix"

# The README's command, with this prefix and a throwaway home.
export HOME=$stage/home
mkdir -p "$HOME"
install -Dm644 "$prefix/share/applications/postwren.desktop" ~/.config/autostart/postwren.desktop
desktop-file-validate "$HOME/.config/autostart/postwren.desktop" || fail "the autostart entry does not validate"

# Autostart for every user goes where desktops look, whatever the prefix.
DESTDIR=$stage/root cmake --install "$build" --prefix /opt/postwren --component autostart >>"$stage/install.log" ||
    fail "installing the autostart component failed"
autostart=$stage/root/etc/xdg/autostart/postwren.desktop
[ -f "$autostart" ] || fail "no autostart entry in /etc/xdg/autostart (got: $(cd "$stage/root" && find . -type f))"
desktop-file-validate "$autostart" || fail "the system autostart entry does not validate"

# The uninstall target takes back what was installed from this build.
rm -f "$build/install_manifest.txt"
DESTDIR=$stage/root cmake --build "$build" --target uninstall >"$stage/uninstall.log" || fail "uninstall failed"
[ ! -e "$autostart" ] || fail "uninstall left $autostart"
cmake --install "$build" --prefix "$prefix" >>"$stage/install.log" || fail "the second install failed"
cmake --build "$build" --target uninstall >>"$stage/uninstall.log" || fail "uninstall failed"
left=$(find "$prefix" -type f)
[ -z "$left" ] || fail "uninstall left files: $left"
[ ! -e "$prefix/share/doc/postwren" ] || fail "uninstall left the documentation folder"

echo "app_install: PASS"
