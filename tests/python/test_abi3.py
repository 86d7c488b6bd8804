"""One wheel for every CPython from 3.11 on: the built wheel loads into the other
interpreters found on this machine and runs the demo the same way."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import demo_lines, make_venv

OTHERS = ["3.12", "3.13", "3.14"]


def find_interpreter(version: str) -> str | None:
    """A working python of that version: on PATH, or under pyenv's versions."""
    candidates = [shutil.which(f"python{version}")]
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    candidates += sorted(str(p) for p in pyenv.glob(f"{version}.*/bin/python{version}"))
    for python in filter(None, candidates):
        probe = subprocess.run([python, "-c", "import venv"], capture_output=True)
        if probe.returncode == 0:
            return python
    return None


@pytest.mark.parametrize("version", OTHERS)
def test_wheel_runs_on_other_interpreters(version, tmp_path):
    wheel = os.environ.get("VOSKEL_WHEEL")
    if not wheel:
        pytest.skip("VOSKEL_WHEEL (the built wheel) is not set")
    python = find_interpreter(version)
    if python is None:
        pytest.skip(f"no Python {version} on this machine")
    venv_python = make_venv(tmp_path / "venv", python)
    subprocess.run([venv_python, "-m", "pip", "install", "-q", "--no-deps", "--no-index", wheel],
                   check=True, timeout=300)
    theirs = demo_lines(venv_python, tmp_path / "theirs")
    ours = demo_lines(sys.executable, tmp_path / "ours")
    assert theirs == ours
    for table in ("classes.tsv", "orfs.tsv", "peptides.fa", "quant/transcript_tpm.tsv"):
        assert (tmp_path / "theirs" / table).read_bytes() == (tmp_path / "ours" / table).read_bytes()
