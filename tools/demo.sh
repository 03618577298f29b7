#!/usr/bin/env bash
# Shows QEBCoreService at work under Wine, from a fresh Debian 12 machine:
# installs what is missing, builds, registers the service with a Wine
# prefix's own Service Control Manager and narrates, in timestamped lines
# (UTC), what the SCM reports, what the service logs and what the container
# journals while the service starts, restarts a killed container, stops and
# starts again. Leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

# QEB_DEMO_BIN: use programs built elsewhere and skip installing and building.
BIN=${QEB_DEMO_BIN:-$ROOT/build/cross/bin}
DEMO=$ROOT/build/demo
export WINEPREFIX=$DEMO/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d"
unset DISPLAY

STAGE_WIN='C:\QEBCoreDemo'
STAGE=$WINEPREFIX/drive_c/QEBCoreDemo
LOG=$STAGE/logs/QEBCoreService.log
JOURNAL=$STAGE/QEBCoreContainer.journal
SCM_LOG=$DEMO/scm-states.txt
# What Wine makes of the service's Event Log reports: the session's standard
# error, with the channels that print them (docs/wine-notes.md).
SESSION_LOG=$DEMO/session-stderr.txt
OUT=$DEMO/driver-output.txt
DRIVER_LOG=$DEMO/driver-all.txt
STOP_FLAG=$DEMO/narration.stop

now() { date -u +%H:%M:%S.%3N; }
say() { printf '%s [demo]      %s\n' "$(now)" "$*"; }

# Wine's background processes inherit the standard streams of whatever
# starts them: every Wine command here writes to a file, never to a pipe.
svcctl() {
  local status=0
  wine "$BIN/qeb_svcctl.exe" "$@" </dev/null >"$OUT" 2>&1 || status=$?
  cat "$OUT" >>"$DRIVER_LOG"
  sed -E -e 's/\r$//' -e 's/^([0-9:.]+) /\1 [driver]    /' "$OUT"
  return $status
}

# Prints the lines the SCM watch, the service log and the container journal
# gain, merged in time order per pass, until the stop flag appears (one last
# pass after it).
narrate() {
  local -A shown=()
  local entry file tag total batch last=0
  while [ "$last" = 0 ]; do
    [ -e "$STOP_FLAG" ] && last=1
    batch=""
    for entry in "$SCM_LOG|[scm]      " "$LOG|[service]  " "$JOURNAL|[container]"; do
      file=${entry%%|*}
      tag=${entry#*|}
      [ -f "$file" ] || continue
      total=$(wc -l <"$file")
      if [ "$total" -gt "${shown[$file]:-0}" ]; then
        batch+=$(head -n "$total" "$file" | tail -n +"$((${shown[$file]:-0} + 1))" | tr -d '\r' |
          sed -E -e 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}[ T]([0-9:.]+)Z /\1 /' \
            -e 's/^([0-9:.]+) [0-9]+ [0-9]+ ([IWE]) /\1 \2 /' -e 's/^([0-9:.]+) scm /\1 /' \
            -e "s/^([0-9:.]+) /\\1 $tag /")$'\n'
        shown[$file]=$total
      fi
    done
    [ -n "$batch" ] && printf '%s' "$batch" | sort -s -k1,1
    [ "$last" = 1 ] || sleep 0.3
  done
}

# Waits until the service log holds `count` lines containing the text.
wait_for_log() {
  local text=$1 count=$2 timeout_s=$3 waited=0
  while [ "$(grep -c -F -- "$text" "$LOG" 2>/dev/null || true)" -lt "$count" ]; do
    sleep 0.2
    waited=$((waited + 1))
    if [ "$waited" -ge $((timeout_s * 5)) ]; then
      say "gave up waiting for \"$text\""
      return 1
    fi
  done
}

# Milliseconds since midnight of a HH:MM:SS.mmm text.
to_ms() { awk -F'[:.]' '{ print (($1 * 60 + $2) * 60 + $3) * 1000 + $4 }' <<<"$1"; }
log_time() { grep -F -- "$1" "$LOG" | sed -n "${2}p" | sed -E 's/^[0-9-]+ ([0-9:.]+)Z.*/\1/'; }

followers=()
cleanup() {
  set +e
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wine "$BIN/qeb_svcctl.exe" stop 10000 </dev/null >/dev/null 2>&1
    wine "$BIN/qeb_svcctl.exe" delete </dev/null >/dev/null 2>&1
    wine "$BIN/qeb_svcctl.exe" kill-containers </dev/null >/dev/null 2>&1
  fi
  touch "$STOP_FLAG"
  for pid in "${followers[@]}"; do wait "$pid" 2>/dev/null; done
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
}

if [ -z "${QEB_DEMO_BIN:-}" ]; then
  say "installing missing packages"
  tools/install-deps.sh
  say "building the service, the reference container and the SCM client for Windows (cmake --preset cross)"
  cmake --preset cross >/dev/null
  # Only what the demo runs; the tests and benchmarks are built by their own scripts.
  cmake --build --preset cross --target QEBCoreService QEBCoreContainer qeb_svcctl
fi

mkdir -p "$DEMO"
rm -f "$STOP_FLAG" "$SCM_LOG" "$DRIVER_LOG"
trap cleanup EXIT
say "starting a Wine session of our own in $WINEPREFIX (the first time also creates the prefix)"
wineserver -p </dev/null >/dev/null 2>&1 || true
WINEDEBUG=-all,fixme+advapi,+eventlog wine cmd.exe /c exit </dev/null >/dev/null 2>"$SESSION_LOG" || true
# Nothing of an earlier, interrupted demo may remain.
wine "$BIN/qeb_svcctl.exe" stop 10000 </dev/null >/dev/null 2>&1 || true
wine "$BIN/qeb_svcctl.exe" delete </dev/null >/dev/null 2>&1 || true
wine "$BIN/qeb_svcctl.exe" kill-containers </dev/null >/dev/null 2>&1 || true

say "staging the signed QEBCoreService.exe and QEBCoreContainer.exe in $STAGE_WIN"
rm -rf "$STAGE"
mkdir -p "$STAGE"
cp "$BIN/QEBCoreService.exe" "$BIN/QEBCoreContainer.exe" "$STAGE/"

say "registering the service \"QEBCoreService\" with the prefix's Service Control Manager"
svcctl install "$STAGE_WIN\\QEBCoreService.exe"

# The narration: SCM states, the service log, the container's journal.
wine "$BIN/qeb_svcctl.exe" watch </dev/null >"$SCM_LOG" 2>&1 &
narrate &
followers+=($!)
sleep 1

say "--- 1. starting the service"
svcctl start
wait_for_log "QEBCoreService.service_main finish" 1 10
sleep 1.5

say "--- 2. killing the container: the service restarts it after 2 s"
svcctl containers
svcctl kill-containers
wait_for_log "Restart ContainerProcess success" 1 20
sleep 1.5

say "--- 3. stopping the service: the container outlives the stop"
svcctl stop
wait_for_log "QEBCoreService.main end and exit." 1 10
sleep 1
svcctl containers

say "--- 4. starting again: the leftover container is cleared away first"
svcctl start
wait_for_log "QEBCoreService.service_main finish" 2 10
sleep 1.5
svcctl containers

say "--- 5. stopping and removing the service"
svcctl stop
wait_for_log "QEBCoreService.main end and exit." 2 10
svcctl kill-containers
svcctl delete
sleep 1.5

say "--- the events the service reported to the Application log (IDs in docs/events.md), as Wine recorded them"
svcctl events "Z:${SESSION_LOG//\//\\}"

say "--- figures from this run"
grep -F "RUNNING" "$DRIVER_LOG" | head -n 1 | sed -E 's/^[0-9:.]+ start: /start to running: /' | while read -r line; do say "$line"; done
exit_at=$(log_time "Container process exit." 1)
restart_at=$(log_time "Restart ContainerProcess success" 1)
if [ -n "$exit_at" ] && [ -n "$restart_at" ]; then
  say "restart: container exit noticed to running again: $(($(to_ms "$restart_at") - $(to_ms "$exit_at"))) ms (2000 ms of it the pause)"
fi
grep -F "STOPPED" "$DRIVER_LOG" | grep -F "after the request" | sed -E 's/^[0-9:.]+ stop: /stop: /' | while read -r line; do say "$line"; done
say "done; the service is deleted and the Wine session ends now"
