#!/usr/bin/env bash
# arm64-root.sh: arm64 programs handed to qemu-user, and an arm64 Debian root in $KOVEL_CACHE of
# the host's release (its libstdc++ and GoogleTest match the cross compiler's). Needs root.
set -euo pipefail
arm="${KOVEL_CACHE:-$HOME/.cache/kovel}/arm64-root"
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
include=python3,python3-venv,python3-dev,ca-certificates,libgtest-dev
stamp="debootstrap --arch=arm64 --variant=minbase --include=$include $suite"
# The F flag opens the interpreter at registration, so that it runs inside the root as well.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/status" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
grep -qx enabled "$binfmt/qemu-aarch64" && grep -qE '^flags: .*F' "$binfmt/qemu-aarch64" ||
  { echo "arm64-root.sh: the qemu-aarch64 handler is not enabled with the F flag" >&2; exit 1; }
[ "$(cat "$arm/.stamp" 2>/dev/null)" != "$stamp" ] || exit 0
! grep -qF " $arm" /proc/self/mounts || { echo "arm64-root.sh: $arm has mounts in it" >&2; exit 1; }
rm -rf "$arm"
# debootstrap mounts /proc and /sys in the root: a mount namespace of its own takes them down.
unshare -m --propagation private debootstrap --arch=arm64 --variant=minbase --include="$include" \
  "$suite" "$arm" "${KOVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}" >"$arm.log" 2>&1 ||
  { tail -n 30 "$arm.log"; exit 1; }
# The repository's mount point, and GoogleTest's headers in a folder of their own, so that the
# cross build can take them without taking the root's C library headers first.
mkdir -p "$arm/kovel" "$arm/opt/gtest/include"
ln -s ../../../usr/include/gtest "$arm/opt/gtest/include/gtest"
echo "$stamp" >"$arm/.stamp"
