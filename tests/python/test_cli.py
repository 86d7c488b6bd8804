"""The `voskel` command line end to end on the bundled data: every subcommand, sample sheets,
configuration files, and the exit statuses of usage errors and failing analyses. Outputs are
compared with the core called directly on the same inputs."""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from bundled import (GENOME, HEXAMER, MERGED, REFERENCE, REPRESENTATIVES, SAMPLES, demo_sheet,
                     write_sheet)
from voskel import _core
from voskel.cli import build_parser
from voskel.declarations import ANALYSES

SCRIPT = Path(sys.executable).with_name("voskel")


def voskel(*args, cwd=None) -> subprocess.CompletedProcess:
    cmd = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "voskel"]
    return subprocess.run(cmd + [str(a) for a in args], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def ok(run: subprocess.CompletedProcess):
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def needs(name: str):
    if not hasattr(_core, name):
        pytest.skip(f"{name} is not in the core yet")


def raw_samples(sheet_dir: Path, **extra) -> str:
    return json.dumps({"samples": [{"sample_id": s, "bam": str(sheet_dir / "bams" / f"{s}.bam"),
                                    **extra} for s in SAMPLES]})


def test_version_from_the_script_and_the_module():
    assert voskel("version").stdout == "0.1.12\n"
    assert voskel("--version").stdout.strip() == "0.1.12"
    run = subprocess.run([sys.executable, "-m", "voskel", "version"], capture_output=True,
                         text=True)
    assert run.returncode == 0 and run.stdout == "0.1.12\n"


def test_demo(tmp_path):
    run = voskel("demo", tmp_path / "out")
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "out" / "classes.tsv").is_file()


def test_classify_matches_the_core(tmp_path):
    summary = ok(voskel("classify", "--merged-gtf", MERGED, "--ref-gtf", REFERENCE,
                        "--out-tsv", tmp_path / "cli.tsv", "--strandedness", "unstranded"))
    assert summary == _core.classify_gtfs(str(MERGED), str(REFERENCE), str(tmp_path / "raw.tsv"),
                                          '{"strandedness": "unstranded"}')
    assert (tmp_path / "cli.tsv").read_bytes() == (tmp_path / "raw.tsv").read_bytes()


def test_quantify_with_a_tsv_sheet_and_a_config_file(tmp_path):
    sheet = demo_sheet(tmp_path / "run", dup_flag_seen="true")
    config = tmp_path / "cfg.json"
    config.write_text('{"strandedness": "fr", "min_mapq": 20, "skip_duplicate": "never"}')
    # Run from elsewhere: the sheet's relative BAM paths start from its own folder, and the
    # strandedness flag wins over the file.
    summary = ok(voskel("quantify", "--merged-gtf", MERGED, "--samples", sheet,
                        "--out-dir", "cli", "--config", config, "--strandedness", "rf",
                        cwd=tmp_path))
    cfg = '{"strandedness": "rf", "min_mapq": 20, "skip_duplicate": "never"}'
    raw = _core.quantify_gtf(str(MERGED), raw_samples(tmp_path / "run", dup_flag_seen=True),
                             str(tmp_path / "raw"), cfg)
    assert summary == raw == {"dropped_fragments": 0, "n_loci": 7, "n_transcripts": 8}
    for name in ("locus_counts.tsv", "locus_tpm.tsv", "transcript_counts.tsv",
                 "transcript_tpm.tsv"):
        assert (tmp_path / "cli" / name).read_bytes() == (tmp_path / "raw" / name).read_bytes()
    assert (tmp_path / "cli" / "locus_counts.tsv").read_text().startswith(
        "locus_id\tsample_A\tsample_B\n")


def test_orfs_takes_the_hexamer_table_relative_to_its_config(tmp_path):
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "hex.tsv").write_bytes(HEXAMER.read_bytes())
    (tmp_path / "conf" / "orfs.json").write_text('{"hexamer_table": "hex.tsv"}')
    summary = ok(voskel("orfs", "--fasta", GENOME, "--merged-gtf", MERGED,
                        "--representatives-tsv", REPRESENTATIVES, "--out-tsv",
                        tmp_path / "cli.tsv", "--peptides-fa", tmp_path / "cli.fa",
                        "--config", tmp_path / "conf" / "orfs.json", "--min-orf-aa", "30"))
    raw = _core.scan_orfs(str(GENOME), str(MERGED), str(REPRESENTATIVES),
                          str(tmp_path / "raw.tsv"), str(tmp_path / "raw.fa"),
                          json.dumps({"hexamer_table": str(HEXAMER), "min_orf_aa": 30}))
    assert summary == raw
    assert (tmp_path / "cli.tsv").read_bytes() == (tmp_path / "raw.tsv").read_bytes()
    assert (tmp_path / "cli.fa").read_bytes() == (tmp_path / "raw.fa").read_bytes()


def test_preflight_passes_and_reports_readably(tmp_path):
    needs("preflight_bams")
    sheet = demo_sheet(tmp_path)
    run = voskel("preflight", "--samples", sheet, "--fasta", GENOME, "--annotation-gtf",
                 MERGED, "--assembly", "demo")
    report = ok(run)
    assert report["ok"] is True and report["assembly"] == "demo"
    assert [s["sample_id"] for s in report["samples"]] == list(SAMPLES)
    for warning in report["warnings"]:
        assert f"voskel preflight: warning: {warning}" in run.stderr


def test_preflight_exits_1_with_its_one_error(tmp_path):
    needs("preflight_bams")
    sheet = demo_sheet(tmp_path)
    sheet.write_text(sheet.read_text().replace("\tcontrol\t", "\tControl\t"))
    run = voskel("preflight", "--samples", sheet, "--fasta", GENOME, "--annotation-gtf", MERGED)
    assert run.returncode == 1
    report = json.loads(run.stdout)
    assert report["ok"] is False and len(report["errors"]) == 1
    assert run.stderr == f"voskel preflight: error: {report['errors'][0]}\n"
    assert 'group "Control"' in run.stderr


def test_leak_matches_the_core(tmp_path):
    needs("leak_scan")
    sheet = demo_sheet(tmp_path)
    summary = ok(voskel("leak", "--merged-gtf", REFERENCE, "--samples", sheet, "--out-tsv",
                        tmp_path / "cli.tsv", "--min-samples", "1", "--fasta", GENOME))
    samples = json.dumps({"samples": [
        {"sample_id": s, "bam": str(tmp_path / "bams" / f"{s}.bam"), "group": g}
        for s, g in zip(SAMPLES, ("control", "treat"))]})
    raw = _core.leak_scan(str(REFERENCE), samples, str(tmp_path / "raw.tsv"),
                          json.dumps({"min_samples": 1, "fasta": str(GENOME)}))
    assert summary == raw
    assert (tmp_path / "cli.tsv").read_bytes() == (tmp_path / "raw.tsv").read_bytes()


def test_structure_matches_the_core(tmp_path):
    needs("structure_scan")
    sheet = demo_sheet(tmp_path)
    summary = ok(voskel("structure", "--merged-gtf", MERGED, "--ref-gtf", REFERENCE,
                        "--representatives-tsv", REPRESENTATIVES, "--fasta", GENOME,
                        "--samples", sheet, "--out-tsv", tmp_path / "cli.tsv",
                        "--strandedness", "unstranded"))
    raw = _core.structure_scan(str(MERGED), str(REFERENCE), "", str(REPRESENTATIVES),
                               str(GENOME), raw_samples(tmp_path), str(tmp_path / "raw.tsv"),
                               '{"strandedness": "unstranded"}')
    assert summary == raw
    assert (tmp_path / "cli.tsv").read_bytes() == (tmp_path / "raw.tsv").read_bytes()


def test_terminal_matches_the_core(tmp_path):
    needs("extend_terminals")
    sheet = demo_sheet(tmp_path)
    loci = tmp_path / "loci.tsv"
    loci.write_text("residual_id\tchrom\tstrand\tintron_start\tintron_end\n"
                    "r1\tchrA\t+\t1301\t1999\nr2\tchrA\t-\t6401\t6999\n")
    summary = ok(voskel("terminal", "--loci-tsv", loci, "--out-tsv", tmp_path / "cli.tsv",
                        "--samples", sheet, "--max-gap-nt", "5"))
    samples = json.dumps({"samples": [
        {"bam": str(tmp_path / "bams" / f"{s}.bam"), "strandedness": "rf"} for s in SAMPLES]})
    raw = _core.extend_terminals(str(loci), str(tmp_path / "raw.tsv"), samples,
                                 '{"max_gap_nt": 5}')
    assert summary == raw == {"n_loci": 2}
    assert (tmp_path / "cli.tsv").read_bytes() == (tmp_path / "raw.tsv").read_bytes()


def test_errors_and_exit_statuses(tmp_path):
    sheet = demo_sheet(tmp_path)
    (tmp_path / "typo.json").write_text('{"min_mapqq": 3}')
    (tmp_path / "upper.json").write_text('{"strandedness": "RF"}')
    no_bam_column = write_sheet(tmp_path / "ids.csv", [{"sample_id": "A"}], ",")
    missing_bam = write_sheet(tmp_path / "gone.tsv", [{"sample_id": "A", "bam": "gone.bam"}])
    quantify = ["quantify", "--merged-gtf", MERGED, "--out-dir", tmp_path / "q"]
    cases = [
        # usage errors: exit 2
        (quantify + ["--samples", sheet, "--strandedness", "reverse"], 2,
         "voskel quantify: error: argument --strandedness: invalid choice: 'reverse'"),
        (quantify + ["--samples", sheet, "--skip-duplicate", "sometimes"], 2,
         "invalid choice: 'sometimes'"),
        (quantify + ["--samples", sheet, "--min-mapq", "300"], 2, "must be from 0 to 255"),
        (quantify + ["--samples", sheet, "--config", tmp_path / "typo.json"], 2,
         "voskel quantify: error: unknown configuration key 'min_mapqq' for quantify (did you "
         "mean min_mapq?); known keys: min_mapq, require_unique_nh, strandedness, "
         "skip_duplicate, library_layout, threads"),
        (quantify + ["--samples", sheet, "--config", tmp_path / "upper.json"], 2,
         "strandedness must be one of rf, fr, unstranded, got 'RF'"),
        (quantify + ["--samples", sheet, "--config", tmp_path / "none.json"], 2,
         "cannot read config"),
        (["classify", "--merged-gtf", MERGED, "--ref-gtf", REFERENCE], 2,
         "the following arguments are required: --out-tsv"),
        (["orfs", "--fasta", GENOME, "--merged-gtf", MERGED, "--representatives-tsv",
          REPRESENTATIVES, "--out-tsv", tmp_path / "o.tsv", "--peptides-fa", tmp_path / "o.fa"],
         2, "voskel orfs: error: hexamer_table is required"),
        (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
        # analysis errors: exit 1
        (["classify", "--merged-gtf", tmp_path / "none.gtf", "--ref-gtf", REFERENCE,
          "--out-tsv", tmp_path / "c.tsv"], 1,
         f"voskel classify: error: cannot open GTF {tmp_path / 'none.gtf'}: No such file"),
        (quantify + ["--samples", tmp_path / "none.tsv"], 1,
         "voskel quantify: error: cannot read sample sheet"),
        (quantify + ["--samples", no_bam_column], 1, "quantify needs bam for every sample"),
        (quantify + ["--samples", missing_bam], 1,
         f"voskel quantify: error: cannot open BAM {tmp_path / 'gone.bam'}"),
    ]
    for args, status, message in cases:
        run = voskel(*args)
        assert run.returncode == status, (args, run.stderr)
        assert message in run.stderr, (args, run.stderr)
        assert run.stdout == "", args
    assert not (tmp_path / "q").exists()


def test_help_lists_every_flag_with_its_default_and_meaning():
    _, subparsers = build_parser()
    for analysis in ANALYSES:
        text = re.sub(r"\s+", " ", subparsers[analysis.command].format_help())
        for key in analysis.keys:
            default = "required" if key.required else f"default {key.default_text()}"
            assert f"{key.meaning} ({default})" in text, (analysis.command, key.name)
            assert key.flag in text
        for param in analysis.params:
            assert (param.flag if param.role != "samples" else "--samples") in text
    run = voskel("quantify", "--help")
    assert run.returncode == 0 and "--min-mapq N" in run.stdout
