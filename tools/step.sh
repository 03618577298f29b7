# Sourced by the CI scripts: `step <name> <command> [arguments]` runs the
# command and prints the time it took, so that a CI log shows where its
# minutes went; the line is also appended to $QEB_STEP_LOG when that is set,
# for the summary at the end of a CI run. Returns the command's exit status.
step_report() {  # <name> <start, in $SECONDS> <exit status>
  local line
  line=$(printf '==== step %s: %d s' "$1" $((SECONDS - $2)))
  [ "$3" -eq 0 ] || line="$line, exit $3"
  printf '%s\n' "$line"
  if [ -n "${QEB_STEP_LOG:-}" ]; then printf '%s\n' "$line" >>"$QEB_STEP_LOG"; fi
}
step() {
  local name=$1 begin=$SECONDS rc=0
  shift
  "$@" || rc=$?
  step_report "$name" "$begin" "$rc"
  return "$rc"
}
