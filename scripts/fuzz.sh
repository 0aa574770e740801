#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs
# each for a bounded time on its committed seed corpus. Exits non-zero when a
# target finds a crash, leak, timeout or out-of-memory input (saved in the
# build folder as crash-*/leak-*/timeout-*/oom-*).
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 60, all)
#   VEXO_FUZZ_JOBS=2 runs that many targets at once.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
shift || true
command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
FUZZ_DIR=${VEXO_FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${VEXO_FUZZ_JOBS:-1}
cmake -S . -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DVEXO_FUZZ=ON \
  -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$FUZZ_DIR" -j"$(nproc)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$FUZZ_DIR"/fuzz_*; do
    [ -x "$bin" ] && [ -f "$bin" ] && targets+=("$(basename "$bin")")
  done
fi

run_one() {
  local name=$1 corpus="fuzz/corpus/${1#fuzz_}" work="$FUZZ_DIR/corpus-${1#fuzz_}"
  local log="$FUZZ_DIR/$name.log" rc=0
  mkdir -p "$work"
  "$FUZZ_DIR/$name" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$FUZZ_DIR/" "$work" "$corpus" >"$log" 2>&1 || rc=$?
  echo "== $name (${SECONDS_PER_TARGET}s, exit $rc)"
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|crash-|leak-|timeout-|oom-' "$log" || true
  return "$rc"
}

failed=0
pids=()
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$JOBS" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit "$failed"
