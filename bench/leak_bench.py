"""Benchmark of leak_scan on one sample against the BAM decode floor and quantify_gtf.

Uses the quantification benchmark's data (bench/gen_quant_data.py); then, with the package
installed in the interpreter running this script:

    python bench/leak_bench.py [--data bench/out] [--runs 3]

Four commands, each in its own process under /usr/bin/time (wall time, CPU time, peak resident
memory), interleaved over the rounds, best wall time of each reported:

- the decode floor, `samtools view -c -@1` on the BAM;
- `quantify_gtf` on the sample, "rf": one pass of the same fragment assembly;
- `leak_scan` "rf": junction strands from the library protocol;
- `leak_scan` "unstranded" with a genome: strands from splice motifs, then tags.

The genome (bench/out/genome.fa with its .fai, written once) is random sequence of the BAM's
reference lengths with GT..AG (CT..AC on the minus strand) at every annotated intron, so most
junctions take their strand from a valid motif as on real data.
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from rows import emit, timed

CHILD = """
import sys, time
from voskel import _core
fn, gtf, samples, out, cfg = sys.argv[1:6]
t = time.perf_counter()
r = getattr(_core, fn)(gtf, samples, out, cfg)
print(f"CALL {time.perf_counter() - t:.3f} {r}", file=sys.stderr)
"""


def write_genome(bam: Path, gtf: Path, fasta: Path) -> None:
    """Random bases of the BAM's reference lengths, with splice motifs at annotated introns."""
    import numpy as np

    header = subprocess.run(["samtools", "view", "-H", str(bam)], capture_output=True,
                            text=True, check=True).stdout
    refs = [(m[1], int(m[2])) for m in re.finditer(r"^@SQ\tSN:(\S+)\tLN:(\d+)", header, re.M)]
    rng = np.random.default_rng(7)
    seqs = {name: np.frombuffer(b"ACGT", dtype=np.uint8)[rng.integers(0, 4, size=length)]
            for name, length in refs}
    exons: dict[tuple[str, str], list[tuple[int, int, str]]] = {}
    for line in open(gtf):
        f = line.split("\t")
        if len(f) > 8 and f[2] == "exon":
            tid = re.search(r'transcript_id "([^"]+)"', f[8])[1]
            exons.setdefault((f[0], tid), []).append((int(f[3]), int(f[4]), f[6]))
    for (chrom, _), ex in exons.items():
        seq = seqs[chrom]
        ex.sort()
        for (_, end, strand), (start, _, _) in zip(ex, ex[1:]):
            s, e = end + 1, start - 1  # the intron, 1-based inclusive
            donor, acceptor = (b"GT", b"AG") if strand == "+" else (b"CT", b"AC")
            seq[s - 1:s + 1] = np.frombuffer(donor, dtype=np.uint8)
            seq[e - 2:e] = np.frombuffer(acceptor, dtype=np.uint8)
    width = 60
    with open(fasta, "wb") as fa, open(f"{fasta}.fai", "w") as fai:
        for name, length in refs:
            head = f">{name}\n".encode()
            fa.write(head)
            fai.write(f"{name}\t{length}\t{fa.tell()}\t{width}\t{width + 1}\n")
            body = seqs[name].tobytes()
            fa.write(b"".join(body[i:i + width] + b"\n" for i in range(0, length, width)))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    bam, gtf, fasta = args.data / "sample.bam", args.data / "ann.gtf", args.data / "genome.fa"
    if not bam.exists() or not gtf.exists():
        sys.exit(f"no data in {args.data}: run bench/gen_quant_data.py first")
    if not Path(f"{fasta}.fai").exists():
        write_genome(bam, gtf, fasta)

    for path in (bam, fasta):  # into the page cache
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass

    work = Path(tempfile.mkdtemp(prefix="leak_bench_"))
    samples = json.dumps({"samples": [{"sample_id": "s1", "bam": str(bam)}]})
    leak_cfg = {"threads": 1, "min_samples": 1}

    def child(fn: str, out: str, cfg: dict) -> list[str]:
        return [sys.executable, "-c", CHILD, fn, str(gtf), samples, str(work / out),
                json.dumps(cfg)]

    cmds = {
        "floor": ["samtools", "view", "-c", "-@1", str(bam)],
        "quant": child("quantify_gtf", "q", {"strandedness": "rf", "threads": 1}),
        "leak": child("leak_scan", "leak.tsv", {**leak_cfg, "strandedness": "rf"}),
        "motif": child("leak_scan", "motif.tsv",
                       {**leak_cfg, "strandedness": "unstranded", "fasta": str(fasta)}),
    }
    # Rounds interleave the commands so that a burst of other load hits all of them.
    runs = {k: [] for k in cmds}
    for _ in range(args.runs):
        for k, cmd in cmds.items():
            runs[k].append(timed(cmd))
    best = {k: min(v, key=lambda r: r[0]) for k, v in runs.items()}
    shutil.rmtree(work)

    print(f"BAM: {bam} ({bam.stat().st_size / 1e6:.0f} MB), best of {args.runs}")
    for label, k in (("decode floor: samtools view -c -@1", "floor"),
                     ("quantify_gtf rf", "quant"),
                     ("leak_scan rf", "leak"),
                     ("leak_scan unstranded + genome", "motif")):
        r = best[k]
        print(f"{label:36s} wall {r[0]:6.2f} s  cpu {r[1]:6.2f} s  peak {r[2] / 1024:7.1f} MiB")
    for k, label in (("leak", "leak_scan rf"), ("motif", "leak_scan genome")):
        call = next((ln for ln in best[k][3].splitlines() if ln.startswith("CALL ")), "CALL 0 ?")
        c = call.split(maxsplit=2)
        print(f"{label + ' call alone':36s} wall {float(c[1]):6.2f} s  {c[2]}")
    for k, label in (("leak", "leak rf"), ("motif", "leak genome")):
        print(f"ratio {label} / decode floor (wall) : {best[k][0] / best['floor'][0]:6.3f}")
        print(f"ratio {label} / decode floor (cpu)  : {best[k][1] / best['floor'][1]:6.3f}")
        print(f"ratio {label} / quantify_gtf (wall) : {best[k][0] / best['quant'][0]:6.3f}")
    floor = ("samtools view -c -@1", best["floor"][0])
    peer = ("quantify_gtf, threads 1", best["quant"][0])
    for k, case in (("leak", "1 sample rf, threads 1"),
                    ("motif", "1 sample unstranded + genome, threads 1")):
        emit("leak_scan", case, best[k][0], peak_mib=best[k][2] / 1024, floor=floor, peer=peer)


if __name__ == "__main__":
    main()
