#!/usr/bin/env bash
# deps.sh: installs the Debian packages the build and tests need, when they are missing.
set -euo pipefail

packages=(libgtest-dev unicode-data clang libclang-rt-14-dev ninja-build)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
