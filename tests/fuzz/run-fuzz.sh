#!/usr/bin/env bash
# Builds the native fuzz targets and runs each for a bounded time.
#   tests/fuzz/run-fuzz.sh [seconds per target] [build dir]
# CI runs 20 s per target; the longer run in docs/reliability.md uses 1800.
# New inputs go to <build dir>/corpus/<target>; the checked-in seeds under
# tests/fuzz/corpus are only read. A crash leaves its input in <build dir>
# and makes the exit status non-zero.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
seconds="${1:-20}"
build="${2:-$here/../../build/fuzz}"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

status=0
for target in work_status pipe_framing log_line tst_info; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  dict=()
  case "$target" in work_status | pipe_framing) dict=(-dict="$here/pipe.dict") ;; esac
  log="$build/fuzz_$target.log"
  if (cd "$build" && "./fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 "${dict[@]}" "$work" "$here/corpus/$target" >"$log" 2>&1); then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz_$target: ${runs:-?} inputs in ${seconds} s, no fault"
  else
    echo "fuzz_$target: FAULT (see $log)"
    tail -40 "$log"
    status=1
  fi
done
exit $status
