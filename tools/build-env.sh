# build-env.sh -- sourced by the project's scripts: the source folder ROOT,
# the build folder BUILD_DIR (absolute; "build" unless the caller set it),
# and configure_build, which installs what is missing and configures there.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_DIR="$(mkdir -p "$BUILD_DIR" && cd "$BUILD_DIR" && pwd)"
export BUILD_DIR

# configure_build TAG: TAG prefixes the progress line, e.g. "[test]".
configure_build() {
  bash "$ROOT/tools/setup.sh"
  echo "$1 configuring in $BUILD_DIR"
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
}

# The REXX runner is a native program (it embeds Regina): it has its own
# configuration beside the cross build, in NATIVE_DIR.
NATIVE_DIR="${NATIVE_BUILD_DIR:-$BUILD_DIR-native}"

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
