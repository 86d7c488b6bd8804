// Times the ORF scan against its floor: the same spliced sequences fetched and nothing else.
//
//   orf_bench scan  FASTA GTF REPS OUT_TSV PEPTIDES_FA CFG_JSON
//   orf_bench fetch FASTA GTF REPS
//
// Prints "key seconds" lines on standard output.
#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "fasta.hpp"
#include "gtf.hpp"
#include "orf/orf.hpp"
#include "textio.hpp"

using namespace voskel;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int die(const CoreError &e) {
  std::fprintf(stderr, "error: %s\n", e.text().c_str());
  return 1;
}

// Column 2 of every data line (the representatives rules, minus the header test's subtleties
// that the generated file does not need).
std::vector<std::string> read_rep_ids(const std::string &path) {
  std::vector<std::string> ids;
  auto reader = textio::LineReader::open(path);
  if (!reader)
    return ids;
  std::string_view line;
  while (reader->next(line).value_or(false)) {
    if (reader->line_number() == 1 && line.find("transcript_id") != std::string_view::npos)
      continue;
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
      continue;
    auto tid = line.substr(tab + 1);
    ids.emplace_back(tid.substr(0, tid.find('\t')));
  }
  return ids;
}

} // namespace

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "scan" && argc == 8) {
    const auto t0 = std::chrono::steady_clock::now();
    auto n = orf::scan_orfs(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7]);
    const double t = seconds_since(t0);
    if (!n)
      return die(n.error());
    std::printf("scan %.4f\nn_orfs %llu\n", t, static_cast<unsigned long long>(*n));
    return 0;
  }
  if (mode == "fetch" && argc == 5) {
    // Timed like scan_orfs, which frees its genome handle, annotation and maps before it
    // returns: everything lives in this block and is gone when the clock stops.
    const auto t0 = std::chrono::steady_clock::now();
    double t_parse = 0.0;
    uint64_t bases = 0, checksum = 0;
    {
      auto fa = fasta::FastaIndex::open(argv[2]);
      if (!fa)
        return die(fa.error());
      auto gtf = gtf::parse_gtf(argv[3]);
      if (!gtf)
        return die(gtf.error());
      t_parse = seconds_since(t0);
      std::unordered_map<std::string_view, const gtf::Transcript *> by_id;
      by_id.reserve(gtf->transcripts.size());
      for (const auto &tx : gtf->transcripts)
        by_id.emplace(tx.transcript_id, &tx);
      const auto ids = read_rep_ids(argv[4]);
      std::string seq;
      for (const auto &id : ids) {
        const auto it = by_id.find(id);
        if (it == by_id.end())
          continue;
        seq.clear();
        if (auto done = orf::splice_seq_if_held(*it->second, *fa, seq); !done)
          return die(done.error());
        bases += seq.size();
        checksum += static_cast<unsigned char>(seq[seq.size() / 2]);
      }
    }
    const double t = seconds_since(t0);
    std::printf("fetch %.4f\nparse %.4f\nbases %llu\nchecksum %llu\n", t, t_parse,
                static_cast<unsigned long long>(bases), static_cast<unsigned long long>(checksum));
    return 0;
  }
  std::fprintf(stderr, "usage: orf_bench scan FASTA GTF REPS OUT PEP CFG | fetch FASTA GTF REPS\n");
  return 2;
}
