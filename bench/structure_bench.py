"""Benchmark of structure_scan against counting the same regions with samtools.

Run bench/gen_quant_data.py first (needs numpy); then, with the package installed in the
interpreter running this script:

    python bench/structure_bench.py [--data bench/out] [--runs 3]

From the synthetic annotation it makes the scan's inputs: the merged assembly is the whole
annotation, the reference keeps every other gene (so half the loci reach out across a gap to
a neighbour, as assembled loci do), and the representatives table names one transcript per
locus. The peer is `samtools view -c -M -L` over the regions the scan queries (transcript
span plus the gap to its chosen nearest gene), on each BAM of the sample list. Each command
runs in its own process under /usr/bin/time (wall time, CPU, peak resident memory); rounds
interleave the two and the best wall time of each is reported.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

from rows import emit, timed

SCAN_CHILD = """
import sys, time
from voskel import _core
t = time.perf_counter()
r = _core.structure_scan(*sys.argv[1:9])
print(f"CALL {time.perf_counter() - t:.3f} {r}", file=sys.stderr)
"""


def read_annotation(gtf: Path):
    """Transcripts (id -> chrom, strand, gene, exons) and gene rows, in file order."""
    txs, genes = {}, []
    for line in gtf.read_text().splitlines():
        f = line.split("\t")
        gene = f[8].split('"')[1]
        if f[2] == "gene":
            genes.append((gene, line))
        elif f[2] == "exon":
            tid = f[8].split('"')[3]
            t = txs.setdefault(tid, dict(chrom=f[0], strand=f[6], gene=gene, exons=[]))
            t["exons"].append((int(f[3]), int(f[4])))
    return txs, genes


def make_inputs(gtf: Path, work: Path) -> tuple[Path, Path, Path, int]:
    """Reference GTF, representatives table and BED of scanned regions; the locus count."""
    txs, genes = read_annotation(gtf)
    kept = {g for i, (g, _) in enumerate(genes) if i % 2 == 0}
    ref = work / "ref.gtf"
    ref.write_text("".join(line + "\n" for line in gtf.read_text().splitlines()
                           if line.split('"')[1] in kept))

    reps = {}
    for tid in sorted(txs):
        reps.setdefault(txs[tid]["gene"], tid)
    reps_path = work / "reps.tsv"
    reps_path.write_text("locus_id\ttranscript_id\n" + "".join(
        f"{g}\t{t}\n" for g, t in sorted(reps.items())))

    # Reference gene spans per chromosome, from the kept genes' exons.
    spans = defaultdict(dict)
    for t in txs.values():
        if t["gene"] in kept:
            s = min(a for a, _ in t["exons"])
            e = max(b for _, b in t["exons"])
            old = spans[t["chrom"]].get(t["gene"], (s, e, t["strand"]))
            spans[t["chrom"]][t["gene"]] = (min(old[0], s), max(old[1], e), t["strand"])

    def distance(qs, qe, gs, ge):
        if gs <= qe and qs <= ge:
            return 0
        return gs - qe - 1 if qe < gs else qs - ge - 1

    bed = []
    for gene, tid in sorted(reps.items()):
        t = txs[tid]
        qs, qe = min(a for a, _ in t["exons"]), max(b for _, b in t["exons"])
        best = None
        # The "rf" protocol: the nearest gene on the transcript's strand is the chosen one.
        for gs, ge, strand in spans[t["chrom"]].values():
            if strand != t["strand"]:
                continue
            d = distance(qs, qe, gs, ge)
            if best is None or d < best[0]:
                best = (d, gs, ge)
        lo, hi = qs, qe
        if best:
            _, gs, ge = best
            if qe < gs - 1:
                hi = gs - 1
            elif ge < qs - 1:
                lo = ge + 1
        bed.append((t["chrom"], lo - 1, hi))
    bed_path = work / "regions.bed"
    bed_path.write_text("".join(f"{c}\t{s}\t{e}\n" for c, s, e in sorted(bed)))
    return ref, reps_path, bed_path, len(reps)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    bam, gtf = args.data / "sample.bam", args.data / "ann.gtf"
    if not bam.exists() or not gtf.exists():
        sys.exit(f"no data in {args.data}: run bench/gen_quant_data.py first")
    bams = [bam]

    with open(bam, "rb") as f:  # into the page cache
        while f.read(1 << 24):
            pass

    work = Path(tempfile.mkdtemp(prefix="structure_bench_"))
    ref, reps, bed, n_loci = make_inputs(gtf, work)
    samples = json.dumps({"samples": [{"sample_id": f"s{i}", "bam": str(b)}
                                      for i, b in enumerate(bams, 1)]})
    cfg = json.dumps({"strandedness": "rf", "threads": 1})
    fasta = args.data / "genome.fa"
    if not fasta.exists():
        # The splice sites need a genome; one of N bases the length of each contig will do.
        header = subprocess.run(["samtools", "view", "-H", str(bam)], capture_output=True,
                                text=True, check=True).stdout
        contigs = [(f["SN"], int(f["LN"])) for f in (
            dict(x.split(":", 1) for x in ln.split("\t")[1:]) for ln in header.splitlines()
            if ln.startswith("@SQ"))]
        fasta = work / "genome.fa"
        with open(fasta, "w") as fa, open(str(fasta) + ".fai", "w") as fai:
            offset = 0
            for name, length in contigs:
                head = f">{name}\n"
                offset += len(head)
                fai.write(f"{name}\t{length}\t{offset}\t60\t61\n")
                full, rest = divmod(length, 60)
                body = ("N" * 60 + "\n") * full + ("N" * rest + "\n" if rest else "")
                fa.write(head + body)
                offset += len(body)

    scan_cmd = [sys.executable, "-c", SCAN_CHILD, str(gtf), str(ref), "", str(reps), str(fasta),
                samples, str(work / "structure.tsv"), cfg]
    peer_cmds = [["samtools", "view", "-c", "-M", "-L", str(bed), str(b)] for b in bams]
    # Rounds interleave the two so that a burst of other load hits both.
    scans, peers = [], []
    for _ in range(args.runs):
        scans.append(timed(scan_cmd))
        each = [timed(cmd) for cmd in peer_cmds]
        peers.append((sum(r[0] for r in each), sum(r[1] for r in each),
                      max(r[2] for r in each), ""))
    scan = min(scans, key=lambda r: r[0])
    peer = min(peers, key=lambda r: r[0])
    call = next((ln for ln in scan[3].splitlines() if ln.startswith("CALL ")), "CALL 0 ?")
    rows = sum(1 for _ in open(work / "structure.tsv")) - 1
    shutil.rmtree(work)

    print(f"BAM: {bam} ({bam.stat().st_size / 1e6:.0f} MB), {n_loci} loci, "
          f"{rows} rows, best of {args.runs}")
    for label, r in (("structure_scan, whole process", scan),
                     ("samtools view -c -M -L, every BAM", peer)):
        print(f"{label:36s} wall {r[0]:6.2f} s  cpu {r[1]:6.2f} s  peak {r[2] / 1024:7.1f} MiB")
    print(f"{'structure_scan call alone':36s} wall {float(call.split()[1]):6.2f} s  "
          f"{' '.join(call.split()[2:])}")
    print(f"ratio structure_scan / samtools (wall): {scan[0] / peer[0]:6.3f}")
    print(f"ratio structure_scan / samtools (cpu) : {scan[1] / peer[1]:6.3f}")
    emit("structure_scan", f"{n_loci} loci", scan[0], peak_mib=scan[2] / 1024,
         floor=("samtools view -c -M -L of the regions", peer[0]))


if __name__ == "__main__":
    main()
