# build-env.sh -- sourced by the project's scripts: the source folder ROOT,
# the build folder BUILD_DIR of the 32-bit deliverables (absolute; "build"
# unless the caller set it), the build folder RUN_DIR whose programs run under
# Wine, and configure_build / configure_run, which install what is missing and
# configure there.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_DIR="$(mkdir -p "$BUILD_DIR" && cd "$BUILD_DIR" && pwd)"
export BUILD_DIR

. "$ROOT/tools/arch-probe.sh"

# TARVUNE_ARCH: the Windows target whose programs ctest runs here, i686 or
# x86_64. TARVUNE_EMULATED32: 1 where the kernel runs no 32-bit programs;
# tools/test.sh then also runs the 32-bit build's tests, under 32-bit Wine in
# an emulated i386 root (tools/root32.sh, tools/test32.sh). Decided once;
# scripts started by these scripts inherit both.
if [ -z "${TARVUNE_ARCH:-}" ] || [ -z "${TARVUNE_EMULATED32:-}" ]; then
  if kernel_runs_32bit; then _native32=1; else _native32=0; fi
  if [ -z "${TARVUNE_ARCH:-}" ]; then
    if [ "$_native32" = 1 ]; then TARVUNE_ARCH=i686; else TARVUNE_ARCH=x86_64; fi
    if [ "$TARVUNE_ARCH" = x86_64 ]; then
      echo "this machine runs no 32-bit programs (ia32 emulation is off): the tests run the 64-bit build of the same sources, and tools/test.sh the 32-bit build under an emulator" >&2
    fi
  fi
  if [ "$_native32" = 0 ] && [ "$TARVUNE_ARCH" = x86_64 ]; then TARVUNE_EMULATED32=1; else TARVUNE_EMULATED32=0; fi
  unset _native32
  export TARVUNE_ARCH TARVUNE_EMULATED32
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
