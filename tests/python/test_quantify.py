"""quantify_gtf end to end: fragments counted per locus and transcript, TPM tables."""

from __future__ import annotations

import gzip
import json
import struct
import zlib
from pathlib import Path

import pytest

from voskel import _core

HEADER = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chr2\tLN:5000\n"

# g1 single exon (+); g2 three-exon and two-exon transcripts (+); g3 (-) and g4 (+) overlap at
# 3300-3400; g5 unstranded; g10 two overlapping single-exon transcripts (sorts before g2).
GTF_ROWS = [
    ("chr1", "exon", 100, 600, "+", "g1", "t1a"),
    ("chr1", "exon", 1000, 1200, "+", "g2", "t2a"),
    ("chr1", "exon", 1501, 1700, "+", "g2", "t2a"),
    ("chr1", "exon", 2001, 2200, "+", "g2", "t2a"),
    ("chr1", "exon", 1000, 1200, "+", "g2", "t2b"),
    ("chr1", "exon", 2001, 2200, "+", "g2", "t2b"),
    ("chr1", "exon", 3000, 3400, "-", "g3", "t3a"),
    ("chr1", "exon", 3300, 3700, "+", "g4", "t4a"),
    ("chr1", "exon", 5000, 5400, ".", "g5", "t5a"),
    ("chr1", "exon", 6000, 6400, "+", "g10", "t10a"),
    ("chr1", "exon", 6200, 6600, "+", "g10", "t10b"),
]


def gtf_text(rows=GTF_ROWS) -> str:
    return "".join(
        f'{c}\tt\t{f}\t{s}\t{e}\t.\t{st}\t.\tgene_id "{g}"; transcript_id "{t}";\n'
        for c, f, s, e, st, g, t in rows
    )


def rec(name, flag, pos, cigar="50M", mapq=60, mpos=0, tags=()):
    """One SAM line on chr1; paired records point at their mate on chr1."""
    rnext = "=" if flag & 1 else "*"
    seq_len = sum(int(n) for n, op in _ops(cigar) if op in "MIS=X")
    fields = [name, str(flag), "chr1", str(pos), str(mapq), cigar, rnext, str(mpos), "0",
              "A" * seq_len, "*", *tags]
    return "\t".join(fields) + "\n"


def _ops(cigar):
    num = ""
    for ch in cigar:
        if ch.isdigit():
            num += ch
        else:
            yield num, ch
            num = ""


def bgzf_block(data: bytes) -> bytes:
    """One BGZF block holding `data` (empty data gives the end-of-file block)."""
    comp = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = comp.compress(data) + comp.flush()
    header = b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00"
    size = len(header) + 2 + len(body) + 8
    return (header + struct.pack("<H", size - 1) + body
            + struct.pack("<II", zlib.crc32(data), len(data)))


@pytest.fixture
def gtf(tmp_path):
    p = tmp_path / "merged.gtf"
    p.write_text(gtf_text())
    return p


def run(gtf, samples, out_dir, cfg=None):
    doc = {"samples": [{"sample_id": sid, "bam": str(bam), **extra} for sid, bam, extra in samples]}
    return _core.quantify_gtf(str(gtf), json.dumps(doc), str(out_dir), json.dumps(cfg or {}))


def read_table(path: Path):
    lines = path.read_text().splitlines()
    return [ln.split("\t") for ln in lines]


def nonzero_cells(out_dir: Path):
    """{id: value} of the non-zero count cells of a one-sample run, loci and transcripts."""
    cells = {}
    for row in read_table(out_dir / "locus_counts.tsv")[1:]:
        if row[1] != "0":
            cells[row[0]] = float(row[1])
    for row in read_table(out_dir / "transcript_counts.tsv")[1:]:
        if float(row[2]) != 0.0:
            cells[row[0]] = float(row[2])
    return cells


UNSTRANDED = {"strandedness": "unstranded"}
PAIR_G1 = rec("p", 99, 150, mpos=300) + rec("p", 147, 300, mpos=150)

# (case, SAM records, config, sample extra keys, expected non-zero cells, dropped)
CASES = [
    ("single read", rec("r", 0, 200), UNSTRANDED, {}, {"g1": 1, "t1a": 1}, 0),
    ("proper pair", PAIR_G1, UNSTRANDED, {}, {"g1": 1, "t1a": 1}, 0),
    ("pair as single layout", PAIR_G1, {**UNSTRANDED, "library_layout": "single"}, {},
     {"g1": 2, "t1a": 2}, 0),
    ("improper pair", rec("p", 97, 150, mpos=300) + rec("p", 145, 300, mpos=150), UNSTRANDED,
     {}, {}, 0),
    ("duplicate, auto, flag not seen", rec("r", 1024, 200), UNSTRANDED, {},
     {"g1": 1, "t1a": 1}, 0),
    ("duplicate, auto, flag seen", rec("r", 1024, 200), UNSTRANDED, {"dup_flag_seen": True},
     {}, 0),
    ("duplicate, never", rec("r", 1024, 200), {**UNSTRANDED, "skip_duplicate": "never"},
     {"dup_flag_seen": True}, {"g1": 1, "t1a": 1}, 0),
    ("duplicate, always", rec("r", 1024, 200), {**UNSTRANDED, "skip_duplicate": "always"}, {},
     {}, 0),
    ("mapq below min", rec("r", 0, 200, mapq=9), UNSTRANDED, {}, {}, 0),
    ("mapq equal to min", rec("r", 0, 200, mapq=10), UNSTRANDED, {}, {"g1": 1, "t1a": 1}, 0),
    ("mapq 255 passes 255", rec("r", 0, 200, mapq=255), {**UNSTRANDED, "min_mapq": 255}, {},
     {"g1": 1, "t1a": 1}, 0),
    ("NH 2, unique required", rec("r", 0, 200, tags=["NH:i:2"]),
     {**UNSTRANDED, "require_unique_nh": True}, {}, {}, 0),
    ("NH 2, not required", rec("r", 0, 200, tags=["NH:i:2"]), UNSTRANDED, {},
     {"g1": 1, "t1a": 1}, 0),
    ("NH as text", rec("r", 0, 200, tags=["NH:Z:2"]),
     {**UNSTRANDED, "require_unique_nh": True}, {}, {"g1": 1, "t1a": 1}, 0),
    ("unspliced in multi-exon locus", rec("r", 0, 1050), UNSTRANDED, {}, {}, 0),
    ("annotated intron", rec("r", 0, 1151, "50M300N50M"), UNSTRANDED, {},
     {"g2": 1, "t2a": 0.5, "t2b": 0.5}, 0),
    ("novel intron only", rec("r", 0, 1151, "50M250N50M"), UNSTRANDED, {}, {}, 0),
    ("annotated and novel intron", rec("r", 0, 1151, "50M300N50M100N50M"), UNSTRANDED, {},
     {"g2": 1, "t2a": 0.5, "t2b": 0.5}, 0),
    ("pair, intron in one mate", rec("p", 99, 1100, mpos=1181) +
     rec("p", 147, 1181, "20M300N30M", mpos=1100), UNSTRANDED, {},
     {"g2": 1, "t2a": 0.5, "t2b": 0.5}, 0),
    ("two loci, unstranded", rec("r", 0, 3350), UNSTRANDED, {}, {}, 0),
    ("two loci, rf forward single", rec("r", 0, 3350), {"strandedness": "rf"}, {},
     {"g3": 1, "t3a": 1}, 0),
    ("two loci, fr forward single", rec("r", 0, 3350), {"strandedness": "fr"}, {},
     {"g4": 1, "t4a": 1}, 0),
    ("rf forward single on +", rec("r", 0, 200), {"strandedness": "rf"}, {}, {}, 0),
    ("rf forward single on .", rec("r", 0, 5100), {"strandedness": "rf"}, {},
     {"g5": 1, "t5a": 1}, 0),
    ("rf pair, read 2 forward on +", rec("p", 163, 150, mpos=300) + rec("p", 83, 300, mpos=150),
     {"strandedness": "rf"}, {}, {"g1": 1, "t1a": 1}, 0),
    ("rf pair, read 1 forward on +", PAIR_G1, {"strandedness": "rf"}, {}, {}, 0),
    ("mate of a low-quality record", rec("p", 99, 150, mapq=5, mpos=300) +
     rec("p", 147, 300, mpos=150), UNSTRANDED, {}, {}, 0),
    ("mate never arrives", rec("p", 99, 150, mpos=300), UNSTRANDED, {}, {}, 1),
    ("mates in two loci", rec("p", 99, 150, mpos=6100) + rec("p", 147, 6100, mpos=150),
     UNSTRANDED, {}, {}, 0),
    ("two transcripts of one locus", rec("r", 0, 6250), UNSTRANDED, {},
     {"g10": 1, "t10a": 0.5, "t10b": 0.5}, 0),
    ("unannotated reference", rec("r", 0, 200).replace("\tchr1\t", "\tchr2\t"), UNSTRANDED, {},
     {}, 0),
]


@pytest.mark.parametrize("case,sam,cfg,extra,expected,dropped", CASES, ids=[c[0] for c in CASES])
def test_fragment_counting(tmp_path, bam_writer, gtf, case, sam, cfg, extra, expected, dropped):
    bam = bam_writer("s.bam", HEADER + sam)
    out = tmp_path / "out"
    summary = run(gtf, [("s1", bam, extra)], out, cfg)
    assert summary == {"dropped_fragments": dropped, "n_loci": 6, "n_transcripts": 8}
    assert nonzero_cells(out) == pytest.approx(expected)


def test_tables_layout_and_formatting(tmp_path, bam_writer, gtf):
    reads = "".join(rec(f"r{i}", 0, 150 + i) for i in range(12)) + rec("s", 0, 6250)
    bam = bam_writer("s.bam", HEADER + reads)
    empty = bam_writer("e.bam", HEADER)
    out = tmp_path / "deep" / "out"
    run(gtf, [("A", bam, {}), ("B", empty, {}), ("A", bam, {})], out, UNSTRANDED)

    locus = read_table(out / "locus_counts.tsv")
    assert locus[0] == ["locus_id", "A", "B", "A"]
    assert [r[0] for r in locus[1:]] == ["g1", "g10", "g2", "g3", "g4", "g5"]
    assert locus[1] == ["g1", "12", "0", "12"]
    assert locus[2] == ["g10", "1", "0", "1"]

    tx = read_table(out / "transcript_counts.tsv")
    assert tx[0] == ["transcript_id", "locus_id", "A", "B", "A"]
    assert [r[0] for r in tx[1:]] == ["t10a", "t10b", "t1a", "t2a", "t2b", "t3a", "t4a", "t5a"]
    assert tx[1] == ["t10a", "g10", "0.500000", "0.000000", "0.500000"]

    # g1: 12 / 501 bases, g10: 1 / 601 bases (union of 6000-6600).
    ltpm = read_table(out / "locus_tpm.tsv")
    r1, r10 = 12 / 501, 1 / 601
    assert ltpm[1] == ["g1", f"{r1 / (r1 + r10) * 1e6:.6f}", "0.000000", f"{r1 / (r1 + r10) * 1e6:.6f}"]
    for name in ("locus_tpm.tsv", "transcript_tpm.tsv"):
        rows = read_table(out / name)
        first = 1 if name.startswith("locus") else 2
        for col in range(first, len(rows[0])):
            total = sum(float(r[col]) for r in rows[1:])
            assert total == pytest.approx(1e6 if col != first + 1 else 0.0, abs=1e-3)


def test_empty_samples_list(tmp_path, gtf):
    out = tmp_path / "out"
    summary = run(gtf, [], out)
    assert summary == {"dropped_fragments": 0, "n_loci": 6, "n_transcripts": 8}
    assert read_table(out / "locus_counts.tsv") == [["locus_id"], ["g1"], ["g10"], ["g2"],
                                                    ["g3"], ["g4"], ["g5"]]
    assert read_table(out / "locus_tpm.tsv")[0] == ["locus_id"]
    tx = read_table(out / "transcript_tpm.tsv")
    assert tx[0] == ["transcript_id", "locus_id"] and tx[1] == ["t10a", "g10"] and len(tx) == 9


def test_unreadable_bam_fails_and_writes_nothing(tmp_path, bam_writer, gtf):
    good = bam_writer("good.bam", HEADER + rec("r", 0, 200))
    missing = tmp_path / "missing.bam"
    out = tmp_path / "out"
    with pytest.raises(_core.VoskelError) as err:
        run(gtf, [("a", good, {}), ("b", missing, {})], out)
    assert str(err.value) == f"cannot open BAM {missing}: file not found: {missing}"
    assert not out.exists()

    # A well-formed compressed stream whose second record is broken fails while reading.
    broken = tmp_path / "broken.bam"
    raw = gzip.decompress(good.read_bytes()) + struct.pack("<i", 8) + bytes(8)
    broken.write_bytes(bgzf_block(raw) + bgzf_block(b""))
    with pytest.raises(_core.VoskelError) as err:
        run(gtf, [("c", broken, {})], out)
    assert str(err.value).startswith("BAM read: ")
    assert not out.exists()


@pytest.mark.parametrize("cfg,message", [
    ('{"min_mapq": 300}', "invalid JSON: "),
    ('{"threads": -1}', "invalid JSON: "),
    ('{"strandedness": "rf", "strandedness": "fr"}', "invalid JSON: duplicate field `strandedness`"),
])
def test_bad_config(tmp_path, gtf, cfg, message):
    with pytest.raises(_core.VoskelError) as err:
        _core.quantify_gtf(str(gtf), '{"samples": []}', str(tmp_path / "o"), cfg)
    assert str(err.value).startswith(message)
    assert not (tmp_path / "o").exists()


def test_unknown_config_key_and_missing_gtf(tmp_path, gtf):
    cfg = json.dumps({"min_depth": 3, "strandedness": "unstranded"})
    assert _core.quantify_gtf(str(gtf), '{"samples": []}', str(tmp_path / "o"), cfg)["n_loci"] == 6
    with pytest.raises(_core.VoskelError, match="cannot open GTF"):
        _core.quantify_gtf(str(tmp_path / "nope.gtf"), '{"samples": []}', str(tmp_path / "o"), "{}")


def test_thread_count_does_not_change_tables(tmp_path, bam_writer, gtf):
    samples = []
    for s in range(5):
        reads = []
        for i in range(40 + 7 * s):
            p = 100 + (i * 37 + s * 11) % 6400
            reads.append(rec(f"a{i}", 99, p, mpos=p + 60) + rec(f"a{i}", 147, p + 60, mpos=p))
            reads.append(rec(f"b{i}", 0, 1151 + i % 40, "50M300N50M"))
        samples.append((f"s{s}", bam_writer(f"s{s}.bam", HEADER + "".join(reads)), {}))
    outs = []
    # Decoding inline (1, 4), beside the workers in a shared pool (8: five workers, three
    # decoders) and as the machine allows (0).
    for threads in (1, 4, 8, 0):
        out = tmp_path / f"t{threads}"
        run(gtf, samples, out, {**UNSTRANDED, "threads": threads})
        outs.append({n: (out / n).read_bytes() for n in
                     ("locus_counts.tsv", "locus_tpm.tsv", "transcript_counts.tsv",
                      "transcript_tpm.tsv")})
    assert all(o == outs[0] for o in outs[1:])


def test_real_aligner_output(tmp_path, realdata):
    bams = ["Sample1.star.bam", "Sample2.star.bam", "Sample1.hisat2.bam", "Sample2.hisat2.bam"]
    doc = json.dumps({"samples": [{"sample_id": b.removesuffix(".bam"), "bam": str(realdata / b)}
                                  for b in bams]})
    outs = []
    for threads in (1, 2, 6):
        out = tmp_path / f"t{threads}"
        cfg = json.dumps({"strandedness": "unstranded", "threads": threads})
        summary = _core.quantify_gtf(str(realdata / "merged.gtf"), doc, str(out), cfg)
        outs.append({p.name: p.read_bytes() for p in out.iterdir()})
    assert all(o == outs[0] for o in outs[1:])
    assert summary["n_transcripts"] == 38 and summary["n_loci"] == 10

    out = tmp_path / "t1"
    locus = {r[0]: [float(x) for x in r[1:]] for r in read_table(out / "locus_counts.tsv")[1:]}
    tx = read_table(out / "transcript_counts.tsv")[1:]
    sums = {}
    for r in tx:
        acc = sums.setdefault(r[1], [0.0] * len(bams))
        for i, v in enumerate(r[2:]):
            acc[i] += float(v)
    for lid, counts in locus.items():
        assert counts == pytest.approx(sums[lid], abs=1e-4), lid
        assert all(c == int(c) for c in counts)
    for i in range(len(bams)):
        assert sum(c[i] for c in locus.values()) > 100
    for name, first in (("locus_tpm.tsv", 1), ("transcript_tpm.tsv", 2)):
        rows = read_table(out / name)
        for col in range(first, first + len(bams)):
            assert sum(float(r[col]) for r in rows[1:]) == pytest.approx(1e6, abs=1e-2)
