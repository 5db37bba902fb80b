#!/usr/bin/env bash
# Installs the Debian 12 packages Postwren needs to build, run and test.
# Only what is missing is installed; safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ccache pkg-config git python3
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  fonts-ipafont-gothic xdg-utils
  dovecot-pop3d
  xvfb xauth trayer openbox xdotool x11-utils x11-xserver-utils imagemagick
  fetchmail curl procps
  libssl-dev openssl
  xclip desktop-file-utils
  dbus dbus-daemon python3-dbus-next
  sway waybar grim xwayland qt6-wayland
  fonts-symbola
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# The dovecot package would start a system-wide server on port 110; our tests
# start their own, so keep the packaged one from starting.
if printf '%s\n' "${missing[@]}" | grep -q '^dovecot'; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
