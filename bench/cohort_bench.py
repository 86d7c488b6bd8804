"""Cohort benchmark: four samples read in one call, against the decode floor and featureCounts.

The four samples are halves of the quantification benchmark's BAM (run bench/gen_quant_data.py
first), drawn by read name with different seeds so mates stay together; they are made once into
DATA/cohort. Then, with the package installed in the interpreter running this script:

    python bench/cohort_bench.py [--data bench/out] [--runs 2]

Measured, each command in its own process under /usr/bin/time, rounds interleaved and the best
wall of each kept:
  - the floor: single-threaded `samtools view -c` of each sample, one after the other (the sum
    of their walls is the decoding any analysis must do);
  - the peer: featureCounts -p --countReadPairs -s 2 -T 2 over the four samples;
  - quantify_gtf and leak_scan with "threads" 2 (wall against both) and with "threads" 1 (CPU
    time against its own wall: one busy core, as asked).
An analysis the installed module lacks is left out.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from rows import emit, timed

N_SAMPLES = 4

CHILD = """
import sys
from voskel import _core
fn = getattr(_core, sys.argv[1])
print(fn(*sys.argv[2:]), file=sys.stderr)
"""


def make_samples(data: Path) -> list[Path]:
    src = data / "sample.bam"
    out = data / "cohort"
    out.mkdir(exist_ok=True)
    bams = []
    for k in range(1, N_SAMPLES + 1):
        bam = out / f"s{k}.bam"
        if not Path(f"{bam}.bai").exists():
            # SEED.FRACTION: half of the read names, the same half for both mates.
            subprocess.run(["samtools", "view", "-b", "-@2", "-s", f"{k}.5", "-o", str(bam),
                            str(src)], check=True)
            subprocess.run(["samtools", "index", str(bam)], check=True)
        bams.append(bam)
    return bams


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--runs", type=int, default=2)
    args = ap.parse_args()
    gtf = args.data / "ann.gtf"
    if not (args.data / "sample.bam").exists() or not gtf.exists():
        sys.exit(f"no data in {args.data}: run bench/gen_quant_data.py first")
    bams = make_samples(args.data)
    for bam in bams:  # into the page cache
        with open(bam, "rb") as f:
            while f.read(1 << 24):
                pass

    from voskel import _core
    work = Path(tempfile.mkdtemp(prefix="cohort_bench_"))
    groups = ["control", "control", "treat", "treat"]
    samples = json.dumps({"samples": [{"sample_id": f"s{k}", "bam": str(b), "group": g}
                                      for k, (b, g) in enumerate(zip(bams, groups), 1)]})
    py = sys.executable

    def call(fn: str, out: str, threads: int) -> list[str]:
        cfg = json.dumps({"strandedness": "rf", "threads": threads})
        return [py, "-c", CHILD, fn, str(gtf), samples, str(work / out), cfg]

    cmds = {"fc": ["featureCounts", "-p", "--countReadPairs", "-s", "2", "-T", "2", "-a",
                   str(gtf), "-o", str(work / "fc.txt"), *map(str, bams)]}
    for k, bam in enumerate(bams):
        cmds[f"floor{k}"] = ["samtools", "view", "-c", str(bam)]
    analyses = [fn for fn in ("quantify_gtf", "leak_scan") if hasattr(_core, fn)]
    for fn in analyses:
        out = "q" if fn == "quantify_gtf" else "leak.tsv"
        for threads in (2, 1):
            cmds[f"{fn}/{threads}"] = call(fn, f"{threads}_{out}", threads)

    runs = {k: [] for k in cmds}
    for _ in range(args.runs):
        for k, cmd in cmds.items():
            runs[k].append(timed(cmd))
    best = {k: min(v, key=lambda r: r[0]) for k, v in runs.items()}
    shutil.rmtree(work)

    floor_wall = sum(best[f"floor{k}"][0] for k in range(len(bams)))
    floor_cpu = sum(best[f"floor{k}"][1] for k in range(len(bams)))
    fc = best["fc"]
    print(f"{len(bams)} samples, {sum(b.stat().st_size for b in bams) / 1e6:.0f} MB of BAM, "
          f"best of {args.runs}")
    print(f"{'sum of samtools view -c walls':40s} wall {floor_wall:6.2f} s  cpu {floor_cpu:6.2f} s")
    print(f"{'featureCounts -p -s 2 -T 2':40s} wall {fc[0]:6.2f} s  cpu {fc[1]:6.2f} s  "
          f"peak {fc[2] / 1024:7.1f} MiB")
    floor = ("sum of samtools view -c", floor_wall)
    peer = ("featureCounts -T 2", fc[0])
    for fn in analyses:
        for threads in (2, 1):
            wall, cpu, rss, _ = best[f"{fn}/{threads}"]
            print(f"{fn + ', threads ' + str(threads):40s} wall {wall:6.2f} s  cpu {cpu:6.2f} s  "
                  f"peak {rss / 1024:7.1f} MiB")
            case = f"cohort {len(bams)} samples, threads {threads}"
            if threads == 2:
                emit(fn, case, wall, peak_mib=rss / 1024, floor=floor, peer=peer,
                     targets={"floor": 0.6, "peer": 0.35})
            else:
                emit(fn, case, wall, peak_mib=rss / 1024, floor=floor, peer=peer)
                emit(fn, case, cpu, metric="cpu", peak_mib=rss / 1024,
                     floor=("own wall, threads 1", wall), targets={"floor": 1.05})


if __name__ == "__main__":
    main()
