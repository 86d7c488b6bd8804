"""Mutation fuzz of every reader of voskel._core, for as long as asked.

    python scripts/fuzz.py [--seconds 60] [--seed 14] [--only READER[:CASE]] [--keep DIR]

Each case takes the bundled demo dataset, mutates the input of one reader (bit flips, bytes
and tokens inserted or replaced, fields and lines cut, copied or swapped, truncations; BAM
records mutated inside their BGZF blocks, and the file cut at every block boundary), and
calls every analysis that reads it. A case is made from (seed, reader, case number) alone,
so any case can be made again.

The calls run in a worker process, one case after another. Every call must return a result
or raise VoskelError, or one of the binding errors of the module (TypeError, UnicodeError).
The fuzz stops at the first case that crashes the worker (a sanitizer report included),
runs over 30 seconds, raises anything else (the internal-failure exception among them) or
lifts the worker's peak memory over 2 GiB; it writes that case's files to --keep, prints
the calls that reproduce it and exits with status 1.

The module fuzzed is the voskel._core the running interpreter imports; scripts/sanitize.sh
runs this script for a minute under the sanitizer build. A reader is one entry of READERS:
its name, the inputs of its format, and how one is mutated; `analyses` lists which call reads
which input.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "voskel" / "data"
CASE_TIMEOUT = 30.0
MEMORY_LIMIT_KIB = 2 * 1024 * 1024

# ---- mutations -------------------------------------------------------------------------------

TOKENS = [b"0", b"1", b"-1", b"+7", b"18446744073709551615", b"18446744073709551616",
          b"9223372036854775807", b"4294967296", b"\t", b"\t\t", b"\n", b"\r\n", b"\r", b"\0",
          b"\xff", b"\xc3\x28", b"\xe2\x80\x94", b"\xc2\xa0", b" ", b";", b'"', b'""', b"#",
          b"gene", b"transcript", b"exon", b"gene_id", b"transcript_id", b"gene_name", b"+",
          b"-", b".", b"chrA", b"chrB", b">", b"N", b"acgt", b"ATG", b"TAA", b"NaN", b"inf",
          b"1e400", b"1e-400", b"hexamer", b"{", b"}", b"[", b"]", b",", b":", b"null", b"true",
          b"\\u0000", b"\\ud800", b'"samples"', b'"bam"', b"[[[[[[[[", b"-0", b"0.5"]


def mutate_text(rng: random.Random, data: bytes) -> bytes:
    """One to four edits of the kinds a careless user or a hostile file brings."""
    buf = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        kind = rng.randrange(9)
        n = len(buf)
        at = rng.randrange(n + 1)
        if kind == 0 and n:  # flip a bit
            i = rng.randrange(n)
            buf[i] ^= 1 << rng.randrange(8)
        elif kind == 1:  # insert a token
            buf[at:at] = rng.choice(TOKENS)
        elif kind == 2 and n:  # replace a run with a token
            buf[at:at + rng.randint(1, 8)] = rng.choice(TOKENS)
        elif kind == 3 and n:  # cut a run
            del buf[at:at + rng.randint(1, 64)]
        elif kind == 4 and n:  # copy a run elsewhere
            piece = bytes(buf[at:at + rng.randint(1, 256)])
            to = rng.randrange(len(buf) + 1)
            buf[to:to] = piece * rng.choice([1, 1, 2, 50])
        elif kind in (5, 6):  # replace one tab-separated field of one line
            lines = bytes(buf).split(b"\n")
            li = rng.randrange(len(lines))
            fields = lines[li].split(b"\t")
            fields[rng.randrange(len(fields))] = rng.choice(TOKENS) * rng.choice([1, 1, 3])
            lines[li] = b"\t".join(fields)
            buf = bytearray(b"\n".join(lines))
        elif kind == 7:  # duplicate, drop or swap lines
            lines = bytes(buf).split(b"\n")
            i, j = rng.randrange(len(lines)), rng.randrange(len(lines))
            op = rng.randrange(3)
            if op == 0:
                lines.insert(j, lines[i])
            elif op == 1 and len(lines) > 1:
                del lines[i]
            else:
                lines[i], lines[j] = lines[j], lines[i]
            buf = bytearray(b"\n".join(lines))
        elif kind == 8:  # truncate
            del buf[at:]
    return bytes(buf)


# ---- BGZF ------------------------------------------------------------------------------------

BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def bgzf_blocks(data: bytes) -> list[tuple[int, int]]:
    """(offset, size) of every BGZF block of a well-formed file."""
    out, off = [], 0
    while off + 18 <= len(data):
        size = struct.unpack_from("<H", data, off + 16)[0] + 1
        out.append((off, size))
        off += size
    return out


def bgzf_compress(payload: bytes) -> bytes:
    """The payload in BGZF blocks of at most 65,280 bytes, ended by the EOF block."""
    out = bytearray()
    for i in range(0, len(payload), 0xFF00):
        chunk = payload[i:i + 0xFF00]
        z = zlib.compressobj(6, zlib.DEFLATED, -15)
        comp = z.compress(chunk) + z.flush()
        out += b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0"
        out += struct.pack("<H", len(comp) + 25) + comp
        out += struct.pack("<II", zlib.crc32(chunk), len(chunk))
    return bytes(out + BGZF_EOF)


def bgzf_payload(data: bytes) -> bytes:
    return b"".join(zlib.decompress(data[off + 18:off + size - 8], -15)
                    for off, size in bgzf_blocks(data))


# ---- the readers -----------------------------------------------------------------------------


@dataclass
class Case:
    """The files of one case in its folder, and the calls to make: (function, arguments)."""
    folder: Path
    calls: list[tuple[str, list[str]]]


def demo_files(folder: Path, replace: dict[str, bytes]) -> dict[str, str]:
    """The demo dataset written into folder, with some files replaced; name -> path."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = {}
    for src in sorted(DATA.iterdir()):
        data = replace.get(src.name, src.read_bytes())
        (folder / src.name).write_bytes(data)
        paths[src.name] = str(folder / src.name)
    return paths


def documents(p: dict[str, str], rng: random.Random) -> dict[str, str]:
    """The JSON documents of the calls, valid, with settings varied by the case."""
    strand = rng.choice(["rf", "fr", "unstranded"])
    filters = {"min_mapq": rng.choice([0, 10, 255]), "require_unique_nh": rng.random() < 0.5,
               "skip_duplicate": rng.choice(["auto", "never", "always"])}
    layout = rng.choice(["auto", "single", "paired"])
    threads = rng.choice([0, 1, 2])
    bams = [("A", p["sample_A.bam"]), ("B", p["sample_B.bam"])]
    return {
        "classify_cfg": json.dumps({"strandedness": strand}),
        "quantify_cfg": json.dumps({**filters, "strandedness": strand, "library_layout": layout,
                                    "threads": threads}),
        "samples": json.dumps({"samples": [
            {"sample_id": s, "bam": b, "dup_flag_seen": rng.random() < 0.5} for s, b in bams]}),
        "orf_cfg": json.dumps({"hexamer_table": p["hexamer.tsv"],
                               "min_orf_aa": rng.choice([0, 1, 50]),
                               "hexamer_coding_min": 0.5, "hexamer_noncoding_max": -0.5}),
        "leak_samples": json.dumps({"samples": [
            {"sample_id": s, "bam": b, "group": g}
            for (s, b), g in zip(bams, ["control", "treat"])]}),
        "leak_cfg": json.dumps({**filters, "strandedness": strand, "library_layout": layout,
                                "threads": threads, "min_samples": rng.choice([1, 2]),
                                "min_support": rng.choice([1, 2]),
                                "fasta": rng.choice([p["genome.fa"], ""])}),
        "structure_cfg": json.dumps({**filters, "strandedness": strand, "threads": threads,
                                     "discontinuity_window_bp": rng.choice([0, 1, 50]),
                                     "discontinuity_valley_bp": rng.choice([0, 200])}),
        "terminal_samples": json.dumps({"samples": [
            {"bam": b, "strandedness": strand} for _, b in bams]}),
        "terminal_cfg": json.dumps({"min_mapq": filters["min_mapq"],
                                    "max_terminal_nt": rng.choice([0, 50, 2000]),
                                    "max_gap_nt": rng.choice([0, 20]),
                                    "fasta": rng.choice([p["genome.fa"], None])}),
        "preflight_input": json.dumps({
            "samples": [{"sample_id": s, "bam": b, "group": g, "strandedness": strand,
                         "replicate": 1} for (s, b), g in zip(bams, ["control", "treat"])],
            "assembly": "demo", "library_layout": layout, "de_enabled": rng.random() < 0.5,
            "treat_min_detected_replicates": 1, "threads": threads}),
    }


def analyses(p: dict[str, str], d: dict[str, str], out: Path):
    """Every call of the module on the case's files, with the inputs it reads: (function,
    arguments, names of the files and documents read)."""
    genome = {"genome.fa", "genome.fa.fai"}
    bams = {"sample_A.bam", "sample_B.bam"}
    return [
        ("classify_gtfs", [p["merged.gtf"], p["reference.gtf"], str(out / "classes.tsv"),
                           d["classify_cfg"]], {"merged.gtf", "reference.gtf", "classify_cfg"}),
        ("quantify_gtf", [p["merged.gtf"], d["samples"], str(out / "quant"), d["quantify_cfg"]],
         {"merged.gtf", "samples", "quantify_cfg"} | bams),
        ("scan_orfs", [p["genome.fa"], p["merged.gtf"], p["representatives.tsv"],
                       str(out / "orfs.tsv"), str(out / "pep.fa"), d["orf_cfg"]],
         {"merged.gtf", "representatives.tsv", "hexamer.tsv", "orf_cfg"} | genome),
        ("leak_scan", [p["reference.gtf"], d["leak_samples"], str(out / "leak.tsv"),
                       d["leak_cfg"]], {"reference.gtf", "leak_samples", "leak_cfg"} | bams | genome),
        ("structure_scan", [p["merged.gtf"], p["reference.gtf"], str(out / "classes.tsv"),
                            p["representatives.tsv"], p["genome.fa"], d["samples"],
                            str(out / "structure.tsv"), d["structure_cfg"]],
         {"merged.gtf", "reference.gtf", "representatives.tsv", "samples", "structure_cfg"}
         | bams | genome),
        ("extend_terminals", [p["loci.tsv"], str(out / "terminals.tsv"), d["terminal_samples"],
                              d["terminal_cfg"]],
         {"loci.tsv", "terminal_samples", "terminal_cfg", "genome.fa.fai"} | bams),
        ("preflight_bams", [d["preflight_input"], p["genome.fa"], p["merged.gtf"]],
         {"preflight_input", "genome.fa.fai", "merged.gtf"} | bams),
    ]


BAM = (DATA / "sample_A.bam").read_bytes()
BLOCKS = bgzf_blocks(BAM)


def mutate_bam(rng: random.Random, n: int) -> bytes:
    if n < len(BLOCKS) * 2:
        # The first cases cut the file at every block boundary, with and without the EOF
        # block after the cut.
        off = BLOCKS[n // 2][0]
        return BAM[:off] + (BGZF_EOF if n % 2 else b"")
    if rng.random() < 0.7:
        return bgzf_compress(mutate_binary(rng, bgzf_payload(BAM)))
    return mutate_text(rng, BAM)


def mutate_binary(rng: random.Random, payload: bytes) -> bytes:
    """Edits inside the BAM records: integers of the header and records set to edge values."""
    buf = bytearray(payload)
    for _ in range(rng.randint(1, 6)):
        at = rng.randrange(len(buf) - 4)
        kind = rng.randrange(4)
        if kind == 0:
            buf[at] ^= 1 << rng.randrange(8)
        elif kind == 1:
            buf[at:at + 4] = struct.pack("<I", rng.choice(
                [0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, rng.randrange(1 << 32)]))
        elif kind == 2:
            buf[at:at + 2] = struct.pack("<H", rng.choice([0, 0xFFFF, rng.randrange(1 << 16)]))
        else:
            del buf[at:at + rng.randint(1, 40)]
    return bytes(buf)


@dataclass
class Reader:
    """One input format: the inputs of that format a case may pick, and how one is mutated
    (None: as text). A case mutates one of them and makes every call that reads it."""
    name: str
    inputs: list[str]
    mutate: Callable[[random.Random, int], bytes] | None = None


DOCUMENTS = ["classify_cfg", "quantify_cfg", "samples", "orf_cfg", "leak_samples", "leak_cfg",
             "structure_cfg", "terminal_samples", "terminal_cfg", "preflight_input"]

READERS = [
    Reader("gtf", ["merged.gtf", "reference.gtf"]),
    Reader("fai", ["genome.fa.fai"]),
    Reader("fasta", ["genome.fa"]),
    Reader("hexamer", ["hexamer.tsv"]),
    Reader("representatives", ["representatives.tsv"]),
    Reader("loci", ["loci.tsv"]),
    Reader("json", DOCUMENTS),
    Reader("bam", ["sample_A.bam"], mutate_bam),
]


def make_case(seed: int, reader: str, n: int, folder: Path) -> Case:
    entry = next(r for r in READERS if r.name == reader)
    rng = random.Random(f"{seed}/{reader}/{n}")
    which = rng.choice(entry.inputs)
    replace = {}
    if which not in DOCUMENTS:
        replace[which] = (entry.mutate(rng, n) if entry.mutate
                          else mutate_text(rng, (DATA / which).read_bytes()))
    p = demo_files(folder, replace)
    docs = documents(p, rng)
    if which in DOCUMENTS:
        docs[which] = mutate_text(rng, docs[which].encode()).decode("utf-8", "replace")
    return Case(folder, [(fn, args) for fn, args, reads in analyses(p, docs, folder / "out")
                         if which in reads])


# ---- the worker: runs cases on the module ----------------------------------------------------


def worker(seed: int) -> None:
    from voskel import _core
    allowed = (_core.VoskelError, TypeError, UnicodeError)
    with tempfile.TemporaryDirectory(prefix="voskel-fuzz-") as tmp:
        for line in sys.stdin:
            reader, n = line.split()
            folder = Path(tmp) / "case"
            shutil.rmtree(folder, ignore_errors=True)
            case = make_case(seed, reader, int(n), folder)
            results = errors = 0
            verdict = None
            for fn, args in case.calls:
                try:
                    getattr(_core, fn)(*args)
                    results += 1
                except allowed:
                    errors += 1
                except BaseException as e:  # the internal-failure type derives from it
                    verdict = f"{fn} raised {type(e).__module__}.{type(e).__name__}: {e}"
                    break
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            if verdict is None and peak > MEMORY_LIMIT_KIB:
                verdict = f"peak memory {peak // 1024} MiB"
            print(verdict or f"ok {results} {errors}", flush=True)


# ---- the driver ------------------------------------------------------------------------------


class Worker:
    def __init__(self, seed: int, log: Path):
        self.log = open(log, "wb")
        self.proc = subprocess.Popen([sys.executable, __file__, "--worker", "--seed", str(seed)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.log)

    def run(self, reader: str, n: int) -> str:
        """The worker's verdict on one case, or what became of the worker."""
        self.proc.stdin.write(f"{reader} {n}\n".encode())
        self.proc.stdin.flush()
        ready, _, _ = select.select([self.proc.stdout], [], [], CASE_TIMEOUT)
        if not ready:
            self.proc.kill()
            self.proc.wait()
            return f"no answer within {CASE_TIMEOUT:.0f} s"
        line = self.proc.stdout.readline().decode(errors="replace").strip()
        if line:
            return line
        code = self.proc.wait()
        return f"worker ended with status {code}"

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()
        self.log.close()


def report(seed: int, reader: str, n: int, verdict: str, keep: Path, log: Path) -> None:
    folder = keep / f"{reader}-{seed}-{n}"
    shutil.rmtree(folder, ignore_errors=True)
    case = make_case(seed, reader, n, folder)
    print(f"FAIL {reader} case {n} (seed {seed}): {verdict}")
    tail = log.read_bytes()[-6000:].decode(errors="replace")
    if tail.strip():
        print("--- worker's standard error (end) ---")
        print(tail)
    print("--- reproducer: the case's files are in", folder)
    print(f"python scripts/fuzz.py --seed {seed} --only {reader}:{n}")
    print("or, in Python:")
    print("from voskel import _core")
    for fn, args in case.calls:
        print(f"_core.{fn}({', '.join(repr(a) for a in args)})")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--seed", type=int, default=14)
    ap.add_argument("--only", help="READER or READER:CASE")
    ap.add_argument("--keep", type=Path, default=ROOT / "build" / "fuzz-failures",
                    help="where a failing case's files are written")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(args.seed)
        return 0

    readers = [r.name for r in READERS]
    single = None
    if args.only:
        name, _, n = args.only.partition(":")
        if name not in readers:
            ap.error(f"unknown reader {name}; readers: {', '.join(readers)}")
        readers = [name]
        single = int(n) if n else None

    args.keep.mkdir(parents=True, exist_ok=True)
    log = args.keep / "worker-stderr.log"
    w = Worker(args.seed, log)
    counts = dict.fromkeys(readers, 0)
    results = errors = 0
    deadline = time.monotonic() + args.seconds
    try:
        while True:
            for reader in readers:
                n = single if single is not None else counts[reader]
                verdict = w.run(reader, n)
                counts[reader] += 1
                if not verdict.startswith("ok "):
                    w.close()
                    report(args.seed, reader, n, verdict, args.keep, log)
                    return 1
                results += int(verdict.split()[1])
                errors += int(verdict.split()[2])
            if single is not None or time.monotonic() >= deadline:
                break
    finally:
        w.close()
    print(f"fuzz: seed {args.seed}, {sum(counts.values())} cases ("
          + ", ".join(f"{r} {c}" for r, c in counts.items())
          + f"), {results} calls returned a result, {errors} raised VoskelError or a binding "
          "error, no failure")
    return 0


if __name__ == "__main__":
    sys.exit(main())
