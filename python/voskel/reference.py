"""The tables of the reference documentation, made from the declarations that drive the
command line and the API.

A Markdown page marks each generated table with a pair of comments:

    <!-- generated: quantify keys -->
    ...
    <!-- end generated -->

`python -m voskel.reference DOCS_DIR` rewrites every such block; with --check it only reports
the pages whose blocks are out of date (exit status 1).
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

from voskel.declarations import ANALYSES, BY_COMMAND, SHEET_COLUMNS, Analysis

_BLOCK = re.compile(r"(<!-- generated: ([^>]*?) -->\n)(.*?)(<!-- end generated -->)", re.DOTALL)


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def _table(head: tuple[str, ...], rows: list[tuple[str, ...]]) -> str:
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(_cell(c) for c in row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def files_table(a: Analysis) -> str:
    rows = []
    for p in a.params:
        if p.role == "samples":
            rows.append(("`samples`", "`--samples`", "sample sheet", p.meaning))
        else:
            needed = p.role if p.required else f"{p.role}, optional"
            rows.append((f"`{p.name}`", f"`{p.flag}`", needed, p.meaning))
    return _table(("Parameter", "Flag", "Kind", "Meaning"), rows)


def keys_table(a: Analysis) -> str:
    rows = [(f"`{k.name}`", f"`{k.flag}`", k.type_text(), k.default_text(), k.meaning)
            for k in a.keys]
    return _table(("Key", "Flag", "Type", "Default", "Meaning"), rows)


def sheet_table(a: Analysis) -> str:
    meaning = {c.name: c.meaning for c in SHEET_COLUMNS}
    rows = [(f"`{c}`", "required", meaning[c]) for c in a.sheet_required]
    rows += [(f"`{c}`", "optional", meaning[c]) for c in a.sheet_optional]
    return _table(("Column", "Needed", "Meaning"), rows)


def outputs_text(a: Analysis) -> str:
    parts = []
    for out in a.outputs:
        text = f"**`{out.file}`**: {out.meaning}.\n"
        if out.columns:
            text += "\n" + _table(("Column", "Meaning"),
                                  [(f"`{c.name}`", c.meaning) for c in out.columns])
        parts.append(text)
    return "\n".join(parts)


def summary_table(a: Analysis) -> str:
    return _table(("Key", "Meaning"), [(f"`{k}`", m) for k, m in a.summary])


def commands_table() -> str:
    rows = [(f"[`voskel {a.command}`]({a.command}.md)", f"`voskel.{a.command}`",
             f"`_core.{a.core_function}`", a.title) for a in ANALYSES]
    return _table(("Command", "Python", "Core function", "What it does"), rows)


def all_sheet_columns() -> str:
    rows = []
    for c in SHEET_COLUMNS:
        users = [a.command for a in ANALYSES if c.name in a.sheet_required + a.sheet_optional]
        rows.append((f"`{c.name}`", ", ".join(users), c.meaning))
    return _table(("Column", "Read by", "Meaning"), rows)


_PER_ANALYSIS = {"files": files_table, "keys": keys_table, "sheet": sheet_table,
                 "outputs": outputs_text, "summary": summary_table}
_GLOBAL = {"commands": commands_table, "sheet-columns": all_sheet_columns}


def render(name: str) -> str:
    """The text of one block, by its name ("commands", or "<command> <block>")."""
    if name in _GLOBAL:
        return _GLOBAL[name]()
    command, _, block = name.partition(" ")
    if command not in BY_COMMAND or block not in _PER_ANALYSIS:
        raise ValueError(f"unknown generated block {name!r}")
    return _PER_ANALYSIS[block](BY_COMMAND[command])


def update(text: str) -> str:
    """The page with every generated block rewritten."""
    return _BLOCK.sub(lambda m: m.group(1) + render(m.group(2).strip()) + m.group(4), text)


def main(argv: list[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    check = "--check" in args
    args = [a for a in args if a != "--check"]
    if len(args) != 1:
        print("usage: python -m voskel.reference DOCS_DIR [--check]", file=sys.stderr)
        return 2
    stale = []
    for page in sorted(Path(args[0]).glob("*.md")):
        text = page.read_text(encoding="utf-8")
        new = update(text)
        if new != text:
            stale.append(page)
            if not check:
                page.write_text(new, encoding="utf-8")
    for page in stale:
        print(f"{'out of date' if check else 'rewrote'}: {page}")
    return 1 if check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
