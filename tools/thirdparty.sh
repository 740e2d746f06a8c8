#!/usr/bin/env bash
# thirdparty.sh -- Debian's source packages of the compression libraries that
# the add-on links in (bzip2, xz-utils, libzstd, 7zip), fetched through apt
# into a cache outside the checkout and unpacked into a build folder.
#
#   thirdparty.sh             fetches whatever the cache lacks (setup.sh)
#   thirdparty.sh unpack DIR  the same, then unpacks each package into
#                             DIR/<package> with Debian's patches applied,
#                             once per version (cmake/thirdparty.cmake)
#
# The cache is /var/cache/tarvune/sources, or TARVUNE_SOURCE_CACHE. No
# Debian package ships these libraries for mingw-w64, so their sources come
# from the same archive as the machine's packages: a private apt
# configuration in the cache lists a deb-src entry for every deb entry of the
# machine's own sources (same URIs, suites, components and keyring), and the
# machine's sources and lists are left alone. apt checks the signed Release
# files and the hashes of every file it downloads; dpkg-source checks the
# tarballs against the .dsc again at each unpack, and the .dsc itself is
# checked against the hash recorded when apt fetched it.
#
# A package is fetched at the newest version the lists name; a version whose
# files the archive answers "404 Not Found" for (a security mirror may list
# a version before it serves it) gives way to the next older one, with a
# line saying so. Other failures are tried three times, a few seconds apart;
# then the package is named in one line and the script exits 1. A cached
# package stays as it is: remove the cache to take a newer version.
set -euo pipefail

say() { printf '[thirdparty] %s\n' "$*"; }
fail() { say "$*" >&2; exit 1; }

PACKAGES=(bzip2 xz-utils libzstd 7zip)
CACHE="${TARVUNE_SOURCE_CACHE:-/var/cache/tarvune/sources}"
APT_DIR="$CACHE/apt"

# ready PKG: the .dsc of PKG in the cache, when one was fetched whole and
# still has the hash apt saw; empty otherwise.
ready() {
  local dsc sum
  [ -f "$CACHE/$1.ready" ] || return 0
  read -r dsc sum <"$CACHE/$1.ready" || return 0
  [ -f "$CACHE/$dsc" ] || return 0
  [ "$(sha256sum "$CACHE/$dsc" | cut -d' ' -f1)" = "$sum" ] && echo "$dsc"
  return 0
}

# write_sources: the private deb-src list, from every enabled "deb" entry of
# the machine's sources.list and sources.list.d (one-line and deb822 forms).
write_sources() {
  local list parts f
  eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
  rm -rf "$APT_DIR/sources.list.d"
  mkdir -p "$APT_DIR/sources.list.d"
  for f in "$list" "$parts"*.list; do
    [ -f "$f" ] || continue
    sed -nE 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$f"
  done >"$APT_DIR/sources.list.d/debian-src.list"
  # deb822: each stanza whose Types has "deb" and that is not switched off
  # is copied whole (Signed-By may hold a key block), as Types: deb-src.
  for f in "$parts"*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() {
        if (n && deb && !off) {
          for (i = 1; i <= n; i++) print lines[i]
          print ""
        }
        n = 0; deb = 0; off = 0
      }
      /^#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      tolower($1) == "types:" {
        for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1
        lines[++n] = "Types: deb-src"; next
      }
      tolower($1) == "enabled:" && tolower($2) == "no" { off = 1 }
      { lines[++n] = $0 }
      END { flush() }' "$f"
  done >"$APT_DIR/sources.list.d/debian-src.sources"
  [ -s "$APT_DIR/sources.list.d/debian-src.list" ] ||
    [ -s "$APT_DIR/sources.list.d/debian-src.sources" ] ||
    fail "the machine's apt sources list no deb entry to take the source packages from"
}

# apt_private CMD ARGS...: apt-get or apt-cache on the private list and state.
apt_private() {
  local cmd="$1"
  shift
  "$cmd" -q -o Dir::Etc::SourceList=/dev/null \
    -o Dir::Etc::SourceParts="$APT_DIR/sources.list.d" \
    -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" \
    -o Acquire::Retries=3 -o APT::Get::Only-Source=true "$@"
}

# refresh: the private lists, three tries. Lists that stay unreadable are
# named; the packages may still be found in the others.
refresh() {
  local try log="$APT_DIR/update.log"
  mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache"
  for try in 1 2 3; do
    if apt_private apt-get update >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log"; then
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  say "some source lists could not be refreshed: $(grep -E '^(E|W):' "$log" | head -n 2 | tr '\n' ' ')"
}

# versions PKG: the versions of PKG the lists know, newest first.
versions() {
  local all=() v i j t
  mapfile -t all < <(apt_private apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u)
  for ((i = 0; i < ${#all[@]}; i++)); do
    for ((j = i + 1; j < ${#all[@]}; j++)); do
      if dpkg --compare-versions "${all[j]}" gt "${all[i]}"; then
        t="${all[i]}" all[i]="${all[j]}" all[j]="$t"
      fi
    done
  done
  [ ${#all[@]} -eq 0 ] || printf '%s\n' "${all[@]}"
}

# fetch PKG: downloads PKG's .dsc and tarballs into the cache; 0 on success.
# The download goes to a folder of its own (writable by apt's sandbox user)
# and its files join the cache only when every one of them arrived.
fetch() {
  local pkg="$1" try v dl="$CACHE/download" dsc last="" vs=()
  for try in 1 2 3; do
    if [ "$try" -gt 1 ]; then
      sleep $((try * 5))
      [ ${#vs[@]} -gt 0 ] || refresh
    fi
    mapfile -t vs < <(versions "$pkg")
    [ ${#vs[@]} -gt 0 ] || last="the lists name no such source package"
    for v in "${vs[@]}"; do
      rm -rf "$dl"
      mkdir -p "$dl"
      if [ "$(id -u)" = 0 ] && id -u _apt >/dev/null 2>&1; then chown _apt "$dl"; fi
      if (cd "$dl" && apt_private apt-get source --download-only "$pkg=$v") >"$CACHE/$pkg.log" 2>&1; then
        dsc="$(cd "$dl" && ls -- *.dsc)"
        mv -f "$dl"/* "$CACHE/"
        rm -rf "$dl"
        printf '%s %s\n' "$dsc" "$(sha256sum "$CACHE/$dsc" | cut -d' ' -f1)" >"$CACHE/$pkg.ready"
        [ "$v" = "${vs[0]}" ] || say "$pkg ${vs[0]} is listed but not served; using $v"
        return 0
      fi
      last="$(grep -E '^E:' "$CACHE/$pkg.log" | head -n 1)"
      # A version whose files are not there is passed over at once; any
      # other failure is tried again later, from the newest version.
      grep -q ' 404 ' "$CACHE/$pkg.log" || break
    done
  done
  rm -rf "$dl"
  say "could not download the source package $pkg from Debian's archive after 3 tries: ${last:-see $CACHE/$pkg.log}" >&2
  return 1
}

ensure_cache() {
  local p missing=()
  for p in "${PACKAGES[@]}"; do [ -n "$(ready "$p")" ] || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  mkdir -p "$CACHE" 2>/dev/null && [ -w "$CACHE" ] ||
    fail "cannot write the source cache $CACHE (run tools/setup.sh as root, or set TARVUNE_SOURCE_CACHE)"
  say "fetching Debian's source packages ${missing[*]} into $CACHE"
  write_sources
  refresh
  for p in "${missing[@]}"; do fetch "$p" || exit 1; done
}

# unpack_one DIR PKG: PKG's cached source package into DIR/PKG.
unpack_one() {
  local dir="$1" p="$2" dsc
  dsc="$(ready "$p")"
  rm -rf "$dir/$p" "$dir/$p.new" "$dir/$p.unpacked"
  [ -n "$dsc" ] && dpkg-source --no-copy -x "$CACHE/$dsc" "$dir/$p.new" >"$dir/$p.log" 2>&1 || return 1
  mv "$dir/$p.new" "$dir/$p"
  echo "$dsc" >"$dir/$p.unpacked"
}

# unpack DIR: each package into DIR/<package>, unless the version there is
# the cache's already. A cached tarball that no longer matches its .dsc is
# fetched again, once.
unpack() {
  local dir="$1" p
  mkdir -p "$dir"
  for p in "${PACKAGES[@]}"; do
    [ "$(cat "$dir/$p.unpacked" 2>/dev/null)" = "$(ready "$p")" ] && continue
    unpack_one "$dir" "$p" && continue
    say "$p does not unpack from the cache ($(grep -m 1 'error:' "$dir/$p.log")); fetching it again"
    rm -f "$CACHE/$p.ready"
    ensure_cache
    unpack_one "$dir" "$p" || { cat "$dir/$p.log" >&2; fail "could not unpack $p (see above)"; }
  done
}

case "${1:-}" in
  "") ensure_cache ;;
  unpack)
    [ $# -eq 2 ] || fail "usage: thirdparty.sh [unpack DIR]"
    ensure_cache
    unpack "$2" ;;
  *) fail "usage: thirdparty.sh [unpack DIR]" ;;
esac
