#!/usr/bin/env bash
# The main job on the bundled default: generates the small sample acquisition, then reads
# it end to end with vornak-info.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j "$(nproc)" --target vornak-info vornak-make-sample >/dev/null
sample=build/sample.d
rm -rf "$sample"
build/release/tests/support/vornak-make-sample "$sample"
build/release/tools/vornak-info --scans "$sample" | head -n 20
