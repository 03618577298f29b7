#!/usr/bin/env bash
# Builds the benchmark programs for Windows (cross preset) and runs them under
# Wine, then rewrites the generated part of bench/RESULTS.md (between its two
# markers): the machine and every figure (min / median / max and the ratio to a
# floor measured in the same run). What is outside the markers was written by
# hand and is kept as it is.
#
#   tools/bench.sh [restarts] [launches]
#       restarts: default 500 (about 25 minutes on 2 shared cores); e.g. 50
#                 for a quick run
#       launches: also run that many launches with both cores kept busy
#                 (launch_bench --under-load; at least 2,000 to see the rare
#                 failed launch, about 30 minutes); default 0, not run
#       soak:     also run the compressed soak for that many restarts
#                 (soak_bench: 10,000 take about 30-40 minutes); default 0
#
# QEB_BENCH_BUILD_DIR=<dir> uses another build tree configured for the same
# toolchain (with its own Wine prefix) instead of build/cross.
# Do not run it beside ctest in the same build tree: both register the
# service "QEBCoreService" in the tree's Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

restarts="${1:-500}"
launches="${2:-0}"
soak="${3:-0}"
targets=(service_bench launch_bench log_bench soak_bench crash_bench)
if [[ -n "${QEB_BENCH_BUILD_DIR:-}" ]]; then
  build="$QEB_BENCH_BUILD_DIR"
  cmake --build "$build" -j2 --target "${targets[@]}"
else
  build=build/cross
  cmake --preset cross
  cmake --build --preset cross -j2 --target "${targets[@]}"
fi

out="$build/bench-output"
rm -rf "$out"
mkdir -p "$out"
# run <output name> <program> [arguments]
run() {
  local name="$1" program="$2"
  shift 2
  echo "running $name $*" >&2
  local begin=$SECONDS
  # Wine's background processes must not hold a pipe of ours: files only.
  "$build/wine-run.sh" "$build/bin/$program.exe" "$@" </dev/null >"$out/$name.md" 2>"$out/$name.err" ||
    echo "(exit status $? from $name)" >>"$out/$name.md"
  echo "$name took $((SECONDS - begin)) s" >&2
  echo "$((SECONDS - begin))" >"$out/$name.seconds"
}
run log_bench log_bench 10000 5
run launch_bench launch_bench 20
run crash_bench crash_bench 5
if [[ "$launches" -gt 0 ]]; then
  run launch_load launch_bench --under-load "$launches"
fi
run service_bench service_bench "$restarts" 10
if [[ "$soak" -gt 0 ]]; then
  # Its standard error is Wine's line for each crash of the container.
  run soak_bench soak_bench "$soak"
  : >"$out/soak_bench.err"
fi

generated="$out/RESULTS.generated.md"
{
  echo "Written by \`tools/bench.sh $restarts\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  echo "## Machine"
  echo
  echo "- CPUs (nproc): $(nproc)"
  echo "- CPU model: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
  echo "- Wine: $(WINEDEBUG=-all wine --version 2>/dev/null)"
  echo "- Kernel: $(uname -sr)"
  echo "- Build: $(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2), mingw-w64 $(x86_64-w64-mingw32-g++-posix -dumpversion)"
  echo "- Restarts in the restart figures: $restarts"
  echo
  echo "All times in milliseconds unless a row says otherwise. Each row: min / median / max over the"
  echo "repetitions (n), and the median divided by the median of the floor named in the row, measured"
  echo "in the same run."
  for name in log_bench launch_bench crash_bench launch_load service_bench soak_bench; do
    [[ -f "$out/$name.md" ]] || continue
    cat "$out/$name.md"
    if [[ -s "$out/$name.err" ]]; then
      echo
      echo "stderr of $name:"
      echo '```'
      cat "$out/$name.err"
      echo '```'
    fi
    echo
    echo "($name ran $(cat "$out/$name.seconds") s.)"
  done
} >"$generated"

# Only the lines between the markers are replaced; a file without them gets
# the generated part after its first line, and keeps all the rest.
begin_marker='<!-- tools/bench.sh: generated part begins -->'
end_marker='<!-- tools/bench.sh: generated part ends -->'
results=bench/RESULTS.md
[[ -f "$results" ]] || printf '# Benchmark results\n' >"$results"
if grep -qxF "$begin_marker" "$results" && grep -qxF "$end_marker" "$results"; then
  awk -v b="$begin_marker" -v e="$end_marker" -v g="$generated" '
    $0 == b { print; while ((getline line < g) > 0) print line; skip = 1; next }
    $0 == e { skip = 0 }
    !skip' "$results" >"$out/RESULTS.md"
else
  awk -v b="$begin_marker" -v e="$end_marker" -v g="$generated" '
    { print }
    NR == 1 { print ""; print b; while ((getline line < g) > 0) print line; print e }' "$results" >"$out/RESULTS.md"
fi
cp "$out/RESULTS.md" "$results"

if [[ -z "${QEB_BENCH_BUILD_DIR:-}" ]]; then
  WINEPREFIX="$PWD/$build/wineprefix" wineserver -k >/dev/null 2>&1 || true
fi
echo "wrote the generated part of bench/RESULTS.md" >&2
