#!/usr/bin/env python3
"""Writes the small demo dataset bundled in python/voskel/data (deterministic).

A two-contig genome with its .fai, a reference annotation, a merged assembly whose transcripts
reach every class code, protein-coding ORFs planted in some transcripts with canonical splice
sites, a hexamer table learnt from those ORFs, a representatives table, two paired-end
rf-stranded samples simulated from the merged transcripts (coordinate-sorted BAMs with .bai),
and the loci table of the introns their reads span.

Run it from the repository root with a Python that has pysam: python scripts/make_demo_data.py
"""

from __future__ import annotations

import random
from pathlib import Path

import pysam

OUT = Path(__file__).resolve().parents[1] / "python" / "voskel" / "data"
RNG = random.Random(20261211)
COMP = str.maketrans("ACGT", "TGCA")
STOPS = {"TAA", "TAG", "TGA"}

CONTIGS = {"chrA": 20000, "chrB": 8000}

# (transcript_id, gene_id, gene_name, chrom, strand, exons)
REFERENCE = [
    ("RT1", "RG1", "alpha", "chrA", "+", [(1000, 1300), (2000, 2300), (3500, 4000)]),
    ("RT1b", "RG1", "alpha", "chrA", "+", [(1000, 1300), (3500, 4000)]),
    ("RT2", "RG2", "beta", "chrA", "-", [(6000, 6400), (7000, 7200), (8600, 9000)]),
    ("RT3", "RG3", "gamma", "chrA", "+", [(12000, 12500), (14000, 15000)]),
    ("RT4", "RG4", "delta", "chrB", "+", [(1000, 1500), (2500, 3000)]),
]
MERGED = [
    ("MSTRG.1.1", "MSTRG.1", "chrA", "+", [(1000, 1300), (2000, 2300), (3500, 4000)]),
    ("MSTRG.1.2", "MSTRG.1", "chrA", "+", [(1000, 1300), (2000, 2300), (3500, 4200)]),
    ("MSTRG.2.1", "MSTRG.2", "chrA", "-", [(6000, 6400), (7000, 7200)]),
    ("MSTRG.3.1", "MSTRG.3", "chrA", "+", [(13000, 13400)]),
    ("MSTRG.4.1", "MSTRG.4", "chrA", "-", [(2100, 2250), (3600, 3800)]),
    ("MSTRG.5.1", "MSTRG.5", "chrA", "+", [(17000, 17500), (18000, 18600)]),
    ("MSTRG.6.1", "MSTRG.6", "chrB", ".", [(5000, 5600)]),
    ("MSTRG.7.1", "MSTRG.7", "chrB", "+", [(1000, 1500), (2500, 3000)]),
]
# ORFs planted into transcript sequences: transcript id -> (offset in the mRNA, codons).
ORFS = {"MSTRG.1.1": (40, 160), "MSTRG.2.1": (30, 120), "MSTRG.5.1": (60, 200), "MSTRG.7.1": (25, 110)}
# Expression (fragments) per sample.
EXPRESSION = {
    "sample_A": {"MSTRG.1.1": 300, "MSTRG.1.2": 80, "MSTRG.2.1": 200, "MSTRG.3.1": 60,
                 "MSTRG.4.1": 40, "MSTRG.5.1": 150, "MSTRG.6.1": 50, "MSTRG.7.1": 120},
    "sample_B": {"MSTRG.1.1": 100, "MSTRG.1.2": 200, "MSTRG.2.1": 90, "MSTRG.3.1": 20,
                 "MSTRG.4.1": 120, "MSTRG.5.1": 40, "MSTRG.6.1": 10, "MSTRG.7.1": 260},
}
READ_LEN = 50

# Codons of planted ORFs favour G/C-rich codons, so the hexamer table tells them apart.
SENSE = [a + b + c for a in "ACGT" for b in "ACGT" for c in "ACGT" if a + b + c not in STOPS]
CODON_WEIGHTS = [1 + 3 * (c.count("G") + c.count("C")) for c in SENSE]


def rc(s: str) -> str:
    return s.translate(COMP)[::-1]


def positions(exons, strand):
    """Genomic positions (1-based) of the mRNA bases in transcript order."""
    pos = [p for s, e in sorted(exons) for p in range(s, e + 1)]
    return pos[::-1] if strand == "-" else pos


def plant(genome, chrom, strand, exons, offset, text):
    pos = positions(exons, strand)
    seq = genome[chrom]
    for i, base in enumerate(text):
        p = pos[offset + i] - 1
        seq[p] = base.translate(COMP) if strand == "-" else base


def make_genome():
    genome = {c: [RNG.choice("ACGT") for _ in range(n)] for c, n in CONTIGS.items()}
    orf_seqs = []
    for tid, _gid, chrom, strand, exons in MERGED:
        if tid in ORFS:
            offset, n = ORFS[tid]
            body = RNG.choices(SENSE, CODON_WEIGHTS, k=n - 1)
            orf = "ATG" + "".join(body) + "TAA"
            plant(genome, chrom, strand, exons, offset, orf)
            orf_seqs.append(orf[:-3])
    # Canonical splice sites on the annotated transcripts and the intergenic one.
    sites = [(c, st, ex) for _t, _g, _n, c, st, ex in REFERENCE] + [
        (c, st, ex) for t, _g, c, st, ex in MERGED if t == "MSTRG.5.1"]
    for chrom, strand, exons in sites:
        ex = sorted(exons)
        for (_s1, e1), (s2, _e2) in zip(ex, ex[1:]):
            donor, acceptor = ("GT", "AG") if strand == "+" else ("CT", "AC")
            seq = genome[chrom]
            seq[e1:e1 + 2] = list(donor)
            seq[s2 - 3:s2 - 1] = list(acceptor)
    return {c: "".join(s) for c, s in genome.items()}, orf_seqs


def write_fasta(genome):
    width = 60
    fa, fai = [], []
    offset = 0
    for name, seq in genome.items():
        header = f">{name}\n"
        offset += len(header)
        fai.append(f"{name}\t{len(seq)}\t{offset}\t{width}\t{width + 1}\n")
        lines = [seq[i:i + width] + "\n" for i in range(0, len(seq), width)]
        fa.append(header + "".join(lines))
        offset += sum(len(x) for x in lines)
    (OUT / "genome.fa").write_text("".join(fa))
    (OUT / "genome.fa.fai").write_text("".join(fai))


def gtf_line(chrom, feature, start, end, strand, attrs):
    text = " ".join(f'{k} "{v}";' for k, v in attrs)
    return f"{chrom}\tdemo\t{feature}\t{start}\t{end}\t.\t{strand}\t.\t{text}\n"


def write_gtfs():
    lines = ["# reference annotation of the demo genome\n"]
    genes = {}
    for tid, gid, name, chrom, strand, exons in REFERENCE:
        g = genes.setdefault(gid, [chrom, strand, name, exons[0][0], exons[-1][1]])
        g[3], g[4] = min(g[3], exons[0][0]), max(g[4], exons[-1][1])
    for gid, (chrom, strand, name, s, e) in genes.items():
        lines.append(gtf_line(chrom, "gene", s, e, strand, [("gene_id", gid), ("gene_name", name)]))
    for tid, gid, name, chrom, strand, exons in REFERENCE:
        attrs = [("gene_id", gid), ("transcript_id", tid), ("gene_name", name)]
        lines.append(gtf_line(chrom, "transcript", exons[0][0], exons[-1][1], strand, attrs))
        for s, e in exons:
            lines.append(gtf_line(chrom, "exon", s, e, strand, attrs))
    (OUT / "reference.gtf").write_text("".join(lines))

    lines = ["# merged assembly of the demo samples\n"]
    for tid, gid, chrom, strand, exons in MERGED:
        attrs = [("gene_id", gid), ("transcript_id", tid)]
        lines.append(gtf_line(chrom, "transcript", exons[0][0], exons[-1][1], strand, attrs))
        for s, e in exons:
            lines.append(gtf_line(chrom, "exon", s, e, strand, attrs))
    (OUT / "merged.gtf").write_text("".join(lines))

    reps = ["locus_id\ttranscript_id\n"]
    for tid, gid, *_ in MERGED:
        if tid.endswith(".1"):
            reps.append(f"{gid}\t{tid}\n")
    (OUT / "representatives.tsv").write_text("".join(reps))


def write_hexamers(orf_seqs, genome):
    def counts(seqs):
        c = {}
        for s in seqs:
            for i in range(0, len(s) - 5, 3):
                h = s[i:i + 6]
                c[h] = c.get(h, 0) + 1
        return c

    background = [genome["chrA"][i:i + 600] for i in range(0, 19000, 700)]
    coding, noncoding = counts(orf_seqs), counts(background)
    tc, tn = sum(coding.values()), sum(noncoding.values())
    rows = ["hexamer\tcoding\tnoncoding\n"]
    for a in "ACGT":
        for b in "ACGT":
            for c in "ACGT":
                for d in "ACGT":
                    for e in "ACGT":
                        for f in "ACGT":
                            h = a + b + c + d + e + f
                            rows.append(f"{h}\t{coding.get(h, 0) / tc:.8g}\t"
                                        f"{noncoding.get(h, 0) / tn:.8g}\n")
    (OUT / "hexamer.tsv").write_text("".join(rows))


def read_alignment(pos_list, start, length):
    """CIGAR and 0-based start of a read covering mRNA offsets [start, start+length)."""
    gpos = sorted(pos_list[start:start + length])
    cigar, run = [], 1
    for a, b in zip(gpos, gpos[1:]):
        if b == a + 1:
            run += 1
        else:
            cigar += [(0, run), (3, b - a - 1)]
            run = 1
    cigar.append((0, run))
    return gpos[0] - 1, cigar, gpos


def write_bams(genome):
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": c, "LN": n} for c, n in CONTIGS.items()],
              # The reads are laid out as a splice-aware aligner would write them; the
              # header says which one, so the samples pass the aligner-family check.
              "PG": [{"ID": "STAR", "PN": "STAR", "VN": "2.7.10b",
                      "DS": "reads simulated by make_demo_data"}]}
    tids = {c: i for i, c in enumerate(CONTIGS)}
    for sample, expr in EXPRESSION.items():
        records = []
        serial = 0
        for tid, _gid, chrom, strand, exons in MERGED:
            pos = positions(exons, "+")  # genomic order; strand decides which mate is reverse
            n = len(pos)
            for _ in range(expr[tid]):
                serial += 1
                frag = RNG.randint(120, min(300, n))
                fstart = RNG.randint(0, n - frag)
                left = read_alignment(pos, fstart, READ_LEN)
                right = read_alignment(pos, fstart + frag - READ_LEN, READ_LEN)
                # rf library: read 1 lies on the strand opposite to the transcript.
                r1_is_left = strand == "-" or (strand == "." and RNG.random() < 0.5)
                dup = RNG.random() < 0.03
                mapq = 60 if RNG.random() > 0.02 else 3
                name = f"{sample}:{serial:06d}"
                tlen = right[2][-1] - left[2][0] + 1
                for is_left, (p0, cig, gp) in ((True, left), (False, right)):
                    first = is_left == r1_is_left
                    flag = 0x1 | 0x2 | (0x40 if first else 0x80)
                    flag |= 0x20 if is_left else 0x10
                    flag |= 0x400 if dup else 0
                    mate = right if is_left else left
                    seq = "".join(genome[chrom][p - 1] for p in gp)
                    records.append((tids[chrom], p0, name, flag, cig, mate[0],
                                    tlen if is_left else -tlen, seq, mapq))
        records.sort(key=lambda r: (r[0], r[1], r[2], r[3]))
        path = OUT / f"{sample}.bam"
        with pysam.AlignmentFile(str(path), "wb", header=header) as out:
            for tid_, p0, name, flag, cig, mpos, tlen, seq, mapq in records:
                a = pysam.AlignedSegment(out.header)
                a.query_name, a.flag = name, flag
                a.reference_id, a.reference_start = tid_, p0
                a.mapping_quality, a.cigartuples = mapq, cig
                a.next_reference_id, a.next_reference_start = tid_, mpos
                a.template_length = tlen
                a.query_sequence = seq
                a.query_qualities = pysam.qualitystring_to_array("I" * len(seq))
                a.set_tag("NH", 1)
                out.write(a)
        pysam.index(str(path))


def write_loci():
    """The loci table of the terminal extension: every intron the two samples' reads span, with
    the strand most of its reads give under the rf protocol."""
    strands = {}
    for sample in EXPRESSION:
        with pysam.AlignmentFile(str(OUT / f"{sample}.bam")) as bam:
            for rec in bam:
                # rf library: read 2 lies on the transcript's strand.
                strand = "+" if (rec.is_paired and rec.is_read2) != rec.is_reverse else "-"
                r = rec.reference_start + 1
                for op, n in rec.cigartuples:
                    if op == 3:
                        key = (rec.reference_name, r, r + n - 1)
                        counts = strands.setdefault(key, {"+": 0, "-": 0})
                        counts[strand] += 1
                    if op in (0, 2, 3, 7, 8):
                        r += n
    rows = ["residual_id\tchrom\tstrand\tintron_start\tintron_end\n"]
    for i, ((chrom, start, end), counts) in enumerate(sorted(strands.items()), 1):
        strand = max("+-", key=lambda s: counts[s])
        rows.append(f"RES{i:03d}\t{chrom}\t{strand}\t{start}\t{end}\n")
    (OUT / "loci.tsv").write_text("".join(rows))


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    genome, orf_seqs = make_genome()
    write_fasta(genome)
    write_gtfs()
    write_hexamers(orf_seqs, genome)
    write_bams(genome)
    write_loci()


if __name__ == "__main__":
    main()
