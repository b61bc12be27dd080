#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test (unit tests under Wine, end-to-end tests
# against the real Uninstall.exe) inside one Xvfb session. Extra arguments go to ctest.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

source scripts/lib/session.sh
prepare_build
start_display
trap stop_session EXIT

# A settled prefix for this run; every end-to-end test works on its own copy of it.
template="$build/wineprefix-template"
make_prefix "$template"
unit_prefix="$build/wineprefix-unit"
rm -rf "$unit_prefix" && cp -a "$template" "$unit_prefix"
remember_prefix "$unit_prefix"

export WINEPREFIX=$unit_prefix UNINSTALLER_TEMPLATE_PREFIX=$template
cd "$build"
ctest --output-on-failure -j2 "$@"
