"""The declarations that drive the command line, the API and the reference documentation stay
in step with the core: every key of every configuration record the core binds is declared
with the core's default, the sheet columns are the sample entries' keys, the output tables
have the declared columns, and the generated documentation tables are current.

The core's records are read from its source (the binding's record shapes and the documents'
defaults), so those checks skip where only the installed package is present."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

from bundled import (GENOME, HEXAMER, MERGED, REFERENCE, REPRESENTATIVES, SAMPLES, copy_bams,
                     demo_sheet)
from voskel import _core, api, reference
from voskel.declarations import ANALYSES, BY_COMMAND, Analysis

ROOT = Path(__file__).resolve().parents[2]
BINDING = ROOT / "src" / "binding.cpp"
DOCUMENTS = ROOT / "src" / "documents.hpp"
DOCS = ROOT / "docs"
READ_FILTER_KEYS = ("min_mapq", "require_unique_nh", "skip_duplicate")


def source(path: Path) -> str:
    if not path.is_file():
        pytest.skip(f"{path} is absent (installed package only)")
    return path.read_text()


def core_shapes() -> dict[str, list[tuple[str, str, bool]]]:
    """Record name -> (key, member, required) per field in order, from the binding's shapes."""
    shapes = {}
    for name, body in re.findall(r"struct Shape<([\w:]+)> \{(.*?)\n\};", source(BINDING), re.S):
        fields = []
        for kind, key, member, helper in re.findall(
                r'\b(?:(req|opt)\("(\w+)",\s*&R::(\w+)\)|(\w+)\(&R::\w+\))', body):
            if helper:
                assert helper in READ_FILTER_KEYS, helper
                fields.append((helper, "filter." + helper, False))
            else:
                fields.append((key, member, kind == "req"))
        shapes[name] = fields
    return shapes


def core_defaults() -> dict[str, dict[str, object]]:
    """Record name (namespace::Struct) -> member -> default, from the documents' declarations."""
    records: dict[str, dict[str, object]] = {}
    namespace = ""
    for block in re.split(r"\n(?=namespace \w+ \{)", source(DOCUMENTS)):
        m = re.match(r"namespace (\w+) \{", block)
        namespace = m.group(1) if m else namespace
        for struct, body in re.findall(r"struct (\w+) \{(.*?)\n\};", block, re.S):
            members = {}
            for type_, member, init in re.findall(
                    r"^\s*([\w:<>]+) (\w+)(?: = ([^;]+))?;", body, re.M):
                members[member] = default_value(type_, init)
            records[f"{namespace}::{struct}"] = members
    return records


def default_value(type_: str, init: str):
    if init:
        return json.loads(init)  # 10, false, "rf", 0.0
    if type_.startswith("std::optional"):
        return None
    if type_ == "std::string":
        return ""
    return "record" if "::" in type_ and "std::" not in type_ else 0


def member_default(defaults, record: str, member: str):
    if member.startswith("filter."):
        return defaults["bam::ReadFilterCfg"][member.removeprefix("filter.")]
    return defaults[record][member]


def test_every_configuration_record_is_declared():
    shapes = core_shapes()
    records = {name for name in shapes if not name.endswith("SampleIn")
               and name != "SamplesDoc<Entry>"}
    assert records == {a.record for a in ANALYSES}
    assert {n for n in shapes if n.endswith("SampleIn")} == {a.sheet_record for a in ANALYSES
                                                             if a.sheet_record}


@pytest.mark.parametrize("analysis", ANALYSES, ids=lambda a: a.command)
def test_every_key_is_declared_with_the_cores_default(analysis: Analysis):
    fields = [f for f in core_shapes()[analysis.record] if f[0] != "samples"]
    defaults = core_defaults()
    assert [k.name for k in analysis.keys] == [key for key, _, _ in fields]
    for key, member, required in fields:
        declared = analysis.key(key)
        if required:
            # The core has no default: the user gives it, or the declared default is sent.
            assert declared.required or declared.always_sent, key
        else:
            assert not declared.required and not declared.always_sent, key
            assert declared.default == member_default(defaults, analysis.record, member), key


@pytest.mark.parametrize("analysis", [a for a in ANALYSES if a.sheet_record],
                         ids=lambda a: a.command)
def test_sheet_columns_are_the_sample_entry_keys(analysis: Analysis):
    fields = core_shapes()[analysis.sheet_record]
    assert set(analysis.sheet_required) == {k for k, _, req in fields if req}
    assert set(analysis.sheet_optional) == {k for k, _, req in fields if not req}


def test_generated_documentation_is_current():
    if not DOCS.is_dir():
        pytest.skip("docs/ is absent (installed package only)")
    for page in DOCS.glob("*.md"):
        text = page.read_text()
        assert reference.update(text) == text, f"{page}: run python -m voskel.reference docs"
    for a in ANALYSES:
        text = (DOCS / f"{a.command}.md").read_text()
        blocks = ["files", "keys", "outputs"] + (["sheet"] if a.has_samples else [])
        for block in blocks:
            assert f"<!-- generated: {a.command} {block} -->" in text, (a.command, block)


def expand(columns, sample_ids) -> list[str]:
    names = []
    for c in columns:
        names += ([c.name.format(sample_id=s) for s in sample_ids] if c.per_sample
                  else [c.name])
    return names


def header(path: Path) -> list[str]:
    return path.read_text().split("\n", 1)[0].split("\t")


def test_output_tables_have_the_declared_columns(tmp_path):
    """Runs every analysis the core holds on the bundled data and reads its table headers."""
    bams = copy_bams(tmp_path / "bams")
    samples = [{"sample_id": s, "bam": b, "group": g, "strandedness": "rf"}
               for s, b, g in zip(SAMPLES, bams, ("control", "treat"))]
    loci = tmp_path / "loci.tsv"
    loci.write_text("r1\tchrA\t+\t1301\t1999\n")
    runs = {
        "classify": lambda out: api.classify(MERGED, REFERENCE, out / "t.tsv"),
        "quantify": lambda out: api.quantify(MERGED, samples, out),
        "leak": lambda out: api.leak(REFERENCE, samples, out / "t.tsv", min_samples=1),
        "structure": lambda out: api.structure(MERGED, REFERENCE, REPRESENTATIVES, GENOME,
                                               samples, out / "t.tsv"),
        "terminal": lambda out: api.terminal(loci, out / "t.tsv", samples),
        "orfs": lambda out: api.orfs(GENOME, MERGED, REPRESENTATIVES, out / "t.tsv",
                                     out / "p.fa", hexamer_table=HEXAMER),
    }
    ran = []
    for command, run in runs.items():
        analysis = BY_COMMAND[command]
        if not hasattr(_core, analysis.core_function):
            continue
        out = tmp_path / command
        out.mkdir()
        summary = run(out)
        assert list(summary) == [k for k, _ in analysis.summary], command
        for table in analysis.outputs:
            if not table.columns:
                continue
            path = out / ("t.tsv" if table.file == "out_tsv" else table.file)
            assert header(path) == expand(table.columns, SAMPLES), (command, table.file)
        ran.append(command)
    assert {"classify", "quantify", "orfs"} <= set(ran)


def test_preflight_report_keys_are_declared(tmp_path):
    if not hasattr(_core, "preflight_bams"):
        pytest.skip("preflight_bams is not in the core yet")
    sheet = demo_sheet(tmp_path)
    report = api.preflight(sheet, GENOME, MERGED)
    assert set(report) == {c.name for c in BY_COMMAND["preflight"].outputs[0].columns}
