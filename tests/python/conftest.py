"""Shared fixtures: small BAM files written from SAM text, the real-data folder, and fresh
virtual environments that run the demo."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
REALDATA = ROOT.parent / "shared" / "realdata" / "hg19sub"


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


def make_venv(path: Path, python: str = sys.executable) -> Path:
    """A fresh virtual environment of that interpreter; returns its python."""
    subprocess.run([python, "-m", "venv", str(path)], check=True, timeout=300)
    return path / "bin" / "python"


def demo_lines(python: str | Path, out: Path) -> list[str]:
    """The demo's summary lines, run by that interpreter with its outputs in out."""
    run = subprocess.run([str(python), "-P", "-m", "voskel", "demo", str(out)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return [line for line in run.stdout.splitlines() if not line.startswith("outputs in")]
