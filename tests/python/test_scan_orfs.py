"""The ORF scan end to end through the module: table rows, peptides and failures."""

from __future__ import annotations

import json
import math
from pathlib import Path

import pytest

from voskel import _core

HEADER = "locus_id\ttranscript_id\tlongest_orf_aa\torf_complete\tcoding_score\tfickett_score\tcoding_label\n"

CODE = {
    a + b + c: "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"[16 * i + 4 * j + k]
    for i, a in enumerate("TCAG")
    for j, b in enumerate("TCAG")
    for k, c in enumerate("TCAG")
}
COMPLEMENT = str.maketrans("ACGTU", "TGCAA")


def rc(seq: str) -> str:
    return seq.translate(COMPLEMENT)[::-1]


def translate(nt: str) -> str:
    return "".join(CODE.get(nt[p : p + 3], "X") for p in range(0, len(nt) - 2, 3)).replace("*", "")


def fickett(nt: str) -> float:
    """The Fickett score, written from its tables for cross-checking."""
    pos_prob = {
        "A": [0.94, 0.68, 0.84, 0.93, 0.58, 0.68, 0.45, 0.34, 0.20, 0.22],
        "C": [0.80, 0.70, 0.70, 0.81, 0.66, 0.48, 0.51, 0.33, 0.30, 0.23],
        "G": [0.90, 0.88, 0.74, 0.64, 0.53, 0.48, 0.27, 0.16, 0.08, 0.08],
        "T": [0.97, 0.97, 0.91, 0.68, 0.69, 0.44, 0.54, 0.20, 0.09, 0.09],
    }
    content_prob = {
        "A": [0.28, 0.49, 0.44, 0.55, 0.62, 0.49, 0.67, 0.65, 0.81, 0.21],
        "C": [0.82, 0.73, 0.43, 0.59, 0.59, 0.32, 0.69, 0.33, 0.30, 0.23],
        "G": [0.40, 0.54, 0.47, 0.64, 0.64, 0.73, 0.41, 0.41, 0.33, 0.29],
        "T": [0.28, 0.24, 0.39, 0.40, 0.55, 0.75, 0.56, 0.69, 0.51, 0.58],
    }
    weights = {"A": (0.26, 0.11), "C": (0.18, 0.12), "G": (0.31, 0.15), "T": (0.33, 0.14)}
    pos_t = [1.9, 1.8, 1.7, 1.6, 1.5, 1.4, 1.3, 1.2, 1.1, 0.0]
    content_t = [0.33, 0.31, 0.29, 0.27, 0.25, 0.23, 0.21, 0.19, 0.17, 0.0]
    n = len(nt)
    if n < 2:
        return 0.0
    total = 0.0
    for base in "ACGT":
        c = [sum(1 for i in range(f, n, 3) if nt[i] == base) for f in range(3)]
        position = max(c) / (min(c) + 1.0)
        content = sum(c) / n
        pb = next(i for i, t in enumerate(pos_t) if position >= t)
        cb = next(i for i, t in enumerate(content_t) if content >= t)
        total += pos_prob[base][pb] * weights[base][0]
        total += content_prob[base][cb] * weights[base][1]
    return total


def lr(c: float, nc: float) -> float:
    return math.log2((c + 1e-8) / (nc + 1e-8))


def write_genome(path: Path, contigs: dict[str, str], width: int = 60) -> Path:
    """Writes a FASTA with lines of `width` bases and its .fai."""
    fa, fai = [], []
    offset = 0
    for name, seq in contigs.items():
        head = f">{name}\n"
        offset += len(head)
        body = "".join(seq[p : p + width] + "\n" for p in range(0, len(seq), width))
        fai.append(f"{name}\t{len(seq)}\t{offset}\t{width}\t{width + 1}\n")
        fa.append(head + body)
        offset += len(body)
    path.write_text("".join(fa))
    Path(str(path) + ".fai").write_text("".join(fai))
    return path


def gtf_line(tid: str, chrom: str, strand: str, exons: list[tuple[int, int]]) -> str:
    attrs = f'gene_id "G{tid}"; transcript_id "{tid}";'
    lines = [f"{chrom}\tt\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\t{attrs}\n"]
    for s, e in exons:
        lines.append(f"{chrom}\tt\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}\n")
    return "".join(lines)


# 130 codons: ATG then four codons repeated (no ATG in any frame, no stop), then TAA.
LONG_ORF = "ATG" + ("GCTAAACTGGAA" * 33)[:387] + "TAA"
assert len(LONG_ORF) == 393


class Tiny:
    """A genome, a merged GTF and a hexamer table holding one transcript of each kind."""

    def __init__(self, root: Path):
        self.root = root
        chr1 = ["A"] * 1000

        def put(pos: int, text: str) -> None:
            chr1[pos - 1 : pos - 1 + len(text)] = list(text)

        put(1, "CCATGATGATGTAAGGGGGG")  # T1 (+): ORF in frame 2
        minus = rc("ATGCCCAAATAG")  # T2 (-): two exons of six bases
        put(101, minus[:6])
        put(111, minus[6:])
        unstranded = rc("ATGGGGTTTTAA")  # T3 (.): its intron reads CT...AC, so minus
        put(201, unstranded[:6])
        put(207, "CTGGGGGGAC")
        put(217, unstranded[6:])
        put(301, LONG_ORF)  # T5 (+)
        put(701, "CCCCCCCCCCCC")  # T7 (+): no ATG
        put(801, "ATGTAA")  # T8 (+): a one-codon ORF, too short for a hexamer score
        self.chr1 = "".join(chr1)
        self.fasta = write_genome(root / "genome.fa", {"chr1": self.chr1})
        self.gtf = root / "merged.gtf"
        self.gtf.write_text(
            "# merged\n"
            + gtf_line("T1", "chr1", "+", [(1, 20)])
            + gtf_line("T2", "chr1", "-", [(101, 106), (111, 116)])
            + gtf_line("T3", "chr1", ".", [(201, 206), (217, 222)])
            + gtf_line("T4", "chrX", "+", [(1, 30)])
            + gtf_line("T5", "chr1", "+", [(301, 693)])
            + gtf_line("T6", "chr1", "+", [(990, 1010)])
            + gtf_line("T7", "chr1", "+", [(701, 712)])
            + gtf_line("T8", "chr1", "+", [(801, 806)])
        )
        self.hexamer = root / "hexamer.tsv"
        self.hexamer.write_text(
            "hexamer\tcoding\tnoncoding\n"
            "ATGATG\t0.8\t0.2\n"
            "CCCAAA\t0.1\t0.4\n"
            "gggttt\t0.5\t0.5\n"
            "GCTAAA\t0.9\t0.1\n"
        )

    def cfg(self, **extra) -> str:
        return json.dumps({"hexamer_table": str(self.hexamer), "min_orf_aa": 1, **extra})

    def run(self, reps_text: str, cfg: str | None = None, fasta: Path | None = None):
        reps = self.root / "reps.tsv"
        reps.write_text(reps_text)
        out = self.root / "out" / "orfs.tsv"
        pep = self.root / "pep" / "sub" / "peptides.fa"
        result = _core.scan_orfs(
            str(fasta or self.fasta), str(self.gtf), str(reps), str(out), str(pep),
            cfg if cfg is not None else self.cfg(),
        )
        return result, out, pep


@pytest.fixture
def tiny(tmp_path):
    return Tiny(tmp_path)


def test_rows_and_peptides(tiny):
    reps = (
        "locus_id\ttranscript_id\textra\n"
        "L1\tT1\tx\n"
        "L2\tT2\n"
        "\n"
        "L3\tT3\n"
        "L4\tT4\n"
        "LX\tNOT_IN_GTF\n"
        "L5\tT5\n"
        "L6\tT6\n"
        "L7\tT7\n"
        "L8\tT8\n"
        "L9\n"
        "L9\t\n"
        "\tT1\r\n"
    )
    result, out, pep = tiny.run(reps)
    assert result == {"n_orfs": 6}
    f = lambda nt: f"{fickett(nt):.6f}"  # noqa: E731
    assert f("ATGATGATG") == "1.042500"
    long_nt = LONG_ORF[:-3]
    rows = [
        ["L1", "T1", "3", "true", f"{lr(0.8, 0.2):.6f}", "1.042500", "coding"],
        ["L2", "T2", "3", "true", f"{lr(0.1, 0.4):.6f}", f("ATGCCCAAA"), "noncoding"],
        ["L3", "T3", "3", "true", "0.000000", f("ATGGGGTTT"), "ambiguous"],
        ["L4", "T4", "0", "false", "NA", "NA", "no_orf"],
        ["L5", "T5", "130", "true", f"{lr(0.9, 0.1):.6f}", f(long_nt), "coding"],
        ["L6", "T6", "0", "false", "NA", "NA", "no_orf"],
        ["L7", "T7", "0", "false", "NA", "NA", "no_orf"],
        ["L8", "T8", "1", "true", "NA", f("ATG"), "no_orf"],
        ["", "T1", "3", "true", f"{lr(0.8, 0.2):.6f}", "1.042500", "coding"],
    ]
    assert out.read_text() == HEADER + "".join("\t".join(r) + "\n" for r in rows)

    long_pep = translate(long_nt)
    assert len(long_pep) == 130 and long_pep.startswith("MAKLE")
    assert pep.read_text() == (
        ">L1|T1|3\nMMM\n"
        ">L2|T2|3\nMPK\n"
        ">L3|T3|3\nMGF\n"
        f">L5|T5|130\n{long_pep[:60]}\n{long_pep[60:120]}\n{long_pep[120:]}\n"
        ">L8|T8|1\nM\n"
        ">|T1|3\nMMM\n"
    )


@pytest.mark.parametrize(
    "first_line, rows",
    [
        ("L1\tT1\n", 2),  # data
        ("locus\ttranscript_id\n", 1),
        ("x\tT1\tnotes on transcript_id\n", 1),  # the text anywhere on line 1
    ],
)
def test_header_only_on_line_one(tiny, first_line, rows):
    _, out, _ = tiny.run(first_line + "L8\tT8\n")
    assert len(out.read_text().splitlines()) == 1 + rows


def test_transcript_id_on_a_later_line_is_data(tiny):
    result, out, _ = tiny.run("L1\tT1\ntranscript_id\tT8\n")
    assert result == {"n_orfs": 2}
    assert out.read_text().splitlines()[2].startswith("transcript_id\tT8\t1\t")


@pytest.mark.parametrize("min_aa, found", [(130, True), (131, False), (0, True)])
def test_min_orf_aa(tiny, min_aa, found):
    result, out, pep = tiny.run("L5\tT5\n", cfg=tiny.cfg(min_orf_aa=min_aa))
    row = out.read_text().splitlines()[1].split("\t")
    if found:
        assert row[2] == "130" and result == {"n_orfs": 1}
    else:
        assert row[2:] == ["0", "false", "NA", "NA", "no_orf"]
        assert result == {"n_orfs": 0} and pep.read_text() == ""


def test_unstranded_single_exon_reads_plus(tiny):
    # On the minus strand T1's sequence holds only a one-codon ORF; unstranded, it is read
    # as given.
    tiny.gtf.write_text(gtf_line("U1", "chr1", ".", [(1, 20)]))
    result, _, pep = tiny.run("L\tU1\n")
    assert result == {"n_orfs": 1}
    assert pep.read_text() == ">L|U1|3\nMMM\n"


def test_empty_representatives(tiny):
    for text in ["", "locus_id\ttranscript_id\n"]:
        result, out, pep = tiny.run(text)
        assert result == {"n_orfs": 0}
        assert out.read_text() == HEADER
        assert pep.read_text() == ""


def write_nothing_cases(tiny):
    hexamer = tiny.hexamer
    return [
        ("", "invalid JSON: EOF while parsing a value at line 1 column 0"),
        (json.dumps({"min_orf_aa": 1}), "invalid JSON: missing field `hexamer_table`"),
        (json.dumps({"hexamer_table": ""}), "coding.hexamer_table is empty"),
        (
            json.dumps({"hexamer_table": str(tiny.root / "none.tsv")}),
            f"hexamer table {tiny.root / 'none.tsv'}: No such file or directory (os error 2)",
        ),
        ("bad-table", f'hexamer table {hexamer} line 2: expected 6-mer, got "ATGATN"'),
    ]


def test_config_and_table_errors_write_nothing(tiny):
    for cfg, want in write_nothing_cases(tiny):
        if cfg == "bad-table":
            tiny.hexamer.write_text("hexamer\tc\tn\nATGATN\t1\t1\n")
            cfg = tiny.cfg()
        with pytest.raises(_core.VoskelError) as err:
            tiny.run("L1\tT1\n", cfg=cfg)
        assert str(err.value).startswith(want)
        assert not (tiny.root / "out").exists()
        assert not (tiny.root / "pep").exists()


def test_input_errors(tiny):
    with pytest.raises(_core.VoskelError) as err:
        _core.scan_orfs(
            str(tiny.fasta), str(tiny.gtf), str(tiny.root / "no_reps.tsv"),
            str(tiny.root / "o.tsv"), str(tiny.root / "p.fa"), tiny.cfg(),
        )
    assert str(err.value) == "open reps: No such file or directory (os error 2)"
    assert not (tiny.root / "p.fa").exists()

    missing_fai = tiny.root / "plain.fa"
    missing_fai.write_text(">chr1\nACGT\n")
    with pytest.raises(_core.VoskelError) as err:
        tiny.run("L1\tT1\n", fasta=missing_fai)
    assert str(err.value) == (
        f"missing FASTA index {missing_fai}.fai \u2014 please run `samtools faidx` on that "
        "FASTA (Voskel will not write a .fai next to a shared genome)"
    )


def test_unreadable_genome_ends_the_scan(tiny):
    # An index whose line width does not match the file: the decoded length is wrong.
    Path(str(tiny.fasta) + ".fai").write_text("chr1\t1000\t6\t60\t60\n")
    with pytest.raises(_core.VoskelError) as err:
        tiny.run("L1\tT1\nL5\tT5\n")
    assert str(err.value) == "FASTA fetch chr1:301-693 decoded 386 bases, expected 393"
    assert not (tiny.root / "out").exists()
    # What was written before the failure stays.
    assert (tiny.root / "pep" / "sub" / "peptides.fa").read_text() == ">L1|T1|3\nMMM\n"

    # Line width below line bases.
    Path(str(tiny.fasta) + ".fai").write_text("chr1\t1000\t6\t60\t59\n")
    with pytest.raises(_core.VoskelError) as err:
        tiny.run("L1\tT1\n")
    assert str(err.value) == "bad FASTA index for chr1: linewidth 59 < linebases 60"

    # A FASTA shorter than its index says.
    Path(str(tiny.fasta) + ".fai").write_text("chr1\t100000\t6\t60\t61\n")
    tiny.gtf.write_text(gtf_line("TL", "chr1", "+", [(99000, 99100)]))
    with pytest.raises(_core.VoskelError) as err:
        tiny.run("L\tTL\n")
    assert str(err.value) == "failed to fill whole buffer"


def test_crlf_genome(tiny):
    crlf = tiny.root / "crlf.fa"
    body = "".join(tiny.chr1[p : p + 60] + "\r\n" for p in range(0, 1000, 60))
    crlf.write_bytes(b">chr1\r\n" + body.encode())
    Path(str(crlf) + ".fai").write_text("chr1\t1000\t7\t60\t62\n")
    result, _, pep = tiny.run("L2\tT2\nL5\tT5\n", fasta=crlf)
    assert result == {"n_orfs": 2}
    assert pep.read_text().startswith(">L2|T2|3\nMPK\n>L5|T5|130\nMAKLE")


# ---- real data ----------------------------------------------------------------------------


def longest_orf(seq: str, min_aa: int):
    """Longest ATG-started ORF by the plain rules: frames 0, 1, 2, leftmost start first,
    replaced only by a strictly longer candidate."""
    best = None
    for f in range(3):
        for p in range(f, len(seq) - 2, 3):
            if seq[p : p + 3] != "ATG":
                continue
            q = p + 3
            while q + 3 <= len(seq) and seq[q : q + 3] not in ("TAA", "TAG", "TGA"):
                q += 3
            complete = q + 3 <= len(seq)
            nt = seq[p:q] if complete else seq[p : p + (len(seq) - p) // 3 * 3]
            if len(nt) // 3 >= min_aa and (best is None or len(nt) > len(best[0])):
                best = (nt, complete)
    return best


def test_real_data(realdata, tmp_path):
    import pysam

    gtf = realdata / "merged.gtf"
    exons: dict[str, list[tuple[int, int]]] = {}
    info: dict[str, tuple[str, str, str]] = {}
    for line in gtf.read_text().splitlines():
        cols = line.split("\t")
        if line.startswith("#") or len(cols) < 9 or cols[2] != "exon":
            continue
        attrs = dict(
            (k, v.strip('"'))
            for k, v in (p.strip().split(" ", 1) for p in cols[8].split(";") if p.strip())
        )
        tid = attrs["transcript_id"]
        exons.setdefault(tid, []).append((int(cols[3]), int(cols[4])))
        info.setdefault(tid, (attrs["gene_id"], cols[0], cols[6]))
    reps = tmp_path / "reps.tsv"
    reps.write_text(
        "locus_id\ttranscript_id\n" + "".join(f"{info[t][0]}\t{t}\n" for t in sorted(info))
    )
    hexamer = tmp_path / "hexamer.tsv"
    hexamer.write_text(
        "".join(
            f"{a}{b}{c}{a}{b}{c}\t{0.001 * (i + 1)}\t{0.002 * (64 - i)}\n"
            for i, (a, b, c) in enumerate(
                (a, b, c) for a in "ACGT" for b in "ACGT" for c in "ACGT"
            )
        )
    )
    out, pep = tmp_path / "orfs.tsv", tmp_path / "peptides.fa"
    cfg = json.dumps({"hexamer_table": str(hexamer), "min_orf_aa": 30})
    result = _core.scan_orfs(
        str(realdata / "hg19sub.fa"), str(gtf), str(reps), str(out), str(pep), cfg
    )

    lines = out.read_text().splitlines()
    assert lines[0] + "\n" == HEADER
    rows = [line.split("\t") for line in lines[1:]]
    assert [r[1] for r in rows] == sorted(info)

    records = pep.read_text().split(">")[1:]
    assert result == {"n_orfs": len(records)} and len(records) > 10
    peptides = {}
    for rec in records:
        head, *body = rec.rstrip("\n").split("\n")
        assert all(len(x) == 60 for x in body[:-1]) and 1 <= len(body[-1]) <= 60
        peptides[head] = "".join(body)

    genome = pysam.FastaFile(str(realdata / "hg19sub.fa"))
    for locus, tid, aa, complete, score, fick, label in rows:
        _, chrom, strand = info[tid]
        seq = "".join(genome.fetch(chrom, s - 1, e).upper() for s, e in sorted(exons[tid]))
        if strand == "-":
            seq = rc(seq)
        want = longest_orf(seq, 30)
        if want is None:
            assert (aa, complete, score, fick, label) == ("0", "false", "NA", "NA", "no_orf")
            continue
        nt, is_complete = want
        peptide = peptides[f"{locus}|{tid}|{aa}"]
        assert peptide.startswith("M") and len(peptide) == int(aa) == len(nt) // 3
        assert peptide == translate(nt)
        assert complete == ("true" if is_complete else "false")
        assert fick == f"{fickett(nt):.6f}"
        if score == "NA":
            assert label == "no_orf"
        else:
            value = float(score)
            assert label == ("coding" if value > 0 else "noncoding" if value < 0 else "ambiguous")


def reference_row(seq: str, table: dict, min_aa: int) -> tuple[list[str], str | None]:
    hit = longest_orf(seq, min_aa)
    if hit is None:
        return ["0", "false", "NA", "NA", "no_orf"], None
    nt, complete = hit
    ratios = [table[nt[i : i + 6]] for i in range(0, len(nt) - 5, 3) if nt[i : i + 6] in table]
    score = sum(ratios) / len(ratios) if ratios else None
    label = "no_orf" if score is None else "coding" if score > 0 else "noncoding" if score < 0 \
        else "ambiguous"
    cells = [str(len(nt) // 3), "true" if complete else "false",
             "NA" if score is None else f"{score:.6f}", f"{fickett(nt):.6f}", label]
    return cells, translate(nt)


def test_random_transcripts_match_a_plain_reference(tmp_path):
    """Rows and peptides of many random transcripts, both strands and several exons, against
    a direct reading of the ORF, translation and scoring rules."""
    import random

    rng = random.Random(5)
    # Coding-like stretches keep long ORFs common; some N's break codons.
    genome = "".join(rng.choice("ACGT" * 20 + "N") for _ in range(60_000))
    (tmp_path / "g.fa").write_text(">c\n" + "\n".join(genome[i : i + 70]
                                                       for i in range(0, len(genome), 70)) + "\n")
    (tmp_path / "g.fa.fai").write_text(f"c\t{len(genome)}\t3\t70\t71\n")
    table = {}
    rows = ["hexamer\tcoding\tnoncoding"]
    for i in range(4096):
        if rng.random() < 0.8:  # a partial table: some windows go unscored
            h = "".join("ACGT"[(i >> s) & 3] for s in (10, 8, 6, 4, 2, 0))
            c, n = rng.random() * 1e-3, rng.random() * 1e-3
            rows.append(f"{h}\t{c!r}\t{n!r}")
            table[h] = math.log2((c + 1e-8) / (n + 1e-8))
    (tmp_path / "hex.tsv").write_text("\n".join(rows) + "\n")
    gtf, reps, expected, peptides = [], ["locus_id\ttranscript_id"], [], []
    for t in range(150):
        strand = rng.choice("+-")
        start = rng.randint(1, 55_000)
        exons = []
        for _ in range(rng.randint(1, 4)):
            end = start + rng.randint(30, 600)
            exons.append((start, end))
            start = end + rng.randint(50, 300)
        if exons[-1][1] > len(genome):
            continue
        tid = f"T{t:03d}"
        for s, e in exons:
            gtf.append(f'c\tx\texon\t{s}\t{e}\t.\t{strand}\t.\tgene_id "G{t}"; transcript_id "{tid}";')
        reps.append(f"G{t}\t{tid}")
        seq = "".join(genome[s - 1 : e] for s, e in exons)
        cells, peptide = reference_row(rc(seq) if strand == "-" else seq, table, 20)
        expected.append("\t".join([f"G{t}", tid] + cells))
        if peptide is not None:
            peptides.append((f">G{t}|{tid}|{cells[0]}", peptide))
    (tmp_path / "m.gtf").write_text("\n".join(gtf) + "\n")
    (tmp_path / "reps.tsv").write_text("\n".join(reps) + "\n")
    cfg = json.dumps({"hexamer_table": str(tmp_path / "hex.tsv"), "min_orf_aa": 20})
    got = _core.scan_orfs(str(tmp_path / "g.fa"), str(tmp_path / "m.gtf"),
                          str(tmp_path / "reps.tsv"), str(tmp_path / "out.tsv"),
                          str(tmp_path / "pep.fa"), cfg)
    assert got == {"n_orfs": len(peptides)}
    assert (tmp_path / "out.tsv").read_text().splitlines() == [HEADER.rstrip("\n")] + expected
    want_fa = "".join(h + "\n" + "".join(p[i : i + 60] + "\n" for i in range(0, len(p), 60))
                      for h, p in peptides)
    assert (tmp_path / "pep.fa").read_text() == want_fa
