#!/usr/bin/env bash
# Installs the Debian 12 packages Postwren needs to build, run and test.
# Only what is missing is installed; safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ccache pkg-config git python3
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev libxcb1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  clang-format-14
  fonts-ipafont-gothic xdg-utils
  dovecot-pop3d
  xvfb xauth trayer openbox xdotool x11-utils x11-xserver-utils imagemagick
  fetchmail curl procps
  libsigsegv2 libmpfr6 libreadline8
  libssl-dev openssl
  xclip desktop-file-utils
  dbus dbus-daemon python3-dbus-next
  dunst
  dbus-bin gnome-keyring libsecret-tools
  sway waybar grim xwayland qt6-wayland
  fonts-symbola
  scdoc lintian appstream man-db dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# Two runs at once (two checkouts testing side by side) would trip over
# apt's and dpkg's locks: the second waits for the first here instead.
exec 9>"${TMPDIR:-/tmp}/postwren-install-deps.lock"
flock 9
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The dovecot package would start a system-wide server on port 110; our tests
# start their own, so keep the packaged one from starting while it installs.
# A policy the machine already has is moved aside meanwhile and put back
# afterwards, also when the install fails or is interrupted.
readonly policy=/usr/sbin/policy-rc.d
policy_saved="" # where the machine's own policy waits meanwhile
policy_ours=""  # set once ours may be in its place
restore_policy() {
  if [ -n "$policy_ours" ]; then
    $SUDO rm -f "$policy"
  fi
  if [ -n "$policy_saved" ]; then
    if [ -e "$policy" ] || [ -L "$policy" ]; then
      $SUDO rm -f "$policy_saved" # interrupted before it was moved
    else
      $SUDO mv -f "$policy_saved" "$policy"
    fi
  fi
}
wants_dovecot=""
for p in "${missing[@]}"; do
  case $p in dovecot*) wants_dovecot=1 ;; esac
done
if [ -n "$wants_dovecot" ]; then
  trap restore_policy EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  if [ -e "$policy" ] || [ -L "$policy" ]; then
    policy_saved=$($SUDO mktemp "$policy.saved.XXXXXX")
    $SUDO mv -f "$policy" "$policy_saved"
  fi
  policy_ours=1
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 0755 "$policy"
fi
$SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends "${missing[@]}"
