#!/usr/bin/env bash
# aarch64.sh: the abi3 wheel and the C++ tests cross-built for 64-bit Arm Linux with
# Debian's g++-aarch64-linux-gnu, then run under qemu-user: the C++ tests through CTest,
# the wheel repaired to manylinux_2_17_aarch64 and installed into a venv of an arm64 Debian
# root's own python3, which runs the examples and the Python suite.
# A stage of test.sh: it takes that script's tools (build-test/tools) and sdist
# (build-test/dist), and writes its logs and a summary of its counts to build-test/aarch64.
# Its stages (aarch64-ctest, aarch64-examples, aarch64-pytest) go to test.sh's ledger
# (KOVEL_STAGES, see scripts/stages.sh), or run on its own to build-test/aarch64/stages.tsv.
# Needs root (binfmt_misc, debootstrap, mounts in a mount namespace of its own, chroot).
# KOVEL_ARM64_ROOT: where the arm64 root is kept (default /var/cache/kovel/arm64-root);
# debootstrap makes it once, and it is reused while it is whole and of the same release.
# KOVEL_EMULATED_AS_KB: the address-space limit (ulimit -v) of every emulated command.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
out="$root/build-test"
work="$out/aarch64"
tools="$out/tools"
arm="${KOVEL_ARM64_ROOT:-/var/cache/kovel/arm64-root}"
arm="${arm%/}"
# qemu-user ignores a program's own RLIMIT_AS (it needs the address space itself), so only
# a limit set from outside keeps a runaway allocation from taking the machine's memory.
limit_kb="${KOVEL_EMULATED_AS_KB:-4194304}"
plat=manylinux_2_17_aarch64
mirror="${KOVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
# The root is of the host's release, so that its libstdc++ and GoogleTest match the cross
# compiler's.
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
root_packages=python3,python3-venv,python3-dev,ca-certificates,libgtest-dev
stamp="debootstrap --arch=arm64 --variant=minbase --include=$root_packages $suite"
started=$SECONDS
section() { echo "-- $* (at ${SECONDS}s)"; }

[ "$(id -u)" -eq 0 ] || { echo "aarch64.sh: needs root (or set KOVEL_SKIP_AARCH64=1)" >&2; exit 1; }
sdist=$(ls "$out"/dist/kovel-*.tar.gz)
export PATH="$out/bin:$PATH"
mkdir -p "$work"
rm -f "$work/summary.log"
# shellcheck source=scripts/stages.sh
. scripts/stages.sh
[ -n "${KOVEL_STAGES:-}" ] || stages_init "$work/stages.tsv"

# The kernel hands arm64 programs to qemu-user. The F flag opens the interpreter at
# registration, so that it runs inside the root as well.
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/status" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
grep -qx enabled "$binfmt/qemu-aarch64" && grep -qE '^flags: .*F' "$binfmt/qemu-aarch64" || {
  echo "aarch64.sh: the qemu-aarch64 binfmt handler is not enabled with the F flag:" >&2
  cat "$binfmt/qemu-aarch64" >&2
  exit 1
}

# Runs a command in the arm64 root, under emulation and the address-space limit, with the
# repository at /kovel. The mounts live in a namespace of their own and end with it.
in_root() {
  local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
    LANG=C.UTF-8 PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1)
  local v
  for v in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL \
    PIP_DEFAULT_TIMEOUT; do
    [ -z "${!v:-}" ] || env+=("$v=${!v}")
  done
  (
    ulimit -v "$limit_kb"
    # pip in the root trusts what the host trusts (a proxy's authority included).
    exec unshare -m --propagation private env -i "${env[@]}" /bin/bash -c '
      set -e
      r=$1 repo=$2 ca=$3
      shift 3
      mount -t proc proc "$r/proc"
      mount -t tmpfs tmpfs "$r/dev/shm"
      mount -t tmpfs tmpfs "$r/tmp"
      mount --bind "$repo" "$r/kovel"
      mount --bind /etc/resolv.conf "$r/etc/resolv.conf"
      mount --bind "$ca" "$r/etc/ssl/certs/ca-certificates.crt"
      exec chroot "$r" "$@"' _ "$arm" "$root" \
      "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$@"
  )
}

root_is_whole() {
  [ "$(cat "$arm/.kovel-root" 2>/dev/null)" = "$stamp" ] &&
    [ "$(in_root /usr/bin/python3 -c 'import platform; print(platform.machine())' 2>/dev/null)" \
      = aarch64 ]
}

no_mounts_in() {  # a tree that something is still mounted in is not to be removed
  ! grep -qF " $1/" /proc/self/mounts || { echo "aarch64.sh: $1 has mounts in it" >&2; exit 1; }
}

section "arm64 root: $arm"
if root_is_whole; then
  echo "reusing it ($stamp)"
else
  if [ -e "$arm" ]; then
    [ -e "$arm/.kovel-root" ] || [ -z "$(ls -A "$arm")" ] || {
      echo "aarch64.sh: $arm is not a root made here; remove it or set KOVEL_ARM64_ROOT" >&2
      exit 1
    }
    no_mounts_in "$arm"
    rm -rf "$arm"
  fi
  no_mounts_in "$arm.new"
  rm -rf "$arm.new"
  mkdir -p "$(dirname "$arm")"
  echo "$stamp (from $mirror)"
  t=$SECONDS
  # debootstrap mounts /proc and /sys in the root: the namespace takes them down with it.
  (ulimit -v "$limit_kb" && unshare -m --propagation private \
    debootstrap --arch=arm64 --variant=minbase --include="$root_packages" "$suite" \
    "$arm.new" "$mirror") >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log"; exit 1; }
  mkdir -p "$arm.new/kovel"
  echo "$stamp" >"$arm.new/.kovel-root"
  mv "$arm.new" "$arm"
  root_is_whole || { echo "aarch64.sh: the new root does not run python3" >&2; exit 1; }
  echo "made in $((SECONDS - t))s ($(du -sh "$arm" | cut -f1))"
fi

section "the wheel, cross-built from $(basename "$sdist")"
# The Python headers are the root's own: the same for every architecture but pyconfig.h,
# which Debian keeps per architecture.
pyconfig=$(ls "$arm"/usr/include/aarch64-linux-gnu/python3.*/pyconfig.h)
pyver=$(basename "$(dirname "$pyconfig")")
rm -rf "$work/include" "$work/dist" "$work/wheelhouse"
mkdir -p "$work/include"
cp -r "$arm/usr/include/$pyver" "$work/include/"
cp "$pyconfig" "$work/include/$pyver/pyconfig.h"
# FindPython accepts only headers of the version of the interpreter that runs the build:
# the tools' Python when it is of the root's version, else a venv of the host's one.
builder="$tools/bin/python"
want=${pyver#python}
if [ "$("$builder" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$want" ]; then
  [ -x "$work/build-venv/bin/python" ] || {
    host_py=$(command -v "python$want") ||
      { echo "aarch64.sh: no python$want here to build against the root's headers" >&2; exit 1; }
    "$host_py" -m venv "$work/build-venv"
  }
  builder="$work/build-venv/bin/python"
fi
# _PYTHON_HOST_PLATFORM gives the wheel its linux_aarch64 tag.
_PYTHON_HOST_PLATFORM=linux-aarch64 CMAKE_BUILD_PARALLEL_LEVEL=2 \
  "$builder" -m pip wheel -v --no-deps -w "$work/dist" \
  -C cmake.toolchain-file="$root/cmake/aarch64-linux-gnu.cmake" \
  -C cmake.define.Python_INCLUDE_DIR="$work/include/$pyver" \
  -C cmake.define.KOVEL_WERROR=ON "$sdist" >"$work/wheel.log" 2>&1 ||
  { tail -n 40 "$work/wheel.log"; exit 1; }
raw=$(ls "$work"/dist/kovel-*-cp310-abi3-linux_aarch64.whl)
# An x86-64 auditwheel refuses --plat for another architecture; it picks the policy from
# the extension's symbols, and that policy must be the oldest one of aarch64.
"$tools/bin/auditwheel" repair -w "$work/wheelhouse" "$raw" 2>&1 | grep -v '^INFO'
wheel=$(ls "$work"/wheelhouse/kovel-*-cp310-abi3-*"$plat".whl)
"$tools/bin/auditwheel" show "$wheel" 2>&1 | grep -v '^INFO' | tee "$work/auditwheel.log"
tr '\n' ' ' <"$work/auditwheel.log" | grep -q "platform tag: \"$plat\"" ||
  { echo "the aarch64 wheel does not meet $plat" >&2; exit 1; }
"$tools/bin/twine" check --strict "$wheel"
echo "built $(basename "$wheel") ($(stat -c %s "$wheel") bytes)"

section "C++ core tests, cross-built, under qemu-user"
gtest="$arm/usr/lib/aarch64-linux-gnu"
mkdir -p "$work/gtest-include"
ln -sfn "$arm/usr/include/gtest" "$work/gtest-include/gtest"
cmake -S . -B "$work/core" -G Ninja --toolchain "$root/cmake/aarch64-linux-gnu.cmake" \
  -DKOVEL_AARCH64_ROOT="$arm" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVEL_TESTS=ON \
  -DKOVEL_WERROR=ON -DGTEST_INCLUDE_DIR="$work/gtest-include" \
  -DGTEST_LIBRARY="$gtest/libgtest.a" -DGTEST_MAIN_LIBRARY="$gtest/libgtest_main.a" >/dev/null
# The build runs the test program to discover its tests, so it is emulated too.
(ulimit -v "$limit_kb" && cmake --build "$work/core" -j2)
status=0
(ulimit -v "$limit_kb" && cd "$work/core" && ctest --output-on-failure -j2) \
  >"$work/ctest.log" 2>&1 || status=$?
stage_ctest aarch64-ctest "$work/ctest.log" "$status"
grep -E 'tests passed|\(Failed\)|\(Timeout\)' "$work/ctest.log"
ctest_total=$(grep -oE 'out of [0-9]+' "$work/ctest.log" | grep -oE '[0-9]+' | tail -n 1)
ctest_failed=$(grep -oE '[0-9]+ tests failed' "$work/ctest.log" | grep -oE '[0-9]+' || echo 0)
[ "$status" -eq 0 ] || { tail -n 40 "$work/ctest.log"; echo "ctest failed under qemu"; exit 1; }

section "the wheel in the root's $pyver: examples, then the Python suite"
venv=/kovel/build-test/aarch64/venv
if ! in_root "$venv/bin/python" -c '' 2>/dev/null; then
  rm -rf "$work/venv"
  in_root /usr/bin/python3 -m venv "$venv"
  in_root "$venv/bin/python" -m pip install -q --upgrade pip
fi
in_root "$venv/bin/python" -m pip install -q -r /kovel/tests/python/requirements.txt
in_root "$venv/bin/python" -m pip install -q --force-reinstall --no-deps \
  "/kovel/${wheel#"$root"/}"
in_root "$venv/bin/python" -c 'import platform, kovel; assert platform.machine() == "aarch64"'
ran=0
for example in examples/*.py; do
  in_root "$venv/bin/python" "/kovel/$example" >/dev/null
  ran=$((ran + 1))
done
stage_record aarch64-examples "$ran" 0 0 examples
status=0
in_root /bin/sh -c \
  "cd /kovel/tests/python && $venv/bin/python -m pytest -q -p no:cacheprovider -rfEs" 2>&1 |
  tee "$work/pytest.log" || status=$?
stage_pytest aarch64-pytest "$work/pytest.log" "$status"
pytest_passed=$(grep -oE '[0-9]+ passed' "$work/pytest.log" | tail -n 1 | grep -oE '[0-9]+' || true)
pytest_failed=$(grep -oE '[0-9]+ failed' "$work/pytest.log" | tail -n 1 | grep -oE '[0-9]+' || true)

passed=$((ctest_total - ctest_failed + ${pytest_passed:-0}))
failed=$((ctest_failed + ${pytest_failed:-0}))
echo "aarch64: $passed passed, $failed failed" | tee "$work/summary.log"
echo "aarch64 stage: $((SECONDS - started))s"
[ "$status" -eq 0 ] || { echo "pytest failed on aarch64"; exit 1; }
