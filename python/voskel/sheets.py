"""Sample sheets: the JSON samples document, or a TSV/CSV table with a header row, turned into
the sample entries an analysis reads.

Relative BAM paths in a sheet file are taken relative to the sheet's folder. Columns that an
analysis does not read are ignored, so one sheet can serve every analysis.
"""

from __future__ import annotations

import csv
import json
import os
from collections.abc import Mapping, Sequence
from pathlib import Path

from voskel.declarations import SHEET_COLUMNS, STRAND_WORDS, U32_MAX, Analysis

_KIND = {c.name: c.kind for c in SHEET_COLUMNS}


class SheetError(ValueError):
    """A sample sheet that cannot be read or lacks what the analysis needs."""


def load(analysis: Analysis, samples) -> list[dict]:
    """The sample entries of `samples` (a sheet path, or a list of dicts) for `analysis`."""
    if isinstance(samples, (str, os.PathLike)):
        return _entries(analysis, *read_sheet(Path(os.fspath(samples))))
    if isinstance(samples, Mapping) or not isinstance(samples, Sequence):
        raise TypeError("samples must be a sheet path or a list of dicts, not "
                        f"{type(samples).__name__}")
    for i, entry in enumerate(samples):
        if not isinstance(entry, Mapping):
            raise TypeError(f"samples[{i}] must be a dict, not {type(entry).__name__}")
    return _entries(analysis, [dict(e) for e in samples], None, "samples")


def read_sheet(path: Path) -> tuple[list[dict], Path, str]:
    """Rows of a sheet file as dicts of raw values, the folder relative BAM paths start from,
    and the sheet's name for messages."""
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as e:
        raise SheetError(f"cannot read sample sheet {path}: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise SheetError(f"sample sheet {path} is not UTF-8 text") from None
    name = f"sample sheet {path}"
    stripped = text.lstrip()
    if path.suffix.lower() == ".json" or stripped.startswith(("{", "[")):
        rows = _json_rows(text, name)
    else:
        rows = _table_rows(text, path, name)
    return rows, path.parent, name


def _json_rows(text: str, name: str) -> list[dict]:
    try:
        doc = json.loads(text)
    except json.JSONDecodeError as e:
        raise SheetError(f"{name}: invalid JSON: {e}") from None
    if not isinstance(doc, dict) or not isinstance(doc.get("samples"), list):
        raise SheetError(f'{name}: a JSON sheet is an object whose "samples" is a list')
    for i, entry in enumerate(doc["samples"]):
        if not isinstance(entry, dict):
            raise SheetError(f"{name}: samples[{i}] is not an object")
    return doc["samples"]


def _table_rows(text: str, path: Path, name: str) -> list[dict]:
    lines = [(n, line) for n, line in enumerate(text.splitlines(), start=1) if line.strip()]
    if not lines:
        raise SheetError(f"{name} is empty (it needs a header row)")
    suffix = path.suffix.lower()
    if suffix == ".csv":
        delimiter = ","
    elif suffix in (".tsv", ".tab", ".txt"):
        delimiter = "\t"
    else:
        delimiter = "\t" if "\t" in lines[0][1] else ","

    def cells(line: str) -> list[str]:
        return next(csv.reader([line], delimiter=delimiter))

    header = [h.strip() for h in cells(lines[0][1])]
    for h in _KIND:
        if header.count(h) > 1:
            raise SheetError(f"{name}: column {h} appears twice")
    rows = []
    for line_no, line in lines[1:]:
        row_cells = cells(line)
        if len(row_cells) > len(header):
            raise SheetError(f"{name} line {line_no}: {len(row_cells)} cells under a header of "
                             f"{len(header)}")
        row = {}
        for h, cell in zip(header, row_cells):
            cell = cell.strip()
            if h not in _KIND:
                continue
            if cell == "" and _KIND[h] != "text":
                continue  # an empty number or flag takes its default
            row[h] = _cell_value(h, cell, f"{name} line {line_no}")
        rows.append(row)
    return rows


def _cell_value(column: str, cell: str, where: str):
    kind = _KIND[column]
    if kind == "uint":
        if not cell.isdigit() or int(cell) > U32_MAX:
            raise SheetError(f"{where}: {column} must be a whole number from 0 to {U32_MAX}, "
                             f"got {cell!r}")
        return int(cell)
    if kind == "bool":
        word = cell.lower()
        if word in ("true", "1"):
            return True
        if word in ("false", "0"):
            return False
        raise SheetError(f"{where}: {column} must be true or false, got {cell!r}")
    return cell


def _entries(analysis: Analysis, rows: list[dict], folder: Path | None, name: str
             ) -> list[dict]:
    """Checks the rows against what the analysis reads and keeps only those columns."""
    wanted = analysis.sheet_required + analysis.sheet_optional
    entries = []
    for i, row in enumerate(rows):
        where = f"{name}, sample {i + 1}"
        missing = [c for c in analysis.sheet_required if c not in row]
        if missing:
            raise SheetError(f"{where}: {analysis.command} needs "
                             f"{', '.join(missing)} for every sample")
        entry = {}
        for column in wanted:
            if column not in row:
                continue
            value = _checked(column, row[column], where)
            if column == "bam" and folder is not None and value and not os.path.isabs(value):
                value = os.path.join(folder, value)
            entry[column] = value
        _check_words(analysis, entry, where)
        entries.append(entry)
    return entries


def _checked(column: str, value, where: str):
    kind = _KIND[column]
    if isinstance(value, os.PathLike) and column == "bam":
        value = os.fspath(value)
    ok = {"text": isinstance(value, str),
          "uint": isinstance(value, int) and not isinstance(value, bool)
          and 0 <= value <= U32_MAX,
          "bool": isinstance(value, bool)}[kind]
    if not ok:
        wants = {"text": "text", "uint": f"a whole number from 0 to {U32_MAX}",
                 "bool": "true or false"}[kind]
        raise SheetError(f"{where}: {column} must be {wants}, got {value!r}")
    return value


def _check_words(analysis: Analysis, entry: dict, where: str) -> None:
    # The preflight reports a bad strandedness itself; elsewhere an unknown word would be read
    # silently as unstranded.
    if analysis.command == "preflight":
        return
    word = entry.get("strandedness")
    if word is not None and word not in STRAND_WORDS:
        raise SheetError(f"{where}: strandedness must be one of "
                         f"{', '.join(STRAND_WORDS)}, got {word!r}")


def samples_document(entries: list[dict]) -> dict:
    return {"samples": entries}
