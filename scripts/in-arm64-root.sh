#!/usr/bin/env bash
# in-arm64-root.sh ROOT REPO CMD...: CMD in the arm64 root ROOT under qemu-user, REPO at /kovel,
# in a clean environment and a mount namespace that takes the mounts down with it.
set -euo pipefail
[ "$1" = --inside ] || exec unshare -m --propagation private "$0" --inside "$@"
r=$2 repo=$3 proxies=$(env | grep -i '^[a-z]*_proxy=' || true)
shift 3
mount -t proc proc "$r/proc" && mount -t tmpfs tmpfs "$r/dev/shm" && mount -t tmpfs tmpfs "$r/tmp"
mount --bind "$repo" "$r/kovel" && mount --bind /etc/resolv.conf "$r/etc/resolv.conf"
mount --bind /etc/ssl/certs/ca-certificates.crt "$r/etc/ssl/certs/ca-certificates.crt"
exec chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 $proxies \
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
