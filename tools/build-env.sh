# build-env.sh -- sourced by the project's scripts: the source folder ROOT,
# the build folder BUILD_DIR of the 32-bit deliverables (absolute; "build"
# unless the caller set it), the build folder RUN_DIR whose programs run under
# Wine, and configure_build / configure_run, which install what is missing and
# configure there.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_DIR="$(mkdir -p "$BUILD_DIR" && cd "$BUILD_DIR" && pwd)"
export BUILD_DIR

# runs_32bit_programs: true when this machine runs 32-bit x86 programs itself.
# A kernel with its 32-bit emulation switched off (ia32_emulation=off) runs
# none; an emulator registered with binfmt_misc for 32-bit ELF programs
# (qemu-user) does run them, but far too slowly for Wine, and it takes
# precedence over the kernel's own loader, so it counts as "none" as well.
runs_32bit_programs() {
  local entry
  if [ "$(cat /proc/sys/fs/binfmt_misc/status 2>/dev/null)" = enabled ]; then
    for entry in /proc/sys/fs/binfmt_misc/*; do
      case "${entry##*/}" in register | status) continue ;; esac
      # magic 7f454c4601...: ELF, 32-bit class.
      if head -n 1 "$entry" 2>/dev/null | grep -qx enabled &&
        grep -q '^magic 7f454c4601' "$entry" 2>/dev/null; then
        return 1
      fi
    done
  fi
  [ -x /usr/lib/wine/wine ] && timeout 60 /usr/lib/wine/wine --version >/dev/null 2>&1
}

# TARVUNE_ARCH: the Windows target whose programs run here, i686 or x86_64.
# Decided once; scripts started by these scripts inherit it.
if [ -z "${TARVUNE_ARCH:-}" ]; then
  if runs_32bit_programs; then TARVUNE_ARCH=i686; else TARVUNE_ARCH=x86_64; fi
  export TARVUNE_ARCH
  if [ "$TARVUNE_ARCH" = x86_64 ]; then
    echo "this machine runs no 32-bit programs (ia32 emulation is off): testing the 64-bit build of the same sources" >&2
  fi
fi

# The 64-bit build of the same sources has a folder of its own beside the
# 32-bit one, and its own Wine prefix there (WINEARCH=win64).
# A script started by another inherits its RUN_DIR.
if [ -n "${RUN_DIR:-}" ]; then
  RUN_DIR="$(mkdir -p "$RUN_DIR" && cd "$RUN_DIR" && pwd)"
elif [ "$TARVUNE_ARCH" = i686 ]; then
  RUN_DIR="$BUILD_DIR"
else
  RUN_DIR="$(mkdir -p "$BUILD_DIR-x64" && cd "$BUILD_DIR-x64" && pwd)"
fi
export RUN_DIR

# The REXX runner is a native program (it embeds Regina): it has its own
# configuration beside the cross build, in NATIVE_DIR.
NATIVE_DIR="${NATIVE_BUILD_DIR:-$BUILD_DIR-native}"

# configure_build TAG: the 32-bit build in BUILD_DIR. TAG prefixes the
# progress line, e.g. "[test]".
configure_build() {
  bash "$ROOT/tools/setup.sh"
  echo "$1 configuring in $BUILD_DIR"
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
}

# configure_run TAG: the build in RUN_DIR, whose programs run here; the same
# as configure_build where 32-bit programs run.
configure_run() {
  if [ "$RUN_DIR" = "$BUILD_DIR" ]; then
    configure_build "$1"
    return
  fi
  bash "$ROOT/tools/setup.sh"
  echo "$1 configuring the 64-bit build in $RUN_DIR"
  cmake -S "$ROOT" -B "$RUN_DIR" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" \
    -DTARVUNE_REXXRUN="$NATIVE_DIR/rexxrun" >/dev/null
}

# build_runner TAG: configures (once) and builds the runner in NATIVE_DIR.
build_runner() {
  echo "$1 building the REXX runner in $NATIVE_DIR"
  mkdir -p "$NATIVE_DIR"
  if [ ! -f "$NATIVE_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT/bridge/runner" -B "$NATIVE_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$NATIVE_DIR" -j2 >"$NATIVE_DIR/build.log" 2>&1 ||
    { cat "$NATIVE_DIR/build.log"; return 1; }
}

# sources_older_than STAMP: true when STAMP exists and no file the add-on,
# the stand-in host, the bridge, the runner and the sample are made from
# (their folders, the CMake files, the tools) is newer: their build can then
# be skipped. One look at the files' times, a few milliseconds.
sources_older_than() {
  [ -f "$1" ] || return 1
  [ -z "$(find "$ROOT/CMakeLists.txt" "$ROOT/cmake" "$ROOT/hostapi" "$ROOT/zipread" "$ROOT/addon" \
    "$ROOT/host" "$ROOT/bridge" "$ROOT/tools" -newer "$1" -print -quit 2>/dev/null)" ]
}
