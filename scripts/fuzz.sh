#!/usr/bin/env bash
# A bounded libFuzzer run of the state reader (tests/fuzz/state_bytes_fuzz.cpp), built with clang
# under ASan+UBSan. Inputs that reach new code are merged into tests/fuzz/corpus, and any input that
# crashes is copied there too, so the C++ test fuzz_regression_test replays it from then on.
#
#   scripts/fuzz.sh [seconds]     default 60
#   scripts/fuzz.sh 0             replay the corpus only
# The hand-made seed-* inputs come from tests/fuzz/make_seeds.py (run it with tavrin_rl installed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
corpus=tests/fuzz/corpus
build=build/fuzz

CXX=${CXX:-clang++} cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_FUZZ=ON \
  -DTAVRIN_SANITIZE=ON -DTAVRIN_BUILD_PYTHON=OFF -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j2 --target state_bytes_fuzz
fuzzer=$build/state_bytes_fuzz

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/new" "$work/crashes"

status=0
if [ "$seconds" = 0 ]; then
  "$fuzzer" -runs=0 "$corpus" || status=$?
else
  # New inputs go to the scratch directory; the kept corpus is read as seeds.
  "$fuzzer" -max_total_time="$seconds" -max_len=512 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/crashes/" "$work/new" "$corpus" || status=$?
  before=$(ls "$corpus" | wc -l)
  "$fuzzer" -merge=1 "$corpus" "$work/new" >"$work/merge.log" 2>&1 || { cat "$work/merge.log"; status=1; }
  echo "corpus: $before -> $(ls "$corpus" | wc -l) inputs"
fi
for f in "$work"/crashes/*; do
  [ -e "$f" ] || continue
  cp "$f" "$corpus/"
  echo "crashing input kept as $corpus/$(basename "$f")" >&2
done
exit "$status"
