"""A plain reading of the terminal-extension rules for the tests: pysam, one counter per
window position and a step-by-step walk, sharing no code with the core."""

from __future__ import annotations


def blocks(rec):
    """The aligned blocks of a record, 1-based inclusive."""
    out, r = [], rec.reference_start + 1
    for op, n in rec.cigartuples or []:
        if op in (0, 7, 8):
            out.append((r, r + n - 1))
        if op in (0, 2, 3, 7, 8):
            r += n
    return out


def derived_strand(flag, protocol):
    """The transcript strand a record speaks for under a protocol; None when unstranded."""
    rev = bool(flag & 0x10)
    if protocol == "rf":
        same = bool(flag & 0x1) and bool(flag & 0x80)
    elif protocol == "fr":
        same = not flag & 0x1 or bool(flag & 0x40)
    else:
        return None
    return ("-" if rev else "+") if same else ("+" if rev else "-")


def plain_extension(loci, samples, cfg, lengths):
    """{residual_id: (left_start, right_end)} of loci [(id, chrom, strand, start, end)] over
    samples [(bam path, strandedness, dup_flag_seen)], with contig lengths {name: length}."""
    import pysam

    mt, min_depth = cfg.get("max_terminal_nt", 2000), cfg.get("min_depth", 1)
    max_gap, min_mapq = cfg.get("max_gap_nt", 20), cfg.get("min_mapq", 10)
    policy = cfg.get("skip_duplicate", "auto")
    files = [(pysam.AlignmentFile(str(p)), protocol,
              policy == "always" or (policy != "never" and dup)) for p, protocol, dup in samples]
    out = {}
    for rid, chrom, strand, start, end in loci:
        v = mt + 1
        lo = start - v if start - v >= 1 else 1
        hi = end + v
        name = chrom if chrom in lengths else chrom[3:] if chrom.startswith("chr") else None
        if name in lengths:
            hi = min(hi, lengths[name])
        if hi < lo:  # a window that cannot be represented keeps its anchors
            out[rid] = (max(start - 1, 1), end + 1)
            continue
        depth = [0] * (hi - lo + 1)
        for bam, protocol, skip_dup in files:
            if chrom not in bam.references:
                continue
            for rec in bam.fetch(chrom, lo - 1, hi):
                if rec.flag & 0xB04 or (skip_dup and rec.flag & 0x400):
                    continue
                if rec.mapping_quality < min_mapq:
                    continue
                want = derived_strand(rec.flag, protocol)
                if want is not None and strand != "." and strand != want:
                    continue
                for bs, be in blocks(rec):
                    for p in range(max(bs, lo), min(be, hi) + 1):
                        depth[p - lo] += 1

        def walk(anchor, step):
            best, gap = anchor, 0
            for s in range(1, mt + 1):
                p = anchor + step * s
                if p < lo or p > hi:
                    break
                if depth[p - lo] < min_depth:
                    gap += 1
                    if gap > max_gap:
                        break
                else:
                    gap, best = 0, p
            return best

        out[rid] = (walk(max(start - 1, 1), -1), walk(end + 1, 1))
    for bam, _, _ in files:
        bam.close()
    return out
