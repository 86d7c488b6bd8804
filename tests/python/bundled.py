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


def copy_bams(folder: Path, star_header: bool = False) -> list[Path]:
    """The two demo BAMs (with their indexes) copied into folder; with star_header, rewritten
    with a STAR program record so that the preflight accepts them."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for s in SAMPLES:
        dest = folder / f"{s}.bam"
        if star_header:
            import pysam

            with pysam.AlignmentFile(str(DATA / f"{s}.bam")) as src:
                header = src.header.to_dict()
                header["PG"] = [{"ID": "STAR", "PN": "STAR", "VN": "2.7.10a"}]
                with pysam.AlignmentFile(str(dest), "wb", header=header) as out:
                    for rec in src:
                        out.write(rec)
            pysam.index(str(dest))
        else:
            shutil.copy(DATA / f"{s}.bam", dest)
            shutil.copy(DATA / f"{s}.bam.bai", folder / f"{s}.bam.bai")
        paths.append(dest)
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


def demo_sheet(folder: Path, star_header: bool = False, **extra) -> Path:
    """folder/sheet.tsv over the two demo samples, whose BAMs sit in folder/bams and are named
    by paths relative to the sheet."""
    copy_bams(folder / "bams", star_header)
    rows = [{"sample_id": s, "bam": f"bams/{s}.bam", "group": g, "strandedness": "rf",
             "replicate": i + 1, **extra}
            for i, (s, g) in enumerate(zip(SAMPLES, GROUPS))]
    return write_sheet(folder / "sheet.tsv", rows)
