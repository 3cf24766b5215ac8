#!/usr/bin/env bash
# Runs one libFuzzer target for a time budget, on a scratch copy of its corpus.
#
#   scripts/fuzz.sh --list              the target names, one per line
#   scripts/fuzz.sh TARGET SECONDS [LIBFUZZER_OPTION...]
#
# Builds what it needs with clang in build/fuzz (AddressSanitizer, UndefinedBehaviorSanitizer,
# and an LZF cap of 16 MiB so that no input reaches the fuzzer's memory limit by design), then
# fuzzes from fuzz/corpus/TARGET and fuzz/regressions/TARGET. New inputs go to
# build/fuzz/corpus/TARGET, never into the committed corpus; a crash, leak, timeout or
# out-of-memory input goes to build/fuzz/findings/TARGET/ and the script exits non-zero. Copy
# such an input to fuzz/regressions/TARGET/ to replay it in the tests from then on.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# clang 14 cannot compile GCC 12's std::expected (its __cpp_concepts is too old); clang 19 can.
clang_version=19
fuzz_lzf_cap=16777216

targets() {
  local source
  for source in fuzz/targets/*.cpp; do basename "$source" .cpp; done
}

usage() {
  echo "usage: scripts/fuzz.sh --list | TARGET SECONDS [LIBFUZZER_OPTION...]" >&2
  exit 2
}

if [ "${1:-}" = "--list" ]; then
  targets
  exit 0
fi
[ $# -ge 2 ] || usage
target=$1
seconds=$2
shift 2
grep -qx -- "$target" <<<"$(targets)" || { echo "fuzz.sh: unknown target '$target'; try --list" >&2; exit 2; }
[[ "$seconds" =~ ^[0-9]+$ ]] || usage

# The formats' magic values and names, per target.
dictionary() {
  case "$1" in
    msscan) echo fuzz/dict/msscan.dict ;;
    lzf_decompress | profile_block) echo fuzz/dict/lzf.dict ;;
    devices_xml | contents_xml) echo fuzz/dict/xml.dict ;;
    acquisition | full_acquisition) echo fuzz/dict/acquisition.dict ;;
    run_length) echo fuzz/dict/run_length.dict ;;
    profile_payload) echo fuzz/dict/profile_payload.dict ;;
    mass_calibration) echo fuzz/dict/mass_calibration.dict ;;
    scan_schema) echo fuzz/dict/scan_schema.dict ;;
    ims_frames | time_segments) echo fuzz/dict/families.dict ;;
  esac
}

install_clang() {
  local packages=("clang-$clang_version" "libclang-rt-$clang_version-dev" "llvm-$clang_version") missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "fuzz.sh: installing ${missing[*]}" >&2
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

scripts/install-deps.sh
install_clang

# Quiet unless something goes wrong.
quietly() {
  local output
  output=$("$@" 2>&1) || { printf '%s\n' "$output" >&2; echo "fuzz.sh: failed: $*" >&2; exit 1; }
}

build=${VORNAK_FUZZ_BUILD:-build/fuzz}  # a folder of its own lets two targets build at once
quietly cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="clang-$clang_version" -DCMAKE_CXX_COMPILER="clang++-$clang_version" \
  -DVORNAK_BUILD_FUZZERS=ON -DVORNAK_BUILD_TESTS=OFF -DVORNAK_BUILD_TOOLS=OFF \
  -DVORNAK_SANITIZE=address,undefined,fuzzer-no-link -DVORNAK_LZF_CAP="$fuzz_lzf_cap"
quietly cmake --build "$build" --target "fuzz_$target"

corpus=$build/corpus/$target
findings=$build/findings/$target
log=$build/logs/$target.log
mkdir -p "$corpus" "$findings" "$(dirname "$log")"

options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$findings/")
dict=$(dictionary "$target")
[ -n "$dict" ] && options+=(-dict="$dict")
[ "$target" = lzf_roundtrip ] && options+=(-max_len=65536)
seeds=(fuzz/corpus/"$target")
[ -d fuzz/regressions/"$target" ] && seeds+=(fuzz/regressions/"$target")

echo "fuzz.sh: $target for ${seconds}s (log: $log)" >&2
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
symbolizer=$(command -v "llvm-symbolizer-$clang_version" || true)
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH=$symbolizer
status=0
"$build/fuzz/fuzz_$target" "${options[@]}" "$@" "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?

# libFuzzer's closing lines: "#N DONE cov: C ft: F corp: ..." and the final statistics.
done_line=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -n 1 || true)
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
coverage=$(sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+) corp: ([^ ]+).*/coverage \1, features \2, corpus \3/' <<<"$done_line")
[ "$status" -eq 0 ] || coverage="stopped at the first finding"
echo "fuzz.sh: $target: ${execs:-?} runs in ${seconds}s; $coverage" >&2
if [ "$status" -ne 0 ]; then
  grep -E '^(==[0-9]+==ERROR|SUMMARY|.*fuzz check failed|.*runtime error)' "$log" | head -n 5 >&2 || true
  echo "fuzz.sh: $target FAILED (status $status); inputs in $findings/, full output in $log" >&2
fi
exit "$status"
