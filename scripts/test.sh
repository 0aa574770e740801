#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (C++ and Python).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
# All C++ follows the committed .clang-format.
if command -v clang-format >/dev/null && [ -e .git ]; then
  git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
fi
BUILD_DIR=${VEXO_BUILD_DIR:-build}
cd "$BUILD_DIR"
ctest --output-on-failure -j1
