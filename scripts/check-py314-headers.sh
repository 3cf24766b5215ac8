#!/usr/bin/env bash
# Compiles the extension module's sources against CPython 3.14's headers, once as they are and
# once with Py_GIL_DISABLED, so API changes show up before a 3.14 interpreter is at hand.
#
#   scripts/check-py314-headers.sh
#
# The headers come from Debian's unstable suite (libpython3.14-dev), added as an apt source pinned
# at priority 1 so nothing is ever installed from it, and are cached outside the work tree. The
# source uses the mirror of the machine's own Debian entry (scripts/debian-mirror.sh); without one
# the check fails. When the package cannot be downloaded the check is skipped with a message and
# exits 0.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache_root="${VORNAK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vornak}"
headers="$cache_root/libpython3.14-dev"
include="$headers/usr/include"

skip() { echo "check-py314-headers: skipped: $*" >&2; exit 0; }
# shellcheck source=scripts/debian-mirror.sh
source "$repo/scripts/debian-mirror.sh"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

add_sid_source() {
  local sources=/etc/apt/sources.list.d/vornak-sid.sources
  local preferences=/etc/apt/preferences.d/vornak-sid
  if [ ! -f "$preferences" ]; then
    printf 'Package: *\nPin: release n=sid\nPin-Priority: 1\n' \
      | "${sudo_cmd[@]}" tee "$preferences" >/dev/null
  fi
  if [ ! -f "$sources" ]; then
    # The same mirror and key as the machine's own Debian entry; there is no other.
    debian_mirror || { echo "check-py314-headers: cannot add Debian's sid suite" >&2; exit 1; }
    printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: %s\n' "$mirror_uri" "$mirror_signed_by" \
      | "${sudo_cmd[@]}" tee "$sources" >/dev/null
    "${sudo_cmd[@]}" apt-get update -qq >/dev/null 2>&1 \
      || skip "apt-get update failed after adding Debian's sid suite"
  fi
}

fetch_headers() {
  add_sid_source
  local work
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  if ! (cd "$work" && apt-get download -qq libpython3.14-dev >/dev/null 2>&1); then
    # The lists may be stale (packages in sid move fast): refresh once and try again.
    "${sudo_cmd[@]}" apt-get update -qq >/dev/null 2>&1 || true
    (cd "$work" && apt-get download -qq libpython3.14-dev >/dev/null 2>&1) \
      || skip "could not download libpython3.14-dev from Debian's sid suite"
  fi
  mkdir -p "$work/root"
  dpkg-deb -x "$work"/libpython3.14-dev_*.deb "$work/root"
  [ -f "$work/root/usr/include/python3.14/Python.h" ] \
    || { echo "check-py314-headers: libpython3.14-dev holds no usr/include/python3.14/Python.h" >&2; exit 1; }
  mkdir -p "$cache_root"
  rm -rf "$headers"
  mv "$work/root" "$headers"
}

[ -f "$include/python3.14/Python.h" ] || fetch_headers

cxx="${CXX:-g++}"
flags=(-std=c++23 -fsyntax-only -Wall -Wextra -Wconversion -Wsign-conversion -Wshadow -Werror
       -I"$repo" -isystem "$include" -isystem "$include/python3.14")
status=0
for source in "$repo"/python_module/*.cpp; do
  for variant in "" "-DPy_GIL_DISABLED=1"; do
    if ! "$cxx" "${flags[@]}" $variant "$source"; then
      echo "check-py314-headers: ${source#"$repo"/} fails against CPython 3.14 headers${variant:+ ($variant)}" >&2
      status=1
    fi
  done
done
exit $status
