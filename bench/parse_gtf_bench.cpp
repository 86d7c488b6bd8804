// Times parse_gtf on each file named on the command line, one after another, as the floor
// that classify_gtfs is measured against. Prints "PARSE {seconds} {transcripts} {genes}".
#include <chrono>
#include <cstdio>

#include "gtf.hpp"

int main(int argc, char **argv) {
  const auto t0 = std::chrono::steady_clock::now();
  size_t n_tx = 0, n_genes = 0;
  for (int i = 1; i < argc; ++i) {
    auto m = voskel::gtf::parse_gtf(argv[i]);
    if (!m) {
      std::fprintf(stderr, "%s\n", m.error().text().c_str());
      return 1;
    }
    n_tx += m->transcripts.size();
    n_genes += m->genes.size();
  }
  const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
  std::fprintf(stderr, "PARSE %.3f %zu %zu\n", dt.count(), n_tx, n_genes);
  return 0;
}
