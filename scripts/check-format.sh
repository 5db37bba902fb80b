#!/usr/bin/env bash
# Checks that every C++ file of the tree is formatted as the committed
# .clang-format says; lists the places that differ and fails otherwise.
#
#   check-format.sh          check
#   check-format.sh --fix    rewrite the files that differ
#
# The version is pinned: another major version of clang-format formats the
# same file differently. scripts/install-deps.sh installs it.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly clang_format=clang-format-14

mode=(--dry-run --Werror)
case ${1:-} in
"") ;;
--fix) mode=(-i) ;;
*)
    echo "usage: $0 [--fix]" >&2
    exit 2
    ;;
esac

if ! command -v "$clang_format" >/dev/null; then
    echo "check-format: $clang_format is missing; scripts/install-deps.sh installs it" >&2
    exit 1
fi

# The tracked files; outside a git checkout, every C++ file but the build trees'.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
else
    mapfile -d '' files < <(find . \( -path './build*' -o -path './.git' \) -prune -o \
        -type f \( -name '*.cpp' -o -name '*.h' \) -print0)
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "check-format: no C++ files found" >&2
    exit 1
fi

if ! "$clang_format" --style=file "${mode[@]}" "${files[@]}"; then
    echo "check-format: files differ from .clang-format; scripts/check-format.sh --fix rewrites them" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted as .clang-format says"
