"""extend_terminals end to end: pooled coverage followed outward from each intron locus."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from voskel import _core

HEADER = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:5000\n"
COLUMNS = ["residual_id", "chrom", "strand", "intron_start", "intron_end", "left_start",
           "right_end"]


def rec(name, flag, pos, cigar="50M", mapq=60, chrom="chr1"):
    """One SAM line; a paired record names itself as its mate."""
    paired = flag & 1
    seq_len = sum(int(n) for n, op in _ops(cigar) if op in "MIS=X")
    fields = [name, str(flag), chrom, str(pos), str(mapq), cigar, "=" if paired else "*",
              str(pos if paired else 0), "0", "A" * seq_len, "*"]
    return "\t".join(fields) + "\n"


def _ops(cigar):
    num = ""
    for ch in cigar:
        if ch.isdigit():
            num += ch
        else:
            yield num, ch
            num = ""


def covered(segments, flag=0, prefix="c"):
    """One read per covered segment (start, end), each at depth 1."""
    return "".join(rec(f"{prefix}{i}", flag, s, f"{e - s + 1}M")
                   for i, (s, e) in enumerate(segments))


def loci_text(rows, header=True):
    lines = ["\t".join(COLUMNS[:5])] if header else []
    lines += ["\t".join(str(f) for f in row) for row in rows]
    return "\n".join(lines) + "\n"


def run(tmp_path, loci, samples, cfg=None, out_name="ext.tsv"):
    """Runs the analysis on a loci table (text) and samples [(bam, strandedness, extra)]."""
    loci_path = tmp_path / "loci.tsv"
    loci_path.write_text(loci)
    doc = {"samples": [{"bam": str(bam), "strandedness": st, **extra}
                       for bam, st, extra in samples]}
    out = tmp_path / out_name
    summary = _core.extend_terminals(str(loci_path), str(out), json.dumps(doc),
                                     json.dumps(cfg or {}))
    return summary, out


def ends(out: Path):
    """{residual_id: (left_start, right_end)} of a written table."""
    rows = [ln.split("\t") for ln in out.read_text().splitlines()]
    assert rows[0] == COLUMNS
    return {r[0]: (int(r[5]), int(r[6])) for r in rows[1:]}


def genome(tmp_path, fai_lines):
    """A FASTA path whose .fai holds the given (name, length) lines (the FASTA is not read)."""
    fa = tmp_path / "g.fa"
    fa.write_text(">x\nA\n")
    fa.with_name("g.fa.fai").write_text(
        "".join(f"{n}\t{length}\t4\t60\t61\n" for n, length in fai_lines))
    return str(fa)


# Intron 5001-6000 on chr1: anchors 5000 and 6001; with the defaults the ends can reach 3000
# and 8001.
LOCUS = [("r", "chr1", "+", 5001, 6000)]

# (case, covered segments, config, expected (left_start, right_end))
PROFILES = [
    ("no coverage", [], {}, (5000, 6001)),
    ("continuous past the step limit", [(1000, 4999), (6001, 9500)], {}, (3000, 8001)),
    ("coverage starts one step out", [(4000, 4998), (6003, 6500)], {}, (4000, 6500)),
    ("hole of max_gap_nt is crossed, one more stops", [(4800, 4879), (4900, 4999),
                                                        (6002, 6100), (6122, 6300)],
     {}, (4800, 6100)),
    ("max_gap_nt 0 stops at the first hole", [(4800, 4989), (4991, 4999)],
     {"max_gap_nt": 0}, (4991, 6001)),
    ("hole at the far end of the flank", [(4990, 4999)], {"max_terminal_nt": 30}, (4990, 6001)),
    ("min_depth 0 covers everything", [], {"min_depth": 0}, (3000, 8001)),
    ("min_depth 2 needs two reads", [(4900, 4999), (4950, 4999), (6002, 6100)],
     {"min_depth": 2}, (4950, 6001)),
    ("max_terminal_nt 0", [(1000, 9000)], {"max_terminal_nt": 0}, (5000, 6001)),
    ("step limit counts from the anchor", [(1000, 9000)], {"max_terminal_nt": 7}, (4993, 6008)),
    ("coverage inside the intron is never read", [(5001, 6000)], {}, (5000, 6001)),
]


@pytest.mark.parametrize("case,segments,cfg,want", PROFILES, ids=[p[0] for p in PROFILES])
def test_depth_profiles(tmp_path, bam_writer, case, segments, cfg, want):
    bam = bam_writer("s.bam", HEADER + covered(segments))
    summary, out = run(tmp_path, loci_text(LOCUS), [(bam, "unstranded", {})], cfg)
    assert summary == {"n_loci": 1}
    assert ends(out) == {"r": want}


def test_reads_spliced_deleted_and_clipped(tmp_path, bam_writer):
    # Only aligned blocks count: the skipped and deleted stretches of a read are holes.
    sam = (rec("a", 0, 4901, "10S40M30N30M5D25M5H") +  # blocks 4901-4940, 4971-5000, 5006-5030
           rec("b", 0, 5951, "40M120N40M"))            # blocks 5951-5990, 6111-6150
    bam = bam_writer("s.bam", HEADER + sam)
    loci = loci_text([("a", "chr1", ".", 5001, 5100), ("b", "chr1", ".", 5900, 6000)])
    _, out = run(tmp_path, loci, [(bam, "unstranded", {})], {"max_gap_nt": 29})
    assert ends(out) == {"a": (4971, 5101), "b": (5899, 6001)}
    _, out = run(tmp_path, loci, [(bam, "unstranded", {})], {"max_gap_nt": 30})
    assert ends(out) == {"a": (4901, 5101), "b": (5899, 6001)}


def test_clipping_at_position_one_and_contig_end(tmp_path, bam_writer):
    bam = bam_writer("s.bam", HEADER + covered([(1, 99), (301, 9000)]))
    loci = loci_text([("start", "chr1", "+", 100, 300), ("one", "chr1", "+", 1, 50),
                      ("end", "chr1", "+", 5001, 6000), ("chr2", "chr2", "+", 4000, 4100)])
    samples = [(bam, "unstranded", {})]
    _, out = run(tmp_path, loci, samples)
    assert ends(out) == {"start": (1, 2301), "one": (1, 99), "end": (3000, 8001),
                         "chr2": (3999, 4101)}
    # The FASTA lengths clip the windows, also through a "chr" prefix; min_depth 0 shows the
    # clipped windows themselves.
    fasta = genome(tmp_path, [("1", 6500), ("chr2", 4150)])
    _, out = run(tmp_path, loci, samples, {"fasta": fasta})
    assert ends(out) == {"start": (1, 2301), "one": (1, 99), "end": (3000, 6500),
                         "chr2": (3999, 4101)}
    _, out = run(tmp_path, loci, samples, {"fasta": fasta, "min_depth": 0})
    assert ends(out) == {"start": (1, 2301), "one": (1, 2051), "end": (3000, 6500),
                         "chr2": (1999, 4150)}


def test_window_before_the_contig_length_keeps_the_anchors(tmp_path, bam_writer):
    # A FASTA length before the window start leaves nothing to query: the anchors stand.
    bam = bam_writer("s.bam", HEADER + covered([(1, 9000)]))
    fasta = genome(tmp_path, [("chr1", 2000)])
    loci = loci_text([("far", "chr1", "+", 5001, 6000), ("mid", "chr1", "+", 3001, 4000)])
    _, out = run(tmp_path, loci, [(bam, "unstranded", {})], {"fasta": fasta, "min_depth": 0})
    assert ends(out) == {"far": (5000, 6001), "mid": (3000, 4001)}


def test_saturated_window_without_fasta(tmp_path, bam_writer):
    bam = bam_writer("s.bam", HEADER + covered([(1, 9000)]))
    top = 2**64 - 1
    loci = loci_text([("top", "chr1", "+", top - 100, top), ("big", "chr1", "+", 8000, 8100)])
    cfg = {"max_terminal_nt": top}
    _, out = run(tmp_path, loci, [(bam, "unstranded", {})], cfg)
    assert ends(out) == {"top": (top - 101, top), "big": (1, 9000)}


# Records of one flavour each: flag bits (0x1 paired, 0x40/0x80 mate, 0x10 reverse) and the
# transcript strand each protocol derives from them.
FLAVOURS = {
    "r1 fwd": (0x1 | 0x40, "-", "+"),
    "r1 rev": (0x1 | 0x40 | 0x10, "+", "-"),
    "r2 fwd": (0x1 | 0x80, "+", "-"),
    "r2 rev": (0x1 | 0x80 | 0x10, "-", "+"),
    "unpaired fwd": (0, "-", "+"),
    "unpaired rev": (0x10, "+", "-"),
    "paired, no mate bit": (0x1, "-", "-"),
    "0x80 without 0x1": (0x80, "-", "+"),
}


def test_strand_test_per_protocol_pooled_in_one_call(tmp_path, bam_writer):
    # Three samples ("rf", "fr", "unstranded") in one call; every (sample, flavour) pair has its
    # own intron, with one read just left of it, and stands as a locus of each strand.
    protocols = ["rf", "fr", "unstranded"]
    strands = ["+", "-", ".", "*"]
    loci, want, samples = [], {}, []
    for si, protocol in enumerate(protocols):
        sam = HEADER
        for fi, (name, (flag, rf, fr)) in enumerate(FLAVOURS.items()):
            start = 1000 + (si * len(FLAVOURS) + fi) * 3000
            sam += rec(f"q{fi}", flag, start - 51)  # covers start - 51 .. start - 2
            derived = {"rf": rf, "fr": fr}.get(protocol)
            for strand in strands:
                rid = f"{protocol}|{name}|{strand}"
                loci.append((rid, "chr1", strand, start, start + 100))
                counted = derived is None or strand == "." or strand == derived
                want[rid] = (start - 51 if counted else start - 1, start + 101)
        samples.append((bam_writer(f"{protocol}.bam", sam), protocol, {}))
    _, out = run(tmp_path, loci_text(loci), samples, {"max_terminal_nt": 100})
    assert ends(out) == want


@pytest.mark.parametrize("policy", ["never", "always", "auto", "sometimes"])
@pytest.mark.parametrize("dup_flag_seen", [False, True])
def test_duplicates_per_policy(tmp_path, bam_writer, policy, dup_flag_seen):
    bam = bam_writer("s.bam", HEADER + covered([(4900, 4999)], flag=0x400))
    sample = (bam, "unstranded", {"dup_flag_seen": dup_flag_seen})
    _, out = run(tmp_path, loci_text(LOCUS), [sample], {"skip_duplicate": policy})
    dropped = policy == "always" or (policy != "never" and dup_flag_seen)
    assert ends(out)["r"] == ((5000 if dropped else 4900), 6001)


def test_record_filters(tmp_path, bam_writer):
    # Unmapped (placed), secondary, QC-fail and supplementary records never count; mapping
    # quality counts from min_mapq up.
    sam = (covered([(4900, 4999)], flag=0x4, prefix="u") + covered([(4900, 4999)], 0x100, "s") +
           covered([(4900, 4999)], 0x200, "q") + covered([(4900, 4999)], 0x800, "x") +
           rec("m9", 0, 6002, "100M", mapq=9) + rec("m10", 0, 6102, "100M", mapq=10))
    bam = bam_writer("s.bam", HEADER + sam)
    _, out = run(tmp_path, loci_text(LOCUS), [(bam, "unstranded", {})])
    assert ends(out)["r"] == (5000, 6001)
    _, out = run(tmp_path, loci_text(LOCUS), [(bam, "unstranded", {})], {"min_mapq": 9})
    assert ends(out)["r"] == (5000, 6201)
    _, out = run(tmp_path, loci_text(LOCUS), [(bam, "unstranded", {})], {"max_gap_nt": 100})
    assert ends(out)["r"] == (5000, 6201)


def test_samples_pool_and_output_bytes(tmp_path, bam_writer):
    # Two samples at depth 1 each make depth 2; rows keep table order and their strand
    # character; a chromosome absent from the BAM headers keeps its anchors.
    a = bam_writer("a.bam", HEADER + covered([(4900, 4999)]))
    b = bam_writer("b.bam", HEADER + covered([(4950, 4999)]))
    rows = [("z1", "chr1", "+", 5001, 6000), ("a1", "chrX", "-", 10, 20),
            ("m1", "chr1", "\u00b1x", 5001, 6000), ("n1", "chr1", "", 5001, 6000)]
    samples = [(a, "unstranded", {}), (b, "fr", {})]
    summary, out = run(tmp_path, loci_text(rows), samples, {"min_depth": 2})
    assert summary == {"n_loci": 4}
    # b is "fr": its forward reads speak for "+", so the "±" locus sees only a.
    assert out.read_bytes() == (
        "residual_id\tchrom\tstrand\tintron_start\tintron_end\tleft_start\tright_end\n"
        "z1\tchr1\t+\t5001\t6000\t4950\t6001\n"
        "a1\tchrX\t-\t10\t20\t9\t21\n"
        "m1\tchr1\t\u00b1\t5001\t6000\t5000\t6001\n"
        "n1\tchr1\t.\t5001\t6000\t4950\t6001\n").encode()


def test_configuration_and_samples_documents(tmp_path, bam_writer):
    bam = bam_writer("s.bam", HEADER + covered([(4000, 4999)]))
    loci = loci_text(LOCUS)
    # Positional forms; "fasta" may be null; "sample_id" is not needed; extra keys are ignored.
    for cfg in ([10, "auto", 100, 1, 20, None], {"fasta": None, "require_unique_nh": True}):
        _, out = run(tmp_path, loci, [(bam, "unstranded", {"extra": [1]})], cfg)
        assert ends(out)["r"] == ((4900 if isinstance(cfg, list) else 4000), 6001)
    loci_path = tmp_path / "loci.tsv"
    out = tmp_path / "pos.tsv"
    _core.extend_terminals(str(loci_path), str(out), json.dumps({"samples": [[str(bam), "fr"]]}),
                           "{}")
    assert ends(out)["r"] == (4000, 6001)


def test_header_only_table_still_opens_every_bam(tmp_path, bam_writer):
    bam = bam_writer("s.bam", HEADER)
    summary, out = run(tmp_path, loci_text([]), [(bam, "rf", {})])
    assert summary == {"n_loci": 0}
    assert out.read_text() == "\t".join(COLUMNS) + "\n"
    with pytest.raises(_core.VoskelError, match="^cannot open indexed BAM"):
        run(tmp_path, loci_text([]), [(bam, "rf", {}), (tmp_path / "nope.bam", "rf", {})])


def error_of(tmp_path, loci=None, samples_doc=None, cfg="{}", out_name="ext.tsv"):
    loci_path = tmp_path / "loci.tsv"
    if loci is not None:
        loci_path.write_text(loci)
    with pytest.raises(_core.VoskelError) as err:
        _core.extend_terminals(str(loci_path), str(tmp_path / out_name), samples_doc, cfg)
    return str(err.value)


def test_errors(tmp_path, bam_writer):
    bam = bam_writer("s.bam", HEADER)
    unindexed = bam_writer("u.bam", HEADER, index=False)
    one = json.dumps({"samples": [{"bam": str(bam), "strandedness": "rf"}]})
    loci = loci_text(LOCUS)
    loci_path = tmp_path / "loci.tsv"

    assert error_of(tmp_path, loci, one, "").startswith("invalid JSON: EOF while parsing")
    assert error_of(tmp_path, loci, '{"samples": [{"bam": "x"}]}').startswith(
        "invalid JSON: missing field `strandedness`")
    assert error_of(tmp_path, loci, one, '{"fasta": 3}').startswith("invalid JSON: invalid type")
    assert error_of(tmp_path, loci, one, '{"min_depth": 1, "min_depth": 1}').startswith(
        "invalid JSON: duplicate field `min_depth`")
    # No samples is checked before the loci table is opened.
    loci_path.unlink()
    assert error_of(tmp_path, None, '{"samples": []}') == "extend_terminals: no samples"
    assert error_of(tmp_path, None, one) == (
        f"open {loci_path}: No such file or directory (os error 2)")
    assert error_of(tmp_path, loci + "bad\tchr1\t+\t1e3\t5\n", one) == "bad intron_start on bad"
    assert error_of(tmp_path, loci + "bad\tchr1\t+\t5\t\n", one) == "bad intron_end on bad"
    assert error_of(tmp_path, loci, json.dumps(
        {"samples": [{"bam": str(unindexed), "strandedness": "rf"}]})) == (
        f"cannot open indexed BAM {unindexed} (need {unindexed}.bai / {unindexed}.csi / "
        f"sibling .bai): unable to open SAM/BAM/CRAM index for {unindexed}; please create an index")
    fasta = tmp_path / "nofai.fa"
    assert error_of(tmp_path, loci, one, json.dumps({"fasta": str(fasta)})) == (
        f"missing FASTA index {fasta}.fai \u2014 please run `samtools faidx` on that FASTA "
        "(Voskel will not write a .fai next to a shared genome)")
    # Nothing was written by any failed call.
    assert not (tmp_path / "ext.tsv").exists()


def test_failure_leaves_an_existing_output_untouched(tmp_path, bam_writer):
    out = tmp_path / "ext.tsv"
    out.write_text("previous\n")
    bam = bam_writer("s.bam", HEADER)
    one = json.dumps({"samples": [{"bam": str(bam), "strandedness": "rf"}]})
    assert error_of(tmp_path, loci_text(LOCUS) + "x\tc\t+\t-1\t2\n", one) == "bad intron_start on x"
    assert out.read_text() == "previous\n"


def bgzf_blocks(data: bytes):
    """(offset, size) of every BGZF block of a file."""
    out, at = [], 0
    while at < len(data):
        size = int.from_bytes(data[at + 16:at + 18], "little") + 1
        out.append((at, size))
        at += size
    return out


def test_corrupt_block_fails_with_the_read_error(tmp_path, bam_writer):
    bam = bam_writer("s.bam", HEADER + covered([(40 * i + 1, 40 * i + 90) for i in range(2000)]))
    data = bytearray(bam.read_bytes())
    blocks = bgzf_blocks(bytes(data))
    assert len(blocks) > 4
    # Garble the compressed bytes of a block in the middle; sizes and the index stay valid.
    at, size = blocks[len(blocks) // 2]
    data[at + 28:at + size - 18] = b"\xff" * (size - 46)
    bad = tmp_path / "bad.bam"
    bad.write_bytes(bytes(data))
    Path(str(bad) + ".bai").write_bytes(Path(str(bam) + ".bai").read_bytes())
    one = json.dumps({"samples": [{"bam": str(bad), "strandedness": "rf"}]})
    msg = error_of(tmp_path, loci_text([("r", "chr1", "+", 40000, 40100)]), one,
                   json.dumps({"max_terminal_nt": 1_000_000}))
    assert msg.startswith(f"BAM read {bad}: ")
