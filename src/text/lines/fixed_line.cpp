// Whole-line decoding of fixed-layout fields.
//
// Each field is one 16-byte lane of a vector (the field, then bytes that are
// ignored): one field per vector with SSSE3, two per vector with AVX2. The
// same steps run at both widths (fixed_line_kernel.inc):
//   examine  every byte against one set of per-position patterns, and put
//            the digits in order;
//   sum      them with multiply-add instructions into the significand D, at
//            most nine digits and exact (and the exponent, its sign
//            included, into a table offset);
//   scale    in double precision: for float32, d = D * P, P the double
//            nearest to 10^q; for float64, D times each of three parts
//            of 10^q, summed so as to bracket the exact value;
//   decide   which fields fit the layout and round as their exact value.
//
// Why the float32 result is the correctly rounded one. P has a relative
// error of at most u = 2^-53 and the product adds at most u, so with d the
// computed product and x = D * 10^q the exact value, |d - x| < 2.0001 ulp(d)
// (ulp(d) >= |d| * 2^-53). Rounding x and d to float32 can only differ when a
// float32 rounding midpoint lies between them or on d. For d >= 2^-126 the
// midpoints of d's binade are the doubles whose 29 fraction bits below
// float32's precision read exactly 2^28; those of the neighbouring binades
// lie 2^27 ulps or more away. So unless those 29 bits of d lie within 3 of
// 2^28, x and d round alike, conversion of d included (2^128 - 2^103, where
// rounding turns to infinity, is one of these midpoints). Below 2^-126 the
// float32 spacing is fixed and the rule does not hold: such fields, and
// those near a midpoint (about 7 in 2^29), go to the per-field path. A zero
// significand gives an exact zero.
//
// Why the float64 result is the correctly rounded one. 10^q is held as
// H1 + H2 + H3, each part a double of at most 23 significant bits, the sum
// within 2^-69 * 10^q of it (tools/gen_pow10_split_table.py). D < 10^9 <
// 2^30, so each product pi = D * Hi has at most 53 significant bits: all
// three are exact. With 2^e <= 10^q < 2^(e+1), |H2| <= 2^(e-23) and
// |H3| <= 2^(e-46); the kernel computes
//   s = p2 + p3, rounded: off by at most 2^-53 |s| < D 2^(e-75.9)
//   M = p1 * 2^-66, exact (a power of two)
//   lo = s - M and hi = s + M, each rounded: off by < D 2^(e-75.8)
//   r_lo = p1 + lo and r_hi = p1 + hi, each rounded to nearest
// The exact value x = D * 10^q differs from p1 + s by at most
// D 2^(e-69) 2 + D 2^(e-75.9) < 2^-67.9 p1 (as 10^q < 2 H1 and H1 >= 2^e),
// and M = 2^-66 p1 is more than that plus lo's and hi's own rounding, so
// p1 + lo <= x <= p1 + hi. Rounding to nearest is monotone: where r_lo and
// r_hi are equal, x rounds to them too, ties and the edges of binades
// included. They differ only when a rounding midpoint lies within about
// 2^-65 x of x (rarely: about 1 field in 4000, exact ties among them),
// which marks the field for the per-field path. Every exponent the layout
// can hold is in the table (-107 <= q <= 98 for up to 8 fraction digits),
// and no result or part is subnormal or overflows (|x| < 10^108, and the
// smallest part, near 10^-127 2^-69, is far above 2^-1022), so no field
// is left for its exponent alone. A zero significand gives zeros
// throughout, an exact zero. Contracting any product with the sum that
// follows it into one fused operation changes nothing, the products being
// exact.
//
// All of it is SSE2 binary64 arithmetic on vector registers, on i386 too:
// never x87, whose extended precision would round first to 64 bits, a
// double rounding for float64 and one more rounding before the float32
// proof's.
#include "text/lines/fixed_line.hpp"

#include <cstring>

#include "text/lines/fixed_line_layout.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NOVREL_LINE_KERNELS 1
#endif

namespace novrel::text {

namespace {

// Entry j is 10^(j - 8) below 128 and 10^-(j - 128) from there: an exponent
// of digits X and sign s (1 for '-') with m fraction digits wants
// 10^(+-X - m), at j = X + 8 - m for s = 0 and j = X + 128 + m for s = 1,
// which is X + (8 - m) + s * (120 + 2m): linear in X and s, so the digit
// arithmetic computes it (see kSignWeight in fixed_line_layout.cpp).
constexpr double kPow10[] = {
#include "text/lines/fixed_line_pow10.inc"
};
static_assert(sizeof kPow10 / sizeof kPow10[0] == 256);

// The float64 scaling, on kPow10's indices: entry j is 10^q as the sum of
// three parts (see above), in rows[j][0..2]. A row fills 32 bytes, so that a
// field's parts come in two aligned loads.
struct Pow10Split {
  alignas(32) double rows[256][4];
};

constexpr Pow10Split kPow10Split = [] {
  constexpr double rows[][3] = {
#include "text/lines/fixed_line_pow10_split.inc"
  };
  static_assert(sizeof rows / sizeof rows[0] == 256);
  Pow10Split t{};
  for (int j = 0; j < 256; ++j)
    for (int i = 0; i < 3; ++i) t.rows[j][i] = rows[j][i];
  return t;
}();

using Layout = FixedLineDecoder::Layout;

#if defined(NOVREL_LINE_KERNELS)

// Pairs the 16-bit sums of examine() into 32-bit groups of four digits and
// passes the ninth digit and the weighted exponent on; then pairs the groups
// into the last eight digits. Stored for two 128-bit lanes, as a Layout's
// patterns are.
alignas(32) constexpr std::int16_t kGroupWeights[16] = {100, 1, 100, 1, 1, 0, 1, 1, 100, 1, 100, 1, 1, 0, 1, 1};
alignas(32) constexpr std::int16_t kEightDigitWeights[16] = {10000, 1, 1, 0, 10000, 1, 1, 0,
                                                             10000, 1, 1, 0, 10000, 1, 1, 0};

// Where the fields are read from. A line shorter than one vector is copied,
// so that no load leaves it.
struct Source {
  const char* bytes;
  std::size_t direct;  // fields that can be loaded from their start
  std::size_t last;    // the last field
};

[[gnu::always_inline]] inline Source source_of(const Layout& l, std::string_view line, std::size_t fields,
                                               char (&copy)[16]) {
  const char* bytes = line.data();
  std::size_t length = line.size();
  if (length < 16) {
    std::memset(copy, 0, sizeof copy);
    std::memcpy(copy, bytes, length);
    bytes = copy;
    length = 16;
  }
  // Field k loads from its start while k * width + 16 <= length, which holds
  // for every field but the last (k * width + 16 <= (k + 2) * width); the
  // last one, when it fails, ends at fields * width >= 16 within the line.
  const std::size_t last = fields - 1;
  return {bytes, last + (last * l.width + 16 <= length), last};
}

// Field k of the line, in the low `width` bytes; k past the last field
// reads the last, whose results are then masked off.
__attribute__((target("ssse3"), always_inline)) inline __m128i load_field(const Layout& l, const Source& s,
                                                                         std::size_t k) {
  if (k > s.last) k = s.last;
  if (k < s.direct) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.bytes + k * l.width));
  const __m128i end = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.bytes + (k + 1) * l.width - 16));
  return _mm_shuffle_epi8(end, _mm_load_si128(reinterpret_cast<const __m128i*>(l.tail)));
}

// One field per vector, two a step. The two macros serve the kernel file
// alone, and end after it.
namespace ssse3 {

#define NOVREL_KERNEL __attribute__((target("ssse3"), always_inline)) inline
#define NOVREL_MM(name) _mm_##name

using Bytes = __m128i;
using Doubles = __m128d;

NOVREL_KERNEL Bytes load_fields(const Layout& l, const Source& s, std::size_t k) { return load_field(l, s, k); }

//   32-bit lane:  3 2 1 0  ->  3 1 2 0
NOVREL_KERNEL Bytes even_then_odd_dwords(Bytes v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0)); }

NOVREL_KERNEL Doubles low_doubles(Bytes v) { return _mm_cvtepi32_pd(v); }
NOVREL_KERNEL Doubles high_doubles(Bytes v) { return _mm_cvtepi32_pd(_mm_unpackhi_epi64(v, v)); }

NOVREL_KERNEL Doubles look_up(const double* table, Bytes index) {
  return _mm_loadh_pd(_mm_load_sd(&table[_mm_extract_epi16(index, 0)]), &table[_mm_extract_epi16(index, 4)]);
}

struct Parts {
  Doubles first, second, third;
};
NOVREL_KERNEL Parts look_up_parts(Bytes index) {
  const double* const a = kPow10Split.rows[_mm_extract_epi16(index, 0)];
  const double* const b = kPow10Split.rows[_mm_extract_epi16(index, 4)];
  const Doubles a12 = _mm_load_pd(a);
  const Doubles b12 = _mm_load_pd(b);
  return {_mm_unpacklo_pd(a12, b12), _mm_unpackhi_pd(a12, b12), _mm_loadh_pd(_mm_load_sd(a + 2), b + 2)};
}

NOVREL_KERNEL void store_floats(float* out, __m128 v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(v));
}

NOVREL_KERNEL void store_doubles(double* out, Doubles v) { _mm_storeu_pd(out, v); }
NOVREL_KERNEL void store_first_doubles(double* out, Doubles v, std::size_t) { _mm_storel_pd(out, v); }

#include "text/lines/fixed_line_kernel.inc"

#undef NOVREL_KERNEL
#undef NOVREL_MM

}  // namespace ssse3

// Two fields per vector, four a step.
namespace avx2 {

#define NOVREL_KERNEL __attribute__((target("avx2"), always_inline)) inline
#define NOVREL_MM(name) _mm256_##name

using Bytes = __m256i;
using Doubles = __m256d;

//   128-bit lane:  0    1
//   field:         k    k+2
NOVREL_KERNEL Bytes load_fields(const Layout& l, const Source& s, std::size_t k) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load_field(l, s, k)), load_field(l, s, k + 2), 1);
}

// Across the 128-bit lanes:
//   32-bit lane:  7 6 5 4 3 2 1 0  ->  7 5 3 1 6 4 2 0
NOVREL_KERNEL Bytes even_then_odd_dwords(Bytes v) {
  return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

NOVREL_KERNEL Doubles low_doubles(Bytes v) { return _mm256_cvtepi32_pd(_mm256_castsi256_si128(v)); }
NOVREL_KERNEL Doubles high_doubles(Bytes v) { return _mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)); }

NOVREL_KERNEL Doubles look_up(const double* table, Bytes index) { return _mm256_i64gather_pd(table, index, 8); }

// Three gathers cost more than loading each field's row in halves and
// interleaving them: lanes 0 and 2 come from the 128-bit halves of one
// vector, lanes 1 and 3 from another's.
struct Parts {
  Doubles first, second, third;
};
NOVREL_KERNEL Doubles halves(const double* low, const double* high) {
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(low)), _mm_load_pd(high), 1);
}
NOVREL_KERNEL Parts look_up_parts(Bytes index) {
  alignas(32) std::uint32_t at[8];  // the 64-bit indices' low halves at 0, 2, 4, 6
  _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
  const double* const r0 = kPow10Split.rows[at[0]];
  const double* const r1 = kPow10Split.rows[at[2]];
  const double* const r2 = kPow10Split.rows[at[4]];
  const double* const r3 = kPow10Split.rows[at[6]];
  const Doubles even = halves(r0, r2);  // r0[0] r0[1] | r2[0] r2[1]
  const Doubles odd = halves(r1, r3);
  const Doubles even3 = halves(r0 + 2, r2 + 2);
  const Doubles odd3 = halves(r1 + 2, r3 + 2);
  return {_mm256_unpacklo_pd(even, odd), _mm256_unpackhi_pd(even, odd), _mm256_unpacklo_pd(even3, odd3)};
}

NOVREL_KERNEL void store_floats(float* out, __m128 v) { _mm_storeu_ps(out, v); }

NOVREL_KERNEL void store_doubles(double* out, Doubles v) { _mm256_storeu_pd(out, v); }
// Plain stores of halves: a masked store of 256 bits is microcoded on some
// processors, and a line of ten fields ends in this one every time.
NOVREL_KERNEL void store_first_doubles(double* out, Doubles v, std::size_t n) {
  const __m128d low = _mm256_castpd256_pd128(v);
  if (n == 1) return _mm_storel_pd(out, low);
  _mm_storeu_pd(out, low);
  if (n == 3) _mm_storel_pd(out + 2, _mm256_extractf128_pd(v, 1));
}

#include "text/lines/fixed_line_kernel.inc"

#undef NOVREL_KERNEL
#undef NOVREL_MM

}  // namespace avx2

template <bool kNinthDigit, class T>
__attribute__((target("ssse3"))) unsigned decode_ssse3(const Layout& l, std::string_view line, std::size_t fields,
                                                         T* values) noexcept {
  return ssse3::decode_line<kNinthDigit>(l, line, fields, values);
}

template <bool kNinthDigit, class T>
__attribute__((target("avx2"))) unsigned decode_avx2(const Layout& l, std::string_view line, std::size_t fields,
                                                       T* values) noexcept {
  return avx2::decode_line<kNinthDigit>(l, line, fields, values);
}

#endif  // NOVREL_LINE_KERNELS

}  // namespace

FixedLineDecoder FixedLineDecoder::for_width(std::size_t width) noexcept {
  return with_kernel(chosen_kernel(), width);
}

FixedLineDecoder FixedLineDecoder::with_kernel(Kernel kernel, std::size_t width) noexcept {
  FixedLineDecoder decoder;
  if (width < kMinWidth || width > kMaxWidth || !has_kernel(kernel)) return decoder;
#if defined(NOVREL_LINE_KERNELS)
  const bool ninth_digit = width == kMaxWidth;
  switch (kernel) {
    case Kernel::Ssse3:
      decoder.run32_ = ninth_digit ? decode_ssse3<true, float> : decode_ssse3<false, float>;
      decoder.run64_ = ninth_digit ? decode_ssse3<true, double> : decode_ssse3<false, double>;
      break;
    case Kernel::Avx2:
      decoder.run32_ = ninth_digit ? decode_avx2<true, float> : decode_avx2<false, float>;
      decoder.run64_ = ninth_digit ? decode_avx2<true, double> : decode_avx2<false, double>;
      break;
    case Kernel::Portable:
      return decoder;
  }
  decoder.layout_ = &fixed_line_layout(width);
  decoder.kernel_ = kernel;
#endif
  return decoder;
}

}  // namespace novrel::text
