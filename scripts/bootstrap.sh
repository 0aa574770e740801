#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the pipeline need.
# Idempotent and quiet when everything is present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ccache pkg-config
  libopencv-dev nlohmann-json3-dev libgeos-dev libfreetype-dev pybind11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-numpy python3-pandas python3-pil python3-matplotlib
  python3-pytest python3-opencv python3-shapely python3-sklearn python3-torch
  python3-setuptools python3-pip python3-venv python3-jinja2
  python3-distributed
  python3-tqdm python3-mypy python3-jedi python3-nbclient python3-ipykernel python3-nbformat
  jupyter-nbconvert
  ffmpeg fonts-dejavu-core fonts-liberation
  chromium  # the review page test opens the pages in headless chromium
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
