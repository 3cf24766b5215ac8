#!/usr/bin/env bash
# Prints the path of an interpreter whose pyarrow provides Arrow C++ (headers and the Arrow and
# Parquet libraries of its wheel) for the C++ builds of the mzPeak writer: build/arrow-venv on the
# machine's python3, made once. Everything else goes to stderr; stdout carries only the path.
#
#   cmake ... -DVORNAK_ARROW_PYTHON="$(scripts/arrow-python.sh)"
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/build/arrow-venv"
if ! "$venv/bin/python" -c 'import pyarrow' >/dev/null 2>&1; then
  echo "arrow-python: installing pyarrow into $venv" >&2
  rm -rf "$venv"
  mkdir -p "$root/build"
  python3 -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary pyarrow >&2
fi
echo "$venv/bin/python"
