#!/usr/bin/env bash
# Builds what the benchmarks need and runs them all; see "Benchmarks" in README.md.
#
#   scripts/bench.sh [--json] [--scale N] [--only convert]
#
# --json prints one JSON object of ratios on stdout (the table then goes to stderr); --scale N
# multiplies the number of scans (default 600 profile scans of 60,000 points + 300 centroided);
# --only convert runs the conversion keys alone.
#
# Made here, all under build/ and kept between runs:
#   build/bench              the C++ programs (Release, as pip builds the module), the vornak
#                            command and the synthetic writer
#   build/bench-venv         the free-threaded interpreter with vornak from this checkout,
#                            reinstalled when its sources change
#   build/bench-peers-venv   pyteomics and psims on the machine's python3, used when they have
#                            no binary wheels for the free-threaded interpreter
#   build/bench-readers-venv rainbow-api and openreadout, the independent readers of the same
#                            folders, on the machine's python3 (yardsticks, not dependencies)
#   build/bench-data         the acquisitions and the peers' mzML, one folder per scale
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --json) args+=(--json); shift ;;
    --scale)
      [ $# -ge 2 ] || { echo "bench: --scale needs a value" >&2; exit 2; }
      args+=(--scale "$2"); shift 2 ;;
    --only)
      [ $# -ge 2 ] || { echo "bench: --only needs a value" >&2; exit 2; }
      args+=(--only "$2"); shift 2 ;;
    *) echo "usage: scripts/bench.sh [--json] [--scale N] [--only convert]" >&2; exit 2 ;;
  esac
done

say() { echo "bench: $*" >&2; }
quiet() { "$@" >/dev/null 2>"$root/build/bench-step.log" || { cat "$root/build/bench-step.log" >&2; exit 1; }; }

scripts/install-deps.sh >&2
mkdir -p build
python=$(scripts/free-threaded-python.sh)

say "building the benchmark programs in build/bench"
quiet cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNAK_BUILD_BENCH=ON \
  -DVORNAK_BUILD_TOOLS=ON -DVORNAK_BUILD_TESTS=OFF -DVORNAK_MZPEAK=ON -DVORNAK_ARROW_PYTHON="$(scripts/arrow-python.sh)"
quiet cmake --build build/bench -j "$(nproc)" --target vornak-bench-decode vornak-bench-floor vornak-bench-full-decode vornak-bench-profile-floor vornak-make-sample \
  vornak vornak-bench-convert-floor

# The module is reinstalled when anything it is built from has changed since the last install.
venv=build/bench-venv
[ -x "$venv/bin/python" ] || { say "creating $venv on $python"; quiet "$python" -m venv "$venv"; }
sources_digest=$(find CMakeLists.txt pyproject.toml spectrum_model reader_lib python_module full_reader \
  python_ms_module mzml_export mzpeak_export -type f \
  -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
# pyarrow first: the mzPeak measurements read with it, and the module's writer links its Arrow C++.
"$venv/bin/python" -c 'import pyarrow' 2>/dev/null \
  || quiet "$venv/bin/python" -m pip install --disable-pip-version-check --prefer-binary pyarrow
if [ "$(cat "$venv/.vornak-sources" 2>/dev/null)" != "$sources_digest" ]; then
  say "installing vornak into $venv"
  quiet "$venv/bin/python" -m pip install --disable-pip-version-check --force-reinstall --no-deps \
    -C build-dir=build/bench-module -C cmake.define.VORNAK_ARROW_PYTHON="$root/$venv/bin/python" .
  echo "$sources_digest" >"$venv/.vornak-sources"
fi
# vornak_ms hands out NumPy arrays (the newest NumPy may have no free-threaded wheel yet).
"$venv/bin/python" -c 'import numpy' 2>/dev/null \
  || quiet "$venv/bin/python" -m pip install --disable-pip-version-check --prefer-binary "numpy<2.5"
# Dask for vornak_ms.dask (the [dask] extra; the module above is installed without dependencies).
"$venv/bin/python" -c 'import dask.dataframe, distributed, pandas' 2>/dev/null \
  || quiet "$venv/bin/python" -m pip install --disable-pip-version-check --prefer-binary \
    "dask[dataframe,distributed]>=2024.8" "pandas>=2.0"

# rainbow-api (with its LZF extra) and openreadout, to compare vornak_ms with on the same folders.
readers_venv=build/bench-readers-venv
if ! "$readers_venv/bin/python" -c 'import rainbow, lzf, openreadout, numpy' 2>/dev/null; then
  say "installing rainbow-api and openreadout into $readers_venv on $(command -v python3)"
  rm -rf "$readers_venv"
  quiet python3 -m venv "$readers_venv"
  quiet "$readers_venv/bin/python" -m pip install --disable-pip-version-check --prefer-binary \
    "rainbow-api[hrms]" openreadout numpy
fi

# pyteomics and psims: on the free-threaded interpreter when binary wheels exist for it (lxml
# has had none so far, and a source build takes many minutes and turns the GIL back on),
# otherwise on the machine's python3 in a virtual environment of their own.
# lxml 6 breaks pyteomics' use of the embedded mzML index (it falls back to scanning the whole
# file, which would slow the peer down unfairly): lxml stays below 6.
peers_ready='import pyteomics.mzml, psims, lxml.etree as e; assert e.LXML_VERSION[0] < 6'
peers_python=""
peers_note=""
if "$venv/bin/python" -c "$peers_ready" 2>/dev/null; then
  peers_python="$venv/bin/python"
elif [ ! -f "$venv/.peers-no-wheels" ]; then
  say "trying binary wheels of pyteomics and psims for the free-threaded interpreter"
  if "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: pyteomics psims \
      "lxml<6" >/dev/null 2>&1; then
    peers_python="$venv/bin/python"
  else
    touch "$venv/.peers-no-wheels"  # remove to try again
  fi
fi
if [ -n "$peers_python" ]; then
  peers_note="pyteomics on the same free-threaded interpreter as vornak"
else
  peers_venv=build/bench-peers-venv
  if ! "$peers_venv/bin/python" -c "$peers_ready" 2>/dev/null; then
    say "installing pyteomics and psims into $peers_venv on $(command -v python3)"
    quiet python3 -m venv "$peers_venv"
    quiet "$peers_venv/bin/python" -m pip install --disable-pip-version-check --only-binary=:all: pyteomics psims \
      "lxml<6"
  fi
  peers_python="$peers_venv/bin/python"
  peers_version=$("$peers_python" -c 'import platform; print(platform.python_version())')
  peers_note="pyteomics on CPython $peers_version with the GIL ($peers_venv): lxml has no binary wheel for the free-threaded interpreter"
fi

exec "$venv/bin/python" bench/run_bench.py --build build/bench --data build/bench-data \
  --peers-python "$peers_python" --peers-note "$peers_note" --readers-python "$readers_venv/bin/python" "${args[@]}"
