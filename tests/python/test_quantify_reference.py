"""quantify_gtf on real aligner output against an independent, plain reading of the counting
rules (written with pysam and dictionaries, no shared code with the core)."""

from __future__ import annotations

import json
from collections import defaultdict

import pytest

from reference_gtf import read_gtf
from voskel import _core

BAMS = ["Sample1.star.bam", "Sample2.star.bam", "Sample1.hisat2.bam", "Sample2.hisat2.bam"]


def introns_of(exons):
    return {(a[1] + 1, b[0] - 1) for a, b in zip(exons, exons[1:]) if b[0] - 1 >= a[1] + 1}


def blocks_and_introns(rec):
    blocks, introns, r = [], [], rec.reference_start + 1
    for op, n in rec.cigartuples or []:
        if op in (0, 7, 8):
            blocks.append((r, r + n - 1))
            r += n
        elif op == 2:
            r += n
        elif op == 3:
            if n > 0:
                introns.append((r, r + n - 1))
            r += n
    return blocks, introns


def strand_of(rec, strandedness):
    paired, rev = rec.is_paired, rec.is_reverse
    if strandedness == "rf":
        if paired and rec.is_read2:
            return "-" if rev else "+"
        return "+" if rev else "-"
    if strandedness == "fr":
        if not paired or rec.is_read1:
            return "-" if rev else "+"
        return "+" if rev else "-"
    return None


def reference_counts(bam_path, txs, cfg, dup_flag_seen=False):
    import pysam

    exons_by_chrom = defaultdict(list)
    locus_introns = defaultdict(set)
    for tid, t in txs.items():
        chrom, gene, strand, exons = t["chrom"], t["gene"], t["strand"], t["exons"]
        for s, e in exons:
            exons_by_chrom[chrom].append((s, e, tid, gene, strand))
        locus_introns[gene] |= introns_of(exons)
    policy = cfg.get("skip_duplicate", "auto")
    skip_dup = policy == "always" or (policy != "never" and dup_flag_seen)
    locus_counts, tx_counts = defaultdict(float), defaultdict(float)

    def hits(rec):
        out = set()
        want = strand_of(rec, cfg.get("strandedness", "rf"))
        for bs, be in blocks_and_introns(rec)[0]:
            for s, e, tid, gene, strand in exons_by_chrom.get(rec.reference_name, []):
                if s <= be and e >= bs and (want is None or strand in (want, ".")):
                    out.add((gene, tid))
        return out

    def count(recs):
        found = set().union(*(hits(r) for r in recs))
        introns = {i for r in recs for i in blocks_and_introns(r)[1]}
        kept = {(g, t) for g, t in found if not locus_introns[g] or introns & locus_introns[g]}
        loci = {g for g, _ in kept}
        if len(loci) == 1:
            (g,) = loci
            locus_counts[g] += 1.0
            ts = {t for _, t in kept}
            for t in ts:
                tx_counts[t] += 1.0 / len(ts)

    pending, last_tid = {}, None
    with pysam.AlignmentFile(str(bam_path)) as bam:
        for rec in bam:
            if rec.flag & 0xB04 or (skip_dup and rec.flag & 0x400):
                continue
            if rec.mapping_quality < cfg.get("min_mapq", 10):
                continue
            if cfg.get("require_unique_nh") and rec.has_tag("NH"):
                nh = rec.get_tag("NH")
                if isinstance(nh, int) and nh != 1:
                    continue
            if not rec.is_paired or cfg.get("library_layout") == "single":
                count([rec])
                continue
            if not rec.is_proper_pair:
                continue
            mate = pending.pop(rec.query_name, None)
            if mate is not None:
                count([rec, mate])
                continue
            if (rec.reference_id == rec.next_reference_id
                    and rec.next_reference_start < rec.reference_start):
                continue
            if rec.reference_id != last_tid:
                pending = {k: v for k, v in pending.items()
                           if v.next_reference_id >= rec.reference_id}
                last_tid = rec.reference_id
            pending[rec.query_name] = rec
    return locus_counts, tx_counts, len(pending)


CONFIGS = [
    {"strandedness": "unstranded"},
    {"strandedness": "rf", "min_mapq": 20},
    {"strandedness": "fr", "require_unique_nh": True},
    {"strandedness": "unstranded", "library_layout": "single", "skip_duplicate": "always"},
]


@pytest.mark.parametrize("cfg", CONFIGS, ids=lambda c: "-".join(f"{k}={v}" for k, v in c.items()))
def test_counts_match_a_plain_reading_of_the_rules(cfg, realdata, tmp_path):
    gtf = realdata / "merged.gtf"
    txs, _ = read_gtf(gtf)
    doc = json.dumps({"samples": [{"sample_id": b, "bam": str(realdata / b)} for b in BAMS]})
    summary = _core.quantify_gtf(str(gtf), doc, str(tmp_path), json.dumps(cfg))
    locus_rows = [line.split("\t") for line in (tmp_path / "locus_counts.tsv").read_text()
                  .splitlines()[1:]]
    tx_rows = [line.split("\t") for line in (tmp_path / "transcript_counts.tsv").read_text()
               .splitlines()[1:]]
    dropped = 0
    for i, bam in enumerate(BAMS):
        loci, tx, pending = reference_counts(realdata / bam, txs, cfg)
        dropped += pending
        for row in locus_rows:
            want = loci.get(row[0], 0.0)
            assert row[1 + i] == (str(int(want))), (bam, row[0])
        for row in tx_rows:
            assert float(row[2 + i]) == pytest.approx(tx.get(row[0], 0.0), abs=1e-6), (bam, row[0])
        assert sum(loci.values()) > 0
    assert summary["dropped_fragments"] == dropped


@pytest.mark.parametrize("cfg", [{"strandedness": "rf"}, {"strandedness": "fr"},
                                 {"strandedness": "rf", "skip_duplicate": "always",
                                  "min_mapq": 5},
                                 {"strandedness": "rf", "library_layout": "single"}],
                         ids=lambda c: "-".join(f"{k}={v}" for k, v in c.items()))
def test_bundled_demo_samples_match_a_plain_reading_of_the_rules(cfg, tmp_path):
    """The demo's rf-stranded samples carry duplicates and low-quality pairs."""
    from importlib import resources

    data = resources.files("voskel") / "data"
    gtf = str(data / "merged.gtf")
    bams = [str(data / f"sample_{s}.bam") for s in "AB"]
    doc = json.dumps({"samples": [{"sample_id": b, "bam": b} for b in bams]})
    _core.quantify_gtf(gtf, doc, str(tmp_path), json.dumps(cfg))
    txs, _ = read_gtf(gtf)
    rows = [line.split("\t") for line in (tmp_path / "locus_counts.tsv").read_text()
            .splitlines()[1:]]
    tx_rows = [line.split("\t") for line in (tmp_path / "transcript_counts.tsv").read_text()
               .splitlines()[1:]]
    for i, bam in enumerate(bams):
        loci, tx, _ = reference_counts(bam, txs, cfg)
        assert [r[1 + i] for r in rows] == [str(int(loci.get(r[0], 0.0))) for r in rows]
        for r in tx_rows:
            assert float(r[2 + i]) == pytest.approx(tx.get(r[0], 0.0), abs=1e-6)
        assert sum(loci.values()) > 0
