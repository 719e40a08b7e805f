#!/usr/bin/env bash
# arm64-root.sh: what the aarch64 session runs on: the kernel handing arm64 programs to
# qemu-user, and an arm64 Debian root of the host's release (so that its libstdc++ and GoogleTest
# match the cross compiler's) with python3 and GoogleTest, made once with debootstrap in
# $KOVEL_CACHE/arm64-root. Needs root. A second run on a machine that has both does nothing.
set -euo pipefail
cache="${KOVEL_CACHE:-$HOME/.cache/kovel}"
arm="$cache/arm64-root"
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
include=python3,python3-venv,python3-dev,ca-certificates,libgtest-dev
stamp="debootstrap --arch=arm64 --variant=minbase --include=$include $suite"
die() { echo "arm64-root.sh: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "needs root (binfmt_misc, debootstrap)"

# The F flag opens the interpreter at registration, so that it runs inside the root as well.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/status" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
grep -qx enabled "$binfmt/qemu-aarch64" && grep -qE '^flags: .*F' "$binfmt/qemu-aarch64" ||
  die "the qemu-aarch64 binfmt handler is not enabled with the F flag"

[ "$(cat "$arm/.stamp" 2>/dev/null)" = "$stamp" ] && exit 0
! grep -qF " $arm" /proc/self/mounts || die "$arm has mounts in it"
rm -rf "$arm" && mkdir -p "$cache"
echo "arm64-root.sh: $stamp"
# debootstrap mounts /proc and /sys in the root: a mount namespace of its own takes them down.
unshare -m --propagation private debootstrap --arch=arm64 --variant=minbase \
  --include="$include" "$suite" "$arm" "${KOVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
  >"$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log"; die "debootstrap failed"; }
mkdir -p "$arm/kovel" "$arm/opt/gtest/include"
# GoogleTest's headers in a folder of their own, so that a cross build can take them without
# taking the root's C library headers before the cross compiler's.
ln -s ../../../usr/include/gtest "$arm/opt/gtest/include/gtest"
echo "$stamp" >"$arm/.stamp"
