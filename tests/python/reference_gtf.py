"""A plain GTF reader for the reference checks, written from the reading rules without any
code of the core: transcripts with their exons, and gene spans."""

from __future__ import annotations


def attrs(column):
    out = {}
    for piece in column.split(";"):
        piece = piece.strip()
        if piece:
            k, _, v = piece.partition(" ")
            out.setdefault(k, v.strip().strip('"'))
    return out


def read_gtf(path):
    """Transcripts (id -> dict) and gene spans ((chrom, gene) -> dict), as the reader builds
    them: the first row of an id fixes its fields; gene rows win over exon-derived spans (and
    are marked "row")."""
    txs, gene_rows, exon_genes = {}, {}, {}
    for line in open(path):
        if not line.strip() or line.startswith("#"):
            continue
        f = line.rstrip("\n").split("\t")
        if f[2] not in ("gene", "transcript", "exon"):
            continue
        a = attrs(f[8])
        gene, strand, s, e = a["gene_id"], (f[6] or ".")[0], int(f[3]), int(f[4])
        name = a.get("gene_name", gene)
        if f[2] == "gene":
            gene_rows[(f[0], gene)] = dict(strand=strand, start=s, end=e, name=name, row=True)
            continue
        tid = a.get("transcript_id")
        if f[2] == "transcript":
            if tid:
                txs.setdefault(tid, dict(chrom=f[0], gene=gene, name=name, strand=strand,
                                         exons=[]))
            continue
        tid = tid or gene + ".exon"
        txs.setdefault(tid, dict(chrom=f[0], gene=gene, name=name, strand=strand, exons=[]))
        txs[tid]["exons"].append((s, e))
        g = exon_genes.setdefault((f[0], gene), dict(strand=strand, start=s, end=e, name=name))
        g["start"], g["end"] = min(g["start"], s), max(g["end"], e)
    txs = {t: v for t, v in txs.items() if v["exons"]}
    for v in txs.values():
        v["exons"].sort(key=lambda x: x[0])
    genes = dict(exon_genes)
    genes.update(gene_rows)
    return txs, genes
