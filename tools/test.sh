#!/usr/bin/env bash
# Installs what is missing, builds everything for Windows and runs every test
# under Wine, then the native fuzz targets. Exit status is ctest's, or 1 when
# only the fuzz run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/step.sh

step install-deps tools/install-deps.sh
# A configured tree is not configured again: ninja re-runs CMake by itself
# when a CMakeLists.txt changed (CI has just configured it for lint.sh).
[ -f build/cross/build.ninja ] || step configure cmake --preset cross
step "cross build" cmake --build --preset cross
status=0
# The native fuzz targets build while ctest runs, which spends most of its
# time waiting on the services it drives.
mkdir -p build
tests/fuzz/run-fuzz.sh --build-only >build/fuzz-build.log 2>&1 &
fuzz_build=$!
# Every case has one run: a case that passes only on its second is a defect
# to find, not to retry.
set +e
begin=$SECONDS
# Three at a time on two cores: the five-failures case (first, by its cost)
# spends most of its 90 s in the 62 s pause, so two cases run beside it.
ctest --preset cross -j3 "$@" 2>&1 | tee build/ctest-output.log
status=${PIPESTATUS[0]}
step_report ctest "$begin" "$status"
set -e
# Native fuzz targets under the sanitizers, 10 s each, two at a time.
wait "$fuzz_build" || cat build/fuzz-build.log
step fuzz tests/fuzz/run-fuzz.sh 10 || { [ $status -ne 0 ] || status=1; }
# The build tree's Wine sessions end with the tests.
for prefix in build/cross/wineprefix build/cross/wineprefix-long; do
  WINEPREFIX="$PWD/$prefix" wineserver -k >/dev/null 2>&1 || true
done
exit $status
