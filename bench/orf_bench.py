"""Benchmark of scan_orfs against the fetch of the same spliced sequences, and its growth
when every transcript doubles in length.

    python bench/orf_bench.py [--transcripts 100000] [--runs 3]

Generates the synthetic sets with gen_orf_data.py into bench/out/orf_x1 and bench/out/orf_x2
(once; delete them to regenerate), builds bench/orf_bench.cpp through the project's CMake
(bench/native.py), and reports the best of --runs for each measurement. The fetch
floor opens the genome, parses the GTF and splices every representative's sequence; the scan
does that plus orientation, ORF search, scoring and writing both outputs.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import native  # noqa: E402
from rows import emit  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out"


def build() -> Path:
    return native.build("orf_bench")


def dataset(n: int, scale: int) -> Path:
    d = OUT / f"orf_x{scale}"
    if not (d / "hexamer.tsv").exists():
        print(f"generating {n} transcripts at scale {scale} into {d} ...", flush=True)
        subprocess.run([sys.executable, str(ROOT / "bench" / "gen_orf_data.py"), "--out", str(d),
                        "--transcripts", str(n), "--scale", str(scale)], check=True)
    return d


def run(exe: Path, args: list[str]) -> dict[str, float]:
    text = subprocess.run([str(exe), *args], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (line.split() for line in text.splitlines())}


def best(exe: Path, args: list[str], runs: int) -> dict[str, float]:
    results = [run(exe, args) for _ in range(runs)]
    key = args[0]
    return min(results, key=lambda r: r[key])


def measure(exe: Path, d: Path, runs: int) -> tuple[dict[str, float], dict[str, float]]:
    fa, gtf, reps = str(d / "genome.fa"), str(d / "merged.gtf"), str(d / "reps.tsv")
    cfg = json.dumps({"hexamer_table": str(d / "hexamer.tsv"), "min_orf_aa": 50})
    for path in (fa, gtf):  # into the page cache
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass
    fetch = best(exe, ["fetch", fa, gtf, reps], runs)
    scan = best(exe, ["scan", fa, gtf, reps, str(d / "orfs.tsv"), str(d / "peptides.fa"), cfg],
                runs)
    return fetch, scan


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--transcripts", type=int, default=100_000)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    exe = build()
    x1, x2 = dataset(args.transcripts, 1), dataset(args.transcripts, 2)

    f1, s1 = measure(exe, x1, args.runs)
    print(f"\n{args.transcripts} transcripts, {int(f1['bases']):,} spliced bases, "
          f"{int(s1['n_orfs']):,} ORFs")
    print(f"  fetch spliced sequences : {f1['fetch']:.3f} s (of which GTF parse and open "
          f"{f1['parse']:.3f} s)")
    print(f"  scan_orfs               : {s1['scan']:.3f} s")
    print(f"  scan / fetch            : {s1['scan'] / f1['fetch']:.2f}  (target <= 1.50)")
    emit("scan_orfs", f"{args.transcripts:,} transcripts", s1["scan"], metric="call",
         floor=("fetch of spliced sequences", f1["fetch"]), targets={"floor": 1.5})
    seq1 = f1["fetch"] - f1["parse"]
    print(f"  beyond the parse: fetch {seq1:.3f} s, scan {s1['scan'] - f1['parse']:.3f} s, "
          f"ratio {(s1['scan'] - f1['parse']) / seq1:.2f}")

    f2, s2 = measure(exe, x2, args.runs)
    print(f"\ntranscripts doubled in length: {int(f2['bases']):,} spliced bases, "
          f"{int(s2['n_orfs']):,} ORFs")
    print(f"  scan_orfs  x1 {s1['scan']:.3f} s   x2 {s2['scan']:.3f} s   "
          f"ratio {s2['scan'] / s1['scan']:.2f}  (bases ratio {f2['bases'] / f1['bases']:.2f})")
    print(f"  fetch      x1 {f1['fetch']:.3f} s   x2 {f2['fetch']:.3f} s   "
          f"ratio {f2['fetch'] / f1['fetch']:.2f}")
    a, b = s1["scan"] - f1["parse"], s2["scan"] - f2["parse"]
    print(f"  scan beyond the parse x1 {a:.3f} s   x2 {b:.3f} s   ratio {b / a:.2f}")


if __name__ == "__main__":
    main()
