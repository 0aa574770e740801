#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (C++ and Python).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
BUILD_DIR=${VEXO_BUILD_DIR:-build}
cd "$BUILD_DIR"
ctest --output-on-failure -j1
