#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a bounded time on its committed seed corpus.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
FUZZ_DIR=${VEXO_FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DVEXO_FUZZ=ON \
  -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$FUZZ_DIR" -j"$(nproc)"
for bin in "$FUZZ_DIR"/fuzz_*; do
  name=$(basename "$bin")
  corpus="fuzz/corpus/${name#fuzz_}"
  work="$FUZZ_DIR/corpus-${name#fuzz_}"
  mkdir -p "$work"
  echo "== $name for ${SECONDS_PER_TARGET}s"
  "$bin" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    "$work" "$corpus" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|crash-|leak' || true
done
