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
