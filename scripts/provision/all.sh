#!/usr/bin/env bash
# all.sh: readies a Debian machine for every session, as root: these Debian packages, the CPythons,
# the arm64 root and nox with uv in $KOVEL_CACHE/nox (~/.cache/kovel unless set). On a ready
# machine it changes nothing and needs no network.
set -euo pipefail
packages=(libgtest-dev googletest unicode-data clang libclang-rt-14-dev libc++-dev libc++abi-dev
  ninja-build patchelf qemu-user-static debootstrap g++-aarch64-linux-gnu)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "all.sh: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
bash "$(dirname "${BASH_SOURCE[0]}")/pythons.sh"
bash "$(dirname "${BASH_SOURCE[0]}")/arm64-root.sh"
nox="${KOVEL_CACHE:-$HOME/.cache/kovel}/nox"
if [ ! -x "$nox/bin/nox" ]; then
  python3 -m venv "$nox" && "$nox/bin/pip" install -q nox==2026.10.20 uv==0.13.10
fi
