#!/usr/bin/env bash
# Builds with AddressSanitizer + UndefinedBehaviorSanitizer and runs the whole
# test suite: the C++ tests directly, the Python tests with the sanitizer
# runtime preloaded into the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${VEXO_ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_SANITIZE=ON \
  -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Leaks of uninstrumented system libraries (full stacks, so they can be matched).
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp:fast_unwind_on_malloc=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 "$BUILD_DIR/vexo_cpp_tests" --gtest_brief=1
ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
# The interpreter itself is not instrumented: leak reports from it are noise.
LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  PYTHONPATH="$PWD/$BUILD_DIR/python" MPLBACKEND=Agg \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python "$@"
