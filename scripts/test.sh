#!/usr/bin/env bash
# test.sh: every check on a fresh Debian machine, as root: makes the machine ready
# (scripts/provision/), then runs every nox session, the report last (CONTRIBUTING.md lists them).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/provision/all.sh
rm -rf build-test/junit
exec "${KOVEL_CACHE:-$HOME/.cache/kovel}/nox/bin/nox"
