#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
# Usage: scripts/install-deps.sh [extra package...]
set -euo pipefail
# help2man makes the manual page, groff-base renders it for its test; ansible-core runs
# the Ansible role's tests. The libftdi1 driver is built against libftdi1's and libusb's
# headers (types only) and loads libftdi1-2 at run time. The bench's USB face is built on
# umockdev (its preload library is in umockdev) and tested through libftdi1 and libusb;
# udev's udevadm tests the udev rule.
packages=(build-essential cmake pkg-config libcli11-dev nlohmann-json3-dev libgtest-dev libgmock-dev
          libbenchmark-dev zlib1g-dev help2man groff-base ansible-core
          libftdi1-2 libftdi1-dev libusb-1.0-0-dev libumockdev-dev umockdev udev "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing Debian packages: ${missing[*]} (quiet, may take a few minutes)..."
$sudo apt-get update -qq
# ansible-core recommends all of Ansible's collections (about half a gigabyte); the role
# uses only the core's own modules.
lean=() full=()
for package in "${missing[@]}"; do
  if [ "$package" = ansible-core ]; then lean+=("$package"); else full+=("$package"); fi
done
install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null; }
[ ${#full[@]} -eq 0 ] || install "${full[@]}"
[ ${#lean[@]} -eq 0 ] || install --no-install-recommends "${lean[@]}"
