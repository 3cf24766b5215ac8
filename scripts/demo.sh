#!/usr/bin/env bash
# The main job on the bundled default: writes the small sample acquisition, converts it to
# indexed mzML with `vornak convert` (build/sample.mzML) and to mzPeak (build/sample.mzpeak), and
# reads both back against the acquisition with vornak_ms; then summarises the sample with vornak-info, reads its spectra with
# vornak, and plots its TIC with vornak_ms (build/demo-tic.png, when matplotlib is installed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON \
  -DVORNAK_MZPEAK=ON -DVORNAK_ARROW_PYTHON="$(scripts/arrow-python.sh)" >/dev/null
cmake --build build/release -j "$(nproc)" --target vornak vornak-info vornak-make-sample >/dev/null
sample=build/sample.d
rm -rf "$sample"
build/release/tests/support/vornak-make-sample "$sample"

echo "== vornak convert $sample -o build/sample.mzML"
build/release/cli/vornak convert "$sample" -o build/sample.mzML
scripts/venv.sh >/dev/null
.venv/bin/python examples/check_mzml.py "$sample" build/sample.mzML

echo "== vornak convert $sample -o build/sample.mzpeak"
build/release/cli/vornak convert "$sample" -o build/sample.mzpeak
.venv/bin/python examples/read_mzpeak.py "$sample" build/sample.mzpeak

echo "== vornak-info --scans $sample (first spectra)"
build/release/tools/vornak-info --scans "$sample" | sed -n 1,16p

echo
echo "== examples/read_acquisition.py $sample"
.venv/bin/python examples/read_acquisition.py "$sample"

echo
echo "== examples/plot_tic.py $sample build/demo-tic.png (vornak_ms; the plot needs matplotlib)"
plotter=.venv/bin/python
for candidate in .venv/bin/python build/venv-py311/bin/python; do
  if [ -x "$candidate" ] && "$candidate" -c 'import matplotlib, vornak_ms' 2>/dev/null; then
    plotter=$candidate
    break
  fi
done
"$plotter" examples/plot_tic.py "$sample" build/demo-tic.png
