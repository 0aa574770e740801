#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
BUILD_DIR=${VEXO_BUILD_DIR:-build}
PYTHONPATH="$PWD/$BUILD_DIR/python" MPLBACKEND=Agg /usr/bin/python3 examples/pipeline.py "$@"
