"""Prints the ROW lines of a benchmark log (bench/rows.py) as one table.

    python bench/table.py LOG [--expect name ...]

Each analysis named with --expect but without ROW lines gets a line saying why (its benchmark
ran but wrote none, or this checkout has no benchmark for it), so that it shows in the table
instead of vanishing from it. bench/run_all.sh marks each benchmark it runs with "== name".
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path

from rows import PREFIX


def ratio_cell(seconds: float, ref: list | None, target: float | None) -> str:
    if not ref or not ref[1]:
        return "-"
    r = seconds / ref[1]
    if target is None:
        return f"{r:.2f}"
    return f"{r:.2f} (<= {target:.2f} {'met' if r <= target else 'NOT met'})"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("log", type=Path)
    ap.add_argument("--expect", nargs="*", default=[])
    args = ap.parse_args()
    text = args.log.read_text().splitlines()
    rows = [json.loads(ln[len(PREFIX):]) for ln in text if ln.startswith(PREFIX)]
    ran = {ln[3:].strip() for ln in text if ln.startswith("== ")}

    head = ["analysis", "case", "metric", "ours s", "peak MiB", "floor", "floor s",
            "vs floor", "peer", "peer s", "vs peer"]
    lines = []
    for r in rows:
        floor, peer, t = r["floor"], r["peer"], r["targets"]
        lines.append([
            r["analysis"], r["case"], r["metric"], f"{r['seconds']:.2f}",
            f"{r['peak_mib']:.0f}" if r["peak_mib"] is not None else "-",
            floor[0] if floor else "-", f"{floor[1]:.2f}" if floor else "-",
            ratio_cell(r["seconds"], floor, t.get("floor")),
            peer[0] if peer else "-", f"{peer[1]:.2f}" if peer else "-",
            ratio_cell(r["seconds"], peer, t.get("peer")),
        ])
    seen = {r["analysis"] for r in rows}
    for name in args.expect:
        if name not in seen:
            why = "ran, no ROW lines: see its report" if name in ran else "no benchmark here"
            lines.append([name, why] + [""] * (len(head) - 2))

    widths = [max(len(str(x)) for x in col) for col in zip(head, *lines)]
    fmt = lambda cells: "  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip()
    print(fmt(head))
    print(fmt(["-" * w for w in widths]))
    cohort = False
    for ln in lines:
        if ln[1].startswith("cohort") and not cohort:
            cohort = True
            print()
        print(fmt(ln))


if __name__ == "__main__":
    main()
