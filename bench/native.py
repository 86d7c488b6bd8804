"""Builds the benchmarks' native parts through the project's CMake (option VOSKEL_BUILD_BENCH),
with the same compiler flags and Release build as the module, into bench/out/native."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "bench" / "out" / "native"


def cmake() -> str:
    beside = Path(sys.executable).parent / "cmake"  # the virtual environment's CMake
    return str(beside) if beside.exists() else (shutil.which("cmake") or "cmake")


def build(target: str) -> Path:
    """Configures once, builds `target` (incrementally) and returns the executable's path."""
    if not (BUILD / "CMakeCache.txt").exists():
        subprocess.run([cmake(), "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                        "-DVOSKEL_BUILD_MODULE=OFF", "-DVOSKEL_BUILD_BENCH=ON"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake(), "--build", str(BUILD), "--target", target], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / target
