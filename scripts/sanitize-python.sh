#!/usr/bin/env bash
# Runs the Python tests against sanitizer builds of the extension modules (vornak, vornak_ms).
#
#   scripts/sanitize-python.sh [--asan] [--tsan]     (no option: both)
#
# --asan  the whole pytest suite against a build of the module with AddressSanitizer and
#         UndefinedBehaviorSanitizer, on the free-threaded interpreter with the sanitizer
#         runtimes preloaded (leak detection off: the interpreter itself keeps memory until exit).
# --tsan  the threaded tests of vornak and vornak_ms on a free-threaded interpreter built with
#         ThreadSanitizer (built once into ~/.cache/vornak), against ThreadSanitizer builds of the
#         modules; any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)

run_asan=0
run_tsan=0
for argument in "$@"; do
  case "$argument" in
    --asan) run_asan=1 ;;
    --tsan) run_tsan=1 ;;
    *) echo "usage: scripts/sanitize-python.sh [--asan] [--tsan]" >&2; exit 2 ;;
  esac
done
[ $# -eq 0 ] && run_asan=1 && run_tsan=1

scripts/install-deps.sh
# The acquisitions the tests read are written by the plain build's vornak-make-sample.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j "$jobs" --target vornak-make-sample >/dev/null
export VORNAK_MAKE_SAMPLE="$root/build/release/tests/support/vornak-make-sample"

# A virtual environment with pytest on the given interpreter, in the given folder. One that
# cannot import pytest (a run stopped half-way, an interpreter rebuilt under it) is made anew.
test_venv() {
  local python=$1 venv=$2
  if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c 'import pytest' >/dev/null 2>&1; then
    return 0
  fi
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest
  "$venv/bin/python" -c 'import pytest' \
    || { echo "sanitize-python: pytest does not import in $venv after installing it" >&2; exit 1; }
}

# What building vornak_ms needs in a test environment: nanobind for CMake, NumPy for its arrays
# (the newest NumPy may have no wheel for a free-threaded interpreter, hence the bound).
module_build_deps() {
  local venv=$1
  "$venv/bin/python" -c 'import nanobind, numpy' >/dev/null 2>&1 && return 0
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary "nanobind>=3.1,<3.2" "numpy<2.5"
}

# Builds the module alone into build/$1 for the given interpreter with the given sanitizers.
build_module() {
  local folder=$1 python=$2 sanitizers=$3
  shift 3
  cmake -S . -B "build/$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_PYTHON=ON \
    -DVORNAK_BUILD_TOOLS=OFF -DVORNAK_SANITIZE="$sanitizers" -DPython_EXECUTABLE="$python" "$@" >/dev/null
  cmake --build "build/$folder" -j "$jobs" >/dev/null
}

if [ "$run_asan" -eq 1 ]; then
  printf '\n== pytest against an ASan+UBSan build of the module\n'
  python=$(scripts/free-threaded-python.sh)
  test_venv "$python" build/venv-asan
  module_build_deps build/venv-asan
  build_module py-asan "$root/build/venv-asan/bin/python" address,undefined
  preload="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
  LD_PRELOAD="$preload" VORNAK_SANITIZED=1 PYTHONPATH="$root/build/py-asan/python_module:$root/build/py-asan/python_ms_module" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build/venv-asan/bin/python -m pytest -q -p no:cacheprovider tests/python
fi

if [ "$run_tsan" -eq 1 ]; then
  printf '\n== threaded tests under ThreadSanitizer\n'
  python=$(scripts/free-threaded-python.sh --tsan)
  test_venv "$python" build/venv-tsan
  module_build_deps build/venv-tsan
  # The module must be built by the same compiler family as the interpreter's runtime.
  build_module py-tsan "$root/build/venv-tsan/bin/python" thread \
    -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19
  suppressions=$(dirname "$python")/../share/tsan/suppressions_free_threading.txt
  options="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
  [ -f "$suppressions" ] && options+=" suppressions=$suppressions"
  # -s: a report ends the process at once, and pytest's capture would swallow it.
  TSAN_OPTIONS="$options" VORNAK_SANITIZED=1 \
    PYTHONPATH="$root/build/py-tsan/python_module:$root/build/py-tsan/python_ms_module" \
    build/venv-tsan/bin/python -m pytest -q -s -p no:cacheprovider tests/python/test_threads.py \
    tests/python/test_ms_threads.py
fi
