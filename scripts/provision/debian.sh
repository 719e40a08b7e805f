#!/usr/bin/env bash
# debian.sh: the Debian packages the sessions need, installed (as root) when any is missing.
set -euo pipefail
packages=(libgtest-dev googletest unicode-data clang libclang-rt-14-dev libc++-dev libc++abi-dev
  ninja-build patchelf qemu-user-static debootstrap g++-aarch64-linux-gnu)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
[ "${#missing[@]}" -gt 0 ] || exit 0
[ "$(id -u)" -eq 0 ] || { echo "debian.sh: as root, apt-get install ${missing[*]}" >&2; exit 1; }
echo "debian.sh: installing ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
