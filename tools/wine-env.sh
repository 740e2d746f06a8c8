# wine-env.sh -- sourced by the run and test scripts: a private Wine prefix in
# the build folder, one persistent wineserver, and an Xvfb display for the
# windows that the tests open. Everything started here is stopped on exit.
# Needs RUN_DIR and TARVUNE_ARCH set (build-env.sh). WINE is the wine program
# to start Windows programs with, in scripts and in the tests.

export WINEPREFIX="$RUN_DIR/wineprefix"
export WINEDEBUG=-all
if [ "$TARVUNE_ARCH" = x86_64 ]; then
  # The plain "wine" command (and wineboot) prefers the 32-bit loader whenever
  # it is installed; WINELOADER is what Wine starts further processes with.
  export WINEARCH=win64
  export WINE=/usr/lib/wine/wine64
  export WINELOADER="$WINE"
else
  export WINE="${WINE:-wine}"
fi
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono/Gecko install prompts

_wine_env_pids=()

wine_env_stop() {
  wineserver -k >/dev/null 2>&1 || true
  for p in "${_wine_env_pids[@]}"; do kill "$p" >/dev/null 2>&1 || true; done
}

# Wine does not find the fonts of Debian's fonts-wine where that package puts
# them, and draws a caption's close box as the letter "r" without Marlett:
# the prefix's own Fonts folder gets a copy of each.
wine_env_fonts() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts" f
  [ -d "$fonts" ] || return 0
  for f in /usr/share/wine/fonts/*.ttf; do
    [ -e "$f" ] && [ ! -e "$fonts/${f##*/}" ] && cp "$f" "$fonts/"
  done
  return 0
}

# A script that runs inside another's session (tools/rexx.sh under the tests,
# say) finds TARVUNE_WINE_SESSION set to this prefix: the outer script owns
# Wine then, and starts and stops it.
wine_env_start() {
  if [ "${TARVUNE_WINE_SESSION:-}" = "$WINEPREFIX" ]; then return 0; fi
  if [ -z "${DISPLAY:-}" ] || [ -n "${TARVUNE_OWN_DISPLAY:-}" ]; then
    local n=91
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    _wine_env_pids+=($!)
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "[wine] creating the Wine prefix (about 20 s, once per build folder)"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    # wineboot's server ends a few seconds after its last program; until then
    # it would refuse the persistent one below, and every test would start a
    # server of its own and wait for it to end.
    wineserver -w >/dev/null 2>&1 || true
  fi
  wine_env_fonts
  # A server that tools/rexx.sh left lingering has Wine's services tied to
  # another display, or to none: the session starts one of its own.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  wineserver -p >/dev/null 2>&1 || true
  trap wine_env_stop EXIT
  export TARVUNE_WINE_SESSION="$WINEPREFIX"
  # The first program of a session starts Wine's background services, which
  # hold the caller's output open for a while: start them here, not under
  # ctest. That program also turns off Wine's crash dialog, so that a crashing
  # test ends with a backtrace instead of waiting for a click.
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 </dev/null || true
}
