"""The structure scan end to end through the module: coverage figures from small BAMs, the
driver's loci, samples and failures, and the real STAR and HISAT2 samples against an
independent pysam reading."""

from __future__ import annotations

import json
import random
import re
from pathlib import Path

import pytest

from voskel import _core

from reference_gtf import read_gtf

COLUMNS = [
    "locus_id", "sample_id", "transcript_id", "chrom", "start", "end", "strand", "n_exons",
    "length_nt", "donors", "acceptors", "canonical_splice_fraction", "n_introns", "has_nearest",
    "nearest_gene_id", "nearest_gene_name", "nearest_distance_bp", "nearest_strand",
    "nearest_any_gene_id", "nearest_any_gene_name", "nearest_any_distance_bp",
    "nearest_any_strand", "locus_mean_depth", "valley_mean", "valley_possible",
    "gap_mean_depth", "n_dup_flag_seen", "junction_support", "bridge_read_count",
    "structure_error",
]

CONTIG_LEN = 5000


def write_genome(path: Path, contigs: dict[str, str], width: int = 60) -> str:
    fa, fai, offset = [], [], 0
    for name, seq in contigs.items():
        head = f">{name}\n"
        offset += len(head)
        body = "".join(seq[p : p + width] + "\n" for p in range(0, len(seq), width))
        fai.append(f"{name}\t{len(seq)}\t{offset}\t{width}\t{width + 1}\n")
        fa.append(head + body)
        offset += len(body)
    path.write_text("".join(fa))
    Path(str(path) + ".fai").write_text("".join(fai))
    return str(path)


def exon_rows(chrom, strand, gene, tid, exons, source="t"):
    attrs = f'gene_id "{gene}"; transcript_id "{tid}";'
    return "".join(f"{chrom}\t{source}\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}\n"
                   for s, e in exons)


def query_len(cigar: str) -> int:
    return sum(int(n) for n, op in re.findall(r"(\d+)([MIDNSHP=X])", cigar) if op in "MIS=X")


def rec(name, flag, pos, cigar, tags="NH:i:1", mapq=60, chrom="chr1"):
    n = query_len(cigar)
    fields = [name, str(flag), chrom, str(pos), str(mapq), cigar, "*", "0", "0", "A" * n,
              "I" * n]
    return "\t".join(fields + ([tags] if tags else []))


def read_table(path):
    lines = Path(path).read_text().splitlines()
    assert lines[0].split("\t") == COLUMNS
    return [dict(zip(COLUMNS, ln.split("\t"))) for ln in lines[1:]]


class World:
    """One contig, one representative transcript T1 (locus L1) and one reference gene R1 with
    its transcript; each test adds its records and settings."""

    def __init__(self, tmp: Path, bam_writer):
        self.tmp, self.bam_writer = tmp, bam_writer
        rng = random.Random(7)
        seq = "".join(rng.choice("ACGT") for _ in range(CONTIG_LEN))
        self.fasta = write_genome(tmp / "genome.fa", {"chr1": seq})
        self.reps = tmp / "reps.tsv"
        self.reps.write_text("locus_id\ttranscript_id\nL1\tT1\n")
        self.runs = 0

    def run(self, records=(), *, exons=((1001, 1100), (1301, 1400)), strand="+",
            gene=((1701, 1800), (1901, 2000)), gene_strand="+", cfg=None, dup_flag_seen=False,
            header="@SQ\tSN:chr1\tLN:5000"):
        merged = self.tmp / "merged.gtf"
        merged.write_text(exon_rows("chr1", strand, "MG1", "T1", exons))
        ref = self.tmp / "ref.gtf"
        ref.write_text(exon_rows("chr1", gene_strand, "R1", "R1.1", gene, "ref"))
        self.runs += 1
        bam = self.bam_writer(f"s{self.runs}.bam", header + "\n" + "".join(
            r + "\n" for r in records))
        samples = json.dumps({"samples": [
            {"sample_id": "s1", "bam": str(bam), "dup_flag_seen": dup_flag_seen}]})
        out = self.tmp / "out.tsv"
        cfg_text = json.dumps({"strandedness": "unstranded", **(cfg or {})})
        r = _core.structure_scan(str(merged), str(ref), str(self.tmp / "no_classes.tsv"),
                                 str(self.reps), self.fasta, samples, str(out), cfg_text)
        assert r == {"n_loci_scanned": 1}
        (row,) = read_table(out)
        return row


@pytest.fixture
def world(tmp_path, bam_writer):
    return World(tmp_path, bam_writer)


SPLICED = "50M200N50M"  # at 1051: blocks 1051-1100 and 1301-1350, intron 1101-1300

# (label, records, run settings, expected cells). T1 has exons 1001-1100 and 1301-1400 (200
# exon bases, intron 1101-1300); R1 lies after it with exons 1701-1800 and 1901-2000, so the
# gap is 1401-1700 (300 bases).
COVERAGE_CASES = [
    ("unique pair counts once",
     [rec("p", 99, 1051, SPLICED), rec("p", 147, 1051, SPLICED)], {},
     {"junction_support": "1", "locus_mean_depth": "1.000000"}),
    ("multi-mapped read counts per alignment",
     [rec("m", 0, 1051, SPLICED, "NH:i:2"), rec("m", 0, 1061, "40M200N60M", "NH:i:2")], {},
     {"junction_support": "2", "locus_mean_depth": "1.000000"}),
    ("no NH tag: alignments at other positions count apart",
     [rec("n", 99, 1051, SPLICED, ""), rec("n", 147, 1071, "30M200N70M", "")], {},
     {"junction_support": "2"}),
    ("no NH tag: the same position and CIGAR are one key",
     [rec("n", 99, 1051, SPLICED, ""), rec("n", 147, 1051, SPLICED, "")], {},
     {"junction_support": "1"}),
    ("NH of another type is not unique",
     [rec("z", 99, 1051, SPLICED, "NH:Z:1"), rec("z", 147, 1071, "30M200N70M", "NH:Z:1")], {},
     {"junction_support": "2"}),
    ("NH:i:3 under require_unique_nh counts for depth only",
     [rec("x", 0, 1051, SPLICED, "NH:i:3")], {"cfg": {"require_unique_nh": True}},
     {"junction_support": "0", "locus_mean_depth": "0.500000"}),
    ("NH:i:3 without require_unique_nh supports its intron",
     [rec("x", 0, 1051, SPLICED, "NH:i:3")], {},
     {"junction_support": "1", "locus_mean_depth": "0.500000"}),
    ("intron one base longer supports nothing",
     [rec("l", 0, 1051, "50M201N49M")], {}, {"junction_support": "0"}),
    ("excluded flags and low mapping quality take no part",
     [rec("a", 0x4, 1001, "100M"), rec("b", 0x100, 1001, "100M"), rec("c", 0x200, 1001, "100M"),
      rec("d", 0x800, 1001, "100M"), rec("e", 0, 1001, "100M", mapq=9),
      rec("f", 0x400 | 0x100, 1001, "100M"), rec("g", 0x400, 1001, "100M", mapq=3)], {},
     {"locus_mean_depth": "0.000000", "n_dup_flag_seen": "0"}),
    # Counted before skipping, and before the strand filter: the forward unpaired duplicate
    # fails "rf" on a '+' transcript, yet counts.
    ("duplicates counted before they are skipped",
     [rec("d1", 0x400 | 0x10, 1001, "100M"), rec("d2", 0x400, 1001, "100M"),
      rec("k", 0x10, 1001, "100M")],
     {"cfg": {"strandedness": "rf", "skip_duplicate": "always"}},
     {"n_dup_flag_seen": "2", "locus_mean_depth": "0.500000"}),
    ("auto keeps duplicates of a sample without the duplicate flag",
     [rec("d1", 0x400, 1001, "100M")], {"cfg": {"skip_duplicate": "auto"}},
     {"n_dup_flag_seen": "1", "locus_mean_depth": "0.500000"}),
    ("auto skips duplicates of a sample with the duplicate flag",
     [rec("d1", 0x400, 1001, "100M")], {"cfg": {"skip_duplicate": "auto"}, "dup_flag_seen": True},
     {"n_dup_flag_seen": "1", "locus_mean_depth": "0.000000"}),
    ("never keeps duplicates",
     [rec("d1", 0x400, 1001, "100M")], {"cfg": {"skip_duplicate": "never"},
                                         "dup_flag_seen": True},
     {"locus_mean_depth": "0.500000"}),
    # rf on '+': an unpaired or first-mate record counts when reverse, a second mate when
    # forward.
    ("rf keeps reads of the transcript's strand",
     [rec("u_rev", 0x10, 1001, "100M"), rec("u_fwd", 0, 1001, "100M"),
      rec("p2_fwd", 0x1 | 0x80, 1301, "100M"), rec("p1_fwd", 0x1 | 0x40, 1301, "100M")],
     {"cfg": {"strandedness": "rf"}}, {"locus_mean_depth": "1.000000"}),
    ("fr keeps reads of the transcript's strand",
     [rec("u_rev", 0x10, 1001, "100M"), rec("u_fwd", 0, 1001, "100M"),
      rec("p2_rev", 0x1 | 0x80 | 0x10, 1301, "100M"), rec("p1_rev", 0x1 | 0x40 | 0x10, 1301,
                                                          "100M")],
     {"cfg": {"strandedness": "fr"}}, {"locus_mean_depth": "1.000000"}),
    ("rf on a '-' transcript keeps the forward unpaired read",
     [rec("u_rev", 0x10, 1001, "100M"), rec("u_fwd", 0, 1001, "50M")],
     {"cfg": {"strandedness": "rf"}, "strand": "-", "gene_strand": "-"},
     {"locus_mean_depth": "0.250000"}),
    ("an unstranded transcript takes no strand filter",
     [rec("u_rev", 0x10, 1001, "100M"), rec("u_fwd", 0, 1001, "100M")],
     {"cfg": {"strandedness": "rf"}, "strand": "."}, {"locus_mean_depth": "1.000000"}),
    ("other protocol words take no strand filter",
     [rec("u_rev", 0x10, 1001, "100M"), rec("u_fwd", 0, 1001, "100M")],
     {"cfg": {"strandedness": "RF"}}, {"locus_mean_depth": "1.000000"}),
    ("exons as stored: an overlapped position counts twice",
     [rec("a", 0, 1001, "100M")], {"exons": ((1001, 1100), (1051, 1150))},
     {"locus_mean_depth": "0.750000"}),
    ("depth over aligned blocks only: deletions and skips leave no depth",
     [rec("a", 0, 1001, "40M20D40M")], {}, {"locus_mean_depth": "0.400000"}),
    ("a read into the gene after the transcript bridges",
     [rec("b1", 0, 1351, "50M300N50M"), rec("b2", 0, 1371, "30M500N70M"),
      rec("miss", 0, 1352, "49M299N50M")], {},
     {"bridge_read_count": "2"}),
    ("a read from the gene before the transcript bridges",
     [rec("b1", 0, 151, "50M800N50M"), rec("miss", 0, 151, "50M799N50M")],
     {"gene": ((101, 200), (301, 400))},
     {"bridge_read_count": "1", "gap_mean_depth": "0.001667"}),  # 1 base of 600
    ("a pair of bridging mates with NH:i:1 counts once",
     [rec("b", 99, 1351, "50M300N50M"), rec("b", 147, 1351, "50M300N50M")], {},
     {"bridge_read_count": "1"}),
    # Windows of 200 at 1401, 1451 and 1501 (the next one would end past 1700): sums 150,
    # 150 and 100.
    ("gap of 300 with the default windows",
     [rec("g1", 0, 1401, "100M"), rec("g2", 0, 1551, "100M")], {},
     {"valley_possible": "true", "valley_mean": "0.500000", "gap_mean_depth": "0.666667"}),
    # Empty only over 1513-1537: a window of 25 finds it stepping by one base, not by 50.
    ("window step 0 counts as 1",
     [rec("g1", 0, 1401, "112M"), rec("g2", 0, 1538, "163M")],
     {"cfg": {"discontinuity_window_bp": 0, "discontinuity_valley_bp": 25}},
     {"valley_possible": "true", "valley_mean": "0.000000"}),
    ("window step 50 passes over it",
     [rec("g1", 0, 1401, "112M"), rec("g2", 0, 1538, "163M")],
     {"cfg": {"discontinuity_window_bp": 50, "discontinuity_valley_bp": 25}},
     {"valley_possible": "true", "valley_mean": "0.480000"}),
    ("gap of 199 holds no window",
     [rec("g1", 0, 1401, "100M")], {"gene": ((1600, 1800),)},
     {"valley_possible": "false", "valley_mean": "", "gap_mean_depth": "0.502513"}),
    ("window length 0 holds no position",
     [rec("g1", 0, 1401, "100M")], {"cfg": {"discontinuity_valley_bp": 0}},
     {"valley_possible": "false", "valley_mean": ""}),
    ("the gene overlapping the transcript leaves no gap",
     [rec("g1", 0, 1401, "100M")], {"gene": ((1350, 1800),)},
     {"valley_possible": "false", "valley_mean": "", "gap_mean_depth": "",
      "nearest_distance_bp": "0"}),
]


@pytest.mark.parametrize("label,records,settings,expected", COVERAGE_CASES,
                         ids=[c[0] for c in COVERAGE_CASES])
def test_coverage_figures(world, label, records, settings, expected):
    row = world.run(records, **settings)
    assert {k: row[k] for k in expected} == expected


def test_junction_support_per_intron_in_order(world):
    exons = ((1001, 1100), (1301, 1400), (1601, 1650), (1801, 1900))
    records = [rec("a", 0, 1051, SPLICED), rec("b", 0, 1051, SPLICED),
               rec("c", 0, 1621, "30M150N70M")]
    row = world.run(records, exons=exons, gene=((3001, 3100),))
    assert row["junction_support"] == "2,0,1"
    assert row["n_introns"] == "3"


class Multi:
    """Three representatives pairs (one transcript unknown), two loci on chr1."""

    def __init__(self, tmp: Path, bam_writer):
        rng = random.Random(3)
        self.tmp = tmp
        self.fasta = write_genome(tmp / "g.fa", {"chr1": "".join(
            rng.choice("ACGT") for _ in range(CONTIG_LEN))})
        self.merged = tmp / "merged.gtf"
        self.merged.write_text(exon_rows("chr1", "+", "A", "TA", ((1001, 1100), (1301, 1400)))
                               + exon_rows("chr1", "-", "B", "TB", ((3001, 3200),)))
        self.ref = tmp / "ref.gtf"
        self.ref.write_text(exon_rows("chr1", "+", "R", "R1", ((1701, 1800),), "ref"))
        self.reps = tmp / "reps.tsv"
        self.reps.write_text("locus\ttranscript_id\nLA\tTA\nLX\tmissing\n\tTB\nLB\tTB\n")
        self.bam = bam_writer("m.bam", "@SQ\tSN:chr1\tLN:5000\n" + rec("r", 16, 1001, "100M")
                              + "\n")

    def run(self, samples, cfg="{}", out=None):
        out = out or self.tmp / "out.tsv"
        r = _core.structure_scan(str(self.merged), str(self.ref), str(self.tmp / "absent.tsv"),
                                 str(self.reps), self.fasta, json.dumps({"samples": samples}),
                                 str(out), cfg)
        return r, read_table(out)


@pytest.fixture
def multi(tmp_path, bam_writer):
    return Multi(tmp_path, bam_writer)


def test_rows_locus_major_and_pairs_counted(multi):
    samples = [{"sample_id": "s1", "bam": str(multi.bam)},
               {"sample_id": "s2", "bam": str(multi.bam), "dup_flag_seen": True}]
    r, rows = multi.run(samples)
    # The line without a locus id is not read; the unknown transcript is read and skipped.
    assert r == {"n_loci_scanned": 3}
    assert [(x["locus_id"], x["sample_id"]) for x in rows] == [
        ("LA", "s1"), ("LA", "s2"), ("LB", "s1"), ("LB", "s2")]
    la, lb = rows[0], rows[2]
    assert (la["start"], la["end"], la["n_exons"], la["length_nt"]) == ("1001", "1400", "2", "200")
    assert la["locus_mean_depth"] == "0.500000"
    assert (la["nearest_gene_id"], la["nearest_distance_bp"], la["valley_possible"]) == (
        "R", "300", "true")
    # B lies on '-': no compatible gene, so no chosen gene and no gap figures.
    assert (lb["has_nearest"], lb["nearest_gene_id"], lb["nearest_any_gene_id"]) == (
        "false", "", "R")
    assert (lb["valley_possible"], lb["gap_mean_depth"], lb["canonical_splice_fraction"]) == (
        "", "", "")


def test_without_samples_one_row_per_locus(multi):
    r, rows = multi.run([])
    assert r == {"n_loci_scanned": 3}
    assert [(x["locus_id"], x["sample_id"]) for x in rows] == [("LA", ""), ("LB", "")]
    for x in rows:
        assert (x["valley_possible"], x["locus_mean_depth"], x["n_dup_flag_seen"],
                x["bridge_read_count"], x["junction_support"]) == ("", "", "0", "0", "")


def test_sample_without_bam_needs_no_file(multi):
    samples = [{"sample_id": "nobam", "bam": ""}, {"sample_id": "s", "bam": str(multi.bam)}]
    _, rows = multi.run(samples)
    nobam = rows[0]
    assert nobam["sample_id"] == "nobam"
    assert (nobam["locus_mean_depth"], nobam["valley_possible"], nobam["n_dup_flag_seen"]) == (
        "", "", "0")
    assert rows[1]["locus_mean_depth"] == "0.500000"


def test_configuration_as_array(multi):
    samples = [{"sample_id": "s", "bam": str(multi.bam)}]
    _, by_object = multi.run(samples, json.dumps({"strandedness": "unstranded", "min_mapq": 61}))
    _, by_array = multi.run(samples, json.dumps(["unstranded", 61]))
    assert by_object == by_array
    assert by_object[0]["locus_mean_depth"] == "0.000000"
    _, kept = multi.run(samples, json.dumps(["unstranded", 60]))
    assert kept[0]["locus_mean_depth"] == "0.500000"


def test_failures(multi, bam_writer, tmp_path):
    out = tmp_path / "kept.tsv"
    out.write_text("before\n")
    other = bam_writer("other.bam", "@SQ\tSN:chr2\tLN:5000\n" + rec("r", 0, 1, "10M", chrom="chr2")
                       + "\n")
    ok = {"sample_id": "s", "bam": str(multi.bam)}
    with pytest.raises(_core.VoskelError, match=r"^BAM has no contig chr1$"):
        multi.run([ok, {"sample_id": "t", "bam": str(other)}], out=out)
    # Nothing is written before every sample is scanned.
    assert out.read_text() == "before\n"
    missing = tmp_path / "missing.bam"
    with pytest.raises(_core.VoskelError, match=r"^cannot open indexed BAM .*missing\.bam"):
        multi.run([ok, {"sample_id": "m", "bam": str(missing)}], out=out)
    with pytest.raises(_core.VoskelError, match=r"^invalid JSON: duplicate field `min_mapq`"):
        multi.run([ok], '{"min_mapq": 1, "min_mapq": 2}')
    with pytest.raises(_core.VoskelError, match=r"^invalid JSON: missing field `bam`"):
        multi.run([{"sample_id": "s"}])
    multi.reps = tmp_path / "no_reps.tsv"
    with pytest.raises(_core.VoskelError) as e:
        multi.run([ok])
    assert str(e.value) == (f"cannot open representatives {multi.reps}: "
                            "No such file or directory (os error 2)")


def test_contig_absent_from_fasta_keeps_its_row(tmp_path, bam_writer):
    fasta = write_genome(tmp_path / "g.fa", {"chr1": "A" * 100})
    merged = tmp_path / "m.gtf"
    merged.write_text(exon_rows("chrZ", "+", "Z", "TZ", ((10, 20), (40, 50))))
    ref = tmp_path / "r.gtf"
    ref.write_text("")
    reps = tmp_path / "reps.tsv"
    reps.write_text("LZ\tTZ\n")
    out = tmp_path / "o.tsv"
    r = _core.structure_scan(str(merged), str(ref), "", str(reps), fasta,
                             json.dumps({"samples": []}), str(out), "{}")
    assert r == {"n_loci_scanned": 1}
    (row,) = read_table(out)
    assert (row["donors"], row["acceptors"], row["n_introns"], row["canonical_splice_fraction"],
            row["structure_error"]) == ("", "", "1", "0.000000", "FASTA has no contig chrZ")


# ---- the real STAR and HISAT2 samples against an independent pysam reading ----------------


def cigar_walk(pos0, cigartuples):
    """Aligned blocks and introns, 1-based inclusive, from the CIGAR operations."""
    blocks, introns, r = [], [], pos0 + 1
    for op, n in cigartuples:
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


def independent_figures(bam_path, tx, gap, strandedness, min_mapq=10):
    """Locus mean depth, gap mean depth and intron support, read record by record."""
    import pysam

    s0 = min(s for s, _ in tx["exons"])
    e0 = max(e for _, e in tx["exons"])
    t, o = (min(s0, gap[0]), max(e0, gap[1])) if gap else (s0, e0)
    exons = sorted(tx["exons"])
    tx_introns = [(a[1] + 1, b[0] - 1) for a, b in zip(exons, exons[1:]) if b[0] - 1 >= a[1] + 1]
    depth = [0] * (o - t + 1)
    support = [set() for _ in tx_introns]
    with pysam.AlignmentFile(str(bam_path)) as bam:
        for r in bam.fetch(tx["chrom"], t - 1, o):
            if r.flag & 0xB04 or r.mapping_quality < min_mapq:
                continue
            if strandedness in ("rf", "fr") and tx["strand"] != ".":
                rev = bool(r.flag & 0x10)
                if strandedness == "rf":
                    on_own_strand = r.is_paired and r.is_read2
                else:
                    on_own_strand = (not r.is_paired) or r.is_read1
                implied = ("-" if rev else "+") if on_own_strand else ("+" if rev else "-")
                if implied != tx["strand"]:
                    continue
            blocks, introns = cigar_walk(r.reference_start, r.cigartuples)
            nh = r.get_tag("NH") if r.has_tag("NH") else None
            key = r.query_name if (isinstance(nh, int) and nh == 1) else (
                r.query_name, r.reference_start, r.cigarstring)
            for i, ti in enumerate(tx_introns):
                if ti in introns:
                    support[i].add(key)
            for a, b in blocks:
                for p in range(max(a, t), min(b, o) + 1):
                    depth[p - t] += 1
    exon_depths = [depth[p - t] for s, e in tx["exons"] for p in range(s, e + 1)]
    locus_mean = sum(exon_depths) / len(exon_depths)
    gap_mean = (sum(depth[gap[0] - t : gap[1] - t + 1]) / (gap[1] - gap[0] + 1)) if gap else None
    return locus_mean, gap_mean, [len(s) for s in support]


@pytest.mark.parametrize("aligner,strandedness", [("star", "unstranded"), ("hisat2", "rf")])
def test_real_samples_against_pysam(realdata, tmp_path, aligner, strandedness):
    merged = realdata / "merged.gtf"
    txs, _ = read_gtf(merged)
    # Every other reference gene, so that loci whose own gene is left out reach out to a
    # neighbour across a gap of real reads.
    annotation = (realdata / "hg19sub_annotation.gtf").read_text().splitlines(keepends=True)
    gene_ids = sorted({re.search(r'gene_id "([^"]+)"', ln).group(1) for ln in annotation
                       if not ln.startswith("#")})
    kept = set(gene_ids[::2])
    ref = tmp_path / "ref.gtf"
    ref.write_text("".join(ln for ln in annotation if not ln.startswith("#")
                           and re.search(r'gene_id "([^"]+)"', ln).group(1) in kept))
    _, ref_genes = read_gtf(ref)
    by_gene = {}
    for tid in sorted(txs):
        by_gene.setdefault(txs[tid]["gene"], tid)
    reps = tmp_path / "reps.tsv"
    reps.write_text("locus_id\ttranscript_id\n" + "".join(
        f"{g}\t{t}\n" for g, t in sorted(by_gene.items())))
    samples = [{"sample_id": f"Sample{i}", "bam": str(realdata / f"Sample{i}.{aligner}.bam")}
               for i in (1, 2)]
    out = tmp_path / "structure.tsv"
    cfg = json.dumps({"strandedness": strandedness})
    r = _core.structure_scan(str(merged), str(ref), "",
                             str(reps), str(realdata / "hg19sub.fa"),
                             json.dumps({"samples": samples}), str(out), cfg)
    assert r == {"n_loci_scanned": len(by_gene)}
    rows = read_table(out)
    assert len(rows) == 2 * len(by_gene)
    assert [x["locus_id"] for x in rows[::2]] == sorted(by_gene)

    checked_gaps = 0
    for row in rows:
        tx = txs[row["transcript_id"]]
        blind = strandedness == "unstranded" or tx["strand"] == "."
        chosen = row["nearest_any_gene_id"] if blind else row["nearest_gene_id"]
        gap = None
        if chosen:
            g = ref_genes[(tx["chrom"], chosen)]
            s0, e0 = min(s for s, _ in tx["exons"]), max(e for _, e in tx["exons"])
            if e0 < g["start"] - 1:
                gap = (e0 + 1, g["start"] - 1)
            elif g["end"] < s0 - 1:
                gap = (g["end"] + 1, s0 - 1)
        bam = realdata / f"{row['sample_id']}.{aligner}.bam"
        locus_mean, gap_mean, support = independent_figures(bam, tx, gap, strandedness)
        assert row["locus_mean_depth"] == f"{locus_mean:.6f}", row["locus_id"]
        assert row["junction_support"] == ",".join(map(str, support)), row["locus_id"]
        if gap:
            checked_gaps += 1
            assert row["gap_mean_depth"] == f"{gap_mean:.6f}", row["locus_id"]
        else:
            assert row["gap_mean_depth"] == ""
    assert checked_gaps > 0, "no locus reached a gene across a gap"
    assert any(float(x["locus_mean_depth"]) > 1 for x in rows)
    assert any(x["junction_support"].strip("0,") for x in rows)
