#!/usr/bin/env bash
# Unpacks the programs some tests need beside the machine's own without
# installing them: GNU awk, for the end-to-end run that takes it as "awk".
# Installing the gawk package would switch the machine's awk alternative to
# it; unpacked into .test-tools/ at the top of the checkout, it changes
# nothing outside. Its libraries come with scripts/install-deps.sh. Safe to
# run again.
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$(pwd)/.test-tools
if command -v gawk >/dev/null || [ -x "$tools/usr/bin/gawk" ]; then
  exit 0
fi
download=$(mktemp -d "${TMPDIR:-/tmp}/postwren-tools.XXXXXX")
trap 'rm -rf "$download"' EXIT
chmod 0755 "$download" # apt fetches as its own user
# apt-get download fetches into the current folder.
(cd "$download" && apt-get download -qq gawk)
mkdir -p "$tools"
dpkg-deb -x "$download"/gawk_*.deb "$tools"
"$tools/usr/bin/gawk" --version | sed -n 1p
