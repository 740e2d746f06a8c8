#!/usr/bin/env bash
# root32.sh -- 32-bit Wine on a machine whose kernel runs no 32-bit programs:
# an all-i386 Debian 12 root with Wine in it, run under qemu-user, made once
# per machine and entered through private namespaces, so that nothing outside
# changes (no binfmt_misc entry, mount or package of the machine's own).
#
# Usage:
#   tools/root32.sh setup                   makes the root; a complete one is left alone
#   tools/root32.sh run COMMAND [ARGS...]   runs COMMAND (a program of the root) in it
#   tools/root32.sh wine PROGRAM [ARGS...]  runs a Windows program under the root's
#                                           Wine (tools/wine32.sh is the same)
#   tools/root32.sh session COMMAND [ARGS...]  runs COMMAND beside one persistent
#                                           wineserver, for many Windows programs
#
# The root lives outside the checkout, in TARVUNE_CACHE (default
# /var/cache/tarvune): root-i386/ with the stamp root-i386.complete, written
# last, and the emulator qemu-i386 unpacked from bookworm-backports' qemu-user
# (version 8 or newer: bookworm's own 7.2 takes over a minute of CPU to start
# each Wine process). A root without its stamp, or with the stamp of another
# recipe, was left by an interrupted or older setup and is made again.
#
# run and wine share with the root, at their own paths, the checkout, BUILD_DIR,
# the current folder and the folders named in TARVUNE_ROOT32_SHARE (separated
# by ":"), plus the X display's sockets; the command starts in the current
# folder. Each entry is a session of its own: a user namespace mapping
# uids 0-65535 to themselves (we are root already; the namespace is what
# gives a private binfmt_misc, kernel 6.7 or newer), a mount namespace and a
# pid namespace. When the command ends, the session ends, and every process
# still in it (a wineserver) ends with it.
#
# wine and session run with WINEPREFIX=$BUILD_DIR/wineprefix, WINEARCH=win32
# and WINE=wine, and make the prefix first when it has none.
set -euo pipefail

SELF="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
TOP="$(cd "$(dirname "$SELF")/.." && pwd)"
CACHE="${TARVUNE_CACHE:-/var/cache/tarvune}"
ROOTFS="$CACHE/root-i386"
STAMP="$CACHE/root-i386.complete"
QEMU_DIR="$CACHE/qemu"
QEMU="$QEMU_DIR/usr/bin/qemu-i386"
SUITE=bookworm
ROOT_PACKAGES=(wine wine32 fonts-wine)
# What the stamp records: a root made to another recipe is made again.
RECIPE="debootstrap --arch=i386 --variant=minbase $SUITE; ${ROOT_PACKAGES[*]}; 1"

say() { printf '[root32] %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

# i386 ELF executables and shared objects (as qemu's own binfmt list has them).
BINFMT_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
BINFMT_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# ---------------------------------------------------------------- entering

# enter ROOTFS CWD COMMAND...: runs COMMAND chrooted in ROOTFS in a session
# of its own (see the top), from CWD, sharing the folders of ROOT32_SHARES
# (one a line). Replaces the calling process; its exit code is COMMAND's.
# The uid and gid maps of the new user namespace must be written from
# outside it: a child of this process waits until the namespace exists,
# writes them and ends.
enter() {
  local me=$BASHPID
  [ -x "$QEMU" ] || die "the emulator $QEMU is missing: tools/root32.sh setup fetches it"
  (
    mine="$(readlink /proc/self/ns/user)"
    for _ in $(seq 1000); do
      [ "$(readlink "/proc/$me/ns/user" 2>/dev/null)" != "$mine" ] && break
      sleep 0.01
    done
    printf '0 0 65536\n' >"/proc/$me/uid_map" && printf '0 0 65536\n' >"/proc/$me/gid_map"
  ) &
  export ROOT32_FS="$1" ROOT32_CWD="$2"
  shift 2
  exec unshare --user -- bash "$SELF" __mapped "$@"
}

# In the user namespace, once its maps are written: the mount and pid
# namespaces. --kill-child ends the session when this process is killed.
in_user_namespace() {
  local _
  for _ in $(seq 1000); do
    [ -n "$(cat /proc/self/uid_map)" ] && break
    sleep 0.01
  done
  [ -n "$(cat /proc/self/uid_map)" ] || die "the uid map of the user namespace was never written"
  exec unshare --mount --pid --fork --kill-child --mount-proc -- bash "$SELF" __session "$@"
}

# Process 1 of the session: its own binfmt_misc with qemu-i386 for i386
# programs (F: the emulator is opened now, from outside the root), the
# root's /dev, /proc, a private /tmp, the shared folders, then the command.
in_session() {
  local fs="$ROOT32_FS" share status=0
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
    die "this kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 or newer does)"
  printf ':tarvune-i386:M::%s:%s:%s:F' "$BINFMT_MAGIC" "$BINFMT_MASK" "$QEMU" \
    >/proc/sys/fs/binfmt_misc/register || die "cannot register $QEMU for i386 programs"
  mount --rbind /dev "$fs/dev"
  mount -t proc proc "$fs/proc"
  mount -t tmpfs -o mode=1777 tmpfs "$fs/tmp"
  if [ -d /tmp/.X11-unix ]; then
    mkdir -p "$fs/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$fs/tmp/.X11-unix"
  fi
  while IFS= read -r share; do
    [ -n "$share" ] || continue
    mkdir -p "$fs$share"
    mount --rbind "$share" "$fs$share"
  done <<<"${ROOT32_SHARES:-}"
  chroot "$fs" /usr/bin/env -u ROOT32_FS -u ROOT32_SHARES -u TMPDIR -u LD_PRELOAD -u LD_LIBRARY_PATH \
    /bin/bash -c 'cd -- "$0" || exit 125; exec "$@"' "$ROOT32_CWD" "$@" || status=$?
  exit "$status"
}

# shares: the folders shared with the root, one a line, none inside another.
shares() {
  local build="${BUILD_DIR:-$TOP/build}" list=() extra d kept=() k inside
  mkdir -p "$build"
  list+=("$TOP" "$(cd "$build" && pwd)" "$(pwd)")
  IFS=: read -r -a extra <<<"${TARVUNE_ROOT32_SHARE:-}"
  for d in "${extra[@]}"; do [ -d "$d" ] && list+=("$(cd "$d" && pwd)"); done
  for d in "${list[@]}"; do
    # The root's /tmp is its own (the wineserver's socket is there): a
    # session started from / or /tmp would share the machine's.
    case "$d" in / | /tmp | /dev | /dev/* | /proc | /proc/*)
      die "the folder $d cannot be shared with the emulated root: start from a folder below it" ;;
    esac
    inside=0
    for k in "${list[@]}"; do
      case "$d/" in "$k"/?*) [ "$k" != "$d" ] && inside=1 ;; esac
    done
    [ "$inside" = 1 ] && continue
    for k in "${kept[@]}"; do [ "$k" = "$d" ] && inside=1; done
    [ "$inside" = 1 ] || kept+=("$d")
  done
  printf '%s\n' "${kept[@]}"
}

# complete: the stamp of this recipe, the emulator, and the root's shell and
# Wine's loader still there (a root damaged since is made again as well).
# Wine's own files are looked at: /usr/bin/wine is a link through
# /etc/alternatives that, seen from outside the root, would lead to the
# machine's own Wine.
complete() {
  [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$RECIPE" ] && [ -x "$QEMU" ] &&
    [ -x "$ROOTFS/bin/bash" ] && [ -x "$ROOTFS/usr/lib/wine/wine" ]
}

require_root() {
  complete || die "the emulated 32-bit root is not made (or was left unfinished): tools/root32.sh setup makes it"
}

# ---------------------------------------------------------------- setup

LOG="$CACHE/setup.log"

# step WHAT COMMAND...: runs COMMAND with its output in the log; a failure is
# one line naming WHAT and the log, and ends the setup.
step() {
  local what="$1" first started=$SECONDS
  shift
  printf '\n=== %s\n' "$what" >>"$LOG"
  if "$@" >>"$LOG" 2>&1 </dev/null; then
    printf '=== %s: done in %d s\n' "$what" $((SECONDS - started)) >>"$LOG"
  else
    first="$(grep -E '^(E|W|Err):|[Ff]ailed|[Ee]rror|denied|refused|Could not|Cannot|Unable' "$LOG" |
      tail -n 1 | cut -c1-200)"
    die "setup failed: $what${first:+ ($first)}; the whole output is in $LOG"
  fi
}

# archive_uri: the URI of Debian's archive in the machine's own apt sources
# (deb822 .sources files or one-line lists), for the suite $SUITE.
archive_uri() {
  local f uri=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri="$(awk -v suite="$SUITE" 'BEGIN { RS = ""; FS = "\n" }
      { uris = ""; ok = 0; deb = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^URIs:/) { split($i, u, " "); uris = u[2] }
          if ($i ~ /^Types:/ && $i ~ /(^|[ \t])deb([ \t]|$)/) deb = 1
          if ($i ~ /^Suites:/) { n = split($i, s, " "); for (j = 2; j <= n; j++) if (s[j] == suite) ok = 1 }
        }
        if (ok && deb && uris != "") { print uris; exit } }' "$f")"
    [ -n "$uri" ] && break
  done
  if [ -z "$uri" ]; then
    uri="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed -e 's/\[[^]]*\]//' | awk -v suite="$SUITE" '$1 == "deb" && $3 == suite { print $2; exit }')"
  fi
  [ -n "$uri" ] || return 1
  printf '%s\n' "$uri"
}

# fetch_qemu: qemu-user of bookworm-backports, downloaded through a private
# package list and unpacked (nothing is installed); only qemu-i386 is kept.
fetch_qemu() {
  local uri="$1" apt work version
  work="$CACHE/qemu-download"
  rm -rf "$work" "$QEMU_DIR"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/debs"
  printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s-backports main\n' \
    "$uri" "$SUITE" >"$work/sources.list"
  apt=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts="$work/parts"
       -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
  say "fetching qemu-user from $SUITE-backports"
  printf '\n=== the package list of %s-backports\n' "$SUITE" >>"$LOG"
  if ! apt-get "${apt[@]}" update >"$work/update.log" 2>&1 ||
    grep -qE '^(E|W):' "$work/update.log"; then
    cat "$work/update.log" >>"$LOG"
    die "cannot read the package list of $SUITE-backports from $uri: $(grep -E '^(E|W):' "$work/update.log" | head -n 1 | cut -c1-160)"
  fi
  cat "$work/update.log" >>"$LOG"
  (cd "$work/debs" && apt-get "${apt[@]}" download qemu-user) >>"$LOG" 2>&1 ||
    die "cannot download qemu-user from $uri ($SUITE-backports); the whole output is in $LOG"
  step "unpacking qemu-user" dpkg -x "$(ls "$work"/debs/qemu-user_*.deb)" "$work/unpacked"
  mkdir -p "$QEMU_DIR/usr/bin"
  mv "$work/unpacked/usr/bin/qemu-i386" "$QEMU"
  rm -rf "$work"
  version="$("$QEMU" --version | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')"
  [ -n "$version" ] && [ "$version" -ge 8 ] ||
    die "the qemu-i386 fetched is not version 8 or newer: $("$QEMU" --version | head -n 1)"
  say "qemu-i386 $("$QEMU" --version | head -n 1 | awk '{print $3}') is in $QEMU_DIR"
}

# in_root COMMAND...: COMMAND run inside the root being made (no shares).
in_root() {
  (cd / && export ROOT32_SHARES="" && enter "$ROOTFS" / "$@")
}

make_root() {
  local uri="$1"
  if [ -e "$ROOTFS" ]; then
    if grep -q " $ROOTFS[/ ]" /proc/mounts; then
      die "something is mounted under $ROOTFS: unmount it, then run the setup again"
    fi
    say "the root in $ROOTFS is unfinished, damaged or of an older recipe (no completion stamp of this one, or no Wine in it): making it again"
    rm -rf "$ROOTFS"
  fi
  say "downloading and unpacking Debian $SUITE i386 (minbase) from $uri"
  step "debootstrap's first stage (downloading the packages)" \
    debootstrap --arch=i386 --foreign --variant=minbase "$SUITE" "$ROOTFS" "$uri"
  # The second stage runs under the emulator in the user namespace, where
  # debootstrap's check that device files can be made fails; "container=lxc"
  # is what tells it to skip that check (the device files of /dev were made
  # by the first stage, outside).
  say "installing the base system under the emulator (about 4 minutes)"
  step "debootstrap's second stage, under the emulator" \
    in_root /usr/bin/env container=lxc /debootstrap/debootstrap --second-stage
  rm -f "$ROOTFS/etc/resolv.conf"
  cat /etc/resolv.conf >"$ROOTFS/etc/resolv.conf"
  say "installing ${ROOT_PACKAGES[*]} in the root under the emulator (about 3 minutes)"
  step "apt-get update in the root" in_root /usr/bin/apt-get -q update
  if grep -qE '^(E|W): Failed to fetch' "$LOG"; then
    die "the root cannot read the package lists of $uri: $(grep -E '^(E|W): Failed' "$LOG" | tail -n 1 | cut -c1-160)"
  fi
  step "apt-get install ${ROOT_PACKAGES[*]} in the root" \
    in_root /usr/bin/env DEBIAN_FRONTEND=noninteractive \
    /usr/bin/apt-get install -y -q --no-install-recommends "${ROOT_PACKAGES[@]}"
  step "apt-get clean in the root" in_root /usr/bin/apt-get clean
  step "wine --version in the root" in_root /usr/bin/wine --version
}

setup() {
  local started uri
  [ "$(id -u)" = 0 ] || die "the emulated root is made as root (debootstrap, namespaces)"
  mkdir -p "$CACHE"
  exec 9>"$CACHE/setup.lock"
  flock 9
  if complete; then
    say "the emulated 32-bit root in $ROOTFS is complete"
    return 0
  fi
  started=$SECONDS
  : >"$LOG"
  say "making the emulated 32-bit root in $ROOTFS, once per machine (about 10 minutes); the whole output goes to $LOG"
  command -v debootstrap >/dev/null || die "debootstrap is missing (tools/setup.sh installs it)"
  uri="$(archive_uri)" || die "no Debian archive for $SUITE in the machine's apt sources (/etc/apt)"
  [ -x "$QEMU" ] || fetch_qemu "$uri"
  rm -f "$STAMP"
  make_root "$uri"
  printf '%s\n' "$RECIPE" >"$STAMP"
  say "the emulated 32-bit root is complete ($((SECONDS - started)) s)"
}

# ---------------------------------------------------------------- wine

# Inside the root: the 32-bit prefix, made when missing, with Debian's Wine
# fonts in its Fonts folder (Wine does not look where fonts-wine puts them)
# and Wine's crash dialog off, so that a crashing program ends with a
# backtrace instead of waiting for a click.
wine_prefix() {
  local fonts f
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    echo "[root32] creating the 32-bit Wine prefix in $WINEPREFIX (about a minute under the emulator)" >&2
    wine wineboot -i >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    [ -f "$WINEPREFIX/system.reg" ] || { echo "[root32] wineboot made no prefix in $WINEPREFIX" >&2; exit 1; }
  fi
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  for f in /usr/share/wine/fonts/*.ttf; do
    [ -e "$f" ] && [ -d "$fonts" ] && [ ! -e "$fonts/${f##*/}" ] && cp "$f" "$fonts/"
  done
  return 0
}

# wine_inside MODE ARGS...: MODE wine runs the Windows program ARGS; MODE
# session runs the command ARGS beside one persistent wineserver. Either way
# the wineserver is stopped at the end, which saves the registry, before the
# session's end would kill it.
wine_inside() {
  local mode="$1" status=0
  shift
  wine_prefix
  if [ "$mode" = wine ]; then
    wine "$@" || status=$?
  else
    wineserver -p >/dev/null 2>&1 || true
    "$@" || status=$?
  fi
  wineserver -k >/dev/null 2>&1 || true
  exit "$status"
}

# wine_env: the environment of the root's Wine, whatever Wine the caller set up.
wine_env() {
  unset WINELOADER WINESERVER WINEDLLPATH TARVUNE_WINE_SESSION
  export WINEPREFIX="${BUILD_DIR:-$TOP/build}/wineprefix" WINEARCH=win32 WINE=wine
  export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
}

case "${1:-}" in
  setup) setup ;;
  run | wine | session)
    what="$1"
    shift
    [ $# -ge 1 ] || die "usage: tools/root32.sh $what COMMAND [ARGS...]"
    require_root
    ROOT32_SHARES="$(shares)"
    export ROOT32_SHARES
    if [ "$what" != run ]; then
      wine_env
      enter "$ROOTFS" "$(pwd)" /bin/bash "$SELF" __wine "$what" "$@"
    fi
    enter "$ROOTFS" "$(pwd)" "$@"
    ;;
  __mapped) shift; in_user_namespace "$@" ;;
  __session) shift; in_session "$@" ;;
  __wine) shift; wine_inside "$@" ;;
  *)
    sed -n '2,/^set -euo/p' "$SELF" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
    exit 2
    ;;
esac
