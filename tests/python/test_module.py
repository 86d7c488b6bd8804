"""The module surface: attributes, signatures, argument binding, summaries, the exception."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import voskel
from voskel import _core

FUNCTIONS = {
    "core_version": [],
    "preflight_bams": ["samples_json", "fasta", "annotation_gtf"],
    "classify_gtfs": ["merged_gtf", "ref_gtf", "out_tsv", "cfg_json"],
    "structure_scan": ["merged_gtf", "ref_gtf", "class_tsv", "representatives_tsv", "fasta",
                       "samples_json", "out_tsv", "cfg_json"],
    "quantify_gtf": ["merged_gtf", "samples_json", "out_dir", "cfg_json"],
    "scan_orfs": ["fasta", "merged_gtf", "representatives_tsv", "out_tsv", "peptides_fa",
                  "cfg_json"],
    "leak_scan": ["merged_gtf", "samples_json", "out_tsv", "cfg_json"],
    "extend_terminals": ["loci_tsv", "out_tsv", "samples_json", "cfg_json"],
}
ORDER = list(FUNCTIONS)

GTF = 'chr1\tt\texon\t100\t200\t.\t+\t.\tgene_id "g1"; transcript_id "t1";\n'


def public_attributes():
    return [k for k in vars(_core) if not k.startswith("__")]


def test_attributes_in_declared_order():
    names = public_attributes()
    assert names[0] == "VoskelError"
    present = [n for n in ORDER if n in names]
    assert names[1:] == present
    assert "core_version" in names and "classify_gtfs" in names


@pytest.mark.parametrize("name", ORDER)
def test_signature_shows_parameter_names(name):
    if not hasattr(_core, name):
        pytest.skip(f"{name} is not built yet")
    fn = getattr(_core, name)
    params = inspect.signature(fn).parameters
    assert list(params) == FUNCTIONS[name]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in params.values())
    assert fn.__doc__ is None


def test_core_version():
    assert _core.core_version() == "0.1.12"
    assert voskel.core_version() == "0.1.12"
    assert voskel.VoskelError is _core.VoskelError
    with pytest.raises(TypeError):
        _core.core_version(1)
    with pytest.raises(TypeError):
        _core.core_version(x=1)


def test_voskel_error_type():
    err = _core.VoskelError
    assert err.__module__ == "voskel_core"
    assert err.__name__ == "VoskelError"
    assert err.__bases__ == (Exception,)
    assert err.__doc__ is None
    assert str(err("some text")) == "some text"


@pytest.fixture
def gtf(tmp_path):
    path = tmp_path / "a.gtf"
    path.write_text(GTF)
    return str(path)


def test_binding_faults_are_type_errors(tmp_path, gtf):
    out = str(tmp_path / "out.tsv")
    with pytest.raises(TypeError, match="cfg_json"):
        _core.classify_gtfs(gtf, gtf, out)
    with pytest.raises(TypeError):
        _core.classify_gtfs(gtf, gtf, out, "{}", "extra")
    with pytest.raises(TypeError):
        _core.classify_gtfs(gtf, gtf, out, nope="x")
    with pytest.raises(TypeError):
        _core.classify_gtfs(gtf, gtf, out, "{}", merged_gtf=gtf)
    assert not (tmp_path / "out.tsv").exists()


def test_argument_conversion(tmp_path, gtf):
    out = tmp_path / "out.tsv"
    with pytest.raises(TypeError) as info:
        _core.classify_gtfs(gtf, gtf, out, "{}")
    assert str(info.value).startswith("argument 'out_tsv': ")
    assert "PosixPath" in str(info.value)
    with pytest.raises(TypeError) as info:
        _core.classify_gtfs(3, gtf, str(out), "{}")
    assert str(info.value).startswith("argument 'merged_gtf': ")
    with pytest.raises(UnicodeEncodeError):
        _core.classify_gtfs(gtf, gtf, str(out), "\udc80")
    assert not out.exists()

    class Text(str):
        pass

    assert _core.classify_gtfs(Text(gtf), gtf, Text(str(out)), Text("{}")) == {
        "n_transcripts": 1, "n_u": 0}


def test_keywords_in_any_order_and_summary_dict(tmp_path, gtf):
    out = str(tmp_path / "out.tsv")
    got = _core.classify_gtfs(cfg_json="{}", out_tsv=out, ref_gtf=gtf, merged_gtf=gtf)
    assert got == _core.classify_gtfs(gtf, gtf, out, "{}")
    assert list(got) == ["n_transcripts", "n_u"]
    assert all(type(v) is int for v in got.values())


def test_analysis_errors_raise_voskel_error(tmp_path, gtf):
    missing = str(tmp_path / "missing.gtf")
    with pytest.raises(Exception) as info:
        _core.classify_gtfs(missing, gtf, str(tmp_path / "o.tsv"), "{}")
    assert type(info.value) is _core.VoskelError
    assert str(info.value) == (f"cannot open GTF {missing}: "
                               "No such file or directory (os error 2)")
    assert info.value.args == (str(info.value),)
    with pytest.raises(_core.VoskelError) as info:
        _core.classify_gtfs(gtf, gtf, str(tmp_path / "o.tsv"), "")
    assert str(info.value) == "invalid JSON: EOF while parsing a value at line 1 column 0"


def test_second_interpreter_is_refused():
    code = textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import voskel._core
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import voskel._core")
        except Exception as e:
            print("refused:", e)
        else:
            print("loaded")
    """)
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.skip("no sub-interpreter support in this interpreter")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert "refused:" in run.stdout and "ImportError" in run.stdout, run.stdout + run.stderr
