// Nucleotide tables shared by every sequence reader and kernel: the 2-bit base codes, the
// complement, the reverse complement and the standard genetic code. One alphabet, one home.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace voskel::nucleotide {

// 2-bit code of an upper-case base (A C G T = 0..3); 4 for every other byte, lower case
// included. Sequences fetched from the genome are upper case already.
inline constexpr std::array<uint8_t, 256> kUpperBaseCode = [] {
  std::array<uint8_t, 256> t{};
  t.fill(4);
  t['A'] = 0;
  t['C'] = 1;
  t['G'] = 2;
  t['T'] = 3;
  return t;
}();

// The same code for bases in either case, as user tables (hexamers) write them.
inline constexpr std::array<uint8_t, 256> kAnyCaseBaseCode = [] {
  std::array<uint8_t, 256> t = kUpperBaseCode;
  t['a'] = 0;
  t['c'] = 1;
  t['g'] = 2;
  t['t'] = 3;
  return t;
}();

// A -> T, C -> G, G -> C, T -> A, U -> A; every other byte unchanged. A table, so that
// reverse complements of whole transcripts run without branches.
inline constexpr std::array<char, 256> kComplement = [] {
  std::array<char, 256> t{};
  for (int i = 0; i < 256; ++i)
    t[static_cast<size_t>(i)] = static_cast<char>(i);
  t['A'] = 'T';
  t['C'] = 'G';
  t['G'] = 'C';
  t['T'] = 'A';
  t['U'] = 'A';
  return t;
}();
constexpr char complement(char c) { return kComplement[static_cast<unsigned char>(c)]; }

// Reverse complement by the table above.
void rc_in_place(std::string &seq);
std::string rc(std::string_view seq);

// Standard genetic code indexed by 16*b0 + 4*b1 + b2 over the 2-bit codes; '*' is a stop.
inline constexpr std::string_view kGeneticCode =
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSS*CWCLFLF";

// Amino acid of one codon: '*' for a stop, 'X' for any byte that is not upper-case A, C, G, T.
constexpr char amino_acid(char b0, char b1, char b2) {
  const uint8_t c0 = kUpperBaseCode[static_cast<unsigned char>(b0)];
  const uint8_t c1 = kUpperBaseCode[static_cast<unsigned char>(b1)];
  const uint8_t c2 = kUpperBaseCode[static_cast<unsigned char>(b2)];
  if ((c0 | c1 | c2) > 3)
    return 'X';
  return kGeneticCode[c0 * 16 + c1 * 4 + c2];
}

} // namespace voskel::nucleotide
