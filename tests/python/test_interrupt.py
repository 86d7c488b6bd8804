"""Ctrl-C during a multi-sample run: SIGINT is delivered to a separate interpreter running an
analysis over many samples of a generated BAM; the interrupt arrives as KeyboardInterrupt
within the bound, no table is written, and no reader (file descriptor) or worker thread is
left behind. The command line exits with status 130."""

from __future__ import annotations

import importlib.util
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from voskel import _core

# The interrupt reaches the analysis at its next batch of records, and the signal is looked
# for every 100 ms; the bound leaves room for a loaded machine.
BOUND_SECONDS = 2.0
RECORDS = 400_000
ANALYSES = ("quantify", "leak", "structure", "terminal")

# Written beside the data: imported by the test to size the runs, run as the child process.
RUNNER = '''
import json, os, signal, sys, time
from voskel import _core

def run(kind, p, doc, out):
    if kind == "quantify":
        return _core.quantify_gtf(p["gtf"], doc, out, '{"threads": 2}')
    if kind == "leak":
        return _core.leak_scan(p["gtf"], doc, out, '{"threads": 2, "strandedness": "fr"}')
    if kind == "structure":
        return _core.structure_scan(p["gtf"], p["gtf"], "", p["reps"], p["fasta"], doc, out,
                                    '{"threads": 2}')
    return _core.extend_terminals(p["loci"], out, doc,
                                  '{"max_terminal_nt": 100000, "max_gap_nt": 100000}')

if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    kind, paths, sheet, out = sys.argv[1:5]
    with open(sheet) as f:
        doc = f.read()
    fds = len(os.listdir("/proc/self/fd"))
    print("start", flush=True)
    t = time.monotonic()
    try:
        run(kind, json.loads(paths), doc, out)
        print("finished", time.monotonic() - t)
    except KeyboardInterrupt:
        print("interrupted")
    print("fds", len(os.listdir("/proc/self/fd")) - fds)
    print("threads", len(os.listdir("/proc/self/task")))
'''


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """One long locus with RECORDS single-end spliced reads inside it (indexed), the files the
    analyses need around it, and the runner."""
    import pysam

    folder = tmp_path_factory.mktemp("interrupt")
    paths = {name: str(folder / name) for name in ("gtf", "reps", "fasta", "loci")}
    Path(paths["gtf"]).write_text(
        'chr1\tt\texon\t1000\t5000000\t.\t+\t.\tgene_id "g1"; transcript_id "t1";\n')
    Path(paths["reps"]).write_text("locus_id\ttranscript_id\ng1\tt1\n")
    Path(paths["fasta"]).write_text(">chrZ\nACGT\n")  # the transcript's contig is not needed
    Path(paths["fasta"] + ".fai").write_text("chrZ\t4\t6\t4\t5\n")
    Path(paths["loci"]).write_text("".join(f"r{i}\tchr1\t+\t{5000 + i * 20000}\t"
                                           f"{5100 + i * 20000}\n" for i in range(200)))
    bam = folder / "big.bam"
    header = {"HD": {"VN": "1.6", "SO": "coordinate"}, "SQ": [{"SN": "chr1", "LN": 6_000_000}]}
    with pysam.AlignmentFile(str(bam), "wb", header=header) as out:
        rec = pysam.AlignedSegment(out.header)
        rec.query_sequence = "ACGT" * 12 + "AC"
        rec.cigarstring = "25M100N25M"
        rec.mapping_quality = 60
        rec.reference_id = 0
        rec.flag = 0
        for i in range(RECORDS):
            rec.query_name = f"r{i}"
            rec.reference_start = 1000 + i * 10
            out.write(rec)
    pysam.index(str(bam))
    runner = folder / "runner.py"
    runner.write_text(RUNNER)
    spec = importlib.util.spec_from_file_location("interrupt_runner", runner)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return folder, paths, bam, runner, module.run


def sheet_for(folder: Path, bam: Path, n: int) -> Path:
    sheet = folder / f"sheet_{n}.json"
    sheet.write_text(json.dumps({"samples": [
        {"sample_id": f"s{i}", "bam": str(bam), "group": "treat", "strandedness": "fr"}
        for i in range(n)]}))
    return sheet


def samples_for_seconds(data, kind: str, seconds: float) -> Path:
    """A sheet listing the BAM as many times as make `seconds` of work for `kind` here."""
    folder, paths, bam, _, run = data
    t = time.monotonic()
    run(kind, paths, sheet_for(folder, bam, 1).read_text(), str(folder / f"calibration_{kind}"))
    n = max(4, min(300, int(seconds / max(time.monotonic() - t, 1e-3))))
    return sheet_for(folder, bam, n)


def start(cmd: list[str]) -> subprocess.Popen:
    # A fresh SIGINT disposition, so the child installs Python's handler even when the test
    # runner was started with SIGINT ignored.
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def interrupt_after(proc: subprocess.Popen, delay: float) -> tuple[float, str, str]:
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    return time.monotonic() - sent, out, err


@pytest.mark.parametrize("kind", ANALYSES)
def test_keyboard_interrupt_stops_a_multi_sample_run(data, kind):
    folder, paths, _, runner, _ = data
    sheet = samples_for_seconds(data, kind, 8.0)
    out = folder / f"{kind}_out"
    proc = start([sys.executable, str(runner), kind, json.dumps(paths), str(sheet), str(out)])
    assert proc.stdout.readline() == "start\n", proc.stderr.read()
    elapsed, stdout, stderr = interrupt_after(proc, 1.0)
    assert proc.returncode == 0, stderr
    lines = stdout.splitlines()
    assert lines[0] == "interrupted", stdout
    assert elapsed < BOUND_SECONDS
    assert lines[1:] == ["fds 0", "threads 1"]
    assert not out.exists()


def test_the_command_line_exits_130(data):
    folder, paths, _, _, _ = data
    sheet = samples_for_seconds(data, "quantify", 8.0)
    script = Path(sys.executable).with_name("voskel")
    cmd = [str(script)] if script.exists() else [sys.executable, "-m", "voskel"]
    out = folder / "cli_out"
    proc = start(cmd + ["quantify", "--merged-gtf", paths["gtf"], "--samples", str(sheet),
                        "--out-dir", str(out), "--threads", "1", "--strandedness", "fr"])
    elapsed, stdout, stderr = interrupt_after(proc, 1.5)
    assert proc.returncode == 130, stderr
    assert stderr == "voskel quantify: interrupted\n" and stdout == ""
    assert elapsed < BOUND_SECONDS
    assert not out.exists()
