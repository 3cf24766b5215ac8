#!/usr/bin/env bash
# Builds vornak and runs every test: the C++ tests through ctest (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer), the Python tests through pytest on the
# free-threaded interpreter in .venv and (vornak_ms alone) on the machine's python3, and the
# compile check against CPython 3.14's headers.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)

step() { printf '\n== %s\n' "$*"; }

step "system packages"
scripts/install-deps.sh

step "free-threaded interpreter"
python=$(scripts/free-threaded-python.sh)
echo "$python"

step "C++ build and tests"
# The mzPeak writer links Arrow C++ from a pyarrow wheel (not packaged by Debian 12); the
# sanitizer builds below leave it out (the wheel's libraries are not instrumented).
arrow_python=$(scripts/arrow-python.sh)
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON -DVORNAK_WERROR=ON \
  -DVORNAK_MZPEAK=ON -DVORNAK_ARROW_PYTHON="$arrow_python" >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVORNAK_BUILD_TESTS=ON -DVORNAK_WERROR=ON \
  -DVORNAK_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "C++ threaded tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON -DVORNAK_WERROR=ON \
  -DVORNAK_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target test_acquisition test_mzml_writer test_mass_calibration test_value_array \
  test_ordered_pool vornak
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/cpp/test_acquisition --gtest_filter='*Threads*'
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/cpp/test_mzml_writer
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/cpp/test_mass_calibration --gtest_filter='AxisCache*'
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/cpp/test_value_array
TSAN_OPTIONS="halt_on_error=1 exitcode=66" build/tsan/tests/cpp/test_ordered_pool

step "Python module into .venv"
scripts/venv.sh "$python"

step "Python tests"
export VORNAK_CLI="$root/build/release/cli/vornak"
VORNAK_MAKE_SAMPLE="$root/build/release/tests/support/vornak-make-sample" \
  .venv/bin/python -m pytest -q tests/python

step "vornak_ms into build/venv-py311 on the machine's python3"
scripts/venv.sh --py311

step "Python tests on the machine's python3 (vornak_ms; vornak needs CPython >= 3.13)"
VORNAK_MAKE_SAMPLE="$root/build/release/tests/support/vornak-make-sample" \
  build/venv-py311/bin/python -m pytest -q tests/python

step "compile check against CPython 3.14 headers"
scripts/check-py314-headers.sh
