#include "text/lines/line_end.hpp"

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

#undef NOVREL_SSE2

namespace sse2 {
#define NOVREL_KERNEL __attribute__((target("sse2"), always_inline)) inline
#define NOVREL_ENTRY __attribute__((target("sse2")))
#define NOVREL_MM(name) _mm_##name
using Bytes = __m128i;
NOVREL_KERNEL Bytes load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
NOVREL_KERNEL Bytes zero() { return _mm_setzero_si128(); }
NOVREL_KERNEL std::size_t total(Bytes counters) {
  const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
  return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
}
inline std::size_t count_tail(const char* bytes, std::size_t size) noexcept {
  return count_portable(bytes, size);
}
#include "text/lines/line_end_count.inc"
#undef NOVREL_KERNEL
#undef NOVREL_ENTRY
#undef NOVREL_MM
}  // namespace sse2

// AVX2 where the processor has it: counting runs over every byte a chosen
// read passes over.
namespace avx2 {
#define NOVREL_KERNEL __attribute__((target("avx2"), always_inline)) inline
#define NOVREL_ENTRY __attribute__((target("avx2")))
#define NOVREL_MM(name) _mm256_##name
using Bytes = __m256i;
NOVREL_KERNEL Bytes load(const char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
NOVREL_KERNEL Bytes zero() { return _mm256_setzero_si256(); }
// Four sums of at most 8 x 252, two of them added: each still fits the 16
// bits read back.
NOVREL_KERNEL std::size_t total(Bytes counters) {
  const __m256i sums = _mm256_sad_epu8(counters, _mm256_setzero_si256());
  const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  return static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
         static_cast<std::size_t>(_mm_extract_epi16(halves, 4));
}
inline std::size_t count_tail(const char* bytes, std::size_t size) noexcept { return sse2::count(bytes, size); }
#include "text/lines/line_end_count.inc"
#undef NOVREL_KERNEL
#undef NOVREL_ENTRY
#undef NOVREL_MM
}  // namespace avx2

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
  if (kernel == Kernel::Avx2 && has_kernel(kernel)) return avx2::count;
  if (kernel != Kernel::Portable && has_kernel(kernel)) return sse2::count;
#endif
  return count_portable;
}

}  // namespace novrel::text
