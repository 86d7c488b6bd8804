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
its name and a function that writes one case's files and returns the calls to make.
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


def classify_calls(p, folder: Path, cfg: str = '{"strandedness": "rf"}'):
    return [("classify_gtfs", [p["merged.gtf"], p["reference.gtf"], str(folder / "o1.tsv"), cfg])]


def quantify_calls(p, folder: Path, rng: random.Random, cfg: str | None = None,
                   samples: str | None = None):
    if cfg is None:
        cfg = json.dumps({"strandedness": rng.choice(["rf", "fr", "unstranded"]),
                          "library_layout": rng.choice(["auto", "single", "paired"]),
                          "require_unique_nh": rng.random() < 0.5,
                          "skip_duplicate": rng.choice(["auto", "never", "always"]),
                          "min_mapq": rng.choice([0, 10, 255]), "threads": rng.choice([0, 1, 2])})
    if samples is None:
        samples = json.dumps({"samples": [
            {"sample_id": "A", "bam": p["sample_A.bam"], "dup_flag_seen": rng.random() < 0.5},
            {"sample_id": "B", "bam": p["sample_B.bam"]}]})
    return [("quantify_gtf", [p["merged.gtf"], samples, str(folder / "quant"), cfg])]


def orf_calls(p, folder: Path, rng: random.Random, cfg: str | None = None):
    if cfg is None:
        cfg = json.dumps({"hexamer_table": p["hexamer.tsv"], "min_orf_aa": rng.choice([0, 1, 50])})
    return [("scan_orfs", [p["genome.fa"], p["merged.gtf"], p["representatives.tsv"],
                           str(folder / "orfs.tsv"), str(folder / "pep.fa"), cfg])]


def gtf_case(rng, n, folder):
    which = rng.choice(["merged.gtf", "reference.gtf"])
    p = demo_files(folder, {which: mutate_text(rng, (DATA / which).read_bytes())})
    calls = classify_calls(p, folder)
    if which == "merged.gtf":
        calls += quantify_calls(p, folder, rng) + orf_calls(p, folder, rng)
    return calls


def one_file_case(name: str):
    """A case of a reader whose file only the ORF scan reads."""
    def make(rng, n, folder):
        p = demo_files(folder, {name: mutate_text(rng, (DATA / name).read_bytes())})
        return orf_calls(p, folder, rng)
    return make


def json_case(rng, n, folder):
    p = demo_files(folder, {})
    docs = {
        "classify": json.dumps({"strandedness": "unstranded"}),
        "quantify": json.dumps({"min_mapq": 10, "require_unique_nh": False,
                                "skip_duplicate": "auto", "strandedness": "rf",
                                "library_layout": "auto", "threads": 2}),
        "samples": json.dumps({"samples": [{"sample_id": "A", "bam": p["sample_A.bam"],
                                            "dup_flag_seen": False}, ["B", p["sample_B.bam"]]]}),
        "orf": json.dumps({"min_orf_aa": 30, "hexamer_table": p["hexamer.tsv"],
                           "hexamer_coding_min": 0.5, "hexamer_noncoding_max": -0.5}),
    }
    which = rng.choice(sorted(docs))
    text = mutate_text(rng, docs[which].encode()).decode("utf-8", "replace")
    if which == "classify":
        return classify_calls(p, folder, text)
    if which == "quantify":
        return quantify_calls(p, folder, rng, cfg=text)
    if which == "samples":
        return quantify_calls(p, folder, rng, samples=text)
    return orf_calls(p, folder, rng, cfg=text)


BAM = (DATA / "sample_A.bam").read_bytes()
BLOCKS = bgzf_blocks(BAM)


def bam_case(rng, n, folder):
    if n < len(BLOCKS) * 2:
        # The first cases cut the file at every block boundary, with and without the EOF
        # block after the cut.
        off = BLOCKS[n // 2][0]
        data = BAM[:off] + (BGZF_EOF if n % 2 else b"")
    elif rng.random() < 0.7:
        data = bgzf_compress(mutate_binary(rng, bgzf_payload(BAM)))
    else:
        data = mutate_text(rng, BAM)
    p = demo_files(folder, {"sample_A.bam": data})
    return quantify_calls(p, folder, rng)


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
    name: str
    make: Callable[[random.Random, int, Path], list[tuple[str, list[str]]]]


READERS = [
    Reader("gtf", gtf_case),
    Reader("fai", one_file_case("genome.fa.fai")),
    Reader("fasta", one_file_case("genome.fa")),
    Reader("hexamer", one_file_case("hexamer.tsv")),
    Reader("representatives", one_file_case("representatives.tsv")),
    Reader("json", json_case),
    Reader("bam", bam_case),
]


def make_case(seed: int, reader: str, n: int, folder: Path) -> Case:
    entry = next(r for r in READERS if r.name == reader)
    rng = random.Random(f"{seed}/{reader}/{n}")
    return Case(folder, entry.make(rng, n, folder))


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
