#!/usr/bin/env bash
# pythons.sh: the CPythons of the sessions as python3.X in $KOVEL_CACHE/bin, where the noxfile
# looks first: pyenv's newest 3.10 to 3.13, and 3.14 and 3.15 from Debian unstable's packages,
# unpacked with their glibc, headers and docs into $KOVEL_CACHE/cpython (nothing installed).
set -euo pipefail
cache="${KOVEL_CACHE:-$HOME/.cache/kovel}" unpacked=(3.14 3.15)
root="$cache/cpython" bin="$cache/bin" apt="$cache/apt"
mkdir -p "$bin"
for v in 3.10 3.11 3.12 3.13; do
  found=$(pyenv latest "$v")  # fails when pyenv has none: pyenv install it
  ln -sfn "$(pyenv root)/versions/$found/bin/python$v" "$bin/python$v"
done
if [ ! -e "$root/.complete" ]; then
  rm -rf "$apt" "$root" && mkdir -p "$apt"/{lists/partial,archives/partial,parts} "$root"
  : >"$apt/status"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
    "${KOVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian} unstable main" >"$apt/sources"
  # apt with lists of its own and an empty status: it takes nothing as installed, so it fetches
  # the whole closure, which runs on unstable's glibc.
  opts=(-qq -o "Dir::State=$apt" -o "Dir::State::status=$apt/status" -o "Dir::Cache=$apt"
    -o "Dir::Etc::SourceList=$apt/sources" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::Etc::Preferences=$apt/none" -o "Dir::Etc::PreferencesParts=$apt/parts"
    -o "APT::Architectures=$(dpkg --print-architecture)" -o "APT::Sandbox::User=$(id -un)")
  packages=(python3-pip-whl)
  for v in "${unpacked[@]}"; do
    packages+=("python$v" "python$v-venv" "libpython$v-dev" "python$v-doc")
  done
  apt-get "${opts[@]}" --error-on=any update
  apt-get "${opts[@]}" -y --no-install-recommends --download-only install "${packages[@]}"
  for deb in "$apt"/archives/*.deb; do dpkg -x "$deb" "$root"; done
  lib="$root/usr/lib/$(gcc -dumpmachine)"
  for v in "${unpacked[@]}"; do
    # The tree's loader, and its libraries before the system's (an RPATH, so that the extension
    # modules find the tree's OpenSSL too). Two calls: one that did both wrote a broken binary.
    patchelf --set-interpreter "$(ls "$lib"/ld-linux-*.so.*)" "$root/usr/bin/python$v"
    patchelf --force-rpath --set-rpath "$lib" "$root/usr/bin/python$v"
    # venv's ensurepip takes the tree's pip wheel, not the host's older one.
    sed -i "s|'WHEEL_PKG_DIR': '/usr|'WHEEL_PKG_DIR': '$root/usr|" \
      "$root/usr/lib/python$v"/_sysconfigdata_*.py
    "$root/usr/bin/python$v" -c 'import ssl, sqlite3, ctypes, ensurepip'
  done
  rm -rf "$apt" && touch "$root/.complete"
fi
for v in "${unpacked[@]}"; do ln -sfn "$root/usr/bin/python$v" "$bin/python$v"; done
for v in 3.10 3.11 3.12 3.13 "${unpacked[@]}"; do echo "python$v: $("$bin/python$v" -VV)"; done
