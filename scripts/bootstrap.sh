#!/usr/bin/env bash
# Installs what the core needs on a fresh Debian machine: system libraries through apt-get
# (only the missing ones), and a Python virtual environment in .venv with the build and test
# tools. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

DEBS=(g++ make pkg-config libhts-dev libssl-dev rapidjson-dev libfmt-dev libgtest-dev zlib1g-dev)
if [ "${VOSKEL_BENCH:-0}" = 1 ]; then
  DEBS+=(samtools subread gffread time)
fi
missing=()
for p in "${DEBS[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  echo "installing Debian packages: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  if ! "$PY" -m venv .venv 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq python3-venv >/dev/null
    rm -rf .venv
    "$PY" -m venv .venv
  fi
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest pysam abi3audit
if [ "${VOSKEL_BENCH:-0}" = 1 ]; then
  .venv/bin/python -m pip install -q numpy
fi
