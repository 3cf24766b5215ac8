#!/usr/bin/env bash
# The main job on the bundled default: writes the small sample acquisition, summarises it
# with vornak-info, then reads its spectra from Python with vornak.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j "$(nproc)" --target vornak-info vornak-make-sample >/dev/null
sample=build/sample.d
rm -rf "$sample"
build/release/tests/support/vornak-make-sample "$sample"

echo "== vornak-info --scans $sample (first spectra)"
build/release/tools/vornak-info --scans "$sample" | sed -n 1,16p

echo
echo "== examples/read_acquisition.py $sample"
scripts/venv.sh >/dev/null
.venv/bin/python examples/read_acquisition.py "$sample"
