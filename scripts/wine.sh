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

# For the tests: no display, and one wineserver for the whole run (stop_wineserver ends it).
start_wine() {
  unset DISPLAY WAYLAND_DISPLAY
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineserver_started=1
  prepare_wine_prefix
}
