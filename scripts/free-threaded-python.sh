#!/usr/bin/env bash
# Prints the path of a free-threaded CPython, building CPython 3.13 with --disable-gil
# from Debian's source package into a cache outside the work tree when none is on PATH.
#
#   scripts/free-threaded-python.sh [--tsan]
#
# --tsan builds (or reuses) a separate interpreter configured --with-thread-sanitizer.
# Everything the build prints goes to stderr or a log file; stdout carries only the path.
set -euo pipefail

variant=plain
[ "${1:-}" = "--tsan" ] && variant=tsan

cache_root="${VORNAK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vornak}"
prefix="$cache_root/cpython-3.13t-$variant"

if [ "$variant" = plain ]; then
  for candidate in python3.14t python3.13t; do
    if found=$(command -v "$candidate" 2>/dev/null) && "$found" -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
      echo "$found"; exit 0
    fi
  done
fi

if [ -x "$prefix/bin/python3.13t" ]; then
  echo "$prefix/bin/python3.13t"; exit 0
fi

fail() { echo "free-threaded-python: $*" >&2; exit 1; }
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# A deb-src entry for trixie, with the URI and key of the machine's own Debian entry (there is
# no other: without one the build cannot fetch its sources).
sources=/etc/apt/sources.list.d/vornak-trixie-src.sources
if [ ! -f "$sources" ]; then
  # shellcheck source=scripts/debian-mirror.sh
  source "$(dirname "$0")/debian-mirror.sh"
  debian_mirror || fail "cannot add a deb-src entry for trixie"
  printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' "$mirror_uri" "$mirror_signed_by" \
    | "${sudo_cmd[@]}" tee "$sources" >/dev/null
  "${sudo_cmd[@]}" apt-get update -qq >&2 || fail "apt-get update failed after adding the trixie deb-src entry"
fi

"$(dirname "$0")/install-deps.sh" >&2
if [ "$variant" = tsan ] && ! command -v clang-19 >/dev/null; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang-19 libclang-rt-19-dev >&2 \
    || fail "could not install clang-19 for the thread-sanitized build"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log="$cache_root/build-$variant.log"
mkdir -p "$cache_root"
echo "free-threaded-python: building CPython 3.13 ($variant) into $prefix (log: $log)" >&2
(
  cd "$work"
  apt-get source --download-only python3.13 >"$log" 2>&1 || fail "apt-get source python3.13 failed; see $log"
  tar -xf python3.13_*.orig.tar.xz
  cd Python-3.13*/
  flags=(--disable-gil --prefix="$prefix")
  [ "$variant" = tsan ] && flags+=(--with-thread-sanitizer)
  if [ "$variant" = tsan ]; then export CC=clang-19 CXX=clang++-19; fi
  ./configure "${flags[@]}" >>"$log" 2>&1 || fail "configure failed; see $log"
  make -j"$(nproc)" >>"$log" 2>&1 || fail "make failed; see $log"
  make install >>"$log" 2>&1 || fail "make install failed; see $log"
  # The interpreter's own known races under ThreadSanitizer, for runs of this build.
  if [ "$variant" = tsan ]; then
    mkdir -p "$prefix/share/tsan"
    cp Tools/tsan/*.txt "$prefix/share/tsan/"
  fi
)
"$prefix/bin/python3.13t" -c 'import sys; assert not sys._is_gil_enabled()' || fail "built interpreter has the GIL enabled"
echo "$prefix/bin/python3.13t"
