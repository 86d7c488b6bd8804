"""extend_terminals on real aligner output against a plain reading of the extension rules
(pysam and one counter per window position, no shared code with the core)."""

from __future__ import annotations

import json
from collections import Counter

import pytest

from voskel import _core

# Each sample read under its own protocol, so that pooling and the strand test both show.
SAMPLES = [("Sample1.star.bam", "fr", False), ("Sample2.star.bam", "rf", True),
           ("Sample1.hisat2.bam", "unstranded", False), ("Sample2.hisat2.bam", "rf", False)]


def blocks(rec):
    out, r = [], rec.reference_start + 1
    for op, n in rec.cigartuples or []:
        if op in (0, 7, 8):
            out.append((r, r + n - 1))
        if op in (0, 2, 3, 7, 8):
            r += n
    return out


def derived_strand(flag, protocol):
    rev = bool(flag & 0x10)
    if protocol == "rf":
        same = bool(flag & 0x1) and bool(flag & 0x80)
    elif protocol == "fr":
        same = not flag & 0x1 or bool(flag & 0x40)
    else:
        return None
    return ("-" if rev else "+") if same else ("+" if rev else "-")


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


def plain_extension(loci, samples, cfg, lengths):
    import pysam

    mt, min_depth = cfg.get("max_terminal_nt", 2000), cfg.get("min_depth", 1)
    max_gap, min_mapq = cfg.get("max_gap_nt", 20), cfg.get("min_mapq", 10)
    policy = cfg.get("skip_duplicate", "auto")
    files = [(pysam.AlignmentFile(str(p)), protocol,
              policy == "always" or (policy != "never" and dup)) for p, protocol, dup in samples]
    out = {}
    for rid, chrom, strand, start, end in loci:
        v = mt + 1
        lo = start - v if start - v >= 1 else 1
        hi = end + v
        name = chrom if chrom in lengths else chrom[3:] if chrom.startswith("chr") else None
        if name in lengths:
            hi = min(hi, lengths[name])
        depth = [0] * (hi - lo + 1)
        for bam, protocol, skip_dup in files:
            if chrom not in bam.references:
                continue
            for rec in bam.fetch(chrom, lo - 1, hi):
                if rec.flag & 0xB04 or (skip_dup and rec.flag & 0x400):
                    continue
                if rec.mapping_quality < min_mapq:
                    continue
                want = derived_strand(rec.flag, protocol)
                if want is not None and strand != "." and strand != want:
                    continue
                for bs, be in blocks(rec):
                    for p in range(max(bs, lo), min(be, hi) + 1):
                        depth[p - lo] += 1

        def walk(anchor, step):
            best, gap = anchor, 0
            for s in range(1, mt + 1):
                p = anchor + step * s
                if p < lo or p > hi:
                    break
                if depth[p - lo] < min_depth:
                    gap += 1
                    if gap > max_gap:
                        break
                else:
                    gap, best = 0, p
            return best

        out[rid] = (walk(max(start - 1, 1), -1), walk(end + 1, 1))
    for bam, _, _ in files:
        bam.close()
    return out


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
