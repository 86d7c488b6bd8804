#!/usr/bin/env bash
# Installs, builds the abi3 wheel and the C++ tests in one build tree, checks the wheel with
# abi3audit, then runs the Python and the C++ suites.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
rm -rf dist
.venv/bin/python -m pip wheel -q --no-deps --no-build-isolation -w dist \
  -Cbuild-dir=build/py -Ccmake.define.VOSKEL_BUILD_TESTS=ON .
wheel=$(ls dist/voskel_core-*.whl)
case "$wheel" in
*-cp311-abi3-*) ;;
*) echo "wheel is not tagged cp311-abi3: $wheel" >&2; exit 1 ;;
esac
.venv/bin/abi3audit --strict --report "$wheel"
.venv/bin/python -m pip install -q --force-reinstall --no-deps "$wheel"
status=0
VOSKEL_WHEEL=$PWD/$wheel .venv/bin/python -m pytest -q tests/python || status=$?
.venv/bin/ctest --test-dir build/py --output-on-failure -j "$CMAKE_BUILD_PARALLEL_LEVEL" || status=$?
exit $status
