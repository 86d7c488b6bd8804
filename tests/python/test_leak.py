"""leak_scan end to end: the junction census of each sample merged into the leak table."""

from __future__ import annotations

import json

import pytest

from voskel import _core

HEADER = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:10000\n"
# g1 (+) with the annotated intron 1001-1999; g2 (-) far downstream.
GTF = "".join(
    f'chr1\tt\texon\t{s}\t{e}\t.\t{st}\t.\tgene_id "{g}"; transcript_id "{t}"; gene_name "{n}";\n'
    for s, e, st, g, t, n in [(900, 1000, "+", "g1", "t1", "G1"),
                              (2000, 2100, "+", "g1", "t1", "G1"),
                              (8000, 8500, "-", "g2", "t2", "G2")])
FIXED = ("chrom\tstart\tend\tstrand\tintron_nt\tstatus\tmerged_locus\tmerged_class\toverlaps_gene\t"
         "nearest_gene_id\tnearest_gene_name\tnearest_distance_bp\tnearest_strand\tcontrol_max\t"
         "support_sum\tn_detected\ttreat_sum\ttreat_n_detected\tcontrol_n_detected\tcohort")


def spliced(name, flag, start, end, tags=(), mpos=0):
    """A record with 10 aligned bases on either side of the intron [start, end]."""
    pos = start - 10
    rnext = "=" if flag & 1 else "*"
    return "\t".join([name, str(flag), "chr1", str(pos), "60", f"10M{end - start + 1}N10M",
                      rnext, str(mpos), "0", "A" * 20, "*", *tags]) + "\n"


@pytest.fixture
def gtf(tmp_path):
    p = tmp_path / "merged.gtf"
    p.write_text(GTF)
    return p


def scan(gtf, samples, out, cfg=None):
    doc = {"samples": [{"sample_id": sid, "bam": str(bam), **extra} for sid, bam, extra in samples]}
    return _core.leak_scan(str(gtf), json.dumps(doc), str(out), json.dumps(cfg or {}))


def test_two_samples_end_to_end(tmp_path, bam_writer, gtf):
    # A novel junction in both samples, the annotated one, and one seen by a single sample;
    # the pair in b crosses its junction with both mates and counts once.
    a = bam_writer("a.bam", HEADER + spliced("r1", 0, 3001, 3999) + spliced("r2", 16, 3001, 3999)
                   + spliced("r3", 0, 1001, 1999) + spliced("r4", 0, 5001, 5099))
    b = bam_writer("b.bam", HEADER + spliced("p", 99, 3001, 3999, mpos=2991)
                   + spliced("p", 147, 3001, 3999, mpos=2991) + spliced("r5", 16, 1001, 1999))
    out = tmp_path / "deep" / "leak.tsv"
    summary = scan(gtf, [("a", a, {"group": "control"}), ("b", b, {"group": "treat"})], out,
                   {"strandedness": "unstranded"})
    assert list(summary.items()) == [("dropped_fragments", 0), ("n_leak", 1)]
    assert out.read_text() == (
        FIXED + "\ta_count\tb_count\n"
        "chr1\t3001\t3999\t.\t999\tunassembled\t\t\tfalse\tg1\tG1\t900\t+\t2\t3\t2\t1\t1\t1\t"
        "shared\t2\t1\n")

    # "rf": single forward reads speak for '-', reverse ones for '+', both mates of the pair for
    # '-'; the intron annotated on '+' is dropped only on that strand.
    scan(gtf, [("a", a, {"group": "control"}), ("b", b, {"group": "treat"})], out,
         {"min_samples": 1, "min_support": 1, "max_control_support": 1})
    rows = [line.split("\t") for line in out.read_text().splitlines()[1:]]
    assert [(r[1], r[3], r[19], r[20], r[21]) for r in rows] == [
        ("1001", "-", "silent", "1", "0"), ("3001", "+", "silent", "1", "0"),
        ("3001", "-", "silent", "1", "1"), ("5001", "-", "silent", "1", "0")]


def test_no_sample_writes_the_bare_header_without_reading_the_gtf(tmp_path):
    out = tmp_path / "leak.tsv"
    assert scan(tmp_path / "missing.gtf", [], out) == {"dropped_fragments": 0, "n_leak": 0}
    assert out.read_text() == "chrom\n"


def test_header_alone_when_nothing_passes(tmp_path, bam_writer, gtf):
    a = bam_writer("a.bam", HEADER + spliced("r1", 0, 3001, 3999))
    out = tmp_path / "leak.tsv"
    # The configuration in its positional form, "min_support" 3 last.
    cfg = [10, False, "unstranded", "auto", "auto", 0, 2, 3]
    assert scan(gtf, [("s1", a, {}), ("s1", a, {})], out, cfg) == {"dropped_fragments": 0,
                                                                   "n_leak": 0}
    assert out.read_text() == FIXED + "\ts1_count\ts1_count\n"


def test_reference_names_that_are_not_utf8(tmp_path, bam_writer, gtf):
    import pysam

    sam = tmp_path / "bad.sam"
    sam.write_bytes(b"@SQ\tSN:chr\xff1\tLN:10000\n"
                    + spliced("r", 0, 3001, 3999).replace("chr1", "chr\udcff1")
                    .encode("utf-8", "surrogateescape"))
    bam = tmp_path / "bad.bam"
    pysam.view("-b", "-o", str(bam), str(sam), catch_stdout=False)
    out = tmp_path / "leak.tsv"
    scan(gtf, [("s", bam, {})], out, {"min_samples": 1, "min_support": 1})
    assert out.read_text(encoding="utf-8").splitlines()[1].startswith("chr\ufffd1\t3001\t3999\t-")


def test_failures(tmp_path, bam_writer, gtf):
    a = bam_writer("a.bam", HEADER + spliced("r1", 0, 3001, 3999))
    out = tmp_path / "leak.tsv"
    cases = [
        ([("s", a, {})], {"min_samples": -1}, "invalid JSON: "),
        ([("s", a, {})], {"fasta": 3}, "invalid JSON: "),
        ([("s", a, {})], {"fasta": str(tmp_path / "g.fa")},
         f"missing FASTA index {tmp_path / 'g.fa.fai'} — please run `samtools faidx`"),
        ([("s", a, {}), ("t", tmp_path / "none.bam", {})], {},
         f"cannot open BAM {tmp_path / 'none.bam'}: file not found: {tmp_path / 'none.bam'}"),
    ]
    for samples, cfg, prefix in cases:
        with pytest.raises(_core.VoskelError) as err:
            scan(gtf, samples, out, cfg)
        assert str(err.value).startswith(prefix), (cfg, str(err.value))
        assert not out.exists()
    with pytest.raises(_core.VoskelError, match="^cannot open GTF "):
        scan(tmp_path / "missing.gtf", [("s", a, {})], out)
    with pytest.raises(_core.VoskelError, match="^invalid JSON: missing field `bam`"):
        _core.leak_scan(str(gtf), '{"samples": [{"sample_id": "s"}]}', str(out), "{}")
