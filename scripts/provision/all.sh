#!/usr/bin/env bash
# all.sh: makes a Debian machine ready for every session, as root: the Debian packages, the
# CPythons, the arm64 root, and nox in $KOVEL_CACHE/nox. On a ready machine it changes nothing
# and needs no network. KOVEL_CACHE defaults to ~/.cache/kovel, as in the noxfile.
set -euo pipefail
here="$(dirname "${BASH_SOURCE[0]}")"
bash "$here/debian.sh"
bash "$here/pythons.sh"
bash "$here/arm64-root.sh"
nox="${KOVEL_CACHE:-$HOME/.cache/kovel}/nox"
[ -x "$nox/bin/nox" ] || { python3 -m venv "$nox" && "$nox/bin/pip" install -q nox==2026.10.20 uv==0.13.10; }
