"""Ctrl-C during a multi-sample run: SIGINT is delivered to a separate interpreter running
quantify over many samples of a generated BAM; the interrupt arrives as KeyboardInterrupt
within the bound, no table is written, and no reader (file descriptor) or worker thread is
left behind. The command line exits with status 130."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from voskel import _core

# The interrupt reaches the analysis at its next batch of records, and the signal is looked
# for every 100 ms; the bound leaves room for a loaded machine.
BOUND_SECONDS = 2.0
RECORDS = 400_000

CHILD = textwrap.dedent("""
    import json, os, signal, sys, time
    from voskel import _core

    signal.signal(signal.SIGINT, signal.default_int_handler)
    gtf, sheet, out = sys.argv[1:4]
    with open(sheet) as f:
        doc = f.read()
    fds = len(os.listdir("/proc/self/fd"))
    print("start", flush=True)
    t = time.monotonic()
    try:
        _core.quantify_gtf(gtf, doc, out, '{"threads": 2}')
        print("finished", time.monotonic() - t)
    except KeyboardInterrupt:
        print("interrupted")
    print("fds", len(os.listdir("/proc/self/fd")) - fds)
    print("threads", len(os.listdir("/proc/self/task")))
""")


@pytest.fixture(scope="module")
def workload(tmp_path_factory):
    """A GTF with one long locus, a single-end BAM of RECORDS reads inside it, and a JSON sheet
    listing that BAM as many samples."""
    import pysam

    folder = tmp_path_factory.mktemp("interrupt")
    gtf = folder / "one.gtf"
    gtf.write_text('chr1\tt\texon\t1000\t5000000\t.\t+\t.\tgene_id "g1"; transcript_id "t1";\n')
    bam = folder / "big.bam"
    header = {"HD": {"VN": "1.6", "SO": "coordinate"}, "SQ": [{"SN": "chr1", "LN": 10_000_000}]}
    with pysam.AlignmentFile(str(bam), "wb", header=header) as out:
        rec = pysam.AlignedSegment(out.header)
        rec.query_sequence = "ACGT" * 12 + "AC"
        rec.cigarstring = "50M"
        rec.mapping_quality = 60
        rec.reference_id = 0
        rec.flag = 16  # reverse: compatible with the + locus under rf
        for i in range(RECORDS):
            rec.query_name = f"r{i}"
            rec.reference_start = 1000 + i * 10
            out.write(rec)
    # As many samples of that BAM as make about eight seconds of work on this machine.
    one = json.dumps({"samples": [{"sample_id": "s", "bam": str(bam)}]})
    t = time.monotonic()
    _core.quantify_gtf(str(gtf), one, str(folder / "calibration"), '{"threads": 1}')
    n = max(4, min(5000, int(8.0 / max(time.monotonic() - t, 1e-3))))
    sheet = folder / "sheet.json"
    sheet.write_text(json.dumps({"samples": [{"sample_id": f"s{i}", "bam": str(bam)}
                                             for i in range(n)]}))
    return folder, gtf, sheet


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


def test_keyboard_interrupt_stops_a_multi_sample_run(workload):
    folder, gtf, sheet = workload
    out = folder / "api_out"
    proc = start([sys.executable, "-c", CHILD, str(gtf), str(sheet), str(out)])
    assert proc.stdout.readline() == "start\n", proc.stderr.read()
    elapsed, stdout, stderr = interrupt_after(proc, 1.0)
    assert proc.returncode == 0, stderr
    lines = stdout.splitlines()
    assert lines[0] == "interrupted", stdout
    assert elapsed < BOUND_SECONDS
    assert lines[1:] == ["fds 0", "threads 1"]
    assert not out.exists()


def test_the_command_line_exits_130(workload):
    folder, gtf, sheet = workload
    script = Path(sys.executable).with_name("voskel")
    cmd = [str(script)] if script.exists() else [sys.executable, "-m", "voskel"]
    out = folder / "cli_out"
    proc = start(cmd + ["quantify", "--merged-gtf", str(gtf), "--samples", str(sheet),
                        "--out-dir", str(out), "--threads", "1"])
    elapsed, stdout, stderr = interrupt_after(proc, 1.5)
    assert proc.returncode == 130, stderr
    assert stderr == "voskel quantify: interrupted\n" and stdout == ""
    assert elapsed < BOUND_SECONDS
    assert not out.exists()
