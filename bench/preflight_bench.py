"""Benchmark of preflight_bams against samtools reading the same beginning of each BAM.

The preflight of a sample looks at 30 bytes, the header and index, and the first 10,000 and
100,000 primary mapped records; its cost must not grow with the file. The peer, per sample:
`samtools quickcheck` (header and end-of-file block) plus `samtools view -c` of a BAM that
holds the first 110,000 records of the sample's file, which is the decoding the preflight
cannot avoid. Both run in one round on the quantification benchmark's samples (run
bench/gen_quant_data.py first); then, with the package installed in this interpreter:

    python bench/preflight_bench.py [--data bench/out] [--samples 2] [--runs 3]

The simulated BAM names no aligner, so a copy with a STAR program record and its index, the
first-110,000-record BAM and the genome index made from the header go to DATA/preflight once.
Every sample of the sheet is that copy. The preflight runs in a child process; its call
alone is timed too, since interpreter start-up is a fixed cost samtools does not pay. One
untimed round warms the caches; the timed rounds interleave both sides so that a burst of
load from elsewhere hits both, and the best of each is reported.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from rows import emit

HEAD_RECORDS = 110_000

PREFLIGHT_CHILD = """
import sys, time
from voskel import _core
samples, fasta, gtf = sys.argv[1:4]
t = time.perf_counter()
r = _core.preflight_bams(samples, fasta, gtf)
print(f"CALL {time.perf_counter() - t:.4f} {r['ok']} {r['errors']}", file=sys.stderr)
"""


def sh(*cmd: str, **kw) -> subprocess.CompletedProcess:
    return subprocess.run(list(cmd), check=True, **kw)


def prepare(data: Path) -> tuple[Path, Path, Path]:
    """(STAR-headed BAM, its first 110,000 records as a BAM, genome index path)."""
    src = data / "sample.bam"
    work = data / "preflight"
    work.mkdir(exist_ok=True)
    bam, head, fasta = work / "sample.star.bam", work / "head.bam", work / "genome.fa"
    if not Path(f"{bam}.bai").exists():
        header = sh("samtools", "view", "-H", str(src), capture_output=True, text=True).stdout
        header += "@PG\tID:STAR\tPN:STAR\tVN:2.7.10b\n"
        with tempfile.NamedTemporaryFile("w", suffix=".sam") as h:
            h.write(header)
            h.flush()
            with open(bam, "wb") as out:
                sh("samtools", "reheader", h.name, str(src), stdout=out)
        sh("samtools", "index", str(bam))
    if not head.exists():
        first = subprocess.Popen(["samtools", "head", "-n", str(HEAD_RECORDS), str(bam)],
                                 stdout=subprocess.PIPE)
        sh("samtools", "view", "-b", "-o", str(head), "-", stdin=first.stdout)
        first.wait()
    fai = Path(f"{fasta}.fai")
    if not fai.exists():
        # Only the index is read; the offsets describe 60-base lines of an unwritten FASTA.
        header = sh("samtools", "view", "-H", str(bam), capture_output=True, text=True).stdout
        lines, offset = [], 0
        for line in header.splitlines():
            if line.startswith("@SQ"):
                tags = dict(f.split(":", 1) for f in line.split("\t")[1:])
                name, length = tags["SN"], int(tags["LN"])
                offset += len(name) + 2
                lines.append(f"{name}\t{length}\t{offset}\t60\t61\n")
                offset += length + (length + 59) // 60
        fai.write_text("".join(lines))
    return bam, head, fasta


def timed(cmds: list[list[str]]) -> tuple[float, str]:
    """Wall time of the commands run one after the other, and the last one's stderr."""
    t = time.perf_counter()
    err = ""
    for cmd in cmds:
        p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if p.returncode != 0:
            sys.exit(f"{cmd[0]} failed ({p.returncode}):\n{p.stderr}")
        err = p.stderr
    return time.perf_counter() - t, err


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--samples", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    if not (args.data / "sample.bam").exists() or not (args.data / "ann.gtf").exists():
        sys.exit(f"no data in {args.data}: run bench/gen_quant_data.py first")
    bam, head, fasta = prepare(args.data)
    for f in (bam, head):  # into the page cache
        f.read_bytes()

    sheet = json.dumps({
        "samples": [{"sample_id": f"s{i}", "bam": str(bam), "group": "control",
                     "strandedness": "rf", "replicate": i} for i in range(args.samples)],
        "assembly": "bench", "library_layout": "paired", "de_enabled": False,
        "treat_min_detected_replicates": 0})
    peer = [["samtools", "quickcheck", str(bam)], ["samtools", "view", "-c", str(head)]]
    preflight = [[sys.executable, "-c", PREFLIGHT_CHILD, sheet, str(fasta),
                  str(args.data / "ann.gtf")]]

    rounds = []
    for _ in range(args.runs + 1):
        peer_s, _ = timed(peer * args.samples)
        ours_s, err = timed(preflight)
        call = next((ln for ln in err.splitlines() if ln.startswith("CALL ")), "")
        if not call or call.split()[2] != "True":
            sys.exit(f"preflight did not pass: {call or err}")
        rounds.append((peer_s, ours_s, float(call.split()[1])))
    peer_s, ours_s, call_s = (min(r[k] for r in rounds[1:]) for k in range(3))

    size = bam.stat().st_size / 1e6
    print(f"BAM: {bam} ({size:.0f} MB), {args.samples} samples, best of {args.runs}")
    print(f"{'samtools quickcheck + view -c of 110,000 records':50s} wall {peer_s:7.3f} s")
    print(f"{'preflight_bams, whole process':50s} wall {ours_s:7.3f} s")
    print(f"{'preflight_bams call alone':50s} wall {call_s:7.3f} s")
    print(f"ratio preflight process / samtools : {ours_s / peer_s:6.3f}")
    print(f"ratio preflight call / samtools    : {call_s / peer_s:6.3f}")
    emit("preflight_bams", f"{args.samples} samples, process", ours_s,
         floor=("samtools quickcheck + view -c head", peer_s))


if __name__ == "__main__":
    main()
