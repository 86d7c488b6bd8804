"""classify_gtfs end to end through the module."""

from __future__ import annotations

import re
from collections import defaultdict

import pytest

from voskel import _core

HEADER = ("transcript_id\tgene_id\tchrom\tstart\tend\tstrand\tn_exons\tlength_nt\t"
          "exon_structure\tclass\tgene_name\n")
CLASSES = {"u", "i", "x", "extension", "overlap"}


def exon(chrom, s, e, strand, gene, tx=None, name=None):
    attrs = f'gene_id "{gene}";'
    if tx is not None:
        attrs += f' transcript_id "{tx}";'
    if name is not None:
        attrs += f' gene_name "{name}";'
    return f"{chrom}\tsrc\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}\n"


REF = (
    "chr1\tsrc\tgene\t100\t600\t.\t+\t.\tgene_id \"G\"; gene_name \"GN\";\n"
    + exon("chr1", 100, 200, "+", "G", "R1")
    + exon("chr1", 500, 600, "+", "G", "R1")
)
QUERY = (
    "# merged\n"
    + exon("chr1", 100, 200, "+", "M1", "M1.1", name="N1")
    + exon("chr1", 500, 650, "+", "M1", "M1.1", name="N1")
    + exon("chr1", 300, 400, "+", "M2", "M2.1")
    + exon("chr1", 300, 400, "-", "M3", "M3.1")
    + exon("chr5", 1, 10, "-", "M4", "M4.1")
    + exon("chr1", 150, 160, "+", "M5", "M5.1")
    + exon("chr1", 150, 160, "+", "M5", "M5.1")
)


@pytest.fixture
def pair(tmp_path):
    q, r = tmp_path / "q.gtf", tmp_path / "r.gtf"
    q.write_text(QUERY)
    r.write_text(REF)
    return str(q), str(r), str(tmp_path / "out" / "classes.tsv")


def test_rows_and_summary(pair):
    q, r, out = pair
    res = _core.classify_gtfs(q, r, out, "{}")
    assert list(res) == ["n_transcripts", "n_u"]
    assert all(type(v) is int for v in res.values())
    assert res == {"n_transcripts": 5, "n_u": 1}
    with open(out) as f:
        text = f.read()
    assert text == HEADER + (
        "M1.1\tM1\tchr1\t100\t650\t+\t2\t252\t100-200,500-650\textension\tN1\n"
        "M2.1\tM2\tchr1\t300\t400\t+\t1\t101\t300-400\ti\tM2\n"
        "M3.1\tM3\tchr1\t300\t400\t-\t1\t101\t300-400\tx\tM3\n"
        "M4.1\tM4\tchr5\t1\t10\t-\t1\t10\t1-10\tu\tM4\n"
        "M5.1\tM5\tchr1\t150\t160\t+\t2\t22\t150-160,150-160\toverlap\tM5\n"
    )


def test_unstranded_and_keywords_in_any_order(pair):
    q, r, out = pair
    res = _core.classify_gtfs(cfg_json='{"strandedness": "unstranded", "other": 1}',
                              out_tsv=out, ref_gtf=r, merged_gtf=q)
    assert res == {"n_transcripts": 5, "n_u": 1}
    with open(out) as f:
        classes = [line.split("\t")[9] for line in f.read().splitlines()[1:]]
    assert classes == ["extension", "i", "i", "u", "overlap"]


def test_binding_errors_read_nothing(pair, tmp_path):
    q, r, out = pair
    with pytest.raises(TypeError, match="cfg_json"):
        _core.classify_gtfs(q, r, out)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "which, cfg, expected",
    [
        ("query", "{}", "cannot open GTF {path}: No such file or directory (os error 2)"),
        ("ref", "{}", "cannot open GTF {path}: No such file or directory (os error 2)"),
        ("both", '{"strandedness": "rf", "strandedness": "fr"}',
         "invalid JSON: duplicate field `strandedness`"),
        ("none", "", "invalid JSON: EOF while parsing a value at line 1 column 0"),
    ],
)
def test_errors(pair, tmp_path, which, cfg, expected):
    q, r, out = pair
    missing = str(tmp_path / "missing.gtf")
    if which in ("query", "both"):
        q = missing
    if which in ("ref", "both"):
        r = missing
    with pytest.raises(_core.VoskelError) as e:
        _core.classify_gtfs(q, r, out, cfg)
    assert str(e.value).startswith(expected.format(path=missing))
    assert not (tmp_path / "out").exists()


def read_gtf_exons(path):
    """{transcript_id: (chrom, strand, sorted exon list)} of the exon rows of a GTF."""
    txs = {}
    for line in open(path):
        if line.startswith("#") or not line.strip():
            continue
        f = line.rstrip("\n").split("\t")
        if f[2] != "exon":
            continue
        tid = re.search(r'transcript_id "([^"]*)"', f[8]).group(1)
        chrom, strand, ex = txs.setdefault(tid, (f[0], f[6], []))
        ex.append((int(f[3]), int(f[4])))
    return {t: (c, s, sorted(ex)) for t, (c, s, ex) in txs.items()}


def test_real_assembly_against_its_reference(realdata, tmp_path):
    merged, ref = realdata / "merged.gtf", realdata / "hg19sub_annotation.gtf"
    out = tmp_path / "classes.tsv"
    res = _core.classify_gtfs(str(merged), str(ref), str(out), "{}")
    lines = out.read_text().splitlines()
    assert lines[0] + "\n" == HEADER
    rows = [line.split("\t") for line in lines[1:]]

    query = read_gtf_exons(merged)
    reference = read_gtf_exons(ref)
    assert res["n_transcripts"] == len(rows) == len(query) == 38
    assert [r[0] for r in rows] == sorted(query, key=lambda t: t.encode())
    assert res["n_u"] == sum(r[9] == "u" for r in rows)
    assert {r[0] for r in rows if r[0].startswith("MSTRG")} == {"MSTRG.3.6", "MSTRG.7.3"}

    chains = defaultdict(set)
    for chrom, strand, ex in reference.values():
        chains[(chrom, strand)].add(tuple(ex))
    for tid, gene, chrom, start, end, strand, n, length, structure, cls, _name in rows:
        c, s, ex = query[tid]
        assert cls in CLASSES
        assert (chrom, strand) == (c, s)
        assert (int(start), int(end)) == (ex[0][0], max(e for _, e in ex))
        assert int(n) == len(ex)
        assert int(length) == sum(e - s + 1 for s, e in ex)
        assert structure == ",".join(f"{s}-{e}" for s, e in ex)
        # A chain copied from the reference is always an overlap of it.
        if tuple(ex) in chains[(c, s)]:
            assert cls == "overlap", tid
    # StringTie kept the reference transcripts it saw under their own ids.
    kept = [r for r in rows if r[0] in reference]
    assert kept and all(r[9] in ("overlap", "extension") for r in kept)
