#!/usr/bin/env bash
# release.sh -- installs what is missing, builds the add-on, the uninstaller
# and the installer in release form, and packs the download:
#   build/dist/tarvune-<version>-setup.exe   the installer
#   build/dist/tarvune-<version>-win32.zip   the two binaries, the installer,
#       the README, the reference manual and the example scripts, under one
#       folder tarvune-<version>/
# The version is the project's (CMakeLists.txt).
set -euo pipefail
. "$(dirname "$0")/build-env.sh"

configure_build "[release]"
echo "[release] building the add-on, the uninstaller and the installer"
cmake --build "$BUILD_DIR" -j 2 --target tarvune UTarvune installer >"$BUILD_DIR/release-build.log" 2>&1 || {
  echo "[release] the build failed; the whole output is in $BUILD_DIR/release-build.log"; exit 1; }

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")"
dist="$BUILD_DIR/dist"
name="tarvune-$version"
setup="$dist/$name-setup.exe"
package="$dist/$name-win32.zip"

# What must be in every package, and what joins it when the tree has it.
required=("$BUILD_DIR/bin/tarvune.dll" "$BUILD_DIR/bin/UTarvune.exe" "$setup" "$ROOT/README.md")
for f in "${required[@]}"; do
  [ -f "$f" ] || { echo "[release] missing: $f" >&2; exit 1; }
done

stage="$dist/$name"
rm -rf "$stage" "$package"
mkdir -p "$stage"
cp "${required[@]}" "$stage/"
for part in docs/REFERENCE.md examples; do
  if [ -e "$ROOT/$part" ]; then
    mkdir -p "$stage/$(dirname "$part")"
    cp -r "$ROOT/$part" "$stage/$part"
  else
    echo "[release] warning: $part is not in the tree; the package goes without it" >&2
  fi
done

(cd "$dist" && zip -qrX "$package" "$name")
rm -rf "$stage"
echo "[release] $setup"
echo "[release] $package:"
unzip -l "$package" | sed -n '4,$p' | head -n -2 | awk '{ printf "  %9d  %s\n", $1, $4 }'
