#!/usr/bin/env bash
# Builds the Debian package postwren_<version>_<arch>.deb: a Release build of
# the program and postwren-check with prefix /usr and Debian's hardening
# flags, then `cpack -G DEB`. Prints the path of the package on its last line.
#
#   scripts/package.sh [BUILD_DIR]      (default: build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
build=${1:-build-package}
case $build in /*) ;; *) build=$top/$build ;; esac

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

scripts/install-deps.sh
# Folders and files in the package get the modes Debian expects, whatever
# the caller's umask.
umask 022
export CCACHE_BASEDIR="$top" CCACHE_NOHASHDIR=true

# The versions the package states must agree: the project's, the changelog's
# newest entry and the newest release in the AppStream metadata.
project_version=$(sed -n 's/^project(Postwren VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -SVersion)
metainfo_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' app/io.github.postwren.Postwren.metainfo.xml |
    sed -n 1p)
[ -n "$project_version" ] || fail "cannot read the project's version from CMakeLists.txt"
[ "$changelog_version" = "$project_version" ] ||
    fail "packaging/changelog's newest entry is $changelog_version, the project is $project_version"
[ "$metainfo_version" = "$project_version" ] ||
    fail "the metadata's newest release is ${metainfo_version:-missing}, the project is $project_version"

# Debian's hardening flags; no debugging information, which the package
# strips anyway.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DPOSTWREN_TESTS=OFF -DPOSTWREN_BENCH=OFF -DPOSTWREN_INSTALL_AUTOSTART=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j"$(nproc)"

deb=$build/postwren_${project_version}_$(dpkg --print-architecture).deb
rm -f "$deb"
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || {
    cat "$build/cpack.log" >&2
    fail "cpack failed"
}
[ -f "$deb" ] || fail "cpack made no $deb (see $build/cpack.log)"
echo "$deb"
