#!/usr/bin/env bash
# setup.sh -- installs what the build and the tests need, when it is missing.
# Idempotent: a machine that has everything is left alone in a second or two.
#
# The package archive may answer badly for a moment (an index mid-sync, a
# mirror that times out): a list that cannot be refreshed is tried again,
# then reported in one line, and the install is tried all the same. The
# script fails only when a package it needs cannot be installed, and names it.
set -euo pipefail

say() { printf '[setup] %s\n' "$*"; }
. "$(dirname "$0")/arch-probe.sh"

# The x86-64 compiler builds the 64-bit test build on machines that run no
# 32-bit programs (tools/build-env.sh); 32-bit Wine is wanted only where the
# kernel runs 32-bit programs. Elsewhere the 32-bit tests run in an emulated
# root (tools/root32.sh), which needs debootstrap and the unpacker of the
# emulator's package.
need_pkgs=(g++-mingw-w64-i686 libz-mingw-w64-dev mingw-w64-tools binutils-mingw-w64-i686
           g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
           wine wine64 xvfb xdotool imagemagick zip unzip gzip python3
           cmake make googletest libarchive-tools
           regina-rexx libregina3-dev 7zip nsis fonts-wine
           dpkg-dev bzip2 xz-utils zstd)
if kernel_runs_32bit; then
  with_i386=1
  need_pkgs+=(wine32:i386)
else
  with_i386=0
  need_pkgs+=(debootstrap)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${need_pkgs[@]}"; do installed "$p" || missing+=("$p"); done

# Either way the script ends by fetching, once into their cache, the source
# packages of the compression libraries that the build compiles
# (tools/thirdparty.sh).
if [ ${#missing[@]} -eq 0 ]; then
  say "all packages present"
  exec bash "$(dirname "$0")/thirdparty.sh"
fi

if [ "$(id -u)" != 0 ]; then
  say "missing packages: ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

if [ "$with_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture (32-bit Wine)"
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive

# refresh: apt-get update, three tries a few seconds apart. Failing lists are
# named in one line; whatever could be read is used for the install.
refresh() {
  local try log
  log="$(mktemp)"
  for try in 1 2 3; do
    if apt-get update -q >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log"; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  say "some package lists could not be refreshed; installing from what was read: $(grep -E '^(E|W):' "$log" | head -n 3 | tr '\n' ' ')"
  rm -f "$log"
  return 0
}

# install PKGS...: two tries; then each package alone, so that the one that
# cannot be had is named.
install() {
  local try p failed=()
  for try in 1 2; do
    apt-get install -y -q --no-install-recommends "$@" && return 0
    sleep 5
  done
  for p in "$@"; do
    installed "$p" && continue
    apt-get install -y -q --no-install-recommends "$p" >/dev/null 2>&1 || failed+=("$p")
  done
  if [ ${#failed[@]} -gt 0 ]; then
    say "these packages could not be installed: ${failed[*]}" >&2
    return 1
  fi
}

say "installing: ${missing[*]}"
refresh
install "${missing[@]}"
say "done"
exec bash "$(dirname "$0")/thirdparty.sh"
