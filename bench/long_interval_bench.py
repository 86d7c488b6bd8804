"""Benchmark of overlap lookups beside one chromosome-long interval.

    python bench/long_interval_bench.py [--data bench/out/long] [--runs 3]

Writes (once) an annotation of 50,000 two-exon transcripts along one chromosome (100,000
exons) and a sorted BAM of 200,000 single-end reads on them, then the same annotation with
one more transcript whose single exon, and gene row, span the whole chromosome. It times
quantify_gtf (the annotation as the merged GTF) and classify_gtfs (the annotation as the
query, the other file as the reference) on both annotations and prints the ratio of the
long-interval run to the plain run, its peer measured in the same round: about 1 when a
query's cost follows what it yields, tens when every later query scans from the long
interval onwards. Needs pysam for writing the BAM.
"""

from __future__ import annotations

import argparse
import json
import random
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
N_TX = 50_000
N_READS = 200_000
SPACING = 2_000  # one transcript every SPACING bases
CHROM_LEN = N_TX * SPACING + 10_000
READ_LEN = 50

CHILD = """
import sys, time
from voskel import _core
fn, *args = sys.argv[1:]
t = time.perf_counter()
getattr(_core, fn)(*args)
print(f"{time.perf_counter() - t:.4f}")
"""


def exons_of(i: int) -> list[tuple[int, int]]:
    s = 1_000 + i * SPACING
    return [(s, s + 299), (s + 600, s + 899)]


def write_data(d: Path) -> None:
    d.mkdir(parents=True, exist_ok=True)
    rows = []
    for i in range(N_TX):
        attrs = f'gene_id "G{i}"; transcript_id "T{i}";'
        for s, e in exons_of(i):
            rows.append(f"chr1\tbench\texon\t{s}\t{e}\t.\t+\t.\t{attrs}\n")
    (d / "plain.gtf").write_text("".join(rows))
    long_rows = [f'chr1\tbench\tgene\t1\t{CHROM_LEN}\t.\t+\t.\tgene_id "LONG";\n',
                 f'chr1\tbench\texon\t1\t{CHROM_LEN}\t.\t+\t.\tgene_id "LONG"; '
                 'transcript_id "LONG.1";\n']
    (d / "long.gtf").write_text("".join(long_rows + rows))

    import pysam

    rng = random.Random(14)
    starts = sorted(rng.choice(exons_of(rng.randrange(N_TX)))[0] + rng.randrange(240)
                    for _ in range(N_READS))
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": "chr1", "LN": CHROM_LEN}]}
    with pysam.AlignmentFile(str(d / "reads.bam"), "wb", header=header) as out:
        for k, s in enumerate(starts):
            a = pysam.AlignedSegment(out.header)
            a.query_name = f"r{k}"
            a.flag = 16 if k % 2 else 0
            a.reference_id = 0
            a.reference_start = s - 1
            a.mapping_quality = 60
            a.cigarstring = f"{READ_LEN}M"
            a.query_sequence = "A" * READ_LEN
            a.set_tag("NH", 1)
            out.write(a)
    pysam.index(str(d / "reads.bam"))
    (d / "ready").write_text("")


def run(args: list[str]) -> float:
    p = subprocess.run([sys.executable, "-c", CHILD, *args], capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit(f"{args[0]} failed:\n{p.stderr}")
    return float(p.stdout.split()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=HERE / "out" / "long")
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    d = a.data
    if not (d / "ready").exists():
        write_data(d)
    samples = json.dumps({"samples": [{"sample_id": "s", "bam": str(d / "reads.bam")}]})
    cfg = json.dumps({"strandedness": "unstranded"})
    jobs = {}
    for kind in ("plain", "long"):
        jobs[("quantify_gtf", kind)] = ["quantify_gtf", str(d / f"{kind}.gtf"), samples,
                                        str(d / f"q_{kind}"), cfg]
        jobs[("classify_gtfs", kind)] = ["classify_gtfs", str(d / "plain.gtf"),
                                         str(d / f"{kind}.gtf"), str(d / f"c_{kind}.tsv"), cfg]
    best = {k: float("inf") for k in jobs}
    for _ in range(a.runs):  # the runs take turns, so noise hits both sides alike
        for k, job in jobs.items():
            best[k] = min(best[k], run(job))
    print(f"{N_TX * 2:,} exons, {N_READS:,} reads; best of {a.runs} runs, in-call seconds")
    for fn in ("quantify_gtf", "classify_gtfs"):
        plain, long = best[(fn, "plain")], best[(fn, "long")]
        print(f"{fn:14} plain {plain:7.3f} s   with a chromosome-long interval {long:7.3f} s"
              f"   ratio {long / plain:5.2f}")


if __name__ == "__main__":
    t = time.perf_counter()
    main()
    print(f"(whole benchmark {time.perf_counter() - t:.0f} s)")
