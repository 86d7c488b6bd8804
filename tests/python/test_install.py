"""Installing the package the ways the README offers: the repaired manylinux wheel into a fresh
environment, the sdist built from source, and scripts/demo.sh; and the check that keeps
bootstrap's list of Debian packages complete."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest
from conftest import ROOT, demo_lines, make_venv


def repaired_wheel() -> Path:
    wheel = os.environ.get("VOSKEL_WHEEL")
    if not wheel or "manylinux" not in wheel:
        pytest.skip("VOSKEL_WHEEL (the repaired manylinux wheel) is not set")
    return Path(wheel)


def policy_libraries(wheel: Path) -> set[str]:
    """The libraries a wheel of that manylinux tag may take from the system."""
    tag = re.search(r"-(manylinux_\d+_\d+)_x86_64", wheel.name)
    assert tag, wheel.name
    auditwheel = pytest.importorskip("auditwheel")
    policies = json.loads((resources.files(auditwheel) / "policy" / "manylinux-policy.json")
                          .read_text())
    (policy,) = [p for p in policies if p["name"] == tag.group(1)]
    return set(policy["lib_whitelist"])


def resolved_libraries(extension: Path) -> dict[str, str]:
    """soname -> the file the dynamic loader picks for it, for every library it loads."""
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    out = subprocess.run(["ldd", str(extension)], check=True, capture_output=True, text=True,
                         env=env).stdout
    libraries = {}
    for line in out.splitlines():
        name, arrow, target = line.strip().partition(" => ")
        if arrow:
            libraries[name] = target.split(" (")[0]
    return libraries


def test_repaired_wheel_carries_every_library_outside_the_policy(tmp_path):
    wheel = repaired_wheel()
    python = make_venv(tmp_path / "venv")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-deps", "--no-index", wheel],
                   check=True, timeout=300)
    assert demo_lines(python, tmp_path / "theirs") == demo_lines(sys.executable, tmp_path / "ours")

    extension = Path(subprocess.run([python, "-P", "-c", "import voskel._core as c; "
                                     "print(c.__file__)"], check=True, capture_output=True,
                                    text=True).stdout.strip())
    site = extension.parents[1]
    assert site.is_relative_to(tmp_path)
    allowed = policy_libraries(wheel)
    libraries = resolved_libraries(extension)
    carried = {name for name, path in libraries.items() if name not in allowed}
    for name in sorted(carried):
        path = Path(libraries[name])
        assert path.is_absolute(), f"{name} => {libraries[name]}"
        assert path.resolve().is_relative_to(site / "voskel_core.libs"), f"{name} => {path}"
    assert any(name.startswith("libhts-") for name in carried)
    assert not any(name.startswith("libfmt") for name in libraries)  # fmt is header-only

    audit = Path(sys.executable).parent / "abi3audit"
    if not audit.exists():
        pytest.skip("abi3audit is not installed")
    subprocess.run([audit, "--strict", wheel], check=True, capture_output=True, timeout=300)


def test_sdist_builds_and_installs_with_pip(tmp_path):
    """Builds from source as a user would: an isolated sdist build, then pip's own build of it
    in a fresh environment (the build tools come from the package index)."""
    if not shutil.which("g++") or not shutil.which("pkg-config"):
        pytest.skip("no C++ toolchain")
    pytest.importorskip("build")
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--outdir", tmp_path / "sdist",
                    ROOT], check=True, capture_output=True, timeout=600)
    (sdist,) = (tmp_path / "sdist").glob("voskel_core-*.tar.gz")
    python = make_venv(tmp_path / "venv")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get(
        "CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1)))
    # No cache: a wheel pip built from an earlier sdist must not stand in for this build.
    run = subprocess.run([python, "-m", "pip", "install", "-q", "--no-cache-dir", sdist],
                         capture_output=True, text=True, timeout=1800, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    assert demo_lines(python, tmp_path / "theirs") == demo_lines(sys.executable, tmp_path / "ours")


def test_demo_script_writes_where_it_is_run_and_reuses_the_install(tmp_path):
    venv_python = ROOT / ".venv" / "bin" / "python"
    if subprocess.run(["bash", ROOT / "scripts" / "install_stamp.sh", "check"]).returncode:
        pytest.skip("the package in .venv was not built from the current sources")
    extension = Path(subprocess.run([venv_python, "-P", "-c", "import voskel._core as c; "
                                     "print(c.__file__)"], check=True, capture_output=True,
                                    text=True).stdout.strip())
    installed = extension.stat().st_mtime_ns
    run = subprocess.run(["bash", ROOT / "scripts" / "demo.sh", "out"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "scan_orfs:" in run.stdout
    assert (tmp_path / "out" / "classes.tsv").is_file()
    assert extension.stat().st_mtime_ns == installed, "the demo reinstalled unchanged sources"


def debian_build_tree() -> Path:
    build = ROOT / "build" / "py"
    if not (build / ".ninja_deps").is_file():
        pytest.skip("no finished Ninja build tree in build/py")
    if not shutil.which("dpkg-query"):
        pytest.skip("not a Debian system")
    return build


@pytest.mark.parametrize("dropped, named", [
    (None, None),
    ("libhts-dev", "libhts-dev"),
    ("python3-dev", "libpython3."),
])
def test_dependency_check_names_what_bootstrap_would_not_install(dropped, named):
    build = debian_build_tree()
    if dropped == "python3-dev" and sys.base_prefix != "/usr":
        pytest.skip("the Python headers come with a Python that is not Debian's")
    listed = subprocess.run(["bash", ROOT / "scripts" / "bootstrap.sh", "--list"], check=True,
                            capture_output=True, text=True).stdout.split()
    assert dropped is None or dropped in listed
    run = subprocess.run([sys.executable, ROOT / "scripts" / "check_build_deps.py",
                          "--build-dir", build,
                          "--packages", " ".join(p for p in listed if p != dropped)],
                         capture_output=True, text=True, timeout=120)
    if named is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode == 1
        assert f"of Debian package {named}" in run.stderr
