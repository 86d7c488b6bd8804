"""Deterministic synthetic RNA-seq dataset for the quantification benchmark.

Writes into bench/out/ (or --out):
  ann.gtf       ~7,000 multi-exon genes (some overlapping, some antisense), ~15,000 transcripts
  sample.bam    paired-end 2x100 rf-stranded reads simulated from the transcripts, with
                duplicates (0x400), multi-mappers (NH:i:2 plus secondary records), intronic and
                low-quality pairs; coordinate-sorted and indexed by samtools

Needs numpy (pip install numpy) and samtools on PATH. Same arguments give the same bytes.
"""

from __future__ import annotations

import argparse
import bisect
import subprocess
import sys
from pathlib import Path

import numpy as np

READ_LEN = 100
CHROMS = [("chr1", 8_000_000), ("chr2", 6_000_000), ("chr3", 5_000_000), ("chr4", 4_000_000),
          ("chr5", 4_000_000), ("chr6", 3_000_000)]


def make_genes(rng: np.random.Generator, n_genes: int):
    """Gene models: (chrom, strand, gene_id, [transcripts as sorted exon lists])."""
    total = sum(l for _, l in CHROMS)
    genes = []
    gid = 0
    for chrom, length in CHROMS:
        n = int(round(n_genes * length / total))
        # Gene starts spread along the chromosome; nearby starts make overlapping genes.
        starts = np.sort(rng.integers(1_000, length - 80_000, size=n))
        for s in starts:
            gid += 1
            strand = "+" if rng.random() < 0.5 else "-"
            n_ex = int(rng.integers(1, 13)) if rng.random() > 0.08 else 1
            exons = []
            pos = int(s)
            for _ in range(n_ex):
                elen = int(rng.integers(60, 400))
                exons.append((pos, pos + elen - 1))
                pos += elen + int(rng.integers(80, 4_000))
            n_tx = 1 if n_ex == 1 else int(rng.choice([1, 2, 3, 3, 3, 4, 4, 5]))
            txs = []
            seen = set()
            for _ in range(n_tx):
                if n_ex <= 2 or not txs:
                    keep = list(range(n_ex))
                else:
                    keep = [i for i in range(n_ex) if i in (0, n_ex - 1) or rng.random() < 0.7]
                key = tuple(keep)
                if key in seen:
                    continue
                seen.add(key)
                txs.append([exons[i] for i in keep])
            genes.append((chrom, strand, f"G{gid:05d}", txs))
    return genes


def write_gtf(path: Path, genes) -> list:
    """Writes the annotation; returns the transcripts as (chrom, strand, exons)."""
    out = []
    tx_list = []
    for chrom, strand, gene_id, txs in genes:
        gs = min(t[0][0] for t in txs)
        ge = max(t[-1][1] for t in txs)
        out.append(f"{chrom}\tsim\tgene\t{gs}\t{ge}\t.\t{strand}\t.\tgene_id \"{gene_id}\";\n")
        for k, exons in enumerate(txs, 1):
            tid = f"{gene_id}.T{k}"
            attrs = f"gene_id \"{gene_id}\"; transcript_id \"{tid}\";"
            out.append(f"{chrom}\tsim\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t{strand}\t.\t{attrs}\n")
            for s, e in exons:
                out.append(f"{chrom}\tsim\texon\t{s}\t{e}\t.\t{strand}\t.\t{attrs}\n")
            tx_list.append((chrom, strand, exons))
    path.write_text("".join(out))
    return tx_list


def cigar_at(exons, cum, off: int, length: int):
    """Genomic 0-based position and CIGAR of `length` bases from exonic offset `off`."""
    i = bisect.bisect_right(cum, off) - 1
    start = exons[i][0] + (off - cum[i])
    pos0 = start - 1
    parts = []
    remaining = length
    cur = start
    while True:
        avail = exons[i][1] - cur + 1
        take = min(avail, remaining)
        parts.append(f"{take}M")
        remaining -= take
        if remaining == 0:
            break
        gap = exons[i + 1][0] - exons[i][1] - 1
        parts.append(f"{gap}N")
        i += 1
        cur = exons[i][0]
    return pos0, "".join(parts)


def simulate(out_bam: Path, txs, n_pairs: int, seed: int) -> None:
    rng = np.random.default_rng(seed + 1)
    header = "@HD\tVN:1.6\tSO:unsorted\n" + "".join(
        f"@SQ\tSN:{c}\tLN:{l}\n" for c, l in CHROMS) + "@PG\tID:sim\tPN:gen_quant_data\n"

    exon_cum = []
    tx_len = np.empty(len(txs), dtype=np.int64)
    for k, (_, _, exons) in enumerate(txs):
        cum = [0]
        for s, e in exons:
            cum.append(cum[-1] + e - s + 1)
        exon_cum.append(cum)
        tx_len[k] = cum[-1]
    usable = np.nonzero(tx_len >= 2 * READ_LEN)[0]
    expr = rng.lognormal(0.0, 1.6, size=len(usable)) * tx_len[usable]
    choice = usable[rng.choice(len(usable), size=n_pairs, p=expr / expr.sum())]
    frag = np.clip(rng.normal(260, 60, size=n_pairs).astype(np.int64), READ_LEN, None)
    u = rng.random(size=(n_pairs, 6))

    alphabet = np.frombuffer(b"ACGT", dtype=np.uint8)
    bases = alphabet[rng.integers(0, 4, size=4_000_000)].tobytes().decode()
    quals = np.frombuffer(b"FFFF:,F:FFFFF", dtype=np.uint8)[
        rng.integers(0, 13, size=4_000_000)].tobytes().decode()
    nb = len(bases) - READ_LEN

    sort = subprocess.Popen(["samtools", "sort", "-@2", "-m", "600M", "-l", "6", "-o",
                             str(out_bam), "-"], stdin=subprocess.PIPE)
    assert sort.stdin is not None
    sort.stdin.write(header.encode())
    buf = []
    for n in range(n_pairs):
        k = int(choice[n])
        chrom, strand, exons = txs[k]
        cum = exon_cum[k]
        L = int(tx_len[k])
        f = min(int(frag[n]), L)
        r = u[n]
        name = f"SIM:7:HFLWCELL:1:{1101 + n % 90}:{n // 90 % 30000}:{n}"
        if r[0] < 0.05:
            # Pre-mRNA: an unspliced pair inside the gene span.
            span_s, span_e = exons[0][0], exons[-1][1]
            if span_e - span_s + 1 < f:
                continue
            left0 = span_s - 1 + int(r[1] * (span_e - span_s + 1 - f))
            lpos, lcig = left0, f"{READ_LEN}M"
            rpos, rcig = left0 + f - READ_LEN, f"{READ_LEN}M"
        else:
            off = int(r[1] * (L - f + 1))
            lpos, lcig = cigar_at(exons, cum, off, READ_LEN)
            rpos, rcig = cigar_at(exons, cum, off + f - READ_LEN, READ_LEN)
        tlen = (rpos + READ_LEN) - lpos
        # rf: read 2 lies on the transcript's strand, so on '+' the left (forward) mate is read 2.
        left_is_r1 = strand == "-"
        dup = 0x400 if r[2] < 0.06 else 0
        multi = r[3] < 0.05
        mapq = 3 if multi else (255 if r[4] >= 0.01 else 0)
        nh = "NH:i:2" if multi else "NH:i:1"
        lflag = 0x1 | 0x2 | 0x20 | (0x40 if left_is_r1 else 0x80) | dup
        rflag = 0x1 | 0x2 | 0x10 | (0x80 if left_is_r1 else 0x40) | dup
        o1 = int(r[5] * nb)
        o2 = (o1 * 7 + 13) % nb
        s1, q1 = bases[o1:o1 + READ_LEN], quals[o1:o1 + READ_LEN]
        s2, q2 = bases[o2:o2 + READ_LEN], quals[o2:o2 + READ_LEN]
        buf.append(f"{name}\t{lflag}\t{chrom}\t{lpos + 1}\t{mapq}\t{lcig}\t=\t{rpos + 1}\t{tlen}\t{s1}\t{q1}\t{nh}\tHI:i:1\n")
        buf.append(f"{name}\t{rflag}\t{chrom}\t{rpos + 1}\t{mapq}\t{rcig}\t=\t{lpos + 1}\t{-tlen}\t{s2}\t{q2}\t{nh}\tHI:i:1\n")
        if multi:
            # The second placement: an unspliced secondary pair somewhere else.
            sc, sl = CHROMS[n % len(CHROMS)]
            sp = (o1 * 31) % (sl - 1_000) + 1
            buf.append(f"{name}\t{lflag | 0x100}\t{sc}\t{sp}\t3\t{READ_LEN}M\t=\t{sp + f - READ_LEN}\t{f}\t*\t*\tNH:i:2\tHI:i:2\n")
            buf.append(f"{name}\t{rflag | 0x100}\t{sc}\t{sp + f - READ_LEN}\t3\t{READ_LEN}M\t=\t{sp}\t{-f}\t*\t*\tNH:i:2\tHI:i:2\n")
        if len(buf) >= 200_000:
            sort.stdin.write("".join(buf).encode())
            buf.clear()
    sort.stdin.write("".join(buf).encode())
    sort.stdin.close()
    if sort.wait() != 0:
        sys.exit("samtools sort failed")
    subprocess.run(["samtools", "index", "-@2", str(out_bam)], check=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--pairs", type=int, default=3_000_000)
    ap.add_argument("--genes", type=int, default=7_000)
    ap.add_argument("--seed", type=int, default=20240611)
    args = ap.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    genes = make_genes(rng, args.genes)
    txs = write_gtf(args.out / "ann.gtf", genes)
    print(f"{len(genes)} genes, {len(txs)} transcripts", file=sys.stderr)
    simulate(args.out / "sample.bam", txs, args.pairs, args.seed)
    print(f"wrote {args.out / 'ann.gtf'} and {args.out / 'sample.bam'}", file=sys.stderr)


if __name__ == "__main__":
    main()
