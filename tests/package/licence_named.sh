#!/usr/bin/env bash
# The licence is named alike everywhere a reader or a tool looks for it:
# LICENSE is the GPL version 3 as the system ships it, the package's
# copyright file (machine-readable) names GPL-3.0+ for every file and holds
# its paragraph, the AppStream metadata says GPL-3.0-or-later.
#
#   licence_named.sh <source dir>
set -euo pipefail
readonly test_name=licence_named
# shellcheck source=../e2e/lib.sh
. "$(dirname "$0")/../e2e/lib.sh"

[ $# -eq 1 ] || { echo "usage: $0 <source dir>" >&2; exit 2; }
top=$1
cmp -s "$top/LICENSE" /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the text of /usr/share/common-licenses/GPL-3"
copyright=$top/packaging/copyright
[ "$(sed -n 1p "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    fail "packaging/copyright is not in the machine-readable format"
# The Files: * paragraph names the licence, and a stand-alone paragraph gives it.
files_licence=$(sed -n '/^Files: \*$/,/^$/s/^License: //p' "$copyright")
[ "$files_licence" = "GPL-3.0+" ] || fail "packaging/copyright gives Files: * the licence \"$files_licence\""
grep -qx 'License: GPL-3.0+' <(sed -n '/^Files:/,/^$/!p' "$copyright") ||
    fail "packaging/copyright has no paragraph for GPL-3.0+"
grep -q '/usr/share/common-licenses/GPL-3' "$copyright" || fail "packaging/copyright does not point at common-licenses"
metainfo=$top/app/io.github.postwren.Postwren.metainfo.xml
grep -qx '  <project_license>GPL-3.0-or-later</project_license>' "$metainfo" ||
    fail "the metadata names no project_license GPL-3.0-or-later"
echo "$test_name: LICENSE, packaging/copyright and the metadata name GPL-3.0-or-later"
