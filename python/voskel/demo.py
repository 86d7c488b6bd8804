"""The demo: every analysis of the core on the small dataset bundled with the package."""

from __future__ import annotations

import json
import tempfile
from importlib import resources
from pathlib import Path

from voskel import _core

SAMPLES = ("sample_A", "sample_B")
# The leak scan compares the samples as a control and a treatment.
GROUPS = {"sample_A": "control", "sample_B": "treat"}


def _data() -> Path:
    return Path(str(resources.files("voskel") / "data"))


def _samples_json(data: Path, groups: bool = False) -> str:
    return json.dumps({"samples": [{"sample_id": s, "bam": str(data / f"{s}.bam"),
                                    **({"group": GROUPS[s]} if groups else {})}
                                   for s in SAMPLES]})


def _preflight_json(data: Path) -> str:
    return json.dumps({
        "samples": [{"sample_id": s, "bam": str(data / f"{s}.bam"), "group": group,
                     "strandedness": "rf", "replicate": 1}
                    for s, group in zip(SAMPLES, ("control", "treat"))],
        "assembly": "demo", "library_layout": "auto", "de_enabled": False,
        "treat_min_detected_replicates": 1})


def _unprefixed_gtf(gtf: Path, out: Path) -> str:
    """The annotation with "chr" cut from its sequence names: the commonest mismatch."""
    lines = [line[3:] if line.startswith("chr") else line
             for line in gtf.read_text().splitlines(keepends=True)]
    out.write_text("".join(lines))
    return str(out)


def run(outdir: str | None = None) -> int:
    data = _data()
    out = Path(outdir) if outdir is not None else Path(tempfile.mkdtemp(prefix="voskel-demo-"))
    out.mkdir(parents=True, exist_ok=True)
    merged, reference = str(data / "merged.gtf"), str(data / "reference.gtf")

    print("core_version:", _core.core_version())
    steps = [
        ("preflight_bams", lambda: _core.preflight_bams(
            _preflight_json(data), str(data / "genome.fa"), merged)),
        ("preflight_bams, annotation without chr prefix", lambda: _core.preflight_bams(
            _preflight_json(data), str(data / "genome.fa"),
            _unprefixed_gtf(data / "merged.gtf", out / "merged.nochr.gtf"))),
        ("classify_gtfs", lambda: _core.classify_gtfs(
            merged, reference, str(out / "classes.tsv"), '{"strandedness": "rf"}')),
        ("structure_scan", lambda: _core.structure_scan(
            merged, reference, str(out / "classes.tsv"), str(data / "representatives.tsv"),
            str(data / "genome.fa"), _samples_json(data), str(out / "structure.tsv"),
            '{"strandedness": "rf"}')),
        ("quantify_gtf", lambda: _core.quantify_gtf(
            merged, _samples_json(data), str(out / "quant"), '{"strandedness": "rf"}')),
        ("scan_orfs", lambda: _core.scan_orfs(
            str(data / "genome.fa"), merged, str(data / "representatives.tsv"),
            str(out / "orfs.tsv"), str(out / "peptides.fa"),
            json.dumps({"hexamer_table": str(data / "hexamer.tsv"), "min_orf_aa": 50}))),
        # Junctions of the samples that the reference annotation does not know.
        ("leak_scan", lambda: _core.leak_scan(
            reference, _samples_json(data, groups=True), str(out / "leak.tsv"),
            json.dumps({"strandedness": "rf", "fasta": str(data / "genome.fa")}))),
        ("extend_terminals", lambda: _core.extend_terminals(
            str(data / "loci.tsv"), str(out / "terminals.tsv"),
            json.dumps({"samples": [{"bam": str(data / f"{s}.bam"), "strandedness": "rf"}
                                    for s in SAMPLES]}),
            json.dumps({"fasta": str(data / "genome.fa")}))),
    ]
    for name, step in steps:
        print(f"{name}:", json.dumps(step()))
    print("outputs in", out)
    return 0
