#!/usr/bin/env bash
# Installs, builds the repaired abi3 wheel and the C++ tests in one build tree, checks that the
# build used only Debian packages that bootstrap installs, then runs the Python and the C++
# suites against the installed wheel.
set -euo pipefail
cd "$(dirname "$0")/.."
VOSKEL_BUILD_TESTS=ON bash scripts/build_wheel.sh
.venv/bin/python scripts/check_build_deps.py --build-dir build/py
wheel=$(ls dist/voskel_core-*.whl)
.venv/bin/python -m pip install -q --force-reinstall --no-deps "$wheel"
bash scripts/install_stamp.sh record
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
status=0
VOSKEL_WHEEL=$PWD/$wheel .venv/bin/python -m pytest -q -rs tests/python || status=$?
.venv/bin/ctest --test-dir build/py --output-on-failure -j "$CMAKE_BUILD_PARALLEL_LEVEL" || status=$?
# The same suites under AddressSanitizer and UBSan, and a one-minute fuzz of every reader.
bash scripts/sanitize.sh || status=$?
exit $status
