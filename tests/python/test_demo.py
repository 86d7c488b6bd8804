"""The demo runs every analysis on the bundled dataset and prints each summary."""

import json
import subprocess
import sys


def test_demo_prints_every_summary(tmp_path):
    run = subprocess.run([sys.executable, "-m", "voskel", "demo", str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    lines = dict(line.split(": ", 1) for line in run.stdout.splitlines() if ": " in line)
    assert lines["core_version"] == "0.1.12"
    passing = json.loads(lines["preflight_bams"])
    assert passing["ok"] is True and passing["aligner_family"] == "STAR"
    assert (passing["library_layout"], passing["gtf_seqnames"]) == ("paired", 2)
    failing = json.loads(lines["preflight_bams, annotation without chr prefix"])
    assert failing["ok"] is False
    assert failing["errors"][0].startswith("GTF seqnames and BAM @SQ have empty intersection")
    # The bundled merged assembly reaches every class code; two transcripts are intergenic.
    assert json.loads(lines["classify_gtfs"]) == {"n_transcripts": 8, "n_u": 2}
    classes = [row.split("\t")[9] for row in
               (tmp_path / "out" / "classes.tsv").read_text().splitlines()[1:]]
    assert set(classes) == {"u", "i", "x", "overlap", "extension"}
    assert json.loads(lines["quantify_gtf"]) == {"dropped_fragments": 0, "n_loci": 7,
                                                 "n_transcripts": 8}
    # One representative per locus of the merged assembly, each with a row per sample.
    assert json.loads(lines["structure_scan"]) == {"n_loci_scanned": 7}
    structure = (tmp_path / "out" / "structure.tsv").read_text().splitlines()
    assert len(structure) == 1 + 7 * 2
    assert {row.split("\t")[24] for row in structure[1:]} == {"true", "false"}
    assert json.loads(lines["scan_orfs"]) == {"n_orfs": 4}
    # Six introns spanned by the bundled reads; coverage carries the first one out to the ends of
    # its two exons (1000-1300 and 2000-2300).
    assert json.loads(lines["extend_terminals"]) == {"n_loci": 6}
    terminals = (tmp_path / "out" / "terminals.tsv").read_text().splitlines()
    assert terminals[1] == "RES001\tchrA\t+\t1301\t1999\t1000\t2300"
    # Two junctions of the samples are unknown to the reference: one across the antisense
    # locus inside RG1, one in the unannotated locus past RG3.
    assert json.loads(lines["leak_scan"]) == {"dropped_fragments": 0, "n_leak": 2}
    leak = [row.split("\t") for row in (tmp_path / "out" / "leak.tsv").read_text().splitlines()]
    assert [r[:4] + r[19:] for r in leak[1:]] == [
        ["chrA", "2251", "3599", "-", "shared", "8", "28"],
        ["chrA", "17501", "17999", "+", "shared", "18", "3"]]
    for name in ("locus_counts.tsv", "locus_tpm.tsv", "transcript_counts.tsv",
                 "transcript_tpm.tsv"):
        assert (tmp_path / "out" / "quant" / name).is_file()


def test_usage_without_a_command():
    run = subprocess.run([sys.executable, "-m", "voskel"], capture_output=True, text=True)
    assert run.returncode == 2
    assert "usage" in run.stderr
