"""Inputs a careless user or an attacker gives: outputs over inputs, paths with NUL bytes,
files without line feeds or not text at all, coordinates at the top of the 64-bit range."""

from __future__ import annotations

import gzip
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import voskel
from voskel import _core

DATA = Path(voskel.__file__).resolve().parent / "data"


@pytest.fixture
def demo(tmp_path):
    """A copy of the bundled dataset, so that a test that fails to protect it harms nothing."""
    d = tmp_path / "in"
    shutil.copytree(DATA, d)
    return d


def snapshot(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*"))
            if p.is_file()}


def scan_orfs(d: Path, out_tsv, peptides, hexamer=None):
    cfg = json.dumps({"hexamer_table": str(hexamer or d / "hexamer.tsv")})
    return _core.scan_orfs(str(d / "genome.fa"), str(d / "merged.gtf"),
                           str(d / "representatives.tsv"), str(out_tsv), str(peptides), cfg)


def samples(*bams) -> str:
    return json.dumps({"samples": [{"sample_id": f"s{i}", "bam": str(b)}
                                   for i, b in enumerate(bams)]})


def collision(output, given) -> str:
    return f"cannot write {output}: it is also an input of this call ({given})"


def test_an_output_over_an_input_fails_before_anything_is_read_or_written(demo, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    os.symlink(demo / "sample_A.bam.bai", out / "transcript_counts.tsv")
    os.symlink(demo / "hexamer.tsv", out / "hex_link.tsv")
    before = snapshot(demo)
    cases = [
        # The genome as the peptides path: it used to be truncated to 0 bytes first.
        (lambda: scan_orfs(demo, out / "orfs.tsv", demo / "genome.fa"),
         collision(demo / "genome.fa", demo / "genome.fa")),
        # The table over the index, the peptides still fresh: the table is named.
        (lambda: scan_orfs(demo, demo / "genome.fa.fai", out / "pep.fa"),
         collision(demo / "genome.fa.fai", demo / "genome.fa.fai")),
        # Through a link, onto the file the configuration names: the input as given.
        (lambda: scan_orfs(demo, out / "orfs.tsv", out / "hex_link.tsv"),
         collision(out / "hex_link.tsv", demo / "hexamer.tsv")),
        (lambda: _core.classify_gtfs(str(demo / "merged.gtf"), str(demo / "reference.gtf"),
                                     str(demo / "reference.gtf"), "{}"),
         collision(demo / "reference.gtf", demo / "reference.gtf")),
        # A BAM's index file htslib would read, linked where a count table goes.
        (lambda: _core.quantify_gtf(str(demo / "merged.gtf"),
                                    samples(demo / "sample_B.bam", demo / "sample_A.bam"),
                                    str(out), "{}"),
         collision(out / "transcript_counts.tsv", demo / "sample_A.bam.bai")),
        # The index of the genome the configuration names.
        (lambda: _core.leak_scan(str(demo / "merged.gtf"), samples(demo / "sample_A.bam"),
                                 str(demo / "genome.fa.fai"),
                                 json.dumps({"fasta": str(demo / "genome.fa")})),
         collision(demo / "genome.fa.fai", demo / "genome.fa.fai")),
        (lambda: _core.structure_scan(str(demo / "merged.gtf"), str(demo / "reference.gtf"),
                                      str(out / "classes.tsv"), str(demo / "representatives.tsv"),
                                      str(demo / "genome.fa"), samples(demo / "sample_A.bam"),
                                      str(demo / "representatives.tsv"), "{}"),
         collision(demo / "representatives.tsv", demo / "representatives.tsv")),
        (lambda: _core.extend_terminals(
            str(demo / "loci.tsv"), str(demo / "sample_B.bam"),
            json.dumps({"samples": [{"bam": str(demo / "sample_B.bam"), "strandedness": "rf"}]}),
            "{}"),
         collision(demo / "sample_B.bam", demo / "sample_B.bam")),
    ]
    for call, text in cases:
        with pytest.raises(_core.VoskelError) as err:
            call()
        assert str(err.value) == text
    assert snapshot(demo) == before
    assert sorted(p.name for p in out.iterdir()) == ["hex_link.tsv", "transcript_counts.tsv"]


def test_a_path_with_a_nul_byte_is_refused_whole(demo, tmp_path):
    gtf, ref = str(demo / "merged.gtf"), str(demo / "reference.gtf")
    cut = str(tmp_path / "out" / "class.tsv") + "\0/x"
    cases = [
        (lambda: _core.classify_gtfs(gtf, ref, cut, "{}"),
         f"cannot write {cut}: path contains a NUL byte"),
        (lambda: _core.classify_gtfs(gtf + "\0x", ref, str(tmp_path / "c.tsv"), "{}"),
         f"cannot open GTF {gtf}\0x: path contains a NUL byte"),
        # Not reported as a missing index: the index path cannot even be asked about.
        (lambda: _core.scan_orfs(str(demo / "genome.fa") + "\0", gtf,
                                 str(demo / "representatives.tsv"), str(tmp_path / "o.tsv"),
                                 str(tmp_path / "p.fa"),
                                 json.dumps({"hexamer_table": str(demo / "hexamer.tsv")})),
         f"cannot read {demo / 'genome.fa'}\0.fai: path contains a NUL byte"),
        (lambda: scan_orfs(demo, tmp_path / "o.tsv", tmp_path / "p.fa",
                           hexamer=str(demo / "hexamer.tsv") + "\0"),
         f"hexamer table {demo / 'hexamer.tsv'}\0: path contains a NUL byte"),
        (lambda: scan_orfs(demo, tmp_path / "o.tsv", str(tmp_path / "pep") + "\0/p.fa"),
         "path contains a NUL byte"),
        (lambda: _core.quantify_gtf(gtf, samples(str(demo / "sample_A.bam") + "\0"),
                                    str(tmp_path / "q"), "{}"),
         f"cannot open BAM {demo / 'sample_A.bam'}\0: path contains a NUL byte"),
        (lambda: _core.quantify_gtf(gtf, samples(demo / "sample_A.bam"),
                                    str(tmp_path / "q") + "\0/x", "{}"),
         "path contains a NUL byte"),
    ]
    for call, text in cases:
        with pytest.raises(_core.VoskelError) as err:
            call()
        assert str(err.value) == text
    # The preflight records it as the sample's problem, not as a missing file.
    entry = {"group": "control", "strandedness": "rf", "replicate": 1}
    doc = {"samples": [{"sample_id": "s", "bam": str(demo / "sample_A.bam") + "\0", **entry},
                       {"sample_id": "t", "bam": str(demo / "sample_B.bam"), **entry}],
           "assembly": "demo", "library_layout": "auto", "de_enabled": False,
           "treat_min_detected_replicates": 0}
    report = _core.preflight_bams(json.dumps(doc), str(demo / "genome.fa"), gtf)
    assert f"sample s: cannot stat BAM {demo / 'sample_A.bam'}\0: path contains a NUL byte" \
        in report["errors"]
    # Nothing was made at any of the shortened paths.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in"]


def test_a_file_without_line_feeds_fails_naming_file_and_line(demo, tmp_path):
    ref = str(demo / "reference.gtf")
    with pytest.raises(_core.VoskelError) as err:
        _core.classify_gtfs("/dev/zero", ref, str(tmp_path / "c.tsv"), "{}")
    assert str(err.value) == "/dev/zero line 1: line longer than 268435456 bytes"


def test_a_file_that_is_not_text_is_named_among_several(demo, tmp_path):
    zipped = tmp_path / "reference.gtf.gz"
    zipped.write_bytes(gzip.compress((demo / "reference.gtf").read_bytes()))
    with pytest.raises(_core.VoskelError) as err:
        _core.classify_gtfs(str(demo / "merged.gtf"), str(zipped), str(tmp_path / "c.tsv"),
                            "{}")
    assert str(err.value) == f"{zipped} line 1: stream did not contain valid UTF-8"
    reps = tmp_path / "reps.tsv"
    reps.write_bytes(b"locus_id\ttranscript_id\nL1\tT\xff1\n")
    with pytest.raises(_core.VoskelError) as err:
        _core.scan_orfs(str(demo / "genome.fa"), str(demo / "merged.gtf"), str(reps),
                        str(tmp_path / "o.tsv"), str(tmp_path / "p.fa"),
                        json.dumps({"hexamer_table": str(demo / "hexamer.tsv")}))
    assert str(err.value) == f"{reps} line 2: stream did not contain valid UTF-8"


def test_lengths_at_the_top_of_the_coordinate_range_saturate(tmp_path):
    top = 2**64 - 1
    gtf = tmp_path / "q.gtf"
    gtf.write_text(f'c\tsrc\texon\t0\t{top}\t.\t+\t.\tgene_id "g"; transcript_id "t";\n')
    out = tmp_path / "c.tsv"
    _core.classify_gtfs(str(gtf), str(gtf), str(out), "{}")
    row = out.read_text().splitlines()[1].split("\t")
    assert row[3:5] == ["0", str(top)]
    assert row[7] == str(top)  # 2^64 bases: saturated, no longer wrapped to 0


def test_a_chromosome_name_with_a_nul_byte_matches_no_reference_name(demo, tmp_path):
    # BAM header names end at their NUL: "chrA\0x" used to be looked up as chrA.
    text = (demo / "merged.gtf").read_text()
    on_chr_a = {line.split('gene_id "')[1].split('"')[0] for line in text.splitlines()
                if line.startswith("chrA\t")}
    renamed = tmp_path / "renamed.gtf"
    renamed.write_text(text.replace("chrA\t", "chrA\0x\t"))
    docs = samples(demo / "sample_A.bam")

    def locus_counts(gtf, out):
        _core.quantify_gtf(str(gtf), docs, str(out), "{}")
        rows = (out / "locus_counts.tsv").read_text().splitlines()[1:]
        return {r.split("\t")[0]: float(r.split("\t")[1]) for r in rows}

    plain = locus_counts(demo / "merged.gtf", tmp_path / "plain")
    cut = locus_counts(renamed, tmp_path / "cut")
    assert on_chr_a and sum(plain[g] for g in on_chr_a) > 0
    assert all(cut[g] == 0 for g in on_chr_a)


REGION_QUERIES = """
import json, sys
from voskel import _core
d = sys.argv[1]
samples = json.dumps({"samples": [{"sample_id": "A", "bam": d + "/sample_A.bam",
                                   "strandedness": "rf"}]})
calls = {
    "extend_terminals": lambda: _core.extend_terminals(d + "/loci.tsv", d + "/t.tsv", samples,
                                                       "{}"),
    "structure_scan": lambda: _core.structure_scan(
        d + "/merged.gtf", d + "/reference.gtf", d + "/c.tsv", d + "/representatives.tsv",
        d + "/genome.fa", samples, d + "/s.tsv", "{}"),
}
for name, call in calls.items():
    try:
        call()
        print(name, "result")
    except _core.VoskelError as e:
        print(name, "VoskelError", str(e).rsplit(": ", 1)[-1])
"""


def test_a_damaged_block_read_ahead_does_not_hang_the_next_region_query(demo):
    # The second BGZF block loses its gzip magic; the index still points past it. A
    # decompression helper thread reading ahead stopped there, and the next region query's
    # seek waited for it forever.
    bam = bytearray((demo / "sample_A.bam").read_bytes())
    second = struct.unpack_from("<H", bam, 16)[0] + 1
    bam[second] = 0
    (demo / "sample_A.bam").write_bytes(bytes(bam))
    run = subprocess.run([sys.executable, "-c", REGION_QUERIES, str(demo)], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "extend_terminals VoskelError truncated record in SAM/BAM/CRAM file",
        "structure_scan VoskelError truncated record in SAM/BAM/CRAM file"]
