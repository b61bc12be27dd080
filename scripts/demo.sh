#!/usr/bin/env bash
# The main job: builds Uninstall.exe, makes a sandbox Wine prefix with the product installed,
# starts the local double of the maker's services, runs the uninstaller's two stages the way the
# product's own helper starts a silent uninstall, and shows the log and what is left.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

source scripts/lib/session.sh
prepare_build
start_display
trap stop_session EXIT

sandbox="$build/demo-prefix"
echo "== making the sandbox prefix $sandbox"
make_prefix "$sandbox"
export WINEPREFIX=$sandbox UNINSTALLER_BUILD_DIR=$build UNINSTALLER_SOURCE_DIR=$here

python3 "$here/scripts/lib/demo_run.py" "$sandbox"
