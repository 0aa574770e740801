#!/usr/bin/env bash
# Configures and builds into ./build (or $VEXO_BUILD_DIR) with Debian's Python.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${VEXO_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3 "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
