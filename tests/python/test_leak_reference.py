"""leak_scan on real aligner output against an independent, plain reading of the census and
leak-table rules (written with pysam and dictionaries, no shared code with the core)."""

from __future__ import annotations

import json
from collections import defaultdict

import pytest

from reference_gtf import attrs, read_gtf
from voskel import _core

STAR = ["Sample1.star.bam", "Sample2.star.bam"]
HISAT2 = ["Sample1.hisat2.bam", "Sample2.hisat2.bam"]
COMPLEMENT = str.maketrans("ACGTU", "TGCAA")


def introns_of(rec):
    out, r = [], rec.reference_start + 1
    for op, n in rec.cigartuples or []:
        if op in (0, 2, 7, 8):
            r += n
        elif op == 3:
            if n > 0:
                out.append((r, r + n - 1))
            r += n
    return out


def protocol_strand(rec, strandedness):
    rev = rec.is_reverse
    if strandedness == "rf":
        if rec.is_paired and rec.is_read2:
            return "-" if rev else "+"
        return "+" if rev else "-"
    if strandedness == "fr":
        if not rec.is_paired or rec.is_read1:
            return "-" if rev else "+"
        return "+" if rev else "-"
    return None


def tag_strand(rec):
    for tag in ("XS", "ts"):
        if not rec.has_tag(tag):
            continue
        value, kind = rec.get_tag(tag, with_value_type=True)
        if kind in "AZH":
            first = str(value)[:1]
        elif kind in "cC":
            first = chr(value % 256)
        else:
            continue
        if first in ("+", "-"):
            return first
    return None


def motif_strand(genome, chrom, start, end):
    """'+' or '-' from the splice motif of both strands, None when neither is valid."""
    if genome is None or end < start + 3 or chrom not in genome.references:
        return None
    length = genome.get_reference_length(chrom)
    if end > length:
        return None
    left = genome.fetch(chrom, start - 1, start + 1).upper()
    right = genome.fetch(chrom, end - 2, end).upper()

    def valid(donor, acceptor):
        return (donor in ("GT", "GC") and acceptor == "AG") or (donor, acceptor) == ("AT", "AC")

    if valid(left, right):
        return "+"
    if valid(right.translate(COMPLEMENT)[::-1], left.translate(COMPLEMENT)[::-1]):
        return "-"
    return None


def census(bam_path, cfg, genome=None, dup_flag_seen=False):
    """(junction -> fragment count, dropped) of one sample."""
    import pysam

    strandedness = cfg.get("strandedness", "rf")
    policy = cfg.get("skip_duplicate", "auto")
    skip_dup = policy == "always" or (policy != "never" and dup_flag_seen)
    counts = defaultdict(int)

    def keys(rec):
        out = set()
        for start, end in introns_of(rec):
            strand = (protocol_strand(rec, strandedness)
                      or motif_strand(genome, rec.reference_name, start, end)
                      or tag_strand(rec) or ".")
            out.add((rec.reference_name, start, end, strand))
        return out

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
                for k in keys(rec):
                    counts[k] += 1
                continue
            if not rec.is_proper_pair:
                continue
            mate = pending.pop(rec.query_name, None)
            if mate is not None:
                for k in keys(rec) | keys(mate):
                    counts[k] += 1
                continue
            if (rec.reference_id == rec.next_reference_id
                    and rec.next_reference_start < rec.reference_start):
                continue
            if rec.reference_id != last_tid:
                pending = {n: r for n, r in pending.items()
                           if r.next_reference_id >= rec.reference_id}
                last_tid = rec.reference_id
            pending[rec.query_name] = rec
    return dict(counts), len(pending)


def gene_list(gtf):
    """The gene spans in the model's order: gene rows by (chrom, gene_id), then the genes
    known only from their exons, in the same order."""
    _, genes = read_gtf(gtf)
    rows = sorted((k for k, g in genes.items() if g.get("row")), key=lambda k: k)
    rest = sorted((k for k, g in genes.items() if not g.get("row")), key=lambda k: k)
    return [dict(genes[k], chrom=k[0], gene=k[1]) for k in rows + rest]


def gene_context(genes, chrom, start, end, strand, blind):
    """(overlaps_gene, nearest gene or None, distance) by a scan of the whole gene list."""
    overlaps, best, best_gap = False, None, None
    for g in genes:
        if g["chrom"] != chrom:
            continue
        hit = g["start"] <= end and g["end"] >= start
        if hit:
            overlaps = True
        if not blind and g["strand"] != strand:
            continue
        if hit:
            return True, g, 0
        gap = start - g["end"] - 1 if g["end"] < start else g["start"] - end - 1
        if best_gap is None or gap < best_gap:
            best, best_gap = g, gap
    return overlaps, best, best_gap


def leak_table(gtf, samples, censuses, cfg):
    """The lines of the leak table, header first."""
    txs, _ = read_gtf(gtf)
    genes = gene_list(gtf)
    annotated = set()
    for t in txs.values():
        ex = t["exons"]
        for a, b in zip(ex, ex[1:]):
            if b[0] - 1 >= a[1] + 1:
                annotated.add((t["chrom"], a[1] + 1, b[0] - 1, t["strand"]))
    blind_mode = cfg.get("strandedness", "rf") == "unstranded"
    control = [i for i, s in enumerate(samples) if s.get("group") == "control"]
    treat = [i for i, s in enumerate(samples) if s.get("group") == "treat"]
    keys = sorted({k for c in censuses for k in c},
                  key=lambda k: (k[0].encode(), k[1], k[2], k[3]))
    lines = ["\t".join(["chrom", "start", "end", "strand", "intron_nt", "status",
                        "merged_locus", "merged_class", "overlaps_gene", "nearest_gene_id",
                        "nearest_gene_name", "nearest_distance_bp", "nearest_strand",
                        "control_max", "support_sum", "n_detected", "treat_sum",
                        "treat_n_detected", "control_n_detected", "cohort"]
                       + [f"{s['sample_id']}_count" for s in samples])]
    for key in keys:
        chrom, start, end, strand = key
        n = [c.get(key, 0) for c in censuses]
        if (sum(1 for x in n if x > 0) < cfg.get("min_samples", 2)
                or sum(n) < cfg.get("min_support", 2)):
            continue
        blind = blind_mode or strand == "."
        if key in annotated or (blind and ((chrom, start, end, "+") in annotated
                                           or (chrom, start, end, "-") in annotated)):
            continue
        control_max = max((n[i] for i in control), default=0)
        cohort = ("cohort" if not control else
                  "shared" if control_max > cfg.get("max_control_support", 0) else "silent")
        overlaps, g, dist = gene_context(genes, chrom, start, end, strand, blind)
        nearest = [g["gene"], g["name"], str(dist), g["strand"]] if g else ["", "", "", ""]
        lines.append("\t".join(
            [chrom, str(start), str(end), strand, str(end - start + 1), "unassembled", "", "",
             "true" if overlaps else "false", *nearest, str(control_max), str(sum(n)),
             str(sum(1 for x in n if x > 0)), str(sum(n[i] for i in treat)),
             str(sum(1 for i in treat if n[i] > 0)), str(sum(1 for i in control if n[i] > 0)),
             cohort, *map(str, n)]))
    return lines


def thinned(gtf, out):
    """The annotation without every second transcript and without every third gene, so that
    known junctions turn novel and the nearest gene moves away."""
    rows = [line for line in open(gtf) if line.strip() and not line.startswith("#")]
    tids = sorted({a for r in rows if (a := attrs(r.split("\t")[8]).get("transcript_id"))})
    genes = sorted({attrs(r.split("\t")[8])["gene_id"] for r in rows})
    drop = {t for i, t in enumerate(tids) if i % 2 == 0}
    drop_genes = {g for i, g in enumerate(genes) if i % 3 == 1}
    out.write_text("".join(
        r for r in rows if attrs(r.split("\t")[8]).get("transcript_id") not in drop
        and attrs(r.split("\t")[8])["gene_id"] not in drop_genes))
    return out


def run_scan(gtf, bams, out, cfg, groups=None):
    samples = [{"sample_id": b.name.split(".bam")[0], "bam": str(b),
                **({"group": groups[i]} if groups else {})} for i, b in enumerate(bams)]
    summary = _core.leak_scan(str(gtf), json.dumps({"samples": samples}), str(out),
                              json.dumps(cfg))
    return samples, summary, out.read_text().splitlines()


CENSUS_CONFIGS = [
    {"strandedness": "rf"},
    {"strandedness": "fr", "library_layout": "single", "min_mapq": 0},
    {"strandedness": "unstranded", "genome": True},
    {"strandedness": "unstranded", "require_unique_nh": True, "skip_duplicate": "always"},
]


@pytest.mark.parametrize("bam", ["Sample1.star.bam", "Sample2.hisat2.bam"])
@pytest.mark.parametrize("cfg", CENSUS_CONFIGS,
                         ids=lambda c: "-".join(f"{k}={v}" for k, v in c.items()))
def test_census_matches_a_plain_reading_of_the_cigars(bam, cfg, realdata, tmp_path):
    """One sample against an empty annotation with no thresholds: the table is its census."""
    import pysam

    cfg = dict(cfg)
    genome = None
    if cfg.pop("genome", False):
        cfg["fasta"] = str(realdata / "hg19sub.fa")
        genome = pysam.FastaFile(cfg["fasta"])
    empty = tmp_path / "empty.gtf"
    empty.write_text("")
    _, summary, lines = run_scan(empty, [realdata / bam], tmp_path / "leak.tsv",
                                 {**cfg, "min_samples": 1, "min_support": 1})
    got = {}
    for line in lines[1:]:
        f = line.split("\t")
        got[(f[0], int(f[1]), int(f[2]), f[3])] = int(f[20])
    want, dropped = census(realdata / bam, cfg, genome)
    assert got == want
    assert summary == {"dropped_fragments": dropped, "n_leak": len(want)}
    assert len(want) > 20
    if genome is not None:
        # The real junctions are mostly canonical: nearly all take a strand from the motif.
        assert sum(1 for k in want if k[3] == ".") < len(want) / 4


@pytest.mark.parametrize("sheet", [STAR, HISAT2], ids=["star", "hisat2"])
@pytest.mark.parametrize("cfg", [{"strandedness": "unstranded"},
                                 {"strandedness": "unstranded", "genome": True},
                                 {"strandedness": "auto", "genome": True, "min_support": 3},
                                 {"strandedness": "rf", "min_samples": 1}],
                         ids=lambda c: "-".join(f"{k}={v}" for k, v in c.items()))
def test_scan_matches_a_plain_reading_of_the_rules(sheet, cfg, realdata, tmp_path):
    import pysam

    cfg = dict(cfg)
    genome = None
    if cfg.pop("genome", False):
        cfg["fasta"] = str(realdata / "hg19sub.fa")
        genome = pysam.FastaFile(cfg["fasta"])
    gtf = thinned(realdata / "merged.gtf", tmp_path / "thinned.gtf")
    samples, summary, lines = run_scan(gtf, [realdata / b for b in sheet], tmp_path / "l.tsv",
                                       cfg, groups=["control", "treat"])
    results = [census(realdata / b, cfg, genome) for b in sheet]
    want = leak_table(gtf, samples, [c for c, _ in results], cfg)
    assert lines == want
    assert len(want) > 5
    assert summary == {"dropped_fragments": sum(d for _, d in results),
                       "n_leak": len(want) - 1}
