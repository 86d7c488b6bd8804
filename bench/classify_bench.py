"""Benchmark of classify_gtfs on an annotation-sized pair of GTF files.

    python bench/classify_bench.py [--data bench/out] [--runs 5] [--transcripts 250000]

Makes the synthetic pair with bench/gen_gtf_pair.py (once; it is reused afterwards), then
reports:

- classify_gtfs through the installed module, against the time of parse_gtf on the two files
  alone, measured by bench/parse_gtf_bench.cpp, built through the project's CMake with the
  module's Release flags (bench/native.py). Target ratio <= 1.5.
- classify_gtfs against `gffread -T FILE -o /dev/null` run on both files, as a peer.

The commands take turns, --runs rounds of them, and the best time of each is kept.

Every command runs in its own process under /usr/bin/time (wall time and peak resident
memory); the in-process times printed by the children exclude interpreter start-up.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import gen_gtf_pair  # noqa: E402
import native  # noqa: E402
from rows import emit  # noqa: E402

CLASSIFY_CHILD = """
import sys, time
from voskel import _core
q, r, out = sys.argv[1:4]
t = time.perf_counter()
res = _core.classify_gtfs(q, r, out, "{}")
print(f"CALL {time.perf_counter() - t:.3f} {res}", file=sys.stderr)
"""

def timed(cmd: list[str]) -> tuple[float, int, str]:
    """(wall seconds, peak RSS in KiB, stderr) of one command run under /usr/bin/time."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as tf:
        p = subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", tf.name, *cmd],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if p.returncode != 0:
            sys.exit(f"{cmd[0]} failed ({p.returncode}):\n{p.stderr}")
        wall, rss = tf.read().split()[-2:]
    return float(wall), int(rss), p.stderr


def inner(stderr: str, tag: str) -> tuple[float, str]:
    """The in-process seconds and the rest of the child's `tag` line."""
    for line in stderr.splitlines():
        if line.startswith(tag + " "):
            _, secs, *rest = line.split(" ")
            return float(secs), " ".join(rest)
    sys.exit(f"no {tag} line in:\n{stderr}")


def best(cmd: list[str], runs: int, tag: str | None = None):
    """Best of `runs`: (in-process or wall seconds, wall seconds, peak KiB, detail)."""
    results = []
    for _ in range(runs):
        wall, rss, err = timed(cmd)
        secs, detail = inner(err, tag) if tag else (wall, "")
        results.append((secs, wall, rss, detail))
    return min(results, key=lambda r: r[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", type=Path, default=HERE / "out")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--transcripts", type=int, default=250_000)
    args = ap.parse_args()

    query, ref = gen_gtf_pair.generate(args.data, args.transcripts)
    for f in (query, ref):  # into the page cache, so every command sees the same state
        with open(f, "rb") as fh:
            while fh.read(1 << 24):
                pass
    lines = {f: sum(1 for _ in open(f, "rb")) for f in (query, ref)}
    print(f"query {query.name}: {lines[query]:,} lines; reference {ref.name}: "
          f"{lines[ref]:,} lines")

    parse_bin = native.build("parse_gtf_bench")
    out_tsv = args.data / "classes.tsv"
    how = "module voskel._core.classify_gtfs"
    cls_cmd = [sys.executable, "-c", CLASSIFY_CHILD, str(query), str(ref), str(out_tsv)]

    # Interleaved, so that a change of machine load hits every command alike.
    parse_cmd = [str(parse_bin), str(query), str(ref)]
    gff_cmds = [["gffread", "-T", str(f), "-o", "/dev/null"] for f in (query, ref)]
    runs = {"parse": [], "classify": [], "gff0": [], "gff1": []}
    for _ in range(args.runs):
        runs["parse"].append(best(parse_cmd, 1, "PARSE"))
        runs["classify"].append(best(cls_cmd, 1, "CALL"))
        runs["gff0"].append(best(gff_cmds[0], 1))
        runs["gff1"].append(best(gff_cmds[1], 1))
    parse_s, _, parse_rss, parse_info = min(runs["parse"], key=lambda r: r[0])
    cls_s, cls_wall, cls_rss, cls_info = min(runs["classify"], key=lambda r: r[0])
    gff = [min(runs[k], key=lambda r: r[0]) for k in ("gff0", "gff1")]
    gff_s = sum(g[0] for g in gff)

    print(f"classify_gtfs ({how}): {cls_s:.3f} s in the call, {cls_wall:.2f} s wall, "
          f"peak {cls_rss / 1024:.0f} MiB; {cls_info}")
    print(f"parse_gtf of both files alone: {parse_s:.3f} s, peak {parse_rss / 1024:.0f} MiB "
          f"(transcripts, genes: {parse_info})")
    print(f"gffread -T on both files: {gff_s:.2f} s wall "
          f"({gff[0][0]:.2f} + {gff[1][0]:.2f}), peak {max(g[2] for g in gff) / 1024:.0f} MiB")
    print()
    ratio = cls_s / parse_s
    print(f"RATIO classify_gtfs / parse alone = {ratio:.2f}  (target <= 1.5: "
          f"{'met' if ratio <= 1.5 else 'NOT met'})")
    print(f"RATIO classify_gtfs / gffread -T  = {cls_wall / gff_s:.2f}  (wall against wall)")
    emit("classify_gtfs", "call, both GTFs", cls_s, metric="call", peak_mib=cls_rss / 1024,
         floor=("parse_gtf of both", parse_s), targets={"floor": 1.5})
    emit("classify_gtfs", "process, both GTFs", cls_wall, peak_mib=cls_rss / 1024,
         peer=("gffread -T of both", gff_s))


if __name__ == "__main__":
    main()
