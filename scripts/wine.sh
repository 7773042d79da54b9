# shellcheck shell=bash
# The Wine set-up shared by the scripts that run the Windows programs; sourced after lib.sh, never run.
# The tests run in the prefix out/windows/wineprefix; use_wine_prefix picks another. A prefix is made
# on its first use.

export WINEDEBUG=-all
# No Mono or Gecko: their installer dialogs would wait for a person.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -x /usr/lib/wine/wine64 ]; then LAUNCHER_WINE=/usr/lib/wine/wine64; else LAUNCHER_WINE=$(command -v wine || echo wine); fi
export LAUNCHER_WINE
wineserver_started=0

use_wine_prefix() {
  export WINEPREFIX=$1
}
use_wine_prefix "$LAUNCHER_ROOT/out/windows/wineprefix"

stop_wineserver() {
  if [ $wineserver_started -eq 1 ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver_started=0
  fi
}

# Makes the prefix when it is not made yet (wineboot; its log stays in the prefix).
prepare_wine_prefix() {
  mkdir -p "$WINEPREFIX"
  [ -f "$WINEPREFIX/.initialized" ] && return 0
  say "creating the Wine prefix ${WINEPREFIX#"$LAUNCHER_ROOT"/}"
  "$LAUNCHER_WINE" wineboot --init >"$WINEPREFIX/wineboot.log" 2>&1 ||
    { tail -n 20 "$WINEPREFIX/wineboot.log"; return 1; }
  touch "$WINEPREFIX/.initialized"
}

# For the tests: no display, and one wineserver for the whole run (stop_wineserver ends it). One that
# already serves the prefix (another run's) is used as it is and left running.
start_wine() {
  unset DISPLAY WAYLAND_DISPLAY
  mkdir -p "$WINEPREFIX"
  if wineserver -p 2>/dev/null; then
    wineserver_started=1
  else
    say "a wineserver already serves ${WINEPREFIX#"$LAUNCHER_ROOT"/}; using it"
  fi
  prepare_wine_prefix
}

# name_frames EXE: copies a winedbg backtrace from stdin to stdout, with each frame inside EXE (which
# winedbg shows only as an address) followed by its function and source line, inlined callers included.
name_frames() {
  local exe=$1 module text line address key
  module=$(basename "$exe" .exe)
  text=$(cat)
  local pattern="(0x[0-9a-f]+) in $module \\("
  local -A names=() seen=()
  local addresses=()
  while IFS= read -r line; do
    if [[ $line =~ $pattern ]] && [ -z "${seen[${BASH_REMATCH[1]}]:-}" ]; then
      seen[${BASH_REMATCH[1]}]=1
      addresses+=("${BASH_REMATCH[1]}")
    fi
  done <<<"$text"
  if [ ${#addresses[@]} -gt 0 ] && command -v x86_64-w64-mingw32-addr2line >/dev/null; then
    # With -a each address comes first on its own line, then its function and the functions it is
    # inlined into; unknown functions (libraries without debug information) are left out.
    while IFS= read -r line; do
      if [[ $line =~ ^(0x[0-9a-f]+):\ (.*)$ ]]; then
        key=$(printf '%x' "${BASH_REMATCH[1]}")
        line=${BASH_REMATCH[2]}
      fi
      [[ $line == '??'* ]] && continue
      names[$key]+="      = ${line# }"$'\n'
    done < <(x86_64-w64-mingw32-addr2line -a -f -C -p -i -e "$exe" "${addresses[@]}" 2>/dev/null)
  fi
  while IFS= read -r line; do
    printf '%s\n' "$line"
    if [[ $line =~ $pattern ]]; then
      key=$(printf '%x' "${BASH_REMATCH[1]}")
      printf '%s' "${names[$key]:-}"
    fi
  done <<<"$text"
}

# wine_backtrace WINPID EXE: `winedbg --command "bt all"` of the Windows process WINPID (decimal), its
# threads only (bt all goes through every process of the prefix), with the frames in EXE named.
wine_backtrace() {
  local pid=$1 exe=$2
  say "winedbg --command \"bt all\" of process $pid ($(basename "$exe"))"
  (cd "$(dirname "$exe")" && timeout -k 5 120 winedbg --command "bt all" "$(printf '0x%x' "$pid")" 2>&1) |
    awk -v want="$(printf '%x' "$pid")" '
      /^Backtracing for thread / {
        p = $0; sub(/.* in process 0*/, "", p); sub(/ .*/, "", p); keep = (p == want)
      }
      keep' |
    name_frames "$exe" || true
}

# The Windows id (decimal) of the running EXE, from winedbg's process list; empty when it is not found.
wine_process_id() {
  local name hex
  name=$(basename "$1")
  hex=$(timeout -k 5 60 winedbg --command "info proc" 2>/dev/null | grep -F "'$name'" | head -n 1 |
          grep -oE '[0-9a-f]{8}' | head -n 1 || true)
  [ -n "$hex" ] && echo $((16#$hex))
}

# run_windows_tests [ARG...]: runs the Windows test binary under Wine from its folder (the helper
# programs are the .exe files beside it), with the arguments passed on. Without arguments the tests are
# split into LAUNCHER_WINE_SHARDS shares (default half of launcher_jobs) that run side by side, each shown when it ends;
# with arguments, one run shown as it comes. A wineserver must be running (start_wine). The binary ends
# a test that runs past its time limit (LAUNCHER_TEST_TIMEOUT seconds) by itself, after naming it;
# before it ends, this prints a backtrace of all its threads. A run that writes nothing for longer than
# the limit plus a minute (LAUNCHER_TEST_SILENCE seconds; its own watch is stuck too), or that runs past
# LAUNCHER_STEP_TIMEOUT seconds in all, gets the last "[ RUN" line and the backtrace printed and is
# ended. Returns the first failed share's exit code (124 for a test that ran out of time).
run_windows_tests() {
  local exe=$LAUNCHER_ROOT/out/windows/tests/launcher_tests.exe
  [ -f "$exe" ] || { say "$exe was not built"; return 1; }
  local dir limit silence total rc=0 start=$SECONDS shards i
  dir=$(dirname "$exe")
  limit=${LAUNCHER_TEST_TIMEOUT:-240}
  [ "$limit" -gt 0 ] 2>/dev/null || limit=240
  silence=${LAUNCHER_TEST_SILENCE:-$((limit + 60))}
  total=${LAUNCHER_STEP_TIMEOUT:-0}
  shards=1
  if [ $# -eq 0 ]; then shards=${LAUNCHER_WINE_SHARDS:-$(($(launcher_jobs) / 2))}; fi
  [ "$shards" -ge 1 ] 2>/dev/null || shards=1
  local -a pids=() markers=() logs=() recorded=() recorded_at=() ended=() done=() shower=()
  for ((i = 0; i < shards; i++)); do
    markers[i]=$(mktemp -u "$dir/hang-XXXXXX")
    logs[i]=$(mktemp "$(dirname "$dir")/tests-XXXXXX.log")
    recorded[i]=0 recorded_at[i]=0 ended[i]=0 done[i]=0
    # Into a file: Wine's own service processes inherit the output of the program that started them and
    # keep it open, so a pipe read to its end would wait for the wineserver to stop.
    if [ "$shards" -gt 1 ]; then
      (cd "$dir" && GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i \
         LAUNCHER_TEST_HANG_MARKER=$(basename "${markers[i]}") exec "$LAUNCHER_WINE" "$(basename "$exe")") \
        >>"${logs[i]}" 2>&1 &
    else
      (cd "$dir" && LAUNCHER_TEST_HANG_MARKER=$(basename "${markers[i]}") \
         exec "$LAUNCHER_WINE" "$(basename "$exe")" "$@") >>"${logs[i]}" 2>&1 &
    fi
    pids[i]=$!
  done
  if [ "$shards" -eq 1 ]; then
    tail -n +1 -s 0.2 -f --pid="${pids[0]}" "${logs[0]}" &
    shower[0]=$!
  fi
  local running=$shards quiet why winpid code
  while [ "$running" -gt 0 ]; do
    sleep 1
    running=0
    for ((i = 0; i < shards; i++)); do
      [ "${done[i]}" -eq 1 ] && continue
      if ! kill -0 "${pids[i]}" 2>/dev/null; then
        code=0
        wait "${pids[i]}" || code=$?
        done[i]=1
        if [ "$shards" -eq 1 ]; then
          wait "${shower[0]}" || true
        else
          printf '\n----- Windows tests, share %d of %d (exit %d)\n' $((i + 1)) "$shards" "$code"
          cat "${logs[i]}"
        fi
        if [ "$code" -ne 0 ] && [ "$rc" -eq 0 ]; then rc=$code; fi
        rm -f "${markers[i]}" "${markers[i]}.done" "${markers[i]}.tmp" "${logs[i]}"
        continue
      fi
      running=$((running + 1))
      why=
      if [ "${recorded[i]}" -eq 0 ] && [ -f "${markers[i]}" ]; then
        # The binary named the test and waits for this.
        recorded[i]=1 recorded_at[i]=$SECONDS
        wine_backtrace "$(head -n 1 "${markers[i]}" | tr -d '\r')" "$exe"
        touch "${markers[i]}.done"
        continue
      fi
      quiet=$(($(date +%s) - $(stat -c %Y "${logs[i]}")))
      if [ "$quiet" -gt "$silence" ]; then why="has written nothing for $quiet s"; fi
      if [ "$total" -gt 0 ] && [ $((SECONDS - start)) -gt "$total" ]; then why="has run for more than $total s"; fi
      if [ "${recorded[i]}" -eq 1 ] && [ $((SECONDS - recorded_at[i])) -gt 60 ]; then
        why="did not end after its time limit"
      fi
      if [ -n "$why" ] && [ "${ended[i]}" -eq 0 ]; then
        ended[i]=1
        say "the Windows test binary (share $((i + 1)) of $shards) $why: ending it"
        say "the last test started: $(grep -aF '[ RUN      ]' "${logs[i]}" | tail -n 1 | tr -d '\r')"
        if [ "${recorded[i]}" -eq 0 ]; then
          # With several shares running this may be another share's process.
          winpid=$(wine_process_id "$exe")
          if [ -n "$winpid" ]; then wine_backtrace "$winpid" "$exe"; fi
        fi
        kill -KILL "${pids[i]}" 2>/dev/null || true
      fi
    done
  done
  return $rc
}
