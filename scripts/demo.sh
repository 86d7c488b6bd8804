#!/usr/bin/env bash
# Installs the package into .venv and runs the demo on the bundled dataset.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
.venv/bin/python -m pip install -q .
cd /tmp && exec "$OLDPWD/.venv/bin/python" -m voskel demo "$@"
