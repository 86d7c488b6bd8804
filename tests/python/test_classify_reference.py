"""classify_gtfs on the real assembly against an independent, plain reading of the
class-code rules (brute-force overlaps, no index)."""

from __future__ import annotations

import json

import pytest

from reference_gtf import read_gtf
from voskel import _core


def classify(q, ref_txs, genes, unstranded):
    blind = unstranded or q["strand"] == "."
    same = lambda s: blind or s in (".", q["strand"])  # noqa: E731
    totals, any_exon, same_exon, anti_exon = {}, False, False, False
    for s, e in q["exons"]:
        for tid, r in ref_txs.items():
            if r["chrom"] != q["chrom"]:
                continue
            for rs, re_ in r["exons"]:
                if rs <= e and re_ >= s:
                    any_exon = True
                    if same(r["strand"]):
                        totals[tid] = totals.get(tid, 0) + min(re_, e) - max(rs, s) + 1
                        same_exon = True
                    else:
                        anti_exon = True
    any_body = same_body = False
    for s, e in q["exons"]:
        for (chrom, _), g in genes.items():
            if chrom == q["chrom"] and g["start"] <= e and g["end"] >= s:
                any_body = True
                same_body |= same(g["strand"])
    qs, qe = q["exons"][0][0], max(e for _, e in q["exons"])
    if not any_exon and not any_body:
        return "u"
    if same_exon:
        best = min(totals, key=lambda t: (-totals[t], t.encode()))
        r = ref_txs[best]["exons"]
        return "extension" if qs < r[0][0] or qe > max(e for _, e in r) else "overlap"
    if anti_exon:
        return "x"
    return "i" if same_body else "x"


@pytest.mark.parametrize("strandedness", ["rf", "unstranded"])
def test_classes_match_a_plain_reading_of_the_rules(strandedness, realdata, tmp_path):
    merged, ref = realdata / "merged.gtf", realdata / "hg19sub_annotation.gtf"
    out = tmp_path / "classes.tsv"
    got = _core.classify_gtfs(str(merged), str(ref), str(out),
                              json.dumps({"strandedness": strandedness}))
    queries, _ = read_gtf(merged)
    ref_txs, genes = read_gtf(ref)
    rows = []
    for tid in sorted(queries, key=str.encode):
        q = queries[tid]
        ex = q["exons"]
        rows.append("\t".join([
            tid, q["gene"], q["chrom"], str(ex[0][0]), str(max(e for _, e in ex)), q["strand"],
            str(len(ex)), str(sum(e - s + 1 for s, e in ex)),
            ",".join(f"{s}-{e}" for s, e in ex), classify(q, ref_txs, genes,
                                                          strandedness == "unstranded"),
            q["name"]]))
    assert out.read_text().splitlines()[1:] == rows
    classes = [r.split("\t")[9] for r in rows]
    assert got == {"n_transcripts": len(rows), "n_u": classes.count("u")}
    assert len(set(classes)) >= 2


def random_gtf(rng, prefix, n_genes, gene_rows):
    lines = []
    for g in range(n_genes):
        chrom = rng.choice(["c1", "c2", "c3"])
        strand = rng.choice("++--.")
        gid = f"{prefix}G{g}"
        start = rng.randint(1, 20_000)
        spans = []
        for t in range(rng.randint(1, 3)):
            tid = f"{prefix}T{g}.{t}"
            s = start + rng.randint(0, 300)
            for _ in range(rng.randint(1, 4)):
                e = s + rng.randint(0, 400)
                lines.append(f'{chrom}\tx\texon\t{s}\t{e}\t.\t{strand}\t.\t'
                             f'gene_id "{gid}"; transcript_id "{tid}";')
                spans.append((s, e))
                s = e + rng.randint(1, 900)
        if gene_rows and rng.random() < 0.5:
            s, e = min(a for a, _ in spans), max(b for _, b in spans) + rng.randint(0, 2000)
            lines.insert(0, f'{chrom}\tx\tgene\t{s}\t{e}\t.\t{strand}\t.\tgene_id "{gid}";')
    rng.shuffle(lines)
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(6))
def test_random_pairs_match_a_plain_reading_of_the_rules(seed, tmp_path):
    import random

    rng = random.Random(seed)
    merged, ref = tmp_path / "q.gtf", tmp_path / "r.gtf"
    merged.write_text(random_gtf(rng, "Q", 60, False))
    ref.write_text(random_gtf(rng, "R", 40, True))
    queries, _ = read_gtf(merged)
    ref_txs, genes = read_gtf(ref)
    seen = set()
    for strandedness in ("rf", "unstranded"):
        out = tmp_path / f"{strandedness}.tsv"
        _core.classify_gtfs(str(merged), str(ref), str(out),
                            json.dumps({"strandedness": strandedness}))
        got = [r.split("\t") for r in out.read_text().splitlines()[1:]]
        assert [r[0] for r in got] == sorted(queries, key=str.encode)
        for r in got:
            want = classify(queries[r[0]], ref_txs, genes, strandedness == "unstranded")
            assert r[9] == want, r
            seen.add(want)
    assert len(seen) >= 3
