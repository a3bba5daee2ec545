#include "text/line_end.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NOVREL_LINE_END_KERNELS 1
#endif

namespace novrel::text {
namespace {

LineEnd find_portable(const char* bytes, std::size_t size) noexcept {
  const void* lf = std::memchr(bytes, '\n', size);
  return {lf == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(lf) - bytes), false};
}

std::size_t count_portable(const char* bytes, std::size_t size) noexcept {
  std::size_t count = 0;
  for (const char* const end = bytes + size;
       const void* lf = std::memchr(bytes, '\n', static_cast<std::size_t>(end - bytes)); ++count)
    bytes = static_cast<const char*>(lf) + 1;
  return count;
}

#if defined(NOVREL_LINE_END_KERNELS)

#define NOVREL_SSE2 __attribute__((target("sse2"), always_inline)) inline

NOVREL_SSE2 __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

NOVREL_SSE2 unsigned lf_bits(__m128i v) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
}

NOVREL_SSE2 unsigned high_bits(__m128i v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// Bits of a vector's bytes below `count` (count <= 16).
inline unsigned below(unsigned count) { return (1u << count) - 1; }

// Whole vectors while they fit, then one that ends at `size` and overlaps
// bytes already searched (their bits masked off), or, for a buffer shorter
// than a vector, bytes one at a time. High bits are OR-ed into one
// accumulator and tested once, at the LF. Lines of plot files are about ten
// vectors long; wider vectors gain little over the call around them.
__attribute__((target("sse2"))) LineEnd find_sse2(const char* bytes, std::size_t size) noexcept {
  __m128i seen = _mm_setzero_si128();
  std::size_t at = 0;
  for (; at + 16 <= size; at += 16) {
    const __m128i v = load16(bytes + at);
    if (const unsigned lf = lf_bits(v); lf != 0) {
      const auto k = static_cast<unsigned>(__builtin_ctz(lf));
      return {at + k, high_bits(seen) == 0 && (high_bits(v) & below(k)) == 0};
    }
    seen = _mm_or_si128(seen, v);
  }
  const bool ascii = high_bits(seen) == 0;
  if (at == size) return {size, ascii};
  if (size >= 16) {
    const std::size_t start = size - 16;
    const unsigned fresh = ~below(static_cast<unsigned>(at - start));
    const __m128i v = load16(bytes + start);
    const unsigned lf = lf_bits(v) & fresh;
    const unsigned k = lf != 0 ? static_cast<unsigned>(__builtin_ctz(lf)) : 16u;
    return {start + k, ascii && (high_bits(v) & below(k) & fresh) == 0};
  }
  unsigned high = 0;
  for (; at < size && bytes[at] != '\n'; ++at) high |= static_cast<unsigned char>(bytes[at]);
  return {at, ascii && high < 0x80};
}

NOVREL_SSE2 __m128i lf_bytes(const char* p) {
  return _mm_cmpeq_epi8(load16(p), _mm_set1_epi8('\n'));
}

// Each LF is -1 in its byte of a compare; subtracting the compares adds 1
// per LF to 16 byte counters. A step of four vectors adds at most 4 to a
// counter, so a round of 63 steps reaches at most 252 and cannot wrap; one
// sum of absolute differences then totals the counters. Plot lines are
// about ten vectors long, so one compare per vector beats a search that
// stops at each LF.
__attribute__((target("sse2"))) std::size_t count_sse2(const char* bytes, std::size_t size) noexcept {
  constexpr std::size_t kRound = 63 * 64;
  std::size_t count = 0;
  std::size_t at = 0;
  while (size - at >= 64) {
    const std::size_t stop = at + std::min(kRound, (size - at) & ~std::size_t{63});
    __m128i counters = _mm_setzero_si128();
    for (; at < stop; at += 64) {
      const __m128i pair = _mm_add_epi8(lf_bytes(bytes + at), lf_bytes(bytes + at + 16));
      const __m128i other = _mm_add_epi8(lf_bytes(bytes + at + 32), lf_bytes(bytes + at + 48));
      counters = _mm_sub_epi8(counters, _mm_add_epi8(pair, other));
    }
    const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
  }
  return count + count_portable(bytes + at, size - at);
}

// The same with 32-byte vectors, for a processor with AVX2: counting runs
// over every byte a chosen read passes over.
__attribute__((target("avx2"), always_inline)) inline __m256i lf_bytes32(const char* p) {
  return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), _mm256_set1_epi8('\n'));
}

__attribute__((target("avx2"))) std::size_t count_avx2(const char* bytes, std::size_t size) noexcept {
  constexpr std::size_t kRound = 63 * 128;
  std::size_t count = 0;
  std::size_t at = 0;
  while (size - at >= 128) {
    const std::size_t stop = at + std::min(kRound, (size - at) & ~std::size_t{127});
    __m256i counters = _mm256_setzero_si256();
    for (; at < stop; at += 128) {
      const __m256i pair = _mm256_add_epi8(lf_bytes32(bytes + at), lf_bytes32(bytes + at + 32));
      const __m256i other = _mm256_add_epi8(lf_bytes32(bytes + at + 64), lf_bytes32(bytes + at + 96));
      counters = _mm256_sub_epi8(counters, _mm256_add_epi8(pair, other));
    }
    // Four sums of at most 8 x 252, two of them added: each still fits the
    // 16 bits read back.
    const __m256i sums = _mm256_sad_epu8(counters, _mm256_setzero_si256());
    const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
             static_cast<std::size_t>(_mm_extract_epi16(halves, 4));
  }
  return count + count_sse2(bytes + at, size - at);
}

#undef NOVREL_SSE2

#endif  // NOVREL_LINE_END_KERNELS

}  // namespace

FindLineEnd line_end_finder(Kernel kernel) noexcept {
#if defined(NOVREL_LINE_END_KERNELS)
  if (kernel != Kernel::Portable && has_kernel(kernel)) return find_sse2;
#endif
  return find_portable;
}

CountLineEnds line_end_counter(Kernel kernel) noexcept {
#if defined(NOVREL_LINE_END_KERNELS)
  if (kernel == Kernel::Avx2 && has_kernel(kernel)) return count_avx2;
  if (kernel != Kernel::Portable && has_kernel(kernel)) return count_sse2;
#endif
  return count_portable;
}

}  // namespace novrel::text
