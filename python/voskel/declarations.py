"""What each analysis takes and writes: its files, its configuration keys with their types,
defaults and meanings, the sample-sheet columns it reads, its output columns and its summary.

The command line, the Python API and the reference documentation are all built from these
declarations, so a key or a column is described in exactly one place.
"""

from __future__ import annotations

from dataclasses import dataclass

U8_MAX = 255
U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1


@dataclass(frozen=True)
class Key:
    """One configuration key.

    kind is one of: "word" (one of `words`), "uint" (whole number from `low` to `high`),
    "bool", "number" (any finite or infinite JSON number), "text", "path" (a file path; an
    empty path or None means none).
    """

    name: str
    kind: str
    default: object
    meaning: str
    words: tuple[str, ...] = ()
    low: int = 0
    high: int = U64_MAX
    required: bool = False  # no default: the user must give it
    always_sent: bool = False  # the core requires it, so its default is always sent

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")

    def type_text(self) -> str:
        if self.kind == "word":
            return "word: " + ", ".join(f'"{w}"' for w in self.words)
        if self.kind == "uint":
            return f"whole number, {self.low} to {self.high}" if self.high != U64_MAX \
                else f"whole number, {self.low} or more"
        return {"bool": "true or false", "number": "number", "text": "text",
                "path": "path"}[self.kind]

    def default_text(self) -> str:
        if self.required:
            return "required"
        if self.default is None or self.default == "" and self.kind == "path":
            return "none"
        if isinstance(self.default, bool):
            return "true" if self.default else "false"
        if isinstance(self.default, str):
            return f'"{self.default}"'
        return str(self.default)


@dataclass(frozen=True)
class FileParam:
    """One file argument of an analysis, named as the core's parameter."""

    name: str
    role: str  # "input", "output", or "samples" (the sample sheet)
    meaning: str
    required: bool = True
    default: str = ""  # for an optional parameter

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")


@dataclass(frozen=True)
class Column:
    """One column of an output table. A name holding {sample_id} stands for one column per
    sample, in sheet order."""

    name: str
    meaning: str

    @property
    def per_sample(self) -> bool:
        return "{sample_id}" in self.name


@dataclass(frozen=True)
class Output:
    """One output file: where it goes (a file parameter, or a name inside an output folder)
    and its columns (empty for files that are not tables)."""

    file: str
    meaning: str
    columns: tuple[Column, ...] = ()


@dataclass(frozen=True)
class SheetColumn:
    name: str
    kind: str  # "text", "uint", "bool"
    meaning: str


@dataclass(frozen=True)
class Analysis:
    command: str  # subcommand and Python function name
    core_function: str
    record: str  # the core's configuration record, as the core names it
    title: str
    params: tuple[FileParam, ...]  # in the core's parameter order; "samples" is samples_json
    keys: tuple[Key, ...]
    sheet_required: tuple[str, ...] = ()
    sheet_optional: tuple[str, ...] = ()
    sheet_record: str = ""  # the core's sample-entry record
    outputs: tuple[Output, ...] = ()
    summary: tuple[tuple[str, str], ...] = ()  # result keys and meanings

    @property
    def has_samples(self) -> bool:
        return any(p.role == "samples" for p in self.params)

    def key(self, name: str) -> Key:
        for k in self.keys:
            if k.name == name:
                return k
        raise KeyError(name)


# ---- sample sheets ---------------------------------------------------------------------------

SHEET_COLUMNS = (
    SheetColumn("sample_id", "text", "the sample's name; it names output columns and rows"),
    SheetColumn("bam", "text", "path of the coordinate-sorted, indexed BAM file; a relative "
                "path is taken relative to the sheet's folder"),
    SheetColumn("group", "text", 'experimental group: "control", "treat" or empty'),
    SheetColumn("strandedness", "text", 'library strandedness: "rf", "fr" or "unstranded"'),
    SheetColumn("replicate", "uint", "replicate number (checked by the preflight, not used)"),
    SheetColumn("dup_flag_seen", "bool", "true when the BAM marks duplicates with flag 0x400 "
                "(the preflight report lists it per sample); default false"),
)

# ---- configuration keys shared by several analyses -------------------------------------------

STRAND_WORDS = ("rf", "fr", "unstranded")

MIN_MAPQ = Key("min_mapq", "uint", 10, "records with a lower mapping quality are ignored",
               high=U8_MAX)
REQUIRE_UNIQUE_NH = Key("require_unique_nh", "bool", False,
                        "ignore records whose integer NH tag is not 1")
SKIP_DUPLICATE = Key("skip_duplicate", "word", "auto",
                     '"never" keeps records flagged duplicate (0x400), "always" drops them, '
                     '"auto" drops them only in samples whose dup_flag_seen is true',
                     words=("auto", "never", "always"))
LIBRARY_LAYOUT = Key("library_layout", "word", "auto",
                     '"single" counts every record as its own fragment; "auto" and "paired" '
                     "pair the mates of proper pairs by read name",
                     words=("auto", "paired", "single"))
THREADS = Key("threads", "uint", 0, "samples read at the same time; 0 chooses from the "
              "processors available")


def strandedness(meaning: str) -> Key:
    return Key("strandedness", "word", "rf", meaning, words=STRAND_WORDS)


# ---- the analyses ----------------------------------------------------------------------------

PREFLIGHT = Analysis(
    command="preflight",
    core_function="preflight_bams",
    record="types::PreflightInput",
    title="Preflight: do the samples, BAM files, genome and annotation fit together?",
    params=(
        FileParam("samples", "samples", "sample sheet"),
        FileParam("fasta", "input", "genome FASTA; its .fai index is read"),
        FileParam("annotation_gtf", "input", "annotation GTF whose sequence names are checked"),
    ),
    keys=(
        Key("assembly", "text", "", "name of the genome assembly, copied into the report",
            always_sent=True),
        Key("library_layout", "word", "auto",
            'layout quantification will assume: "auto" accepts what the BAM files show, '
            '"paired" and "single" must match it', words=("auto", "paired", "single"),
            always_sent=True),
        Key("de_enabled", "bool", False, "a differential analysis will follow: demand at least "
            "two control and two treat samples", always_sent=True),
        Key("treat_min_detected_replicates", "uint", 0,
            "passed on for the differential analysis; no check uses it", high=U32_MAX,
            always_sent=True),
        Key("threads", "uint", 0, "worker count the report's thread plan is made for; 0 plans "
            "automatically"),
    ),
    sheet_required=("sample_id", "bam", "strandedness", "replicate"),
    sheet_optional=("group",),
    sheet_record="types::SampleIn",
    outputs=(Output("report", "the preflight report, printed as JSON", (
        Column("ok", "true when every check passed"),
        Column("assembly", "the assembly name given"),
        Column("sq_sha256", "SHA-256 digest of the first sample's reference dictionary "
               "(@SQ names and lengths)"),
        Column("aligner_family", '"STAR" or "HISAT2", common to all samples'),
        Column("strandedness", "the strandedness common to all samples"),
        Column("library_layout", '"paired" or "single", as the BAM files show'),
        Column("n_control", 'samples of group "control"'),
        Column("n_treat", 'samples of group "treat"'),
        Column("dup_flag_seen", "per sample_id: whether its first 100000 primary mapped reads "
               "hold a duplicate-flagged one (the value for the sheet's dup_flag_seen)"),
        Column("gtf_seqnames", "distinct sequence names of the annotation"),
        Column("samples", "per sample: sample_id and n_sq, its number of @SQ lines"),
        Column("errors", "empty, or the one problem that stopped the checks"),
        Column("warnings", "samples without duplicate flags"),
        Column("threads", "the thread plan: requested, cpus, usable, available_bytes, "
               "bam_workers, auto"),
    )),),
)

CLASSIFY = Analysis(
    command="classify",
    core_function="classify_gtfs",
    record="classcode::ClassifyCfg",
    title="Class codes of a merged assembly against a reference annotation",
    params=(
        FileParam("merged_gtf", "input", "query GTF, normally the merged assembly"),
        FileParam("ref_gtf", "input", "reference annotation GTF"),
        FileParam("out_tsv", "output", "class table to write"),
    ),
    keys=(strandedness('"unstranded" compares strand-blind; "rf" and "fr" compare '
                       "strand-aware (they do not differ here)"),),
    outputs=(Output("out_tsv", "the class table, one row per query transcript in "
                    "transcript_id order", (
                        Column("transcript_id", "the query transcript"),
                        Column("gene_id", "its gene_id"),
                        Column("chrom", "its sequence name"),
                        Column("start", "first base of its first exon (1-based)"),
                        Column("end", "last base of its last exon"),
                        Column("strand", "its strand"),
                        Column("n_exons", "number of exons"),
                        Column("length_nt", "sum of exon lengths (exons not merged)"),
                        Column("exon_structure", "exons as start-end, joined by commas"),
                        Column("class", '"u" intergenic, "i" intronic, "x" antisense, '
                               '"overlap" or "extension" of a same-strand reference transcript'),
                        Column("gene_name", "its gene_name (the gene_id when absent)"),
                    )),),
    summary=(("n_transcripts", "query transcripts classified (rows written)"),
             ("n_u", 'rows of class "u"')),
)

QUANTIFY = Analysis(
    command="quantify",
    core_function="quantify_gtf",
    record="quantify::QuantCfg",
    title="Fragment counts and TPM per locus and per transcript",
    params=(
        FileParam("merged_gtf", "input", "annotation to count on (a locus is a gene_id)"),
        FileParam("samples", "samples", "sample sheet"),
        FileParam("out_dir", "output", "folder for the four tables (created when missing)"),
    ),
    keys=(
        MIN_MAPQ,
        REQUIRE_UNIQUE_NH,
        strandedness('library protocol: "rf" (read 2 on the transcript\'s strand), "fr" '
                     '(read 1 on it), "unstranded"'),
        SKIP_DUPLICATE,
        LIBRARY_LAYOUT,
        THREADS,
    ),
    sheet_required=("sample_id", "bam"),
    sheet_optional=("dup_flag_seen",),
    sheet_record="quantify::SampleIn",
    outputs=(
        Output("locus_counts.tsv", "fragments per locus", (
            Column("locus_id", "the locus (gene_id), in byte order"),
            Column("{sample_id}", "fragments counted for the locus in that sample (whole "
                   "numbers)"))),
        Output("locus_tpm.tsv", "transcripts per million per locus", (
            Column("locus_id", "the locus"),
            Column("{sample_id}", "TPM, six decimals; length is the union of the locus's "
                   "exons"))),
        Output("transcript_counts.tsv", "fragments per transcript", (
            Column("transcript_id", "the transcript, in byte order"),
            Column("locus_id", "its locus"),
            Column("{sample_id}", "its share of the locus's fragments, six decimals"))),
        Output("transcript_tpm.tsv", "transcripts per million per transcript", (
            Column("transcript_id", "the transcript"),
            Column("locus_id", "its locus"),
            Column("{sample_id}", "TPM, six decimals; length is the sum of its exons"))),
    ),
    summary=(("dropped_fragments", "mates whose partner never arrived (evicted or still "
              "waiting at the end)"),
             ("n_loci", "loci (rows of the locus tables)"),
             ("n_transcripts", "transcripts (rows of the transcript tables)")),
)

LEAK = Analysis(
    command="leak",
    core_function="leak_scan",
    record="leak::LeakCfg",
    title="Unannotated splice junctions supported across samples",
    params=(
        FileParam("merged_gtf", "input", "annotation whose introns and genes are known"),
        FileParam("samples", "samples", "sample sheet"),
        FileParam("out_tsv", "output", "junction table to write"),
    ),
    keys=(
        MIN_MAPQ,
        REQUIRE_UNIQUE_NH,
        strandedness('"rf" or "fr": a junction\'s strand follows the library protocol; '
                     '"unstranded": strand from splice motifs (with fasta) or XS/ts tags, and '
                     "strand-blind comparison with the annotation and genes"),
        SKIP_DUPLICATE,
        LIBRARY_LAYOUT,
        THREADS,
        Key("min_samples", "uint", 2, "report a junction only when at least this many samples "
            "support it"),
        Key("min_support", "uint", 2, "report a junction only when at least this many fragments "
            "support it over all samples"),
        Key("max_control_support", "uint", 0, 'a junction whose highest control count exceeds '
            'this is labelled "shared"'),
        Key("fasta", "path", "", "genome FASTA (with .fai) to read splice motifs from; none "
            "means strands come from tags only"),
    ),
    sheet_required=("sample_id", "bam"),
    sheet_optional=("group", "dup_flag_seen"),
    sheet_record="leak::SampleIn",
    outputs=(Output("out_tsv", "one row per reported junction, ordered by chrom (bytes), "
                    "start, end, strand", (
                        Column("chrom", "sequence name from the BAM header"),
                        Column("start", "first intronic base (1-based)"),
                        Column("end", "last intronic base"),
                        Column("strand", '"+", "-" or "."'),
                        Column("intron_nt", "end - start + 1"),
                        Column("status", 'always "unassembled"'),
                        Column("merged_locus", "always empty"),
                        Column("merged_class", "always empty"),
                        Column("overlaps_gene", "whether a gene of either strand overlaps it"),
                        Column("nearest_gene_id", "nearest gene (same strand when stranded); "
                               "empty when none"),
                        Column("nearest_gene_name", "its gene_name"),
                        Column("nearest_distance_bp", "bases between them; 0 when overlapping "
                               "or touching"),
                        Column("nearest_strand", "its strand"),
                        Column("control_max", "highest count among control samples"),
                        Column("support_sum", "fragments over all samples"),
                        Column("n_detected", "samples with at least one fragment"),
                        Column("treat_sum", "fragments over treat samples"),
                        Column("treat_n_detected", "treat samples with at least one fragment"),
                        Column("control_n_detected", "control samples with at least one "
                               "fragment"),
                        Column("cohort", '"cohort" without control samples, "shared" when '
                               'control_max exceeds max_control_support, else "silent"'),
                        Column("{sample_id}_count", "fragments of that sample"),
                    )),),
    summary=(("dropped_fragments", "mates whose partner never arrived, over all samples"),
             ("n_leak", "rows written")),
)

STRUCTURE = Analysis(
    command="structure",
    core_function="structure_scan",
    record="structure::StructCfg",
    title="Structure, splice sites, nearest genes and read coverage of representative "
          "transcripts",
    params=(
        FileParam("merged_gtf", "input", "merged annotation holding the representatives"),
        FileParam("ref_gtf", "input", "reference annotation (nearest genes)"),
        FileParam("class_tsv", "input", "class table; accepted and not read", required=False),
        FileParam("representatives_tsv", "input", "locus_id and transcript_id per line "
                  "(first line a header when it holds transcript_id)"),
        FileParam("fasta", "input", "genome FASTA with its .fai (splice sites)"),
        FileParam("samples", "samples", "sample sheet; a sample with an empty bam gets rows "
                  "without coverage"),
        FileParam("out_tsv", "output", "structure table to write"),
    ),
    keys=(
        strandedness('"rf" or "fr" keep only reads on the transcript\'s strand; "unstranded" '
                     "keeps every read and finds nearest genes on either strand"),
        MIN_MAPQ,
        Key("require_unique_nh", "bool", False, "reads whose integer NH tag is not 1 count for "
            "depth only"),
        SKIP_DUPLICATE,
        Key("discontinuity_window_bp", "uint", 50, "step between the valley windows in the gap "
            "to the nearest gene"),
        Key("discontinuity_valley_bp", "uint", 200, "valley window length, and the shortest gap "
            "that is scored"),
        THREADS,
    ),
    sheet_required=("sample_id", "bam"),
    sheet_optional=("dup_flag_seen",),
    sheet_record="structure::SampleIn",
    outputs=(Output("out_tsv", "one row per representative locus and sample, locus by locus",
                    (
                        Column("locus_id", "the locus"),
                        Column("sample_id", "the sample (empty in a run without samples)"),
                        Column("transcript_id", "its representative transcript"),
                        Column("chrom", "sequence name"),
                        Column("start", "first exon start"),
                        Column("end", "last exon end"),
                        Column("strand", "strand"),
                        Column("n_exons", "number of exons"),
                        Column("length_nt", "sum of exon lengths"),
                        Column("donors", "donor dinucleotides per intron, comma-separated"),
                        Column("acceptors", "acceptor dinucleotides per intron"),
                        Column("canonical_splice_fraction", "share of canonical introns, six "
                               "decimals; empty without introns"),
                        Column("n_introns", "number of introns"),
                        Column("has_nearest", "whether a nearest reference gene was found"),
                        Column("nearest_gene_id", "nearest gene on a compatible strand"),
                        Column("nearest_gene_name", "its gene_name"),
                        Column("nearest_distance_bp", "bases between the spans"),
                        Column("nearest_strand", "its strand"),
                        Column("nearest_any_gene_id", "nearest gene on either strand"),
                        Column("nearest_any_gene_name", "its gene_name"),
                        Column("nearest_any_distance_bp", "bases between the spans"),
                        Column("nearest_any_strand", "its strand"),
                        Column("locus_mean_depth", "mean read depth over the exons"),
                        Column("valley_mean", "lowest window mean depth in the gap to the "
                               "nearest gene"),
                        Column("valley_possible", "whether the gap holds a window"),
                        Column("gap_mean_depth", "mean depth over the gap"),
                        Column("n_dup_flag_seen", "duplicate-flagged records seen in the locus"),
                        Column("junction_support", "distinct reads per intron, comma-separated"),
                        Column("bridge_read_count", "reads splicing from the transcript into "
                               "the nearest gene"),
                        Column("structure_error", "why splice sites could not be read, if so"),
                    )),),
    summary=(("n_loci_scanned", "representative pairs read (including those whose transcript "
              "is not in the merged annotation)"),),
)

TERMINAL = Analysis(
    command="terminal",
    core_function="extend_terminals",
    record="terminal::Cfg",
    title="Extension of intron loci by pooled read coverage",
    params=(
        FileParam("loci_tsv", "input", "intron loci: residual_id, chrom, strand, intron_start, "
                  "intron_end (first line a header when it holds residual_id)"),
        FileParam("out_tsv", "output", "extended loci to write"),
        FileParam("samples", "samples", "sample sheet; strandedness per sample"),
    ),
    keys=(
        MIN_MAPQ,
        SKIP_DUPLICATE,
        Key("max_terminal_nt", "uint", 2000, "farthest an end may move from the intron; 0 "
            "disables the extension"),
        Key("min_depth", "uint", 1, "pooled depth a position needs to count as covered",
            high=U32_MAX),
        Key("max_gap_nt", "uint", 20, "longest run of uncovered positions the extension "
            "crosses"),
        Key("fasta", "path", None, "FASTA whose .fai lengths clip the search windows; none "
            "means no clipping"),
    ),
    sheet_required=("bam", "strandedness"),
    sheet_optional=("dup_flag_seen",),
    sheet_record="terminal::SampleIn",
    outputs=(Output("out_tsv", "one row per kept locus, in table order", (
        Column("residual_id", "the locus id"),
        Column("chrom", "sequence name"),
        Column("strand", "strand character"),
        Column("intron_start", "first intronic base"),
        Column("intron_end", "last intronic base"),
        Column("left_start", "leftmost covered position reached (at most intron_start - 1)"),
        Column("right_end", "rightmost covered position reached (at least intron_end + 1)"),
    )),),
    summary=(("n_loci", "loci written"),),
)

ORFS = Analysis(
    command="orfs",
    core_function="scan_orfs",
    record="orf::Cfg",
    title="Longest ORF, coding potential and peptide of representative transcripts",
    params=(
        FileParam("fasta", "input", "genome FASTA with its .fai"),
        FileParam("merged_gtf", "input", "merged annotation holding the representatives"),
        FileParam("representatives_tsv", "input", "locus_id and transcript_id per line "
                  "(first line a header when it holds transcript_id)"),
        FileParam("out_tsv", "output", "ORF table to write"),
        FileParam("peptides_fa", "output", "peptide FASTA to write"),
    ),
    keys=(
        Key("min_orf_aa", "uint", 50, "shortest ORF in amino acids (0 counts as 1)"),
        Key("hexamer_table", "path", None, "hexamer table: hexamer, coding and noncoding "
            "frequency per line", required=True),
        Key("hexamer_coding_min", "number", 0.0, 'a hexamer score above it is "coding"'),
        Key("hexamer_noncoding_max", "number", 0.0, 'a hexamer score below it (and not coding) '
            'is "noncoding"'),
    ),
    outputs=(
        Output("out_tsv", "one row per representative whose transcript is in the annotation",
               (
                   Column("locus_id", "column 1 of the representatives line"),
                   Column("transcript_id", "column 2"),
                   Column("longest_orf_aa", "ORF length in amino acids; 0 when none"),
                   Column("orf_complete", "whether the ORF ends at a stop codon"),
                   Column("coding_score", "mean hexamer log-ratio, six decimals, or NA"),
                   Column("fickett_score", "Fickett score, six decimals, or NA"),
                   Column("coding_label", '"coding", "noncoding", "ambiguous" or "no_orf"'),
               )),
        Output("peptides_fa", "one record per ORF: >locus_id|transcript_id|length, then the "
               "peptide in lines of 60"),
    ),
    summary=(("n_orfs", "peptide records written"),),
)

ANALYSES: tuple[Analysis, ...] = (PREFLIGHT, CLASSIFY, QUANTIFY, LEAK, STRUCTURE, TERMINAL, ORFS)
BY_COMMAND = {a.command: a for a in ANALYSES}
