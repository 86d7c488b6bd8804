#include "gtf.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <numeric>

#include "coords.hpp"
#include "quoting.hpp"

namespace voskel::gtf {

namespace {

// ---- text helpers ----------------------------------------------------------------------------

std::string_view unquote(std::string_view v) {
  v = textio::trim(v);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
    v = v.substr(1, v.size() - 2);
  return v;
}

// Calls f(name, raw_value) for every non-empty piece of an attribute column until f returns
// false. The value is untrimmed; unquote() finishes it for the pieces that matter.
template <class F> void for_each_attr(std::string_view column, F &&f) {
  size_t pos = 0;
  const size_t n = column.size();
  while (pos <= n) {
    size_t semi = column.find(';', pos);
    if (semi == std::string_view::npos)
      semi = n;
    const std::string_view piece = textio::trim(column.substr(pos, semi - pos));
    pos = semi + 1;
    if (piece.empty())
      continue;
    std::string_view name = piece, value;
    for (size_t i = 0; i < piece.size(); ++i) {
      const size_t k = textio::ws_at(piece, i);
      if (k != 0) {
        name = piece.substr(0, i);
        value = piece.substr(i + k);
        break;
      }
    }
    if (!f(name, value))
      return;
  }
}

// ---- parse-time storage ----------------------------------------------------------------------

// Append-only text storage: views into it stay valid while it lives, so ids are kept once
// and looked up without building a std::string per line.
class Arena {
public:
  std::string_view store(std::string_view s) {
    if (s.size() > left_) {
      const size_t size = std::max(kBlock, s.size());
      blocks_.push_back(std::make_unique<char[]>(size));
      cur_ = blocks_.back().get();
      left_ = size;
    }
    if (!s.empty())
      std::memcpy(cur_, s.data(), s.size());
    std::string_view v(cur_, s.size());
    cur_ += s.size();
    left_ -= s.size();
    return v;
  }

private:
  static constexpr size_t kBlock = 1 << 20;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char *cur_ = nullptr;
  size_t left_ = 0;
};

// Open-addressing table from a hashed key to a dense index; the keys live with the caller,
// which answers "does index i hold this key" through `same`.
class IndexTable {
public:
  static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

  // The index stored for the key, or kNone.
  template <class Same> uint32_t find(uint64_t hash, Same &&same) const {
    if (slots_.empty())
      return kNone;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot &s = slots_[i];
      if (s.index == kNone)
        return kNone;
      if (s.hash == hash && same(s.index))
        return s.index;
    }
  }

  // Records a key known to be absent.
  void insert(uint64_t hash, uint32_t index) {
    if ((count_ + 1) * 2 > slots_.size())
      grow();
    place(hash, index);
    ++count_;
  }

private:
  struct Slot {
    uint64_t hash = 0;
    uint32_t index = kNone;
  };
  void place(uint64_t hash, uint32_t index) {
    size_t i = hash & mask_;
    while (slots_[i].index != kNone)
      i = (i + 1) & mask_;
    slots_[i] = {hash, index};
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const size_t size = old.empty() ? 1024 : old.size() * 2;
    slots_.assign(size, Slot{});
    mask_ = size - 1;
    for (const Slot &s : old)
      if (s.index != kNone)
        place(s.hash, s.index);
  }
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

uint64_t hash_text(std::string_view s) {
  // Finalised so that the low bits, which pick the slot, depend on every input bit.
  uint64_t h = std::hash<std::string_view>{}(s);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

uint64_t hash_gene(uint32_t chrom, std::string_view gene_id) {
  return hash_text(gene_id) ^ (static_cast<uint64_t>(chrom + 1) * 0x9E3779B97F4A7C15ULL);
}

struct TxBuild {
  std::string_view id, gene_id, gene_name;
  uint32_t chrom = 0;
  uint32_t n_exons = 0;
  char32_t strand = U'.';
};

struct GeneBuild {
  std::string_view gene_id, gene_name;
  uint64_t start = 0, end = 0;
  uint32_t chrom = 0;
  char32_t strand = U'.';
};

struct ExonBuild {
  uint32_t tx;
  uint64_t start, end;
};

// The whole parse state; `finish` turns it into the model.
class Builder {
public:
  uint32_t chrom(std::string_view name) {
    if (last_chrom_ != IndexTable::kNone && chrom_names_[last_chrom_] == name)
      return last_chrom_;
    const uint64_t h = hash_text(name);
    uint32_t i = chrom_ix_.find(h, [&](uint32_t k) { return chrom_names_[k] == name; });
    if (i == IndexTable::kNone) {
      i = static_cast<uint32_t>(chrom_names_.size());
      chrom_names_.push_back(arena_.store(name));
      chrom_ix_.insert(h, i);
    }
    last_chrom_ = i;
    return i;
  }

  void gene_row(uint32_t chrom, std::string_view gene_id, std::string_view gene_name,
                uint64_t start, uint64_t end, char32_t strand) {
    const uint64_t h = hash_gene(chrom, gene_id);
    const uint32_t i = gene_row_ix_.find(h, [&](uint32_t k) {
      return gene_rows_[k].chrom == chrom && gene_rows_[k].gene_id == gene_id;
    });
    if (i != IndexTable::kNone) {
      GeneBuild &g = gene_rows_[i];
      g.gene_name = keep_name(gene_name);
      g.start = start;
      g.end = end;
      g.strand = strand;
      return;
    }
    gene_row_ix_.insert(h, static_cast<uint32_t>(gene_rows_.size()));
    gene_rows_.push_back({keep_gene(gene_id), keep_name(gene_name), start, end, chrom, strand});
  }

  // The transcript of the id, created from this row when new.
  uint32_t transcript(std::string_view id, uint32_t chrom, std::string_view gene_id,
                      std::string_view gene_name, char32_t strand) {
    // Exon rows of one transcript usually follow each other.
    if (last_tx_ != IndexTable::kNone && txs_[last_tx_].id == id)
      return last_tx_;
    const uint64_t h = hash_text(id);
    uint32_t i = tx_ix_.find(h, [&](uint32_t k) { return txs_[k].id == id; });
    if (i == IndexTable::kNone) {
      i = static_cast<uint32_t>(txs_.size());
      txs_.push_back(
          {arena_.store(id), keep_gene(gene_id), keep_name(gene_name), chrom, 0, strand});
      tx_ix_.insert(h, i);
    }
    last_tx_ = i;
    return i;
  }

  void exon(uint32_t tx, uint32_t chrom, std::string_view gene_id, std::string_view gene_name,
            uint64_t start, uint64_t end, char32_t strand) {
    exons_.push_back({tx, start, end});
    ++txs_[tx].n_exons;
    uint32_t i = last_exon_gene_;
    if (i == IndexTable::kNone || exon_genes_[i].chrom != chrom ||
        exon_genes_[i].gene_id != gene_id) {
      const uint64_t h = hash_gene(chrom, gene_id);
      i = exon_gene_ix_.find(h, [&](uint32_t k) {
        return exon_genes_[k].chrom == chrom && exon_genes_[k].gene_id == gene_id;
      });
      if (i == IndexTable::kNone) {
        i = static_cast<uint32_t>(exon_genes_.size());
        exon_genes_.push_back(
            {keep_gene(gene_id), keep_name(gene_name), start, end, chrom, strand});
        exon_gene_ix_.insert(h, i);
        last_exon_gene_ = i;
        return;
      }
      last_exon_gene_ = i;
    }
    GeneBuild &g = exon_genes_[i];
    g.start = std::min(g.start, start);
    g.end = std::max(g.end, end);
  }

  ParsedGtf finish() {
    ParsedGtf out;
    for (const std::string_view c : chrom_names_)
      out.seqnames.emplace(c);

    // Transcripts with exons, by id; their exons in file order, then stably by start.
    std::vector<uint32_t> order;
    order.reserve(txs_.size());
    for (uint32_t i = 0; i < txs_.size(); ++i)
      if (txs_[i].n_exons > 0)
        order.push_back(i);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return txs_[a].id < txs_[b].id; });

    std::vector<size_t> offset(txs_.size() + 1, 0);
    for (uint32_t i = 0; i < txs_.size(); ++i)
      offset[i + 1] = offset[i] + txs_[i].n_exons;
    std::vector<Exon> flat(exons_.size());
    {
      std::vector<size_t> fill(offset.begin(), offset.end() - 1);
      for (const ExonBuild &e : exons_)
        flat[fill[e.tx]++] = {e.start, e.end};
    }
    std::vector<ExonBuild>().swap(exons_);

    const auto by_start = [](const Exon &a, const Exon &b) { return a.start < b.start; };
    out.transcripts.reserve(order.size());
    for (const uint32_t i : order) {
      const TxBuild &t = txs_[i];
      Transcript &tr = out.transcripts.emplace_back();
      tr.chrom = chrom_names_[t.chrom];
      tr.gene_id = t.gene_id;
      tr.transcript_id = t.id;
      tr.gene_name = t.gene_name;
      tr.strand = t.strand;
      tr.exons.assign(flat.begin() + static_cast<ptrdiff_t>(offset[i]),
                      flat.begin() + static_cast<ptrdiff_t>(offset[i + 1]));
      if (!std::is_sorted(tr.exons.begin(), tr.exons.end(), by_start))
        std::stable_sort(tr.exons.begin(), tr.exons.end(), by_start);
    }

    // Gene rows by (chrom, gene_id), then the genes seen only through exons.
    const auto gene_less = [&](const GeneBuild *a, const GeneBuild *b) {
      const std::string_view ca = chrom_names_[a->chrom], cb = chrom_names_[b->chrom];
      if (ca != cb)
        return ca < cb;
      return a->gene_id < b->gene_id;
    };
    const auto emit = [&](std::vector<const GeneBuild *> &list) {
      std::sort(list.begin(), list.end(), gene_less);
      for (const GeneBuild *g : list)
        out.genes.push_back({std::string(chrom_names_[g->chrom]), std::string(g->gene_id),
                             std::string(g->gene_name), g->start, g->end, g->strand});
    };
    std::vector<const GeneBuild *> rows, exon_only;
    rows.reserve(gene_rows_.size());
    for (const GeneBuild &g : gene_rows_)
      rows.push_back(&g);
    for (const GeneBuild &g : exon_genes_) {
      const uint64_t h = hash_gene(g.chrom, g.gene_id);
      const bool has_row = gene_row_ix_.find(h, [&](uint32_t k) {
        return gene_rows_[k].chrom == g.chrom && gene_rows_[k].gene_id == g.gene_id;
      }) != IndexTable::kNone;
      if (!has_row)
        exon_only.push_back(&g);
    }
    out.genes.reserve(rows.size() + exon_only.size());
    emit(rows);
    emit(exon_only);
    return out;
  }

private:
  // Consecutive rows mostly repeat the gene id and name: store each run once.
  std::string_view keep_gene(std::string_view s) {
    if (s != last_gene_)
      last_gene_ = arena_.store(s);
    return last_gene_;
  }
  std::string_view keep_name(std::string_view s) {
    if (s != last_name_)
      last_name_ = arena_.store(s);
    return last_name_;
  }

  Arena arena_;
  std::vector<std::string_view> chrom_names_;
  IndexTable chrom_ix_;
  uint32_t last_chrom_ = IndexTable::kNone;
  std::vector<TxBuild> txs_;
  IndexTable tx_ix_;
  uint32_t last_tx_ = IndexTable::kNone;
  std::vector<ExonBuild> exons_;
  std::vector<GeneBuild> gene_rows_;
  IndexTable gene_row_ix_;
  std::vector<GeneBuild> exon_genes_;
  IndexTable exon_gene_ix_;
  uint32_t last_exon_gene_ = IndexTable::kNone;
  std::string_view last_gene_, last_name_;
};

enum class Feature { Gene, Transcript, Exon, Other };

Feature feature_of(std::string_view f) {
  if (f == "exon")
    return Feature::Exon;
  if (f == "transcript")
    return Feature::Transcript;
  if (f == "gene")
    return Feature::Gene;
  return Feature::Other;
}

} // namespace

bool attr(std::string_view column, std::string_view key, std::string_view &value) {
  bool found = false;
  for_each_attr(column, [&](std::string_view name, std::string_view raw) {
    if (name != key)
      return true;
    value = unquote(raw);
    found = true;
    return false;
  });
  return found;
}

namespace {

Result<ParsedGtf> read_model(textio::LineReader &reader, const std::string &path) {
  Builder b;
  std::string_view line;
  std::string exon_key; // "{gene_id}.exon", reused
  for (;;) {
    auto more = reader.next(line);
    if (!more)
      return fail(std::move(more.error()));
    if (!*more)
      break;
    if (line.empty() || line.front() == '#')
      continue;
    const uint64_t n = reader.line_number();

    std::string_view col[9];
    const size_t ncol = textio::split_fields(line, col);
    if (ncol < 9)
      return fail_fmt("{} line {}: expected \u22659 tab-separated columns, got {}", path, n, ncol);

    const Feature feature = feature_of(col[2]);
    if (feature == Feature::Other)
      continue;
    const uint32_t chrom = b.chrom(col[0]);
    const auto start_field = textio::parse_u64(col[3]);
    if (!start_field)
      return fail_fmt("{} line {}: bad GTF start", path, n);
    const auto end_field = textio::parse_u64(col[4]);
    if (!end_field)
      return fail_fmt("{} line {}: bad GTF end", path, n);
    const uint64_t start = *start_field, end = *end_field;
    if (end < start)
      return fail_fmt("{} line {}: start {} > end {}", path, n, start, end);
    const char32_t strand = textio::first_char(col[6], U'.');

    std::string_view gene_id, gene_name, transcript_id;
    bool has_gene_id = false, has_name = false, has_tx = false;
    for_each_attr(col[8], [&](std::string_view name, std::string_view raw) {
      if (!has_gene_id && name == "gene_id") {
        gene_id = unquote(raw);
        has_gene_id = true;
      } else if (!has_tx && name == "transcript_id") {
        transcript_id = unquote(raw);
        has_tx = true;
      } else if (!has_name && name == "gene_name") {
        gene_name = unquote(raw);
        has_name = true;
      }
      return !(has_gene_id && has_tx && has_name);
    });
    if (!has_gene_id || gene_id.empty())
      return fail_fmt("{} line {}: gene/transcript/exon row has no gene_id", path, n);
    if (!has_name)
      gene_name = gene_id;

    switch (feature) {
    case Feature::Gene:
      b.gene_row(chrom, gene_id, gene_name, start, end, strand);
      break;
    case Feature::Transcript:
      if (has_tx)
        b.transcript(transcript_id, chrom, gene_id, gene_name, strand);
      break;
    case Feature::Exon: {
      std::string_view key = transcript_id;
      if (key.empty()) {
        exon_key.assign(gene_id);
        exon_key += ".exon";
        key = exon_key;
      }
      const uint32_t tx = b.transcript(key, chrom, gene_id, gene_name, strand);
      b.exon(tx, chrom, gene_id, gene_name, start, end, strand);
      break;
    }
    case Feature::Other:
      break;
    }
  }
  return b.finish();
}

} // namespace

Result<ParsedGtf> parse_gtf(const std::string &path) {
  auto opened = textio::LineReader::open(path);
  if (!opened)
    return fail_fmt("cannot open GTF {}: {}", path, opened.error().text());
  try {
    return read_model(*opened, path);
  } catch (const std::bad_alloc &) {
    // The model grows with the file; one larger than memory is the file's failure.
    return fail(opened->out_of_memory());
  }
}

uint64_t union_len(std::span<const Transcript *const> transcripts) {
  std::vector<Exon> all;
  for (const Transcript *t : transcripts)
    all.insert(all.end(), t->exons.begin(), t->exons.end());
  if (all.empty())
    return 0;
  std::sort(all.begin(), all.end(), [](const Exon &a, const Exon &b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  uint64_t total = 0;
  Exon cur = all.front();
  for (size_t i = 1; i < all.size(); ++i) {
    const Exon &e = all[i];
    // Joins when e.start <= cur.end + 1, written so that an end of 2^64-1 does not wrap.
    if (e.start <= cur.end || e.start - cur.end == 1) {
      cur.end = std::max(cur.end, e.end);
    } else {
      total = coords::sat_add(total, coords::span_len(cur.start, cur.end));
      cur = e;
    }
  }
  return coords::sat_add(total, coords::span_len(cur.start, cur.end));
}

std::string strand_text(char32_t c) { return textio::utf8_encode(c); }

Result<NameSet> gtf_seqnames(const std::string &path) {
  auto parsed = parse_gtf(path);
  if (!parsed)
    return fail(std::move(parsed.error()));
  if (parsed->seqnames.empty())
    return fail_fmt("GTF {} has no gene/transcript/exon rows", path);
  return std::move(parsed->seqnames);
}

std::string strip_chr_prefix(std::string_view name) {
  std::string out(name);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  if (out.starts_with("chr"))
    out.erase(0, 3);
  return out;
}

Result<uint64_t> check_gtf_vs_bam(const NameSet &gtf_names, const NameSet &bam_names) {
  if (gtf_names.empty())
    return fail_msg("GTF has no usable seqnames");
  const auto in_bam = [&](const std::string &n) { return bam_names.contains(n); };
  if (std::ranges::none_of(gtf_names, in_bam))
    return fail_fmt("GTF seqnames and BAM @SQ have empty intersection (GTF e.g. {}, BAM e.g. "
                    "{}). Names must match literally; Voskel will not rewrite chr prefixes.",
                    quoting::bracketed(gtf_names, 5), quoting::bracketed(bam_names, 5));
  const auto stripped = [](const NameSet &names) {
    std::set<std::string> out;
    for (const std::string &n : names)
      out.insert(strip_chr_prefix(n));
    return out;
  };
  if (gtf_names != bam_names && stripped(gtf_names) == stripped(bam_names))
    return fail_fmt("GTF vs BAM contig names differ only by a chr/CHR prefix (GTF e.g. {}, BAM "
                    "e.g. {}). This would classify every transcript as intergenic `u`. Refusing "
                    "to continue.",
                    quoting::bracketed(gtf_names, 5), quoting::bracketed(bam_names, 5));
  std::vector<std::string_view> absent;
  for (const std::string &n : gtf_names)
    if (!in_bam(n))
      absent.push_back(n);
  if (!absent.empty())
    return fail_fmt("GTF has seqnames absent from BAM @SQ (e.g. {}). Use a primary_assembly GTF "
                    "whose seqnames are a subset of the BAM, e.g. "
                    "gencode.vM39.primary_assembly.annotation.gtf. Names are not rewritten.",
                    quoting::bracketed(absent, 8));
  return gtf_names.size();
}

} // namespace voskel::gtf
