#!/usr/bin/env bash
# Installs what is missing, builds everything for Windows and runs every test
# under Wine, then the native fuzz targets. Exit status is ctest's, or 1 when
# only the fuzz run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake --preset cross
cmake --build --preset cross
status=0
ctest --preset cross -j2 "$@" || status=$?
# Native fuzz targets under the sanitizers, 10 s each.
tests/fuzz/run-fuzz.sh 10 || { [ $status -ne 0 ] || status=1; }
# The build tree's Wine session ends with the tests.
WINEPREFIX="$PWD/build/cross/wineprefix" wineserver -k >/dev/null 2>&1 || true
exit $status
