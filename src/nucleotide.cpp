#include "nucleotide.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace voskel::nucleotide {

namespace {

#if defined(__SSE2__)
// complement on 16 bytes: A<->T and C<->G flip fixed bits, U turns into A.
inline __m128i complement16(__m128i v) {
  const auto is = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
  const __m128i at = _mm_and_si128(_mm_or_si128(is('A'), is('T')), _mm_set1_epi8('A' ^ 'T'));
  const __m128i cg = _mm_and_si128(_mm_or_si128(is('C'), is('G')), _mm_set1_epi8('C' ^ 'G'));
  const __m128i ua = _mm_and_si128(is('U'), _mm_set1_epi8('U' ^ 'A'));
  return _mm_xor_si128(v, _mm_or_si128(_mm_or_si128(at, cg), ua));
}

// The 16 bytes in reverse order, from SSE2 shuffles alone.
inline __m128i reverse16(__m128i v) {
  v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
  v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
#endif

} // namespace

void rc_in_place(std::string &seq) {
  if (seq.empty())
    return;
  char *lo = seq.data(), *hi = seq.data() + seq.size() - 1;
#if defined(__SSE2__)
  // Sixteen bytes from each end change places per step while the ends stay apart.
  for (; hi - lo >= 31; lo += 16, hi -= 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lo));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(hi - 15));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lo), reverse16(complement16(b)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(hi - 15), reverse16(complement16(a)));
  }
#endif
  for (; lo < hi; ++lo, --hi) {
    const char a = complement(*lo);
    *lo = complement(*hi);
    *hi = a;
  }
  if (lo == hi)
    *lo = complement(*lo);
}

std::string rc(std::string_view seq) {
  std::string out(seq);
  rc_in_place(out);
  return out;
}

} // namespace voskel::nucleotide
