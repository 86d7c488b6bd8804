#!/usr/bin/env bash
# Remembers which sources the package in .venv was built from, so that scripts skip a rebuild
# when nothing changed:
#   bash scripts/install_stamp.sh check    exit 0 when .venv holds a build of the current sources
#   bash scripts/install_stamp.sh record   after installing a build of the current sources
set -euo pipefail
cd "$(dirname "$0")/.."
stamp=.venv/voskel-installed-sources.sha256

# Everything that goes into the wheel: the build files, the C++ sources, the Python package.
sources() {
  find CMakeLists.txt pyproject.toml src python -type f ! -name '*.pyc' -print0 |
    LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum
}

case "${1:-}" in
check)
  [ "$(sources)" = "$(cat "$stamp" 2>/dev/null)" ] &&
    .venv/bin/python -P -c 'import voskel._core' 2>/dev/null
  ;;
record) sources >"$stamp" ;;
*) echo "usage: bash scripts/install_stamp.sh check|record" >&2; exit 2 ;;
esac
