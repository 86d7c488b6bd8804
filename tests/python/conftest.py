"""Shared fixtures: small BAM files written from SAM text, and the real-data folder."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

REALDATA = Path(__file__).resolve().parents[2].parent / "shared" / "realdata" / "hg19sub"


def write_bam(path: Path, sam_text: str, index: bool = True) -> Path:
    """Writes SAM text (header and records, tab-separated) as a coordinate-sorted BAM."""
    import pysam

    path = Path(path)
    sam = path.with_suffix(".sam")
    sam.write_text(sam_text)
    unsorted = path.with_suffix(".unsorted.bam")
    pysam.view("-b", "-o", str(unsorted), str(sam), catch_stdout=False)
    pysam.sort("-o", str(path), str(unsorted), catch_stdout=False)
    os.unlink(unsorted)
    os.unlink(sam)
    if index:
        pysam.index(str(path))
    return path


@pytest.fixture
def bam_writer(tmp_path):
    """Returns write(name, sam_text, index=True) -> path of a BAM inside tmp_path."""

    def write(name: str, sam_text: str, index: bool = True) -> Path:
        return write_bam(tmp_path / name, sam_text, index)

    return write


@pytest.fixture
def realdata():
    """The folder of real aligner output beside the repository; skips where it is absent."""
    if not REALDATA.is_dir():
        pytest.skip("real data folder ../shared/realdata is absent")
    return REALDATA
