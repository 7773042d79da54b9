# shellcheck shell=bash
# The Wine set-up shared by the scripts that run the Windows programs; sourced after lib.sh, never run.
# Everything runs in the prefix out/windows/wineprefix, made once.

export WINEPREFIX=$LAUNCHER_ROOT/out/windows/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko: their installer dialogs would wait for a person.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -x /usr/lib/wine/wine64 ]; then LAUNCHER_WINE=/usr/lib/wine/wine64; else LAUNCHER_WINE=$(command -v wine || echo wine); fi
export LAUNCHER_WINE
wineserver_started=0

stop_wineserver() {
  if [ $wineserver_started -eq 1 ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver_started=0
  fi
}

start_wine() {
  unset DISPLAY WAYLAND_DISPLAY
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineserver_started=1
  if [ ! -f "$WINEPREFIX/.initialized" ]; then
    say "creating the Wine prefix out/windows/wineprefix"
    "$LAUNCHER_WINE" wineboot --init >"$LAUNCHER_ROOT/out/windows/wineboot.log" 2>&1 ||
      { tail -n 20 "$LAUNCHER_ROOT/out/windows/wineboot.log"; return 1; }
    touch "$WINEPREFIX/.initialized"
  fi
}
