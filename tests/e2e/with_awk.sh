#!/usr/bin/env bash
# Runs a command with the given awk implementation first on PATH, as on a
# machine whose "awk" alternative points at it. The machine's own
# alternatives are left alone.
#
#   with_awk.sh gawk|mawk|original-awk COMMAND [ARG]...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 AWK COMMAND [ARG]..." >&2; exit 2; }
impl=$1
shift
# Installed, or unpacked beside the checkout by scripts/fetch-test-tools.sh.
tools=$(cd "$(dirname "$0")/../.." && pwd)/.test-tools
real=$(command -v "$impl") || real=$tools/usr/bin/$impl
[ -x "$real" ] || { echo "with_awk: no $impl (scripts/fetch-test-tools.sh unpacks gawk)" >&2; exit 1; }
shim=$(mktemp -d "${TMPDIR:-/tmp}/postwren-awk.XXXXXX")
trap 'rm -rf "$shim"' EXIT
ln -s "$real" "$shim/awk"
export PATH="$shim:$PATH"
# The run must really use it, or it proves nothing.
[ "$(command -v awk)" = "$shim/awk" ] || { echo "with_awk: the shim is not first on PATH" >&2; exit 1; }
"$@"
