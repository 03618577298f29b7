#!/usr/bin/env bash
# Installs what is missing, builds everything for Windows and runs every test
# under Wine. Exit status is ctest's.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset cross
cmake --build --preset cross
status=0
ctest --preset cross -j2 "$@" || status=$?
# The build tree's Wine session ends with the tests.
WINEPREFIX="$PWD/build/cross/wineprefix" wineserver -k >/dev/null 2>&1 || true
exit $status
