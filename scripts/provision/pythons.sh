#!/usr/bin/env bash
# pythons.sh: one CPython of each version the sessions test, linked as python3.X into
# $KOVEL_CACHE/bin, where the noxfile looks first: pyenv's newest 3.10 to 3.13, and 3.14 and 3.15
# unpacked from Debian unstable's binary packages (with their own glibc, headers and docs) into
# $KOVEL_CACHE/cpython, installing nothing into the system. A second run needs no network.
set -euo pipefail
cache="${KOVEL_CACHE:-$HOME/.cache/kovel}"
mirror="${KOVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
root="$cache/cpython" bin="$cache/bin" unpacked=(3.14 3.15)
die() { echo "pythons.sh: $*" >&2; exit 1; }
mkdir -p "$bin"

for minor in 3.10 3.11 3.12 3.13; do
  v=$(pyenv versions --bare 2>/dev/null | grep -E "^${minor//./\\.}\.[0-9]+$" | sort -V | tail -n 1) ||
    die "pyenv has no CPython $minor: run 'pyenv install $minor'"
  ln -sfn "$(pyenv root)/versions/$v/bin/python$minor" "$bin/python$minor"
done

if [ ! -e "$root/.complete" ]; then
  arch=$(dpkg --print-architecture) triplet=$(gcc -dumpmachine)
  apt="$cache/apt"
  rm -rf "$apt" "$root" && mkdir -p "$apt"/{lists/partial,archives/partial,parts} "$root"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror unstable main" \
    >"$apt/sources.list"
  : >"$apt/status"
  # apt with its own lists and an empty status: it takes nothing as installed, so it downloads
  # the whole closure, which runs on unstable's glibc.
  opts=(-o "Dir::State=$apt" -o "Dir::State::status=$apt/status" -o "Dir::Cache=$apt"
    -o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::Etc::Preferences=$apt/none" -o "Dir::Etc::PreferencesParts=$apt/parts"
    -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o "APT::Sandbox::User=$(id -un)")
  packages=(python3-pip-whl)
  for v in "${unpacked[@]}"; do packages+=("python$v" "python$v-venv" "libpython$v-dev" "python$v-doc"); done
  apt-get "${opts[@]}" -qq --error-on=any update || die "cannot read unstable's package list"
  apt-get "${opts[@]}" -qq -y --no-install-recommends --download-only install "${packages[@]}" \
    >/dev/null || die "cannot download ${packages[*]}"
  for deb in "$apt"/archives/*.deb; do dpkg -x "$deb" "$root"; done
  lib="$root/usr/lib/$triplet" loader=$(basename "$(ls "$root"/usr/lib/"$triplet"/ld-linux-*.so.*)")
  for v in "${unpacked[@]}"; do
    # The tree's loader, and its libraries before the system's (an RPATH, so that the extension
    # modules find the tree's OpenSSL too). Two calls: one that did both wrote a broken binary.
    patchelf --set-interpreter "$lib/$loader" "$root/usr/bin/python$v"
    patchelf --force-rpath --set-rpath "$lib" "$root/usr/bin/python$v"
    # venv's ensurepip takes the tree's pip wheel, not the host's older one.
    sed -i "s|'WHEEL_PKG_DIR': '/usr/share|'WHEEL_PKG_DIR': '$root/usr/share|" \
      "$root/usr/lib/python$v"/_sysconfigdata_*.py
    "$root/usr/bin/python$v" -c 'import ssl, sqlite3, ctypes, ensurepip' || die "python$v does not run"
  done
  rm -rf "$apt" && touch "$root/.complete"
fi
for v in "${unpacked[@]}"; do ln -sfn "$root/usr/bin/python$v" "$bin/python$v"; done
for v in 3.10 3.11 3.12 3.13 "${unpacked[@]}"; do
  echo "python$v: $("$bin/python$v" -c 'import sys; print(sys.version.split()[0])')"
done
