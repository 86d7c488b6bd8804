"""Fails when the build used a file that neither a minimal Debian nor scripts/bootstrap.sh
provides, so that a package missing from bootstrap's list shows on a machine that happens to
have it installed already.

Reads a finished Ninja build tree: every header the compiler opened (ninja's dependency log),
every library on a link line, the compiler and pkg-config. Each file outside the repository
and outside the Python interpreter's own prefix must belong to a Debian package that bootstrap
installs or a minimal Debian has (priority "required" and python3, python3-venv, python3-pip,
git), or to one of their dependencies.

    python scripts/check_build_deps.py [--build-dir build/py] [--packages "g++ ..."]
"""

from __future__ import annotations

import argparse
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# What the newcomer's machine has beyond debootstrap's minimal base.
MINIMAL_DEBIAN = ("python3", "python3-venv", "python3-pip", "git")


def cache_value(build: Path, key: str) -> str | None:
    for line in (build / "CMakeCache.txt").read_text().splitlines():
        name, sep, value = line.partition("=")
        if sep and name.split(":", 1)[0] == key:
            return value
    return None


def used_files(build: Path) -> set[Path]:
    """Headers the compiler read, libraries it linked, and the tools that ran."""
    ninja = cache_value(build, "CMAKE_MAKE_PROGRAM") or "ninja"
    deps = subprocess.run([ninja, "-C", str(build), "-t", "deps"], check=True,
                          capture_output=True, text=True).stdout
    files = {Path(line.strip()) for line in deps.splitlines() if line.startswith("    ")}
    compiler = cache_value(build, "CMAKE_CXX_COMPILER") or "c++"
    for line in (build / "build.ninja").read_text().splitlines():
        if line.strip().startswith("LINK_LIBRARIES ="):
            for word in shlex.split(line.split("=", 1)[1]):
                if word.startswith("-l"):
                    found = subprocess.run([compiler, f"-print-file-name=lib{word[2:]}.so"],
                                           capture_output=True, text=True).stdout.strip()
                    files.add(Path(found))
                elif word.startswith("/"):
                    files.add(Path(word))
    for tool in (compiler, cache_value(build, "PKG_CONFIG_EXECUTABLE")):
        if tool:
            files.add(Path(tool))
    return {f if f.is_absolute() else build / f for f in files}


def outside_debian(path: Path) -> bool:
    """Files of the repository (sources, build tree, .venv tools) and of the interpreter the
    build is for, when that interpreter is not Debian's own."""
    real = path.resolve()
    prefix = Path(sys.base_prefix).resolve()
    return real.is_relative_to(ROOT) or (prefix != Path("/usr") and real.is_relative_to(prefix))


def owners(paths: list[Path]) -> dict[Path, str]:
    """The Debian package of each path, asked as written and then, for the rest, with its
    links resolved. With merged /usr a file is packaged under either spelling."""
    found: dict[Path, str] = {}
    for spell in (lambda p: p, lambda p: p.resolve()):
        spellings: dict[str, Path] = {}
        for path in paths:
            if path not in found:
                text = str(spell(path))
                spellings[text] = path
                spellings[text[4:] if text.startswith("/usr/") else "/usr" + text] = path
        if not spellings:
            break
        out = subprocess.run(["dpkg-query", "-S", *spellings], capture_output=True,
                             text=True).stdout
        for line in out.splitlines():
            packages, sep, file = line.rpartition(": ")
            if sep and file in spellings and not packages.startswith("diversion"):
                found[spellings[file]] = packages.split(",")[0].split(":")[0].strip()
    return found


def installed_packages() -> dict[str, tuple[str, list[list[str]]]]:
    """Installed package -> (priority, dependency groups of alternatives); virtual names
    provided by an installed package map to it."""
    fmt = "${Package}\\t${Status}\\t${Priority}\\t${Provides}\\t${Pre-Depends}, ${Depends}\\n"
    out = subprocess.run(["dpkg-query", "-W", f"-f={fmt}"], check=True, capture_output=True,
                         text=True).stdout
    packages: dict[str, tuple[str, list[list[str]]]] = {}
    provided: dict[str, list[str]] = {}
    for line in out.splitlines():
        name, status, priority, provides, depends = line.split("\t")
        if not status.endswith(" installed"):
            continue
        groups = [[bare(alt) for alt in group.split("|")]
                  for group in depends.split(",") if group.strip()]
        packages[name] = (priority, groups)
        for virtual in provides.split(","):
            if virtual.strip():
                provided.setdefault(bare(virtual), []).append(name)
    for virtual, names in provided.items():
        if virtual not in packages:
            packages[virtual] = ("", [[n] for n in names])
    return packages


def bare(relation: str) -> str:
    """'libc6 (>= 2.34)' or 'python3:any' -> the package name."""
    return re.split(r"[\s(:]", relation.strip(), maxsplit=1)[0]


def closure(roots: set[str], packages: dict[str, tuple[str, list[list[str]]]]) -> set[str]:
    """Every installed package reachable through Depends and Pre-Depends; an installed
    alternative of a group counts as reached (apt chooses one of them)."""
    seen: set[str] = set()
    todo = [r for r in roots if r in packages]
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        for group in packages[name][1]:
            todo += [alt for alt in group if alt in packages and alt not in seen]
    return seen


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "py"))
    parser.add_argument("--packages", help="bootstrap's Debian packages (default: asks it)")
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    if args.packages is None:
        args.packages = subprocess.run(["bash", str(ROOT / "scripts" / "bootstrap.sh"),
                                        "--list"], check=True, capture_output=True,
                                       text=True).stdout
    bootstrap = set(args.packages.split())

    files = sorted(f for f in used_files(build) if not outside_debian(f))
    found = owners(files)
    packages = installed_packages()
    base = {n for n, (priority, _) in packages.items() if priority == "required"}
    allowed = closure(bootstrap | base | set(MINIMAL_DEBIAN), packages)

    unowned = [f for f in files if f not in found]
    stray: dict[str, list[Path]] = {}
    for f in files:
        if f in found and found[f] not in allowed:
            stray.setdefault(found[f], []).append(f)
    for package, paths in sorted(stray.items()):
        print(f"the build uses {paths[0]} (and {len(paths) - 1} more) of Debian package "
              f"{package}, which scripts/bootstrap.sh does not install", file=sys.stderr)
    for f in unowned:
        print(f"the build uses {f}, which no Debian package provides", file=sys.stderr)
    if stray or unowned:
        return 1
    used = sorted(set(found.values()))
    print(f"build dependencies: {len(files)} files from {len(used)} Debian packages, all "
          f"installed by scripts/bootstrap.sh or a minimal Debian: {' '.join(used)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
