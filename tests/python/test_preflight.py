"""preflight_bams: one sample sheet per check, each to its report; the real aligner output."""

from __future__ import annotations

import json
import os
import re
import shutil
from pathlib import Path

import pytest

from voskel import _core

GENOME = [("chr1", 5000), ("chr2", 3000)]
HEX64 = re.compile(r"[0-9a-f]{64}")
KEYS = ["aligner_family", "assembly", "dup_flag_seen", "errors", "gtf_seqnames",
        "library_layout", "n_control", "n_treat", "ok", "samples", "sq_sha256", "strandedness",
        "threads", "warnings"]
PLAN_KEYS = ["auto", "available_bytes", "bam_workers", "cpus", "requested", "usable"]


def header(sq=GENOME, programs=(("STAR", "STAR"),)) -> str:
    lines = ["@HD\tVN:1.6\tSO:coordinate"]
    lines += [f"@SQ\tSN:{name}\tLN:{length}" for name, length in sq]
    lines += [f"@PG\tID:{i}\tPN:{p}" for i, p in programs]
    return "\n".join(lines) + "\n"


def pairs(n: int, chrom: str = "chr1", dup: bool = False) -> list[str]:
    """n proper pairs on one chromosome at rising positions; all marked duplicate if dup."""
    d = 1024 if dup else 0
    out = []
    for i in range(n):
        pos = 100 + 10 * i
        out.append(f"p{i}\t{99 | d}\t{chrom}\t{pos}\t60\t10M\t=\t{pos + 50}\t60\tACGTACGTAC\t*")
        out.append(f"p{i}\t{147 | d}\t{chrom}\t{pos + 50}\t60\t10M\t=\t{pos}\t-60\tACGTACGTAC\t*")
    return out


def singles(n: int, chrom: str = "chr1") -> list[str]:
    return [f"s{i}\t0\t{chrom}\t{100 + 10 * i}\t60\t10M\t*\t0\t0\tACGTACGTAC\t*"
            for i in range(n)]


def write_unsorted(path: Path, sam_text: str, index_from: Path) -> Path:
    """A BAM with its records in the given order, carrying the index of another BAM of the
    same header, so that it opens like an indexed file and only the order check can tell."""
    import pysam

    sam = path.with_suffix(".sam")
    sam.write_text(sam_text)
    pysam.view("-b", "-o", str(path), str(sam), catch_stdout=False)
    sam.unlink()
    shutil.copy(f"{index_from}.bai", f"{path}.bai")
    return path


class World:
    """Genome index, annotation and BAMs of a small cohort, and the sheets made from them."""

    def __init__(self, tmp: Path, bam_writer):
        self.tmp = tmp
        self.write_bam = bam_writer
        self.fasta = tmp / "genome.fa"
        self.fasta.write_text("".join(f">{n}\n" + "ACGT" * (l // 4) + "\n" for n, l in GENOME))
        offset, lines = 0, []
        for name, length in GENOME:
            offset += len(name) + 2
            lines.append(f"{name}\t{length}\t{offset}\t{length}\t{length + 1}\n")
            offset += length + 1
        Path(f"{self.fasta}.fai").write_text("".join(lines))
        self.gtf = self.text("ann.gtf", "".join(
            f'{c}\tt\t{f}\t200\t900\t.\t+\t.\tgene_id "g{c}"; transcript_id "t{c}";\n'
            for c in ("chr1", "chr2") for f in ("gene", "transcript", "exon")))
        self.paired = self.bam("paired.bam", header(), pairs(30, dup=True))
        self.paired2 = self.bam("paired2.bam", header(), pairs(20) + pairs(5, "chr2"))

    def text(self, name: str, content: str | bytes) -> Path:
        p = self.tmp / name
        p.write_bytes(content if isinstance(content, bytes) else content.encode())
        return p

    def bam(self, name: str, head: str, records: list[str], index: bool = True) -> Path:
        return self.write_bam(name, head + "\n".join(records) + "\n", index)

    @staticmethod
    def sheet(samples: list[dict], **settings) -> str:
        doc = {"samples": samples, "assembly": "hgTest", "library_layout": "auto",
               "de_enabled": False, "treat_min_detected_replicates": 1}
        doc.update(settings)
        return json.dumps(doc)

    @staticmethod
    def sample(sid: str, bam, group: str = "control", strandedness: str = "rf") -> dict:
        return {"sample_id": sid, "bam": str(bam), "group": group,
                "strandedness": strandedness, "replicate": 1}

    def pair_sheet(self, a=None, b=None, **settings) -> str:
        """Two samples, by default the two good paired BAMs."""
        return self.sheet([self.sample("A", a or self.paired),
                           self.sample("B", b or self.paired2, group="treat")], **settings)

    def run(self, samples_json: str, fasta=None, gtf=None) -> dict:
        report = _core.preflight_bams(samples_json, str(fasta or self.fasta),
                                      str(gtf or self.gtf))
        assert list(report) == KEYS
        assert list(report["threads"]) == PLAN_KEYS
        assert report["threads"]["available_bytes"] is None
        assert report["ok"] == (report["errors"] == [])
        assert len(report["errors"]) <= 1
        return report


@pytest.fixture
def world(tmp_path, bam_writer):
    return World(tmp_path, bam_writer)


def test_passing_sheet(world):
    r = world.run(world.pair_sheet(threads=3))
    assert r["ok"] is True and r["errors"] == []
    assert r["assembly"] == "hgTest"
    assert r["aligner_family"] == "STAR"
    assert r["library_layout"] == "paired"
    assert r["strandedness"] == "rf"
    assert (r["n_control"], r["n_treat"]) == (1, 1)
    assert r["samples"] == [{"n_sq": 2, "sample_id": "A"}, {"n_sq": 2, "sample_id": "B"}]
    assert list(r["samples"][0]) == ["n_sq", "sample_id"]
    assert HEX64.fullmatch(r["sq_sha256"])
    assert r["gtf_seqnames"] == 2
    assert r["dup_flag_seen"] == {"A": True, "B": False}
    assert r["warnings"] == ["sample B: no 0x400 duplicate flag in the first 100000 primary "
                             "mapped reads; quantify.skip_duplicate=auto will count all reads"]
    plan = r["threads"]
    assert (plan["requested"], plan["bam_workers"], plan["auto"]) == (3, 2, False)
    assert plan["cpus"] >= 1 and plan["usable"] >= 1


def test_report_is_a_fixed_function_of_its_inputs(world):
    # The same contigs in another header order, a repeated sample id, a BAM used twice.
    reordered = world.bam("reordered.bam", header(sq=GENOME[::-1]), pairs(10, "chr2"))
    r = world.run(world.sheet([world.sample("A", world.paired), world.sample("A", reordered),
                               world.sample("C", world.paired, group="")]))
    assert r["ok"] is True, r["errors"]
    assert r["dup_flag_seen"] == {"A": False, "C": True}
    assert [s["sample_id"] for s in r["samples"]] == ["A", "A", "C"]
    assert (r["n_control"], r["n_treat"]) == (2, 0)
    reference = world.run(world.pair_sheet())
    assert r["sq_sha256"] == reference["sq_sha256"]


def test_single_end_and_unstranded(world):
    a = world.bam("s1.bam", header(programs=(("hisat2", "hisat2"),)), singles(40))
    b = world.bam("s2.bam", header(programs=(("hisat2", "hisat2"),)), singles(5))
    r = world.run(world.sheet([world.sample("a", a, strandedness="unstranded"),
                               world.sample("b", b, strandedness="unstranded")],
                              library_layout="single"))
    assert r["ok"] is True, r["errors"]
    assert (r["aligner_family"], r["library_layout"]) == ("HISAT2", "single")
    assert r["strandedness"] == "unstranded"


def eof_trailer(path: Path) -> str:
    return (f"BAM {path} is missing the BGZF EOF trailer (size {path.stat().st_size} bytes); "
            "the file is truncated or still being written. Rebuild the index after the BAM is "
            "complete.")


# Each case: a sheet (with the files it needs) -> the one error text, and fields of the
# report that earlier steps filled or that stay empty.
def case_not_json(w):
    return w.pair_sheet()[:-1], None, None, (
        "invalid samples_json: EOF while parsing an object at line 1 column "
        f"{len(w.pair_sheet()) - 1}"), {"assembly": "", "n_control": 0}


def case_missing_key(w):
    doc = json.loads(w.pair_sheet())
    del doc["samples"][1]["strandedness"]
    text = json.dumps(doc)
    return text, None, None, (
        "invalid samples_json: missing field `strandedness` at line 1 column "
        f"{text.index('}]') + 1}"), {"assembly": ""}


def case_empty_sheet(w):
    return w.sheet([]), None, None, "sample sheet is empty", {"assembly": "hgTest"}


def case_one_sample(w):
    return (w.sheet([w.sample("A", w.paired, group="treat")]), None, None,
            "need at least 2 samples for residual harvest (got 1)",
            {"n_control": 0, "n_treat": 1, "strandedness": ""})


def case_capital_group(w):
    return (w.sheet([w.sample("A", w.paired), w.sample("B", w.paired, group="Control")]),
            None, None, 'sample B has group "Control"; only control|treat are accepted '
            "(no case/ko/wt aliases)", {"n_control": 0})


def case_quoted_group(w):
    return (w.sheet([w.sample("A", w.paired, group='ko "1"\\x')]), None, None,
            'sample A has group "ko \\"1\\"\\\\x"; only control|treat are accepted '
            "(no case/ko/wt aliases)", {})


def case_strandedness_word(w):
    return (w.sheet([w.sample("A", w.paired, strandedness="FR")]), None, None,
            'sample A has strandedness "FR"; only unstranded|fr|rf', {})


def case_empty_id(w):
    return (w.sheet([w.sample("A", w.paired), w.sample("", w.paired)]), None, None,
            "sample_id is empty", {})


def case_mixed_strandedness(w):
    return (w.sheet([w.sample("A", w.paired, strandedness="rf"),
                     w.sample("B", w.paired, strandedness="fr")]), None, None,
            'all samples must share the same strandedness; got {"fr", "rf"}',
            {"n_control": 2, "strandedness": ""})


def case_de_needs_replicates(w):
    return (w.sheet([w.sample("A", w.paired), w.sample("B", w.paired),
                     w.sample("C", w.paired, group="treat")], de_enabled=True), None, None,
            "de.enabled requires \u22652 control and \u22652 treat (got control=2 treat=1)",
            {"n_control": 2, "n_treat": 1, "strandedness": "rf"})


def case_missing_fai(w):
    fasta = w.text("other.fa", ">chr1\nACGT\n")
    return (w.pair_sheet(), fasta, None,
            f"missing FASTA index {fasta}.fai \u2014 please run `samtools faidx` on that FASTA "
            "(Voskel will not write a .fai next to a shared genome)", {"strandedness": "rf"})


def case_malformed_fai(w):
    fasta = w.text("bad.fa", ">chr1\nACGT\n")
    w.text("bad.fa.fai", "chr1\t4\t6\n")
    return (w.pair_sheet(), fasta, None, f"{fasta}.fai line 1: expected 5 columns (name, length, "
            "offset, linebases, linewidth)", {})


def case_gtf_without_rows(w):
    gtf = w.text("cds.gtf", '#c\nchr1\tt\tCDS\t1\t9\t.\t+\t0\tgene_id "g"; transcript_id "t";\n')
    return w.pair_sheet(), None, gtf, f"GTF {gtf} has no gene/transcript/exon rows", {}


def case_bam_not_found(w):
    missing = w.tmp / "gone.bam"
    return w.pair_sheet(b=missing), None, None, f"sample B: BAM not found: {missing}", {
        "samples": [{"n_sq": 2, "sample_id": "A"}], "dup_flag_seen": {"A": True},
        "aligner_family": "", "sq_sha256": ""}


def integrity_case(content, text):
    def case(w):
        bad = w.text("bad.bam", content(w) if callable(content) else content)
        return w.pair_sheet(a=bad), None, None, "sample A: " + text(bad), {"samples": []}
    return case


def truncated(w):
    data = w.paired.read_bytes()
    return data[:-10]


def case_unindexed(w):
    bam = w.bam("noindex.bam", header(), pairs(5), index=False)
    return w.pair_sheet(b=bam), None, None, (
        f"sample B: cannot open indexed BAM {bam} (need {bam}.bai / {bam}.csi / sibling .bai): "
        f"unable to open SAM/BAM/CRAM index for {bam}; please create an index"), {}


def case_no_sq(w):
    bam = w.bam("nosq.bam", "@HD\tVN:1.6\n@PG\tID:STAR\tPN:STAR\n",
                ["u1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t*"], index=False)
    shutil.copy(f"{w.paired}.bai", f"{bam}.bai")
    return w.pair_sheet(b=bam), None, None, "sample B: BAM has no @SQ", {}


def case_chr_prefix_vs_fasta(w):
    sq = [("1", 5000), ("2", 3000), ("3", 10), ("4", 10), ("5", 10), ("6", 10)]
    bam = w.bam("nochr.bam", header(sq=sq), pairs(5, "1"))
    return w.pair_sheet(a=bam), None, None, (
        'sample A: BAM contig 1 is not in FASTA .fai (BAM e.g. ["1", "2", "3", "4", "5"], '
        'FASTA e.g. ["chr1", "chr2"]). Names must match literally.'), {}


def case_length_differs(w):
    bam = w.bam("len.bam", header(sq=[("chr1", 5000), ("chr2", 2999)]), pairs(5))
    return (w.pair_sheet(b=bam), None, None,
            "sample B: contig chr2 LN=2999 but FASTA .fai has 3000", {})


def case_dictionaries_differ(w):
    bam = w.bam("short.bam", header(sq=[("chr1", 5000)]), pairs(5))
    return (w.pair_sheet(b=bam), None, None,
            "sample B: BAM @SQ (SN+LN) does not match the other samples", {})


def case_name_sorted(w):
    records = pairs(5)
    records = sorted(records, key=lambda r: (r.split("\t")[0], r.split("\t")[1]))[::-1]
    bam = write_unsorted(w.tmp / "byname.bam", header() + "\n".join(records) + "\n", w.paired)
    return w.pair_sheet(b=bam), None, None, (
        "sample B: BAM is not coordinate-sorted: primary mapped (tid, pos) decreased in the "
        "first 10000 records"), {"samples": [{"n_sq": 2, "sample_id": "A"}]}


def case_only_unmapped(w):
    bam = w.bam("unmapped.bam", header(),
                [f"u{i}\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t*" for i in range(5)])
    return w.pair_sheet(b=bam), None, None, (
        "sample B: BAM has fewer than 2 primary mapped reads; cannot confirm coordinate sort "
        "(unmapped POS=0 records are not evidence)"), {}


def case_bowtie(w):
    bam = w.bam("bt.bam", header(programs=(("STAR", "STAR"), ("bowtie2", "Bowtie2"))), pairs(5))
    return w.pair_sheet(b=bam), None, None, (
        "sample B: BAM @PG contains Bowtie2 (ID=bowtie2 PN=Bowtie2); only STAR or HISAT2 are "
        "accepted. Bowtie2/minimap2 fail even when STAR is also in @PG."), {}


def case_no_aligner(w):
    bam = w.bam("noal.bam", header(programs=()), pairs(5))  # only the sorter's own @PG
    return w.pair_sheet(a=bam), None, None, (
        "sample A: BAM @PG has no STAR/HISAT2 after ignoring post-processors (0 other tool(s)); "
        "cannot confirm splice-aware alignment"), {}


def case_layout_mixed(w):
    bam = w.bam("mix.bam", header(), pairs(10) + singles(10, "chr2"))
    return w.pair_sheet(b=bam), None, None, (
        "sample B: BAM mixes paired and single-end primary mapped reads (>1% each)"), {
        "dup_flag_seen": {"A": True}}


def case_layout_setting(w):
    return (w.pair_sheet(library_layout="single"), None, None,
            "sample A: quantify.library_layout=single but BAM looks paired",
            {"samples": [], "dup_flag_seen": {}, "warnings": []})


def case_layout_word(w):
    return (w.pair_sheet(library_layout="Paired"), None, None,
            "quantify.library_layout must be auto|paired|single, got Paired", {"samples": []})


def case_family_mix(w):
    bam = w.bam("hisat.bam", header(programs=(("hisat2", "hisat2"),)), pairs(5))
    return (w.pair_sheet(b=bam), None, None,
            'samples mix aligner families {"HISAT2", "STAR"}; all BAMs must be STAR or all HISAT2',
            {"aligner_family": "", "library_layout": "", "sq_sha256": "", "gtf_seqnames": 0,
             "samples": [{"n_sq": 2, "sample_id": "A"}, {"n_sq": 2, "sample_id": "B"}],
             "dup_flag_seen": {"A": True, "B": False}})


def case_layout_mix(w):
    bam = w.bam("single.bam", header(), singles(5))
    return (w.pair_sheet(b=bam), None, None, 'samples mix library layouts {"paired", "single"}',
            {"aligner_family": "", "library_layout": ""})


def case_chr_prefix_annotation(w):
    gtf = w.text("nochr.gtf", 'chr1\tt\texon\t1\t9\t.\t+\t.\tgene_id "g"; transcript_id "t";\n'
                 '2\tt\texon\t1\t9\t.\t+\t.\tgene_id "g"; transcript_id "t";\n')
    # The steps before the annotation check keep what they filled.
    return (w.pair_sheet(), None, gtf,
            'GTF vs BAM contig names differ only by a chr/CHR prefix (GTF e.g. ["2", "chr1"], '
            'BAM e.g. ["chr1", "chr2"]). This would classify every transcript as intergenic `u`. '
            "Refusing to continue.",
            {"aligner_family": "STAR", "library_layout": "paired", "gtf_seqnames": 0})


def case_annotation_names_absent(w):
    gtf = w.text("extra.gtf", 'chrUn\tt\texon\t1\t9\t.\t+\t.\tgene_id "g"; transcript_id "t";\n'
                 'chr1\tt\texon\t1\t9\t.\t+\t.\tgene_id "g"; transcript_id "t";\n')
    return (w.pair_sheet(), None, gtf,
            'GTF has seqnames absent from BAM @SQ (e.g. ["chrUn"]). Use a primary_assembly GTF '
            "whose seqnames are a subset of the BAM, e.g. "
            "gencode.vM39.primary_assembly.annotation.gtf. Names are not rewritten.", {})


CASES = {
    "not JSON": case_not_json,
    "missing key": case_missing_key,
    "empty sheet": case_empty_sheet,
    "one sample": case_one_sample,
    "capital group": case_capital_group,
    "quoted group": case_quoted_group,
    "strandedness word": case_strandedness_word,
    "empty sample id": case_empty_id,
    "mixed strandedness": case_mixed_strandedness,
    "de needs replicates": case_de_needs_replicates,
    "missing .fai": case_missing_fai,
    "malformed .fai": case_malformed_fai,
    "GTF without rows": case_gtf_without_rows,
    "BAM not found": case_bam_not_found,
    "empty BAM": integrity_case(b"", lambda p: f"BAM {p} is only 0 bytes; truncated or not a "
                                "BGZF BAM"),
    "27-byte BAM": integrity_case(b"\x1f\x8b" + b"\0" * 25, lambda p: f"BAM {p} is only 27 "
                                  "bytes; truncated or not a BGZF BAM"),
    "SAM text": integrity_case(header(), lambda p: f"BAM {p} does not begin with a BGZF gzip "
                               "header (got 4048)"),
    "gzip, not BGZF": integrity_case(b"\x1f\x8b\x08\x00" + b"\0" * 40, eof_trailer),
    "truncated BAM": integrity_case(truncated, eof_trailer),
    "unindexed BAM": case_unindexed,
    "no @SQ": case_no_sq,
    "chr-prefixed BAM against the FASTA": case_chr_prefix_vs_fasta,
    "contig length": case_length_differs,
    "dictionaries differ": case_dictionaries_differ,
    "name-sorted": case_name_sorted,
    "only unmapped reads": case_only_unmapped,
    "Bowtie2": case_bowtie,
    "no aligner": case_no_aligner,
    "mixed layout": case_layout_mixed,
    "layout setting": case_layout_setting,
    "layout word": case_layout_word,
    "aligner families mixed": case_family_mix,
    "layouts mixed": case_layout_mix,
    "chr-prefixed annotation": case_chr_prefix_annotation,
    "annotation names absent": case_annotation_names_absent,
}


@pytest.mark.parametrize("name", list(CASES))
def test_first_problem_is_the_one_error(world, name):
    samples_json, fasta, gtf, error, fields = CASES[name](world)
    r = world.run(samples_json, fasta, gtf)
    assert r["ok"] is False
    assert r["errors"] == [error]
    for key, value in fields.items():
        assert r[key] == value, key


def test_unreadable_sheet_still_gets_a_plan(world):
    r = world.run("not json at all")
    plan = r["threads"]
    assert (plan["requested"], plan["bam_workers"], plan["auto"]) == (0, 1, True)
    assert r["errors"][0].startswith("invalid samples_json: expected ident at line 1 column ")
    # A sheet that reads for the plan but fails its checks still sizes the plan by its samples.
    r = world.run(world.sheet([world.sample("A", world.paired)] * 3, threads=2))
    assert (r["threads"]["requested"], r["threads"]["bam_workers"]) == (2, 2)


def test_bad_inputs_never_raise_but_bindings_do(world):
    report = _core.preflight_bams("", "", "")
    assert report["ok"] is False and len(report["errors"]) == 1
    with pytest.raises(TypeError):
        _core.preflight_bams("{}", str(world.fasta))
    with pytest.raises(TypeError):
        _core.preflight_bams("{}", world.fasta, str(world.gtf))


def test_duplicates_after_the_first_hundred_thousand_reads_are_not_seen(world, tmp_path):
    n = 50_000
    head = header()
    body = "".join(f"s{i}\t0\tchr1\t{1 + i % 4000}\t60\t10M\t*\t0\t0\tACGTACGTAC\t*\n"
                   for i in range(n)) + "".join(
        f"s{i}\t0\tchr2\t{1 + i % 2000}\t60\t10M\t*\t0\t0\tACGTACGTAC\t*\n"
        for i in range(n, 2 * n))
    late = "".join(f"d{i}\t1024\tchr2\t2500\t60\t10M\t*\t0\t0\tACGTACGTAC\t*\n" for i in range(3))
    bam = world.write_bam("late.bam", head + body + late)
    early = world.write_bam("early.bam", head + body.replace("\t0\tchr2\t1\t", "\t1024\tchr2\t1\t")
                            + late)
    r = world.run(world.sheet([world.sample("late", bam), world.sample("early", early)]))
    assert r["ok"] is True, r["errors"]
    assert r["dup_flag_seen"] == {"early": True, "late": False}


# ---- real STAR and HISAT2 output ---------------------------------------------------------


def real_sheet(realdata: Path, bams: list[str]) -> str:
    return World.sheet([World.sample(b.split(".")[0] + "_" + b.split(".")[1],
                                     realdata / b, strandedness="unstranded",
                                     group="control" if i % 2 == 0 else "treat")
                        for i, b in enumerate(bams)])


@pytest.mark.parametrize("family,bams", [
    ("STAR", ["Sample1.star.bam", "Sample2.star.bam"]),
    ("HISAT2", ["Sample1.hisat2.bam", "Sample2.hisat2.bam"]),
])
def test_real_aligner_output_passes(realdata, family, bams):
    r = _core.preflight_bams(real_sheet(realdata, bams), str(realdata / "hg19sub.fa"),
                             str(realdata / "merged.gtf"))
    assert r["ok"] is True, r["errors"]
    assert r["aligner_family"] == family
    assert r["library_layout"] == "paired"
    assert [s["n_sq"] for s in r["samples"]] == [3, 3]
    assert r["gtf_seqnames"] == 3


def test_real_star_and_hisat2_together_fail_at_the_family_check(realdata):
    r = _core.preflight_bams(real_sheet(realdata, ["Sample1.star.bam", "Sample2.hisat2.bam"]),
                             str(realdata / "hg19sub.fa"), str(realdata / "merged.gtf"))
    assert r["errors"] == ['samples mix aligner families {"HISAT2", "STAR"}; all BAMs must be '
                           "STAR or all HISAT2"]
    assert len(r["samples"]) == 2 and r["aligner_family"] == ""
