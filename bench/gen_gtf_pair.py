"""Writes a deterministic synthetic pair of GTF files of annotation size.

The reference looks like a GENCODE release (gene, transcript and exon rows with the usual
attributes, ~60,000 genes, ~250,000 transcripts, ~5 exons per transcript on 24 chromosomes);
the query looks like a merged assembly of it (transcript and exon rows, MSTRG ids): most
transcripts copy a reference transcript with moved ends or a skipped exon, the rest are new
loci between genes, on the opposite strand, or inside introns.

Usage: python bench/gen_gtf_pair.py OUT_DIR [N_TRANSCRIPTS]
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

CHROMS = [f"chr{i}" for i in range(1, 23)] + ["chrX", "chrY"]
EXON_COUNTS = list(range(1, 31))
# Roughly the shape of annotated exon counts: many short transcripts, a long tail.
EXON_WEIGHTS = [14, 12, 11, 10, 9, 8, 7, 6, 5, 4] + [2] * 10 + [1] * 10


def make_reference(rng: random.Random, n_tx: int):
    """Genes as (chrom, gene_id, name, strand, start, end, [transcripts]); a transcript is
    (transcript_id, [(start, end), ...])."""
    genes = []
    per_chrom = n_tx // len(CHROMS)
    tx_no = 0
    gene_no = 0
    for chrom in CHROMS:
        pos = 10_000
        made = 0
        while made < per_chrom:
            gene_no += 1
            strand = "+" if rng.random() < 0.5 else "-"
            # A pool of exon slots along the gene; transcripts pick ordered subsets.
            n_slots = rng.choices(EXON_COUNTS, EXON_WEIGHTS)[0] + 1
            slots = []
            p = pos
            for _ in range(n_slots):
                length = rng.randint(60, 350)
                slots.append((p, p + length - 1))
                p += length + rng.randint(200, 6000)
            n_t = min(per_chrom - made, rng.choice([1, 1, 2, 3, 4, 5, 6, 8, 10]))
            txs = []
            for _ in range(n_t):
                tx_no += 1
                k = max(1, min(n_slots, rng.choices(EXON_COUNTS, EXON_WEIGHTS)[0]))
                first = rng.randint(0, n_slots - k)
                chosen = slots[first : first + k]
                if k > 3 and rng.random() < 0.3:
                    chosen = chosen[:1] + chosen[2:]
                exons = [(s + rng.randint(0, 20), e) for s, e in chosen[:1]]
                exons += chosen[1:-1] if len(chosen) > 1 else []
                if len(chosen) > 1:
                    s, e = chosen[-1]
                    exons.append((s, e + rng.randint(0, 40)))
                else:
                    exons = [(exons[0][0], exons[0][1] + rng.randint(0, 40))]
                txs.append((f"ENST{tx_no:011d}.{rng.randint(1, 9)}", exons))
            start = min(e[0][0] for _, e in txs)
            end = max(e[-1][1] for _, e in txs)
            genes.append(
                (chrom, f"ENSG{gene_no:011d}.{rng.randint(1, 20)}", f"GENE{gene_no}", strand,
                 start, end, txs)
            )
            made += n_t
            # Mostly gaps between genes, sometimes a nested or overlapping gene.
            if rng.random() < 0.1:
                pos = start + rng.randint(500, 5000)
            else:
                pos = end + rng.randint(1000, 50_000)
    return genes


ATTR_GENE = (
    'gene_id "{g}"; gene_type "protein_coding"; gene_name "{n}"; level 2; '
    'hgnc_id "HGNC:{h}"; havana_gene "OTTHUMG{h:011d}.1";'
)
ATTR_TX = (
    'gene_id "{g}"; transcript_id "{t}"; gene_type "protein_coding"; gene_name "{n}"; '
    'transcript_type "protein_coding"; transcript_name "{n}-201"; level 2; '
    'tag "basic"; tag "Ensembl_canonical";'
)
ATTR_EXON = (
    'gene_id "{g}"; transcript_id "{t}"; gene_type "protein_coding"; gene_name "{n}"; '
    'transcript_type "protein_coding"; transcript_name "{n}-201"; exon_number {k}; '
    'exon_id "ENSE{x:011d}.1"; level 2; tag "basic";'
)


def write_reference(path: Path, genes) -> None:
    exon_no = 0
    with path.open("w") as out:
        out.write("##description: synthetic annotation\n##provider: bench\n")
        buf = []
        for h, (chrom, gid, name, strand, gs, ge, txs) in enumerate(genes):
            buf.append(
                f"{chrom}\tHAVANA\tgene\t{gs}\t{ge}\t.\t{strand}\t.\t"
                + ATTR_GENE.format(g=gid, n=name, h=h)
                + "\n"
            )
            for tid, exons in txs:
                ts, te = exons[0][0], exons[-1][1]
                buf.append(
                    f"{chrom}\tHAVANA\ttranscript\t{ts}\t{te}\t.\t{strand}\t.\t"
                    + ATTR_TX.format(g=gid, t=tid, n=name)
                    + "\n"
                )
                order = exons if strand == "+" else exons[::-1]
                for k, (s, e) in enumerate(order, 1):
                    exon_no += 1
                    buf.append(
                        f"{chrom}\tHAVANA\texon\t{s}\t{e}\t.\t{strand}\t.\t"
                        + ATTR_EXON.format(g=gid, t=tid, n=name, k=k, x=exon_no)
                        + "\n"
                    )
            if len(buf) > 50_000:
                out.write("".join(buf))
                buf.clear()
        out.write("".join(buf))


def make_query(rng: random.Random, genes, n_tx: int):
    """Loci as (chrom, strand, [exon lists]) of a merged assembly."""
    loci = []
    made = 0
    all_tx = sum(len(g[6]) for g in genes)
    keep = min(1.0, 0.97 * n_tx / all_tx)
    for chrom, _gid, _name, strand, gs, ge, txs in genes:
        if made >= n_tx:
            break
        group = []
        for _tid, exons in txs:
            if rng.random() >= keep:
                continue
            ex = list(exons)
            r = rng.random()
            if r < 0.2:  # longer 3' end
                s, e = ex[-1]
                ex[-1] = (s, e + rng.randint(1, 800))
            elif r < 0.35:  # shorter 5' end
                s, e = ex[0]
                ex[0] = (min(e, s + rng.randint(1, 50)), e)
            elif r < 0.45 and len(ex) > 2:  # skipped exon
                del ex[rng.randint(1, len(ex) - 2)]
            group.append(ex)
        r = rng.random()
        extra = None
        if r < 0.06:  # antisense, inside the gene
            s = rng.randint(gs, max(gs, ge - 500))
            extra = ("-" if strand == "+" else "+", [(s, s + rng.randint(100, 400))])
        elif r < 0.12:  # new locus after the gene
            s = ge + rng.randint(300, 900)
            extra = (strand, [(s, s + 200), (s + 1200, s + 1500)])
        elif r < 0.16 and len(txs[0][1]) > 1:  # inside the first intron
            a, b = txs[0][1][0][1], txs[0][1][1][0]
            if b - a > 120:
                extra = (strand, [(a + 30, b - 30)])
        if group:
            loci.append((chrom, strand, group))
            made += len(group)
        if extra:
            loci.append((chrom, extra[0], [extra[1]]))
            made += 1
    return loci


def write_query(path: Path, loci) -> None:
    with path.open("w") as out:
        out.write("# stringtie --merge (synthetic)\n# StringTie version 2.2.1\n")
        buf = []
        for locus_no, (chrom, strand, group) in enumerate(loci, 1):
            gid = f"MSTRG.{locus_no}"
            for k, exons in enumerate(group, 1):
                tid = f"{gid}.{k}"
                buf.append(
                    f"{chrom}\tStringTie\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t1000\t"
                    f'{strand}\t.\tgene_id "{gid}"; transcript_id "{tid}"; \n'
                )
                for n, (s, e) in enumerate(exons, 1):
                    buf.append(
                        f"{chrom}\tStringTie\texon\t{s}\t{e}\t1000\t{strand}\t.\t"
                        f'gene_id "{gid}"; transcript_id "{tid}"; exon_number "{n}"; \n'
                    )
            if len(buf) > 50_000:
                out.write("".join(buf))
                buf.clear()
        out.write("".join(buf))


def generate(out_dir: Path, n_tx: int = 250_000) -> tuple[Path, Path]:
    out_dir.mkdir(parents=True, exist_ok=True)
    ref_path = out_dir / f"ref_{n_tx}.gtf"
    query_path = out_dir / f"query_{n_tx}.gtf"
    if ref_path.exists() and query_path.exists():
        return query_path, ref_path
    rng = random.Random(20240611)
    genes = make_reference(rng, n_tx)
    # Written under temporary names so that an interrupted run is never reused.
    tmp_ref, tmp_query = ref_path.with_suffix(".part"), query_path.with_suffix(".part")
    write_reference(tmp_ref, genes)
    write_query(tmp_query, make_query(rng, genes, n_tx))
    tmp_ref.rename(ref_path)
    tmp_query.rename(query_path)
    return query_path, ref_path


if __name__ == "__main__":
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 250_000
    q, r = generate(Path(sys.argv[1]), n)
    print(q, r)
