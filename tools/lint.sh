#!/usr/bin/env bash
# The rails every change passes before the tests: format, a second compiler,
# clang-tidy and cppcheck. Exit status is non-zero when any of them failed;
# every step runs, so one run shows all that is wrong.
#
# Analysed: the product (service, container, thread, common, libs, the
# package's helpers in installer) and the test tools (tools/container,
# tools/e2e-driver). clang-tidy reads the clang build's units, cppcheck the
# cross preset's compile database (tools/test.sh builds from that tree).
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=${QEB_LINT_JOBS:-2}
clang_tidy=${CLANG_TIDY:-clang-tidy-14}
status=0
step_begin=0
begin() { printf '\n== %s\n' "$1"; step_begin=$SECONDS; }
end() {  # <name> <exit status>
  if [ "$2" -eq 0 ]; then
    printf '== %s: passed (%d s)\n' "$1" $((SECONDS - step_begin))
  else
    printf '== %s: FAILED (%d s)\n' "$1" $((SECONDS - step_begin))
    status=1
  fi
}

mapfile -t sources < <(git ls-files -- \
  'service/*.cpp' 'container/*.cpp' 'thread/*.cpp' 'common/*.cpp' 'libs/*.cpp' \
  'tools/container/*.cpp' 'tools/e2e-driver/*.cpp' 'installer/*.cpp')

begin format
tools/check-format.sh
end format $?

begin "test names cited in the docs"
tools/check-test-names.py
end "test names cited in the docs" $?

begin "clang build (product and tools)"
{ cmake --preset clang >/dev/null && cmake --build --preset clang; }
end "clang build (product and tools)" $?

begin "compile database (cross preset)"
# cppcheck reads a copy of its own, so that a build of the cross tree running
# beside it (CI runs the tests at the same time) cannot change it under it.
# QEB_LINT_REUSE_DB=1 takes the cross tree as it is configured.
if [ "${QEB_LINT_REUSE_DB:-0}" != 1 ] || [ ! -f build/cross/compile_commands.json ]; then
  cmake --preset cross >/dev/null
fi
rc=$?
mkdir -p build/lint && cp build/cross/compile_commands.json build/lint/ || rc=1
end "compile database (cross preset)" $rc
[ $rc -eq 0 ] || exit 1

# The clang tree is a unity build: each unit parses the Windows and C++
# headers once for a whole target, where a run per source parsed them once
# per source and spent most of its time matching inside them. A finding still
# names the source file and line. The units #include the sources, which is
# the one thing bugprone-suspicious-include exists to flag.
units_text=$(tools/tidy-units.py build/clang/compile_commands.json "${sources[@]}")
units_rc=$?
mapfile -t units <<<"$units_text"
begin "clang-tidy (${#sources[@]} files in ${#units[@]} units, $jobs jobs)"
# Each unit's findings are printed together; the count of warnings clang
# suppressed in system headers is left out.
[ $units_rc -eq 0 ] && printf '%s\0' "${units[@]}" | xargs -0 -n 1 -P "$jobs" bash -c '
  out=$("$0" "$@" 2>&1); rc=$?
  printf "%s\n" "$out" | grep -v -E "^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$" | grep -v "^$" || true
  exit $((rc != 0))' "$clang_tidy" -p build/clang --quiet --checks=-bugprone-suspicious-include
end clang-tidy $?

begin cppcheck
cppcheck_dir=build/lint/cppcheck
mkdir -p "$cppcheck_dir"
filters=()
for d in service container thread common libs tools/container tools/e2e-driver installer; do
  filters+=("--file-filter=$d/*")
done
# Globally off, with the reason:
#   missingIncludeSystem  the Windows and C++ headers come from --library
#                         configurations, not from parsing the real headers;
#   useStlAlgorithm       a suggestion of style: a raw loop over a buffer is
#                         as clear here as an algorithm call.
cppcheck --project=build/lint/compile_commands.json "${filters[@]}" \
  --library=windows --platform=win64 --std=c++17 \
  --enable=warning,style,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem --suppress=useStlAlgorithm \
  --cppcheck-build-dir="$cppcheck_dir" -j "$jobs" --quiet --error-exitcode=1 \
  --template='{file}:{line}: {severity}: {message} [{id}]'
end cppcheck $?

exit $status
