#!/usr/bin/env bash
# setup.sh -- installs what the build and the tests need, when it is missing.
# Idempotent: a machine that has everything is left alone in a second or two.
set -euo pipefail

say() { printf '[setup] %s\n' "$*"; }

# The x86-64 compiler builds the 64-bit test build on machines that run no
# 32-bit programs (tools/build-env.sh).
need_pkgs=(g++-mingw-w64-i686 libz-mingw-w64-dev mingw-w64-tools binutils-mingw-w64-i686
           g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
           wine wine32:i386 wine64 xvfb xdotool imagemagick zip unzip gzip python3
           cmake make googletest libarchive-tools
           regina-rexx libregina3-dev 7zip nsis fonts-wine)

missing=()
for p in "${need_pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  say "all packages present"
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  say "missing packages: ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture (32-bit Wine)"
  dpkg --add-architecture i386
fi
say "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
say "done"
