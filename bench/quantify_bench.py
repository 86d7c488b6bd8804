"""Benchmark of quantify_gtf on one sample against the BAM decode floor and featureCounts.

Run bench/gen_quant_data.py first (needs numpy); then, with the package installed in the
interpreter running this script:

    python bench/quantify_bench.py [--data bench/out] [--runs 3]

Each command runs in its own process under /usr/bin/time, which gives wall time and peak
resident memory; the rounds interleave the three and the best wall time of each is
reported. The file is read once beforehand so all of them see it in the page cache. The call
runs with "threads" 2: its wall is held against `samtools view -c -@1`, its CPU time against
a single-threaded `samtools view -c`, which is what the wall becomes when every core already
has a worker. (samtools 1.16 keeps its one extra thread of -@1 for output, so `view -c -@1`
starts no thread and decodes on one core: the two floors differ only by noise.)
"""

from __future__ import annotations

import argparse
import json
import shutil
import sys
import tempfile
from pathlib import Path

from rows import emit, timed

QUANT_CHILD = """
import sys, time
from voskel import _core
gtf, samples, out, cfg = sys.argv[1:5]
t = time.perf_counter()
r = _core.quantify_gtf(gtf, samples, out, cfg)
print(f"CALL {time.perf_counter() - t:.3f} {r}", file=sys.stderr)
"""


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    bam, gtf = args.data / "sample.bam", args.data / "ann.gtf"
    if not bam.exists() or not gtf.exists():
        sys.exit(f"no data in {args.data}: run bench/gen_quant_data.py first")

    with open(bam, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass

    work = Path(tempfile.mkdtemp(prefix="quant_bench_"))
    samples = json.dumps({"samples": [{"sample_id": "s1", "bam": str(bam)}]})
    cfg = json.dumps({"strandedness": "rf", "threads": 2})

    cmds = {
        "floor": ["samtools", "view", "-c", "-@1", str(bam)],
        "floor1": ["samtools", "view", "-c", str(bam)],
        "quant": [sys.executable, "-c", QUANT_CHILD, str(gtf), samples, str(work / "q"), cfg],
        "fc": ["featureCounts", "-p", "--countReadPairs", "-s", "2", "-T", "2", "-a", str(gtf),
               "-o", str(work / "fc.txt"), str(bam)],
    }
    # Rounds interleave the three commands so that a burst of other load hits all of them.
    runs = {k: [] for k in cmds}
    for _ in range(args.runs):
        for k, cmd in cmds.items():
            runs[k].append(timed(cmd))
    floor, floor1, quant, fc = (min(runs[k], key=lambda r: r[0])
                                for k in ("floor", "floor1", "quant", "fc"))
    shutil.rmtree(work)
    call = next((ln for ln in quant[3].splitlines() if ln.startswith("CALL ")), "CALL 0 ?")

    print(f"BAM: {bam} ({bam.stat().st_size / 1e6:.0f} MB), best of {args.runs}")
    for label, r in (("decode floor: samtools view -c -@1", floor),
                     ("samtools view -c, one thread", floor1),
                     ("quantify_gtf, whole process", quant),
                     ("featureCounts -p -s 2 -T 2", fc)):
        print(f"{label:36s} wall {r[0]:6.2f} s  cpu {r[1]:6.2f} s  peak {r[2] / 1024:7.1f} MiB")
    print(f"{'quantify_gtf call alone':36s} wall {float(call.split()[1]):6.2f} s  "
          f"{' '.join(call.split()[2:])}")
    print(f"ratio quantify / decode floor (wall) : {quant[0] / floor[0]:6.3f}")
    print(f"ratio quantify / one-thread decode (cpu): {quant[1] / floor1[1]:6.3f}")
    print(f"ratio quantify / featureCounts (wall): {quant[0] / fc[0]:6.3f}")
    case = "1 sample, threads 2"
    emit("quantify_gtf", case, quant[0], peak_mib=quant[2] / 1024,
         floor=("samtools view -c -@1", floor[0]), peer=("featureCounts -T 2", fc[0]),
         targets={"floor": 1.0})
    emit("quantify_gtf", case, quant[1], metric="cpu", peak_mib=quant[2] / 1024,
         floor=("samtools view -c, cpu", floor1[1]), targets={"floor": 1.25})


if __name__ == "__main__":
    main()
