#!/usr/bin/env bash
# Installs the package into .venv and runs the demo on the bundled dataset:
#   bash scripts/demo.sh [OUTDIR]   (OUTDIR relative to the current directory)
# The package is built again only when its sources changed since it was installed, and then
# incrementally in the persistent build tree build/py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
if ! bash "$root/scripts/install_stamp.sh" check; then
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} "$root/.venv/bin/python" \
    -m pip install -q --no-deps --no-build-isolation -Cbuild-dir="$root/build/py" "$root"
  bash "$root/scripts/install_stamp.sh" record
fi
# -P: a voskel folder in the current directory must not shadow the installed package.
exec "$root/.venv/bin/python" -P -m voskel demo "$@"
