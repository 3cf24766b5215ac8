#!/usr/bin/env bash
# Creates .venv on the given free-threaded interpreter (once), and installs pytest and the
# vornak module from this checkout into it.
#
#   scripts/venv.sh [PYTHON]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python=${1:-$(scripts/free-threaded-python.sh)}

if [ -x .venv/bin/python ] && ! .venv/bin/python -c 'import sys; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
  echo ".venv exists but is not free-threaded; recreating it" >&2
  rm -rf .venv
fi
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check pytest
.venv/bin/python -m pip install -q --disable-pip-version-check "$root"
