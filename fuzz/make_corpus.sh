#!/usr/bin/env bash
# Regenerates the committed seed corpus, fuzz/corpus/<target>/, with vornak-fuzz-seeds: inputs
# laid out by the synthetic acquisition writer, and cuts of the real acquisitions in
# ../shared/realdata when that folder is present. Seeds are rewritten in place; other files in
# the corpus folders are left alone.
#
#   fuzz/make_corpus.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

scripts/install-deps.sh
# The same configuration as the plain build of scripts/test.sh, so the two share a build folder.
[ -f build/release/CMakeCache.txt ] ||
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNAK_BUILD_TESTS=ON \
    -DVORNAK_WERROR=ON >/dev/null
cmake --build build/release --target vornak-fuzz-seeds >/dev/null

realdata=$(cd "$root/.." && pwd)/shared/realdata
if [ -d "$realdata" ]; then
  build/release/fuzz/vornak-fuzz-seeds fuzz/corpus "$realdata"
else
  echo "make_corpus: $realdata not found; writing the synthetic seeds only" >&2
  build/release/fuzz/vornak-fuzz-seeds fuzz/corpus
fi
du -sh fuzz/corpus

# The full reader's whole-acquisition seeds: cuts of the real folders.
if [ -d "$realdata" ]; then
  python3 fuzz/make_full_seeds.py fuzz/corpus/full_acquisition "$realdata"
fi
