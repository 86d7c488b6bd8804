"""extend_terminals on real aligner output, and on random samples whose windows overlap and
whose spliced reads reach across many loci, against a plain reading of the extension rules
(pysam and one counter per window position, no shared code with the core)."""

from __future__ import annotations

import json
import random
from collections import Counter

import pytest

from reference_terminal import plain_extension
from voskel import _core

# Each sample read under its own protocol, so that pooling and the strand test both show.
SAMPLES = [("Sample1.star.bam", "fr", False), ("Sample2.star.bam", "rf", True),
           ("Sample1.hisat2.bam", "unstranded", False), ("Sample2.hisat2.bam", "rf", False)]


def bam_introns(paths):
    """Loci from the spliced reads: (chrom, start, end) with the XS strand most reads give."""
    import pysam

    strands = {}
    for path in paths:
        with pysam.AlignmentFile(str(path)) as bam:
            for rec in bam:
                if rec.is_unmapped or rec.is_secondary or rec.is_supplementary:
                    continue
                r = rec.reference_start + 1
                for op, n in rec.cigartuples or []:
                    if op == 3 and n > 0:
                        key = (rec.reference_name, r, r + n - 1)
                        xs = rec.get_tag("XS") if rec.has_tag("XS") else "."
                        strands.setdefault(key, Counter())[xs] += 1
                    if op in (0, 2, 3, 7, 8):
                        r += n
    return [(c, s, e, cnt.most_common(1)[0][0]) for (c, s, e), cnt in sorted(strands.items())]


CONFIGS = [
    {},
    {"min_depth": 2, "max_gap_nt": 5, "max_terminal_nt": 500, "fasta": "hg19sub.fa"},
    {"min_mapq": 0, "skip_duplicate": "never", "max_terminal_nt": 30000, "max_gap_nt": 200,
     "fasta": "renamed"},
    {"min_depth": 0, "max_terminal_nt": 12000, "skip_duplicate": "always", "fasta": "hg19sub.fa"},
]


@pytest.mark.parametrize("cfg", CONFIGS, ids=["defaults", "depth 2", "chr prefix", "depth 0"])
def test_real_samples_match_the_plain_reading(tmp_path, realdata, cfg):
    samples = [(realdata / name, protocol, dup) for name, protocol, dup in SAMPLES]
    introns = bam_introns([p for p, _, _ in samples])
    assert len(introns) > 20
    # Every intron once per strand it could be asked with, ids in table order.
    loci = [(f"L{i}{s}", c, s, a, b) for i, (c, a, b, xs) in enumerate(introns)
            for s in sorted({xs, "+", "."})]
    loci_tsv = tmp_path / "loci.tsv"
    loci_tsv.write_text("residual_id\tchrom\tstrand\tintron_start\tintron_end\n" + "".join(
        f"{r}\t{c}\t{s}\t{a}\t{b}\n" for r, c, s, a, b in loci))

    fai = [ln.split("\t") for ln in (realdata / "hg19sub.fa.fai").read_text().splitlines()]
    cfg = dict(cfg)
    lengths = {}
    if cfg.get("fasta") == "hg19sub.fa":
        cfg["fasta"] = str(realdata / "hg19sub.fa")
        lengths = {f[0]: int(f[1]) for f in fai}
    elif cfg.get("fasta") == "renamed":
        # The same genome indexed as 1, 2, 3: the loci's chr names reach it through the prefix.
        renamed = tmp_path / "renamed.fa"
        renamed.write_bytes((realdata / "hg19sub.fa").read_bytes())
        (tmp_path / "renamed.fa.fai").write_text(
            "".join("\t".join([f[0][3:], *f[1:]]) + "\n" for f in fai))
        cfg["fasta"] = str(renamed)
        lengths = {f[0][3:]: int(f[1]) for f in fai}

    doc = {"samples": [{"bam": str(p), "strandedness": st, "dup_flag_seen": dup}
                       for p, st, dup in samples]}
    out = tmp_path / "ext.tsv"
    summary = _core.extend_terminals(str(loci_tsv), str(out), json.dumps(doc), json.dumps(cfg))
    assert summary == {"n_loci": len(loci)}

    want = plain_extension(loci, samples, cfg, lengths)
    rows = [ln.split("\t") for ln in out.read_text().splitlines()[1:]]
    assert [r[:5] for r in rows] == [[r, c, s, str(a), str(b)] for r, c, s, a, b in loci]
    got = {r[0]: (int(r[5]), int(r[6])) for r in rows}
    assert got == want
    # The comparison means something only when reads move the ends.
    moved = sum(1 for (r, _, _, a, b) in loci if got[r] != (max(a - 1, 1), b + 1))
    assert moved > len(loci) // 4


def random_sam(rng, name):
    """Reads over chr1 (20 kb) and chr2: spliced, deleted, clipped, on both strands, read 1
    and 2, some duplicates, secondary or of low mapping quality."""
    lines = ["@HD\tVN:1.6\tSO:coordinate", "@SQ\tSN:chr1\tLN:20000", "@SQ\tSN:chr2\tLN:5000"]
    flags = [0, 0x10, 0x1 | 0x40, 0x1 | 0x40 | 0x10, 0x1 | 0x80, 0x1 | 0x80 | 0x10, 0x1]
    for i in range(rng.randint(100, 400)):
        chrom = "chr1" if rng.random() < 0.9 else "chr2"
        a, b = rng.randint(1, 80), rng.randint(1, 80)
        shape = rng.random()
        if shape < 0.3:
            cigar, length = f"{a}M{rng.randint(1, 9000)}N{b}M", a + b
        elif shape < 0.4:
            cigar, length = f"3S{a}M{rng.randint(1, 30)}D{b}M2I5M", a + b + 10
        else:
            cigar, length = f"{a + b}M", a + b
        flag = rng.choice(flags)
        flag |= 0x400 if rng.random() < 0.1 else 0
        flag |= 0x100 if rng.random() < 0.05 else 0
        mapq = rng.choice([60, 60, 60, 10, 9, 0])
        pos = rng.randint(1, 4000 if chrom == "chr2" else 10000)
        mate = "=" if flag & 1 else "*"
        lines.append(f"{name}{i}\t{flag}\t{chrom}\t{pos}\t{mapq}\t{cigar}\t{mate}\t"
                     f"{pos if flag & 1 else 0}\t0\t{'A' * length}\t*")
    return "\n".join(lines) + "\n"


# Seeds, and step limits long enough to cut overlapping windows into several groups (1e6) or to
# keep a flank's depth as change points (2e6).
RANDOM_RUNS = [(seed, None) for seed in range(8)] + [(8, 1_000_000), (9, 2_000_000)]


@pytest.mark.parametrize("seed,long_reach", RANDOM_RUNS)
def test_random_samples_match_the_plain_reading(tmp_path, bam_writer, seed, long_reach):
    rng = random.Random(seed)
    samples = [(bam_writer(f"s{k}.bam", random_sam(rng, f"s{k}r")), protocol, rng.random() < 0.5)
               for k, protocol in enumerate(["rf", "fr", "unstranded"])]
    loci = []
    for i in range(rng.randint(20, 80)):
        chrom = rng.choice(["chr1"] * 8 + ["chr2", "chrX"])
        start = rng.randint(1, 12000)
        loci.append((f"L{i}", chrom, rng.choice("+-.*"), start, start + rng.randint(0, 3000)))
    cfg = {"max_terminal_nt": rng.choice([0, 40, 300, 2000]), "max_gap_nt": rng.choice([0, 5, 20]),
           "min_depth": rng.choice([0, 1, 1, 2, 3]),
           "skip_duplicate": rng.choice(["auto", "never", "always"])}
    if long_reach:
        # No FASTA, so that the flanks are that long; min_depth 0 would walk every step of the
        # plain reading, so keep to real coverage.
        cfg.update(max_terminal_nt=long_reach, min_depth=rng.choice([1, 2]))
    lengths = {}
    if not long_reach and rng.random() < 0.5:
        lengths = {"1": rng.randint(5000, 20000), "chr2": 3000}
        fasta = tmp_path / "g.fa"
        fasta.write_text(">1\nA\n")
        (tmp_path / "g.fa.fai").write_text("".join(f"{n}\t{v}\t3\t60\t61\n"
                                                   for n, v in lengths.items()))
        cfg["fasta"] = str(fasta)
    loci_tsv = tmp_path / "loci.tsv"
    loci_tsv.write_text("".join(f"{r}\t{c}\t{s}\t{a}\t{b}\n" for r, c, s, a, b in loci))
    doc = {"samples": [{"bam": str(p), "strandedness": st, "dup_flag_seen": dup}
                       for p, st, dup in samples]}
    out = tmp_path / "ext.tsv"
    _core.extend_terminals(str(loci_tsv), str(out), json.dumps(doc), json.dumps(cfg))
    got = {r[0]: (int(r[5]), int(r[6])) for r in
           (ln.split("\t") for ln in out.read_text().splitlines()[1:])}
    assert got == plain_extension(loci, samples, cfg, lengths)
