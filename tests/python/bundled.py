"""The demo data bundled with the package, and sample sheets over it for the command line and
API tests."""

from __future__ import annotations

import shutil
from importlib import resources
from pathlib import Path

DATA = Path(str(resources.files("voskel") / "data"))
MERGED = DATA / "merged.gtf"
REFERENCE = DATA / "reference.gtf"
GENOME = DATA / "genome.fa"
HEXAMER = DATA / "hexamer.tsv"
REPRESENTATIVES = DATA / "representatives.tsv"
SAMPLES = ("sample_A", "sample_B")
GROUPS = ("control", "treat")


def copy_bams(folder: Path) -> list[Path]:
    """The two demo BAMs (with their indexes) copied into folder."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for s in SAMPLES:
        for suffix in (".bam", ".bam.bai"):
            shutil.copy(DATA / f"{s}{suffix}", folder / f"{s}{suffix}")
        paths.append(folder / f"{s}.bam")
    return paths


def write_sheet(path: Path, rows: list[dict], delimiter: str = "\t") -> Path:
    """A sheet with a header row of the union of the rows' keys, in first-seen order."""
    columns: list[str] = []
    for row in rows:
        columns += [c for c in row if c not in columns]
    lines = [delimiter.join(columns)]
    lines += [delimiter.join(str(row.get(c, "")) for c in columns) for row in rows]
    path.write_text("\n".join(lines) + "\n")
    return path


def demo_sheet(folder: Path, **extra) -> Path:
    """folder/sheet.tsv over the two demo samples, whose BAMs sit in folder/bams and are named
    by paths relative to the sheet."""
    copy_bams(folder / "bams")
    rows = [{"sample_id": s, "bam": f"bams/{s}.bam", "group": g, "strandedness": "rf",
             "replicate": i + 1, **extra}
            for i, (s, g) in enumerate(zip(SAMPLES, GROUPS))]
    return write_sheet(folder / "sheet.tsv", rows)
