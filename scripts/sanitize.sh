#!/usr/bin/env bash
# Builds the core, its extension module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in build/asan, then runs under them the C++ tests, the Python
# suite (the interpreter preloads the sanitizer runtime and imports this module build) and a
# fuzz of every reader with a fixed seed. Any sanitizer report fails the run.
#
#   bash scripts/sanitize.sh            # FUZZ_SECONDS=60 by default
#   FUZZ_SECONDS=0 bash scripts/sanitize.sh   # without the fuzz
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/asan
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# -O1 with line tables only: a quick build whose reports still name file and line.
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Sanitize -DVOSKEL_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -DCMAKE_CXX_FLAGS="-O1 -g1 $sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
  -DCMAKE_MODULE_LINKER_FLAGS="$sanitize" >/dev/null
.venv/bin/cmake --build "$build" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" --target _core core_tests

# The package as installed, with this build's module in it.
pkg="$build/pkg/voskel"
rm -rf "$build/pkg"
mkdir -p "$pkg"
for f in python/voskel/*; do
  ln -s "$PWD/$f" "$pkg/"
done
ln -s "$PWD/$(ls "$build"/_core*.so)" "$pkg/"

# Reports end the process with a non-zero status; the interpreter's own allocations at exit
# are not ours to account for, the C++ tests' are.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
ASAN_OPTIONS=detect_leaks=1 "$build/core_tests" --gtest_brief=1 || status=$?

runtime=$(g++ -print-file-name=libasan.so)
export ASAN_OPTIONS=detect_leaks=0
with_sanitizers=(env LD_PRELOAD="$runtime" PYTHONPATH="$PWD/$build/pkg")
"${with_sanitizers[@]}" .venv/bin/python -c \
  "import voskel._core as c, sys; sys.exit(0 if c.__file__.startswith('$PWD/$build/pkg') else 1)" ||
  { echo "the sanitizer build of voskel._core is not the one imported" >&2; exit 1; }
# The packaging tests build the package again from source: nothing of the core runs there.
"${with_sanitizers[@]}" .venv/bin/python -m pytest -q -p no:cacheprovider \
  --ignore=tests/python/test_install.py tests/python || status=$?

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  "${with_sanitizers[@]}" .venv/bin/python scripts/fuzz.py --seconds "${FUZZ_SECONDS:-60}" \
    --seed 14 || status=$?
fi
exit $status
