"""Deterministic synthetic input for the ORF scan benchmark.

    python bench/gen_orf_data.py [--out bench/out/orf] [--transcripts 100000] [--scale 1]

Writes genome.fa (+ .fai), merged.gtf, reps.tsv and hexamer.tsv into the output folder.
Every transcript is laid out on its own stretch of genome (2 to 5 exons, GT...AG introns),
on '+', '-' or '.', and its mature sequence holds one planted ORF of 60 to 400 codons among
random bases. --scale multiplies every exon length (and the planted ORF) by that factor, so
scale 2 doubles each transcript's length while keeping the transcript count.
"""

from __future__ import annotations

import argparse
import random
from pathlib import Path

ACGT = bytes.maketrans(bytes(range(256)), bytes(b"ACGT"[i % 4] for i in range(256)))
ACG = bytes.maketrans(bytes(range(256)), bytes(b"ACG"[i % 3] for i in range(256)))
COMPLEMENT = bytes.maketrans(b"ACGT", b"TGCA")
CONTIG_TRANSCRIPTS = 10_000
WIDTH = 60


def bases(rng: random.Random, n: int) -> bytes:
    return rng.randbytes(n).translate(ACGT)


def orf_body(rng: random.Random, codons: int) -> bytes:
    """Random codons that are never stops (no codon starts with T)."""
    body = bytearray(bases(rng, 3 * codons))
    body[0::3] = rng.randbytes(codons).translate(ACG)
    return bytes(body)


def rc(seq: bytes) -> bytes:
    return seq.translate(COMPLEMENT)[::-1]


def generate(out: Path, n_tx: int, scale: int, seed: int = 7) -> None:
    rng = random.Random(seed)
    out.mkdir(parents=True, exist_ok=True)
    gtf = open(out / "merged.gtf", "w")
    reps = open(out / "reps.tsv", "w")
    reps.write("locus_id\ttranscript_id\n")
    fa = open(out / "genome.fa", "wb")
    fai = []
    offset = 0
    contig: list[bytes] = []
    pos = 1  # next free 1-based position on the current contig

    def flush_contig(index: int) -> None:
        nonlocal offset, contig, pos
        seq = b"".join(contig)
        name = f"chr{index}"
        head = f">{name}\n".encode()
        fa.write(head)
        offset += len(head)
        body = b"".join(seq[p : p + WIDTH] + b"\n" for p in range(0, len(seq), WIDTH))
        fa.write(body)
        fai.append(f"{name}\t{len(seq)}\t{offset}\t{WIDTH}\t{WIDTH + 1}\n")
        offset += len(body)
        contig, pos = [], 1

    for t in range(n_tx):
        chrom = f"chr{t // CONTIG_TRANSCRIPTS + 1}"
        n_exons = rng.randint(2, 5)
        exon_lens = [rng.randint(80, 320) * scale for _ in range(n_exons)]
        mrna_len = sum(exon_lens)
        codons = min(rng.randint(60, 400) * scale, (mrna_len - 6) // 3 - 1)
        lead = rng.randint(0, mrna_len - 3 * (codons + 1))
        orf = b"ATG" + orf_body(rng, codons - 1) + b"TAA"
        tail = mrna_len - lead - len(orf)
        mrna = bases(rng, lead) + orf + bases(rng, tail)
        strand = "+-."[t % 3]

        # Pre-mRNA in transcript orientation: exons with GT...AG introns between them.
        pieces, cut = [], 0
        layout = []  # (offset in pre-mRNA, length) of each exon
        pre_len = 0
        for i, length in enumerate(exon_lens):
            if i:
                intron = b"GT" + bases(rng, rng.randint(60, 400)) + b"AG"
                pieces.append(intron)
                pre_len += len(intron)
            pieces.append(mrna[cut : cut + length])
            layout.append((pre_len, length))
            pre_len += length
            cut += length
        pre = b"".join(pieces)
        on_minus = strand == "-" or (strand == "." and t % 2 == 0)
        if on_minus:
            pre = rc(pre)
            layout = [(pre_len - o - length, length) for o, length in layout]
        gap = bases(rng, rng.randint(50, 200))
        contig.append(gap)
        start = pos + len(gap)
        contig.append(pre)
        pos = start + len(pre)

        tid = f"TX{t:06d}"
        attrs = f'gene_id "G{t:06d}"; transcript_id "{tid}";'
        exons = sorted((start + o, start + o + length - 1) for o, length in layout)
        gtf.write(
            f"{chrom}\tsynth\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\t{attrs}\n"
        )
        for s, e in exons:
            gtf.write(f"{chrom}\tsynth\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}\n")
        reps.write(f"G{t:06d}\t{tid}\n")
        if (t + 1) % CONTIG_TRANSCRIPTS == 0:
            flush_contig(t // CONTIG_TRANSCRIPTS + 1)
    if contig:
        flush_contig(n_tx // CONTIG_TRANSCRIPTS + 1)
    fa.close()
    (out / "genome.fa.fai").write_text("".join(fai))
    gtf.close()
    reps.close()

    # A hexamer table over all 4096 hexamers, with frequencies from a fixed generator.
    hrng = random.Random(seed + 1)
    rows = ["hexamer\tcoding\tnoncoding\n"]
    for key in range(4096):
        hexamer = "".join("ACGT"[(key >> (2 * (5 - i))) & 3] for i in range(6))
        rows.append(f"{hexamer}\t{hrng.random() / 4096:.3e}\t{hrng.random() / 4096:.3e}\n")
    (out / "hexamer.tsv").write_text("".join(rows))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", type=Path, default=Path(__file__).parent / "out" / "orf")
    ap.add_argument("--transcripts", type=int, default=100_000)
    ap.add_argument("--scale", type=int, default=1)
    args = ap.parse_args()
    generate(args.out, args.transcripts, args.scale)


if __name__ == "__main__":
    main()
