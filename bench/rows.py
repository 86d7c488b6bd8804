"""Machine-readable result lines that bench/run_all.sh gathers into one table.

A benchmark prints, beside its own report, one line per measured case:

    ROW {"analysis": ..., "case": ..., "metric": "wall", "seconds": ..., "peak_mib": ...,
         "floor": [name, seconds], "peer": [name, seconds], "targets": {"floor": 1.0}}

"floor" is the decoding or parsing the analysis cannot avoid, "peer" an established tool doing
comparable work; either may be absent. "targets" holds the highest ratio allowed against each.
bench/table.py reads these lines back.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile

PREFIX = "ROW "


def emit(analysis: str, case: str, seconds: float, *, metric: str = "wall",
         peak_mib: float | None = None, floor: tuple[str, float] | None = None,
         peer: tuple[str, float] | None = None, targets: dict[str, float] | None = None) -> None:
    row = {"analysis": analysis, "case": case, "metric": metric, "seconds": seconds,
           "peak_mib": peak_mib, "floor": list(floor) if floor else None,
           "peer": list(peer) if peer else None, "targets": targets or {}}
    print(PREFIX + json.dumps(row), flush=True)


def timed(cmd: list[str], **kw) -> tuple[float, float, int, str]:
    """(wall s, user+system CPU s, peak RSS KiB, stderr) of one command under /usr/bin/time."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
        p = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", tf.name, *cmd],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, **kw)
        if p.returncode != 0:
            sys.exit(f"{cmd[0]} failed ({p.returncode}):\n{p.stderr}")
        wall, user, sys_s, rss = tf.read().split()[-4:]
    return float(wall), float(user) + float(sys_s), int(rss), p.stderr
