"""Benchmark of extend_terminals on the synthetic samples against samtools depth.

Run bench/gen_quant_data.py first (needs numpy and samtools); then, with the package installed
in the interpreter running this script (it also needs pysam):

    python bench/terminal_bench.py [--data bench/out] [--runs 3]

The loci table is made once from the introns of the samples' spliced reads (bench/out/loci.tsv,
the strand each intron's reads give under the rf protocol), and the peer reads the same windows
of the same BAM files: samtools depth -a -Q 10 -b over a BED of every locus's search window
(intron plus 2001 bases on each side, the defaults). Each command runs in its own process under
/usr/bin/time for wall time and peak resident memory; rounds interleave the two and the best
wall time of each is reported.
"""

from __future__ import annotations

import argparse
import json
import shutil
import sys
import tempfile
from collections import Counter
from pathlib import Path

from rows import emit, timed

TERMINAL_CHILD = """
import sys, time
from voskel import _core
loci, out, samples, cfg = sys.argv[1:5]
t = time.perf_counter()
r = _core.extend_terminals(loci, out, samples, cfg)
print(f"CALL {time.perf_counter() - t:.3f} {r}", file=sys.stderr)
"""

MAX_TERMINAL_NT = 2000


def make_loci(bams: list[Path], path: Path) -> None:
    """Every distinct intron of the primary spliced reads, with the strand most reads give."""
    import pysam

    strands: dict[tuple[str, int, int], Counter] = {}
    for bam_path in bams:
        with pysam.AlignmentFile(str(bam_path)) as bam:
            for rec in bam.fetch(until_eof=True):
                if rec.flag & 0xB04 or "N" not in (rec.cigarstring or ""):
                    continue
                # rf: read 2 lies on the transcript's strand.
                same = rec.is_paired and rec.is_read2
                strand = "+" if same != rec.is_reverse else "-"
                r = rec.reference_start + 1
                for op, n in rec.cigartuples:
                    if op == 3 and n > 0:
                        key = (rec.reference_name, r, r + n - 1)
                        strands.setdefault(key, Counter())[strand] += 1
                    if op in (0, 2, 3, 7, 8):
                        r += n
    lines = ["residual_id\tchrom\tstrand\tintron_start\tintron_end"]
    for i, ((chrom, start, end), cnt) in enumerate(sorted(strands.items()), 1):
        lines.append(f"R{i:06d}\t{chrom}\t{cnt.most_common(1)[0][0]}\t{start}\t{end}")
    path.write_text("\n".join(lines) + "\n")


def windows_bed(loci: Path, bed: Path) -> int:
    """The search window of every locus as BED lines (0-based, end-exclusive)."""
    v = MAX_TERMINAL_NT + 1
    out = []
    for line in loci.read_text().splitlines()[1:]:
        _, chrom, _, start, end = line.split("\t")
        lo = max(int(start) - v, 1)
        out.append(f"{chrom}\t{lo - 1}\t{int(end) + v}\n")
    bed.write_text("".join(out))
    return len(out)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    bams = sorted(args.data.glob("sample*.bam"))
    if not bams:
        sys.exit(f"no samples in {args.data}: run bench/gen_quant_data.py first")
    loci = args.data / "loci.tsv"
    if not loci.exists():
        make_loci(bams, loci)

    for bam in bams:  # into the page cache
        with open(bam, "rb") as f:
            while f.read(1 << 24):
                pass

    work = Path(tempfile.mkdtemp(prefix="terminal_bench_"))
    n_loci = windows_bed(loci, work / "windows.bed")
    samples = json.dumps({"samples": [{"bam": str(b), "strandedness": "rf"} for b in bams]})
    cfg = json.dumps({"max_terminal_nt": MAX_TERMINAL_NT})
    cmds = {
        "terminal": [sys.executable, "-c", TERMINAL_CHILD, str(loci), str(work / "ext.tsv"),
                     samples, cfg],
        "depth": ["samtools", "depth", "-a", "-Q", "10", "-b", str(work / "windows.bed"),
                  "-o", "/dev/null", *map(str, bams)],
    }
    runs = {k: [] for k in cmds}
    for _ in range(args.runs):
        for k, cmd in cmds.items():
            runs[k].append(timed(cmd))
    term, depth = (min(runs[k], key=lambda r: r[0]) for k in ("terminal", "depth"))
    shutil.rmtree(work)
    call = next((ln for ln in term[3].splitlines() if ln.startswith("CALL ")), "CALL 0 ?")

    size = sum(b.stat().st_size for b in bams) / 1e6
    print(f"{len(bams)} BAM(s), {size:.0f} MB; {n_loci} loci; best of {args.runs}")
    for label, r in (("extend_terminals, whole process", term),
                     ("samtools depth -a -Q 10 -b", depth)):
        print(f"{label:36s} wall {r[0]:6.2f} s  cpu {r[1]:6.2f} s  peak {r[2] / 1024:7.1f} MiB")
    print(f"{'extend_terminals call alone':36s} wall {float(call.split()[1]):6.2f} s  "
          f"{' '.join(call.split()[2:])}")
    print(f"ratio extend_terminals / samtools depth (wall): {term[0] / depth[0]:6.3f}")
    print(f"ratio extend_terminals / samtools depth (cpu) : {term[1] / depth[1]:6.3f}")
    emit("extend_terminals", f"{n_loci} loci, {len(bams)} BAM(s)", term[0],
         peak_mib=term[2] / 1024, peer=("samtools depth -a -b of the windows", depth[0]))


if __name__ == "__main__":
    main()
