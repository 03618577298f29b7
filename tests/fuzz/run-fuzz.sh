#!/usr/bin/env bash
# Builds the native fuzz targets and runs each for a bounded time.
#   tests/fuzz/run-fuzz.sh [seconds per target] [build dir]
#   tests/fuzz/run-fuzz.sh --build-only [build dir]
# CI runs 10 s per target; the longer run in docs/reliability.md uses 1800.
# QEB_FUZZ_JOBS targets run at a time (default 2, one per core). New inputs
# go to <build dir>/corpus/<target>; the checked-in seeds under
# tests/fuzz/corpus are only read. A crash leaves its input in <build dir>
# and makes the exit status non-zero.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build_only=0
if [ "${1:-}" = --build-only ]; then
  build_only=1
  shift
fi
seconds="${1:-20}"
build="${2:-$here/../../build/fuzz}"
[ "$build_only" -eq 0 ] || build="${1:-$here/../../build/fuzz}"
jobs="${QEB_FUZZ_JOBS:-2}"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null
[ "$build_only" -eq 0 ] || exit 0

# fuzz <target>: runs one target; its verdict goes to <build>/fuzz_<target>.verdict.
fuzz() {
  local target=$1 work="$build/corpus/$1" log="$build/fuzz_$1.log" dict=()
  mkdir -p "$work"
  case "$target" in work_status | pipe_framing) dict=(-dict="$here/pipe.dict") ;; esac
  if (cd "$build" && "./fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 "${dict[@]}" "$work" "$here/corpus/$target" >"$log" 2>&1); then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "fuzz_$target: ${runs:-?} inputs in ${seconds} s, no fault" >"$build/fuzz_$target.verdict"
  else
    echo "fuzz_$target: FAULT (see $log)" >"$build/fuzz_$target.verdict"
  fi
}

targets=(work_status pipe_framing log_line tst_info)
running=0
for target in "${targets[@]}"; do
  rm -f "$build/fuzz_$target.verdict"
  fuzz "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

status=0
for target in "${targets[@]}"; do
  verdict="$(cat "$build/fuzz_$target.verdict" 2>/dev/null || echo "fuzz_$target: FAULT (no verdict)")"
  echo "$verdict"
  case "$verdict" in
    *FAULT*)
      tail -40 "$build/fuzz_$target.log" 2>/dev/null || true
      status=1
      ;;
  esac
done
exit $status
