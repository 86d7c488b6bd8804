"""The demo: every analysis of the core on the small dataset bundled with the package."""

from __future__ import annotations

import tempfile
from pathlib import Path

from voskel import _core


def run(outdir: str | None = None) -> int:
    if outdir is None:
        outdir = tempfile.mkdtemp(prefix="voskel-demo-")
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    print(_core.core_version())
    return 0
