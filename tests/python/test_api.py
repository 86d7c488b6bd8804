"""The Pythonic API: paths as pathlib.Path, configuration as keywords or a dict, samples as
dicts or sheets, and the checks that the core itself does not make."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import voskel
from bundled import GENOME, HEXAMER, MERGED, REFERENCE, REPRESENTATIVES, SAMPLES, copy_bams
from voskel import _core


@pytest.fixture
def bams(tmp_path) -> list[Path]:
    return copy_bams(tmp_path / "bams")


def test_classify_and_orfs_take_path_objects(tmp_path):
    assert voskel.classify(MERGED, REFERENCE, tmp_path / "c.tsv") == {"n_transcripts": 8,
                                                                     "n_u": 2}
    assert voskel.orfs(GENOME, MERGED, REPRESENTATIVES, tmp_path / "o.tsv", tmp_path / "p.fa",
                       hexamer_table=HEXAMER) == {"n_orfs": 4}
    assert (tmp_path / "o.tsv").is_file() and (tmp_path / "p.fa").is_file()


def test_quantify_from_dicts_equals_the_core(tmp_path, bams):
    samples = [{"sample_id": s, "bam": b, "ignored": 1} for s, b in zip(SAMPLES, bams)]
    # The dict gives fr, the keyword wins with unstranded.
    got = voskel.quantify(MERGED, samples, tmp_path / "api",
                          config={"strandedness": "fr", "threads": 1}, strandedness="unstranded")
    raw_samples = json.dumps({"samples": [{"sample_id": s, "bam": str(b)}
                                          for s, b in zip(SAMPLES, bams)]})
    raw = _core.quantify_gtf(str(MERGED), raw_samples, str(tmp_path / "raw"),
                             '{"strandedness": "unstranded", "threads": 1}')
    assert got == raw
    for name in ("locus_counts.tsv", "transcript_tpm.tsv"):
        assert (tmp_path / "api" / name).read_bytes() == (tmp_path / "raw" / name).read_bytes()


def test_sheets_json_and_csv_resolve_bam_paths_from_their_folder(tmp_path, bams):
    doc = {"samples": [{"sample_id": s, "bam": f"bams/{s}.bam", "dup_flag_seen": True}
                       for s in SAMPLES], "note": "extra keys are ignored"}
    (tmp_path / "sheet.json").write_text(json.dumps(doc))
    (tmp_path / "sheet.csv").write_text(
        "sample_id, bam ,dup_flag_seen,comment\n"
        + "".join(f"{s},bams/{s}.bam,TRUE,\"a, b\"\n" for s in SAMPLES))
    results = [voskel.quantify(MERGED, tmp_path / name, tmp_path / name.replace(".", "_"))
               for name in ("sheet.json", "sheet.csv")]
    assert results[0] == results[1]
    # A header alone is a run without samples, not an error.
    (tmp_path / "empty.tsv").write_text("sample_id\tbam\n")
    assert voskel.quantify(MERGED, tmp_path / "empty.tsv", tmp_path / "none")["n_loci"] == 7
    assert ((tmp_path / "sheet_json" / "locus_counts.tsv").read_bytes()
            == (tmp_path / "sheet_csv" / "locus_counts.tsv").read_bytes())


@pytest.mark.parametrize("options, message", [
    ({"strandedness": "reverse"}, "strandedness must be one of rf, fr, unstranded, got 'reverse'"),
    ({"skip_duplicate": "Auto"}, "skip_duplicate must be one of auto, never, always"),
    ({"library_layout": "pe"}, "library_layout must be one of auto, paired, single"),
    ({"min_mapq": 256}, "min_mapq must be a whole number from 0 to 255, got 256"),
    ({"min_mapq": -1}, "min_mapq must be a whole number from 0 to 255"),
    ({"min_mapq": 10.0}, "min_mapq must be a whole number"),
    ({"threads": True}, "threads must be a whole number"),
    ({"require_unique_nh": 1}, "require_unique_nh must be true or false, got 1"),
    ({"strandness": "rf"}, "unknown configuration key 'strandness' for quantify (did you mean "
                           "strandedness?); known keys: min_mapq, require_unique_nh, "
                           "strandedness, skip_duplicate, library_layout, threads"),
])
def test_quantify_refuses_what_the_core_would_take_silently(tmp_path, bams, options, message):
    samples = [{"sample_id": "A", "bam": bams[0]}]
    with pytest.raises(voskel.ConfigError) as err:
        voskel.quantify(MERGED, samples, tmp_path / "q", **options)
    assert message in str(err.value)
    assert not (tmp_path / "q").exists()


def test_other_configuration_checks(tmp_path):
    orfs_args = (GENOME, MERGED, REPRESENTATIVES, tmp_path / "o.tsv", tmp_path / "p.fa")
    with pytest.raises(voskel.ConfigError, match="hexamer_table is required"):
        voskel.orfs(*orfs_args)
    with pytest.raises(voskel.ConfigError, match="hexamer_table must not be empty"):
        voskel.orfs(*orfs_args, hexamer_table="")
    with pytest.raises(voskel.ConfigError, match="hexamer_coding_min must be a finite number"):
        voskel.orfs(*orfs_args, hexamer_table=HEXAMER, hexamer_coding_min=float("inf"))
    with pytest.raises(voskel.ConfigError, match="unknown configuration key 'min_mapq' for "
                                                 "classify; known keys: strandedness"):
        voskel.classify(MERGED, REFERENCE, tmp_path / "c.tsv", {"min_mapq": 3})
    config = tmp_path / "classify.json"
    config.write_text('{"strandedness": "unstranded"}')
    assert voskel.classify(MERGED, REFERENCE, tmp_path / "c.tsv", config) == {
        "n_transcripts": 8, "n_u": 2}
    assert not (tmp_path / "o.tsv").exists()


@pytest.mark.parametrize("sheet, message", [
    ("", "is empty (it needs a header row)"),
    ("sample_id\nA\n", "quantify needs bam for every sample"),
    ("sample_id\tbam\tdup_flag_seen\nA\ta.bam\tyes\n", "dup_flag_seen must be true or false, "
                                                         "got 'yes'"),
    ("sample_id\tbam\n\nA\ta.bam\textra\n", "line 3: 3 cells under a header of 2"),
    ("sample_id\tbam\tbam\nA\ta.bam\tb.bam\n", "column bam appears twice"),
    ('{"samples": {"sample_id": "A"}}', 'a JSON sheet is an object whose "samples" is a list'),
    ('{"samples": [{"sample_id": "A", "bam": 3}]}', "bam must be text, got 3"),
])
def test_sheet_errors(tmp_path, sheet, message):
    path = tmp_path / "sheet.txt"
    path.write_text(sheet)
    with pytest.raises(voskel.SheetError) as err:
        voskel.quantify(MERGED, path, tmp_path / "q")
    assert message in str(err.value)


def test_sample_values_are_checked_per_analysis(tmp_path, bams):
    if not hasattr(_core, "extend_terminals"):
        pytest.skip("extend_terminals is not in the core yet")
    loci = tmp_path / "loci.tsv"
    loci.write_text("r1\tchrA\t+\t1301\t1999\n")
    with pytest.raises(voskel.SheetError, match="strandedness must be one of rf, fr, "
                                                "unstranded, got 'RF'"):
        voskel.terminal(loci, tmp_path / "t.tsv", [{"bam": bams[0], "strandedness": "RF"}])
    assert voskel.terminal(loci, tmp_path / "t.tsv",
                           [{"bam": bams[0], "strandedness": "rf"}]) == {"n_loci": 1}


def test_paths_must_be_paths(tmp_path):
    with pytest.raises(TypeError, match="out_tsv must be a path"):
        voskel.classify(MERGED, REFERENCE, 3)
    with pytest.raises(TypeError, match="samples must be a sheet path or a list of dicts"):
        voskel.quantify(MERGED, {"samples": []}, tmp_path / "q")


def test_core_errors_pass_through(tmp_path):
    with pytest.raises(voskel.VoskelError, match="cannot open GTF"):
        voskel.classify(tmp_path / "none.gtf", REFERENCE, tmp_path / "c.tsv")
