#!/usr/bin/env bash
# Creates .venv on the given free-threaded interpreter (once), and installs pytest, NumPy and the
# vornak and vornak_ms modules from this checkout into it (with nanobind, which CMake builds of the
# modules need).
#
#   scripts/venv.sh [PYTHON]
#   scripts/venv.sh --py311 [PYTHON3]
#
# --py311 makes build/venv-py311 on the machine's python3 (CPython 3.11) instead: vornak_ms alone
# (vornak needs 3.13), NumPy and pytest, and the mzML readers and writers the round-trip tests
# compare with (pyteomics, lxml, psims, pyOpenMS, pynumpress) and the Parquet readers of the
# mzPeak tests (DuckDB, Polars). Both get the [dask] extra for vornak_ms.dask. VORNAK_MZPEAK=ON:
# a module without its mzPeak writer would only skip its tests.
#
# pyarrow goes in first: the modules' mzPeak writer links the Arrow C++ libraries of the
# environment's own pyarrow wheel (VORNAK_ARROW_PYTHON).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
pip_install() { "$1/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary "${@:2}"; }

if [ "${1:-}" = "--py311" ]; then
  python=${2:-python3}
  venv=build/venv-py311
  if [ -x "$venv/bin/python" ] && ! "$venv/bin/python" -c 'import pytest' >/dev/null 2>&1; then
    rm -rf "$venv"  # half made, or its interpreter has gone
  fi
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  # lxml 6 breaks pyteomics' use of the embedded mzML index (it falls back to a scan that loses ids).
  # pynumpress decodes MS-Numpress arrays for pyteomics.
  pip_install "$venv" pytest numpy "nanobind>=3.1,<3.2" pyteomics "lxml<6" psims pyopenms pynumpress \
    pyarrow duckdb polars
  pip_install "$venv" "$root[dask]" -C cmake.define.VORNAK_ARROW_PYTHON="$root/$venv/bin/python" \
    -C cmake.define.VORNAK_MZPEAK=ON
  "$venv/bin/python" -c 'import vornak_ms, vornak_ms.dask, numpy' \
    || { echo "venv: vornak_ms or vornak_ms.dask does not import in $venv" >&2; exit 1; }
  exit 0
fi

python=${1:-$(scripts/free-threaded-python.sh)}
if [ -x .venv/bin/python ] && ! .venv/bin/python -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
  echo ".venv exists but is not free-threaded; recreating it" >&2
  rm -rf .venv
fi
[ -x .venv/bin/python ] || "$python" -m venv .venv
# NumPy's newest release may have no wheel for the free-threaded interpreter: take the newest one
# that has (a source build takes many minutes).
pip_install .venv pytest "numpy<2.5" "nanobind>=3.1,<3.2" pyarrow
# With the [dask] extra (Dask, distributed, pandas) for vornak_ms.dask; on the free-threaded
# interpreter msgpack, tornado and pyyaml have no wheels and build from source (about 30 s).
pip_install .venv "$root[dask]" -C cmake.define.VORNAK_ARROW_PYTHON="$root/.venv/bin/python" \
  -C cmake.define.VORNAK_MZPEAK=ON
.venv/bin/python -c 'import vornak_ms.dask' || { echo "venv: vornak_ms.dask does not import in .venv" >&2; exit 1; }
