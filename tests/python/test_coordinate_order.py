"""Both analyses that pair mates refuse a file out of coordinate order instead of losing pairs."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from voskel import _core

HEADER = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:10000\n@SQ\tSN:chr2\tLN:5000\n"
GTF = 'chr1\tt\texon\t100\t900\t.\t+\t.\tgene_id "g1"; transcript_id "t1";\n'


def line(name, flag, chrom, pos, mate="=", mpos=0, cigar="20M"):
    seq = "A" * 20 if cigar != "*" else "*"
    return f"{name}\t{flag}\t{chrom}\t{pos}\t60\t{cigar}\t{mate}\t{mpos}\t0\t{seq}\t*\n"


def write_unsorted_bam(path: Path, records: list[str]) -> Path:
    """The records exactly in the given order, without sorting or index."""
    import pysam

    sam = path.with_suffix(".sam")
    sam.write_text(HEADER + "".join(records))
    pysam.view("-b", "-o", str(path), str(sam), catch_stdout=False)
    return path


def run_both(bam, tmp_path):
    gtf = tmp_path / "a.gtf"
    gtf.write_text(GTF)
    doc = json.dumps({"samples": [{"sample_id": "s", "bam": str(bam)}]})
    cfg = json.dumps({"strandedness": "unstranded", "min_samples": 1, "min_support": 1})
    return [lambda: _core.quantify_gtf(str(gtf), doc, str(tmp_path / "q"), cfg),
            lambda: _core.leak_scan(str(gtf), doc, str(tmp_path / "leak.tsv"), cfg)]


# Records in file order and the (offender, predecessor) the error names, or None when in order.
CASES = [
    ("name-sorted pair",
     [line("a", 99, "chr1", 500, mpos=100), line("a", 147, "chr1", 100, mpos=500)],
     ("chr1:100", "chr1:500")),
    ("lower reference after a higher one",
     [line("a", 0, "chr2", 50), line("b", 0, "chr1", 900)], ("chr1:900", "chr2:50")),
    ("placed record after an unplaced one",
     [line("u", 4, "*", 0, mate="*", cigar="*"), line("b", 0, "chr1", 10)], ("chr1:10", "*:0")),
    ("filtered records count too",
     [line("a", 0x100, "chr1", 700), line("b", 0x4, "chr1", 300, cigar="*")],
     ("chr1:300", "chr1:700")),
    ("equal keys and unplaced records last",
     [line("a", 0, "chr1", 100), line("b", 0, "chr1", 100), line("c", 0, "chr2", 1),
      line("u", 4, "*", 0, mate="*", cigar="*")], None),
]


@pytest.mark.parametrize("records,expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_records_out_of_coordinate_order_fail_the_sample(records, expected, tmp_path):
    bam = write_unsorted_bam(tmp_path / "s.bam", records)
    for analysis in run_both(bam, tmp_path):
        if expected is None:
            analysis()
            continue
        with pytest.raises(_core.VoskelError) as err:
            analysis()
        offender, predecessor = expected
        assert str(err.value) == (f"BAM {bam} is not coordinate-sorted: "
                                  f"{offender} follows {predecessor}")


def test_name_sorted_real_bam_fails_instead_of_losing_pairs(realdata, tmp_path):
    import pysam

    bam = tmp_path / "by_name.bam"
    pysam.sort("-n", "-o", str(bam), str(realdata / "Sample1.star.bam"), catch_stdout=False)
    for analysis in run_both(bam, tmp_path):
        with pytest.raises(_core.VoskelError, match=r"^BAM .*by_name\.bam is not "
                           r"coordinate-sorted: chr\d:\d+ follows chr\d:\d+$"):
            analysis()
