#!/usr/bin/env bash
# Installs the Debian package with apt as a user would, in a throwaway root,
# and takes it away again:
#   - the metadata passes a software centre's checks on the package's files
#     (the desktop entry it launches is there);
#   - the programs run from /usr/bin, man finds both pages;
#   - `apt-get remove --purge` leaves none of the package's files or folders,
#     and dpkg no longer knows it.
# The throwaway root is the machine's own / seen through an overlay whose
# writable layer is a tmpfs in a private mount namespace: apt and dpkg find
# every dependency already installed (nothing is downloaded), and all they
# write vanishes with the namespace. Afterwards the test makes sure the real
# / did not change: a file written inside is not there, dpkg's database is
# as it was.
#
#   deb_install.sh <folder with postwren_*.deb>
# Exit status 77: this machine cannot make the throwaway root (not root, no
# overlay file system, no mount namespaces); the reason is printed.
set -euo pipefail

readonly test_name=package_install
# shellcheck source=../e2e/lib.sh
. "$(dirname "$0")/../e2e/lib.sh"

readonly skip_status=77
skip() {
    echo "$test_name: SKIPPED: $*" >&2
    exit $skip_status
}

# --- inside the private mount namespace ------------------------------------
if [ "${1:-}" = --inside ]; then
    scratch=$2
    deb=$3
    marker=$4
    # The writable layer and the merged view live in a tmpfs of this
    # namespace only (an overlay cannot write onto an overlay, and the
    # layers must not overlap the lower /).
    mount -t tmpfs -o mode=0755 postwren-install "$scratch"
    mkdir "$scratch/upper" "$scratch/work" "$scratch/root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root"
    root=$scratch/root
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    mount -t tmpfs -o mode=1777 tmp "$root/tmp"
    in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

    # The probe for the real /: if the overlay leaked, this file would be there.
    echo "written in the throwaway root" >"$root$marker"

    # The metadata as a software centre reads it from the installed files: the
    # desktop entry it launches and the icons are in the package.
    mkdir "$scratch/contents"
    dpkg-deb -x "$deb" "$scratch/contents"
    appstreamcli validate-tree --strict --no-net "$scratch/contents" >"$scratch/appstream.log" 2>&1 || {
        cat "$scratch/appstream.log" >&2
        fail "appstreamcli validate-tree fails on the package's files"
    }

    cp "$deb" "$root/tmp/"
    deb_in_root=/tmp/$(basename "$deb")
    # Paths of the package, and which of its folders are there before it.
    mapfile -t paths < <(dpkg-deb -c "$deb" | sed -E 's/^([^ ]+ +){5}\.//; s|/$||' | sed '/^$/d')
    [ ${#paths[@]} -gt 0 ] || fail "dpkg-deb -c lists nothing in $deb"
    declare -A before=()
    for path in "${paths[@]}"; do
        if [ -e "$root$path" ]; then before[$path]=1; fi
    done

    # A machine whose dpkg leaves out manual pages or documentation (minimal
    # images do) still installs this package's own.
    keep_docs=(-o "DPkg::Options::=--path-include=/usr/share/man/man1/postwren*"
        -o "DPkg::Options::=--path-include=/usr/share/doc/postwren/*")
    # No package sources: every dependency must already be installed, and
    # nothing can be fetched.
    mkdir "$root/tmp/no-sources"
    no_sources=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=/tmp/no-sources
        -o Dir::State::Lists=/tmp/no-sources)
    in_root apt-get install -y "${no_sources[@]}" "${keep_docs[@]}" "$deb_in_root" \
        >"$scratch/apt-install.log" 2>&1 || {
        cat "$scratch/apt-install.log" >&2
        fail "apt-get install $deb_in_root failed"
    }
    status=$(in_root dpkg-query -W -f='${db:Status-Status}' postwren) || fail "dpkg does not know postwren after the install"
    [ "$status" = installed ] || fail "postwren is \"$status\" after the install"

    version=$(in_root /usr/bin/postwren-check --version) || fail "/usr/bin/postwren-check --version failed"
    expected=$(dpkg-deb -f "$deb" Version)
    [ "$version" = "postwren-check $expected" ] || fail "postwren-check --version says \"$version\", the package is $expected"
    echo "$test_name: /usr/bin/postwren-check --version: $version"
    [ -x "$root/usr/bin/postwren" ] || fail "no /usr/bin/postwren"
    for page in postwren postwren-check; do
        found=$(in_root man -w "$page") || fail "man -w $page finds no page"
        [ "$found" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page finds $found"
        echo "$test_name: man -w $page: $found"
    done

    in_root apt-get remove --purge -y "${no_sources[@]}" postwren >"$scratch/apt-remove.log" 2>&1 || {
        cat "$scratch/apt-remove.log" >&2
        fail "apt-get remove --purge postwren failed"
    }
    if in_root dpkg-query -W postwren >/dev/null 2>&1; then
        fail "dpkg still knows postwren after the purge: $(in_root dpkg-query -W postwren)"
    fi
    left=()
    for path in "${paths[@]}"; do
        if [ -e "$root$path" ] || [ -L "$root$path" ]; then
            # Folders the machine had before (/usr/share/man/man1) stay.
            if [ ! -d "$root$path" ] || [ -z "${before[$path]:-}" ]; then left+=("$path"); fi
        fi
    done
    # Nor anything else by its name that the install made (dpkg's own
    # records of the package included); whiteouts of deleted files are not.
    while IFS= read -r -d '' path; do
        left+=("${path#"$scratch/upper"}")
    done < <(find "$scratch/upper" -name '*postwren*' ! -type c -print0)
    [ ${#left[@]} -eq 0 ] || fail "the purge left ${left[*]}"
    echo "$test_name: installed and purged ${#paths[@]} paths; nothing left"
    exit 0
fi

# --- outside -----------------------------------------------------------------
if [ $# -ne 1 ]; then
    echo "usage: $0 <folder with postwren_*.deb>" >&2
    exit 2
fi
shopt -s nullglob
debs=("$1"/postwren_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one postwren_*.deb in $1, found ${#debs[@]}"
deb=$(realpath "${debs[0]}")

[ "$(id -u)" -eq 0 ] || skip "the throwaway root needs root (mounts and chroot); run as root, as CI does"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || true
grep -qw overlay /proc/filesystems || skip "this kernel has no overlay file system"
for tool in unshare chroot apt-get dpkg-deb man appstreamcli; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done
unshare --mount --propagation private true 2>/dev/null || skip "cannot make a private mount namespace here"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/postwren-install.XXXXXX")
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
marker=/throwaway-root-probe.$$
[ ! -e "$marker" ] || fail "$marker is there before the test"
installed_before=$(dpkg-query -W -f='${db:Status-Status}' postwren 2>/dev/null || echo absent)

# A dependency installed meanwhile would change the root under the overlay:
# hold the lock that scripts/install-deps.sh takes while it installs.
exec 9>"${TMPDIR:-/tmp}/postwren-install-deps.lock"
flock 9
status_before=$(sha256sum /var/lib/dpkg/status)
result=0
unshare --mount --propagation private -- "$0" --inside "$scratch" "$deb" "$marker" || result=$?
status_after=$(sha256sum /var/lib/dpkg/status)
flock -u 9

[ ! -e "$marker" ] || {
    rm -f "$marker"
    fail "a file written in the throwaway root reached the real /"
}
[ "$status_before" = "$status_after" ] || fail "the real dpkg database changed during the test"
installed_after=$(dpkg-query -W -f='${db:Status-Status}' postwren 2>/dev/null || echo absent)
[ "$installed_before" = "$installed_after" ] ||
    fail "postwren on the real machine went from \"$installed_before\" to \"$installed_after\""
[ "$result" -eq 0 ] || exit "$result"
echo "$test_name: the real / is untouched; PASS"
