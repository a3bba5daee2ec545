// Whole-line decoding of fixed-layout fields.
//
// Each field is one 16-byte vector (the field, then bytes that are ignored).
// Its layout is checked with one set of per-position byte patterns, its
// digits are gathered and summed with multiply-add instructions (the
// exponent's sign included, as a table offset), and fields are finished in
// double precision, two at a time with SSSE3 and four with AVX2:
//
//   value = D * P,   D the significand (at most nine digits, exact),
//                    P the double nearest to 10^q.
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
// significand gives an exact zero. The float arithmetic is SSE2 only, never
// x87, whose extended precision would add a rounding.
#include "text/fixed_line.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NOVREL_LINE_KERNELS 1
#endif

namespace novrel::text {

namespace {

constexpr std::size_t kMinWidth = 8;   // one fraction digit
constexpr std::size_t kMaxWidth = 15;  // nine significant digits, D < 2^30

// Entry j is 10^(j - 8) below 128 and 10^-(j - 128) from there: an exponent
// of digits X and sign s (1 for '-') with m fraction digits wants
// 10^(+-X - m), at j = X + 8 - m for s = 0 and j = X + 128 + m for s = 1,
// which is X + (8 - m) + s * (120 + 2m): linear in X and s, so the digit
// arithmetic computes it (see kSignWeight).
constexpr double kPow10[] = {
#include "text/fixed_line_pow10.inc"
};
static_assert(sizeof kPow10 / sizeof kPow10[0] == 256);

}  // namespace

// Every pattern is stored twice so that one 256-bit load gives it to both
// lanes.
struct FixedLineDecoder::Layout {
  // A byte b of the field is valid when ((b | fold) - base) & pair <= limit,
  // or when it equals `space`. fold folds the exponent letter's case; pair
  // merges '+' and '-' (two apart) where either is allowed; limit is 9 for
  // digits, 0 for a fixed byte and 0xFF past the field; space is ' ' for the
  // leading position and 0xFF, which well-formed UTF-8 never holds, elsewhere.
  alignas(32) std::uint8_t base[32];
  alignas(32) std::uint8_t fold[32];
  alignas(32) std::uint8_t pair[32];
  alignas(32) std::uint8_t limit[32];
  alignas(32) std::uint8_t space[32];
  // From the bytes less '0': 0-7 the significand's last eight digits
  // right-aligned with leading zeros, 9 a ninth digit in front of them,
  // 12-13 the exponent's digits, 14 its sign, zeros elsewhere.
  alignas(32) std::uint8_t gather[32];
  // Byte weights that pair the gathered bytes into 10a + b, and weigh the
  // exponent's sign by kSignWeight + m.
  alignas(32) std::int8_t weights[32];
  // Moves the last `width` of 16 bytes to the front, zeroing the rest: the
  // last field of a line is loaded ending at its end, never past it.
  alignas(16) std::uint8_t tail[16];
  std::uint32_t width;
  std::int32_t index_offset;  // added to the weighted exponent: the kPow10 entry
};

namespace {

using Layout = FixedLineDecoder::Layout;

// The exponent's sign less '0' is 0xFB for '+' and 0xFD for '-'. Weighed by
// c = kSignWeight + m it adds 251c, and 2c = 120 + 2m more for '-': the step
// between the two halves of kPow10. At most 253 * 68, within the 16 bits
// that the byte multiply-add saturates at.
constexpr int kSignWeight = 60;

constexpr Layout make_layout(unsigned width) {
  Layout l{};
  const unsigned m = width - 7;  // fraction digits
  const unsigned digits = m + 1;
  // Digit j of the significand (0 the leading one) is at byte 1 for j = 0
  // and at byte j + 2 after it.
  auto digit_at = [](int j) -> std::uint8_t {
    return j < 0 ? 0x80 : static_cast<std::uint8_t>(j == 0 ? 1 : j + 2);
  };
  for (unsigned i = 0; i < 16; ++i) {
    std::uint8_t base = 0, fold = 0, pair = 0xFF, limit = 0xFF, space = 0xFF;
    if (i < width) {
      limit = 0;
      if (i == 0) {
        base = '+', pair = 0xFD, space = ' ';
      } else if (i == 2) {
        base = '.';
      } else if (i == m + 3) {
        base = 'e', fold = 0x20;
      } else if (i == m + 4) {
        base = '+', pair = 0xFD;
      } else {
        base = '0', limit = 9;
      }
    }
    std::uint8_t gather = 0x80;  // a zero
    if (i < 8) {
      gather = digit_at(static_cast<int>(i + digits) - 8);  // the last eight digits
    } else if (i == 9) {
      gather = digit_at(static_cast<int>(digits) - 9);      // a ninth one, in front
    } else if (i == 12 || i == 13) {
      gather = static_cast<std::uint8_t>(m + 5 + (i - 12));
    } else if (i == 14) {
      gather = static_cast<std::uint8_t>(m + 4);
    }
    const auto weight = static_cast<std::int8_t>(i == 14 ? kSignWeight + static_cast<int>(m) : i == 15 ? 0 : i % 2 ? 1 : 10);
    for (unsigned lane : {0u, 16u}) {
      l.base[lane + i] = base;
      l.fold[lane + i] = fold;
      l.pair[lane + i] = pair;
      l.limit[lane + i] = limit;
      l.space[lane + i] = space;
      l.gather[lane + i] = gather;
      l.weights[lane + i] = weight;
    }
    l.tail[i] = static_cast<std::uint8_t>(i < width ? i + 16 - width : 0x80);
  }
  l.width = width;
  l.index_offset = 8 - static_cast<std::int32_t>(m) - 251 * (kSignWeight + static_cast<std::int32_t>(m));
  return l;
}

constexpr Layout kLayouts[] = {make_layout(8),  make_layout(9),  make_layout(10), make_layout(11),
                               make_layout(12), make_layout(13), make_layout(14), make_layout(15)};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == kMaxWidth - kMinWidth + 1);

#if defined(NOVREL_LINE_KERNELS)

#define NOVREL_SSSE3 __attribute__((target("ssse3"), always_inline)) inline
#define NOVREL_AVX2 __attribute__((target("avx2"), always_inline)) inline

NOVREL_SSSE3 __m128i pattern(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }

NOVREL_AVX2 __m256i pattern2(const void* p) {
  return _mm256_load_si256(static_cast<const __m256i*>(p));
}

// Where the fields are read from. A line shorter than one vector is copied,
// so that no load leaves it.
struct Source {
  const char* bytes;
  std::size_t direct;  // fields that can be loaded from their start
};

NOVREL_SSSE3 Source source_of(const Layout& l, std::string_view line, std::size_t fields, char (&copy)[16]) {
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
  return {bytes, last + (last * l.width + 16 <= length)};
}

// Field k of the line, in the low `width` bytes.
NOVREL_SSSE3 __m128i load_field(const Layout& l, const Source& s, std::size_t k) {
  if (k < s.direct) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.bytes + k * l.width));
  const __m128i end = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.bytes + (k + 1) * l.width - 16));
  return _mm_shuffle_epi8(end, pattern(l.tail));
}

// Two fields after their bytes were examined, f in the low half of each
// pair of values and g in the high one.
struct Pair {
  // 16-bit lanes, per field: two groups of four digits, the ninth digit, the
  // weighted exponent.
  __m128i words;
  __m128i fits;   // f's bytes that fit the layout (0xFF), packed to 8, then g's
  __m128i signs;  // 32-bit lanes: f's and g's first byte tested for '-' (0 or -1)
};

// One field's bytes, tested and summed: the bytes that fit the layout
// (0xFF), those that are '-', and 32-bit lanes holding two groups of four
// digits 100 (10a + b) + (10c + d), the ninth digit and the weighted
// exponent.
struct Field {
  __m128i fits;
  __m128i minus;
  __m128i groups;
};

NOVREL_SSSE3 Field examine(const Layout& l, __m128i b) {
  const __m128i limit = pattern(l.limit);
  const __m128i y = _mm_and_si128(_mm_sub_epi8(_mm_or_si128(b, pattern(l.fold)), pattern(l.base)), pattern(l.pair));
  const __m128i pairs =
      _mm_maddubs_epi16(_mm_shuffle_epi8(_mm_sub_epi8(b, _mm_set1_epi8('0')), pattern(l.gather)), pattern(l.weights));
  return {_mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(y, limit), limit), _mm_cmpeq_epi8(b, pattern(l.space))),
          _mm_cmpeq_epi8(b, _mm_set1_epi8('-')), _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 1, 0, 1, 1))};
}

NOVREL_SSSE3 Pair pair_of(const Field& f, const Field& g) {
  // Every sum is below 2^15, so the signed saturation changes nothing that
  // is used (a field that does not fit is dropped anyway); a fitting byte
  // pair packs to 0xFF, any other to something else.
  return {_mm_packs_epi32(f.groups, g.groups), _mm_packs_epi16(f.fits, g.fits), _mm_unpacklo_epi32(f.minus, g.minus)};
}

// The significands (below 10^9: exact as doubles) of both fields.
template <bool kNine>
NOVREL_SSSE3 __m128d significands(const Pair& p) {
  // 32-bit lanes: f's last eight digits, g's, then f's ninth and g's.
  const __m128i h = _mm_shuffle_epi32(_mm_madd_epi16(p.words, _mm_setr_epi16(10000, 1, 1, 0, 10000, 1, 1, 0)),
                                      _MM_SHUFFLE(3, 1, 2, 0));
  const __m128d low = _mm_cvtepi32_pd(h);
  if constexpr (!kNine) return low;
  return _mm_add_pd(low, _mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(h, h)), _mm_set1_pd(1e8)));
}

// The kPow10 entries of both fields; masked, so that the sums of a field
// that does not fit stay within the table.
NOVREL_SSSE3 __m128d powers(const Layout& l, const Pair& p) {
  const auto fi = static_cast<unsigned>(_mm_extract_epi16(p.words, 3) + l.index_offset) & 0xFFu;
  const auto gi = static_cast<unsigned>(_mm_extract_epi16(p.words, 7) + l.index_offset) & 0xFFu;
  return _mm_loadh_pd(_mm_load_sd(&kPow10[fi]), &kPow10[gi]);
}

// Rounds both products to float32 into out[0] and out[1]; bit 0 (f) and
// bit 1 (g) set where the field fits and its value is decided.
NOVREL_SSSE3 unsigned round_pair(const Pair& p, __m128d d, float* out) {
  const __m128i low = _mm_and_si128(_mm_castpd_si128(d), _mm_set1_epi32(0x1FFFFFFF));
  const __m128i near = _mm_cmplt_epi32(_mm_abs_epi32(_mm_sub_epi32(low, _mm_set1_epi32(0x10000000))),
                                       _mm_set1_epi32(4));
  // Per field, the sum of how far each packed byte is from 0xFF: zero when
  // all fit. Sums and `near` sit in the low 32 bits of each 64.
  const __m128i misfit = _mm_cmpgt_epi32(_mm_sad_epu8(p.fits, _mm_set1_epi8(-1)), _mm_setzero_si128());
  const __m128i rejected = _mm_shuffle_epi32(_mm_or_si128(near, misfit), _MM_SHUFFLE(2, 2, 0, 0));
  const __m128d tiny = _mm_and_pd(_mm_cmplt_pd(d, _mm_set1_pd(0x1p-126)), _mm_cmpgt_pd(d, _mm_setzero_pd()));
  const auto undecided = static_cast<unsigned>(_mm_movemask_pd(_mm_or_pd(tiny, _mm_castsi128_pd(rejected))));
  const __m128 value = _mm_or_ps(_mm_cvtpd_ps(d), _mm_castsi128_ps(_mm_slli_epi32(p.signs, 31)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(value));
  return ~undecided & 3u;
}

template <bool kNine>
__attribute__((target("ssse3"))) unsigned decode_ssse3(const Layout& l, std::string_view line, std::size_t fields,
                                                         float* values) noexcept {
  char copy[16];
  const Source s = source_of(l, line, fields, copy);
  unsigned decoded = 0;
  for (std::size_t k = 0; k < fields; k += 2) {
    const std::size_t next = k + 1 < fields ? k + 1 : k;  // an odd last field pairs with itself
    const Pair p = pair_of(examine(l, load_field(l, s, k)), examine(l, load_field(l, s, next)));
    decoded |= round_pair(p, _mm_mul_pd(significands<kNine>(p), powers(l, p)), values + k) << k;
  }
  return decoded & ((1u << fields) - 1);
}

// examine() for two fields at once, one per 128-bit lane.
struct Fields2 {
  __m256i fits;
  __m256i minus;
  __m256i groups;
};

NOVREL_AVX2 Fields2 examine2(const Layout& l, __m256i b) {
  const __m256i limit = pattern2(l.limit);
  const __m256i y =
      _mm256_and_si256(_mm256_sub_epi8(_mm256_or_si256(b, pattern2(l.fold)), pattern2(l.base)), pattern2(l.pair));
  const __m256i pairs = _mm256_maddubs_epi16(
      _mm256_shuffle_epi8(_mm256_sub_epi8(b, _mm256_set1_epi8('0')), pattern2(l.gather)), pattern2(l.weights));
  return {_mm256_or_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(y, limit), limit), _mm256_cmpeq_epi8(b, pattern2(l.space))),
          _mm256_cmpeq_epi8(b, _mm256_set1_epi8('-')),
          _mm256_madd_epi16(pairs, _mm256_setr_epi16(100, 1, 100, 1, 1, 0, 1, 1, 100, 1, 100, 1, 1, 0, 1, 1))};
}

NOVREL_AVX2 __m256i two_fields(const Layout& l, const Source& s, std::size_t k, std::size_t next) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load_field(l, s, k)), load_field(l, s, next), 1);
}

// Four fields a step, two per 256-bit vector: lanes hold fields 0 and 1 of
// the step in a, 2 and 3 in b. Packing a with b interleaves them by lane
// (0, 2 | 1, 3), which one permutation per result puts back in order.
template <bool kNine>
__attribute__((target("avx2"))) unsigned decode_avx2(const Layout& l, std::string_view line, std::size_t fields,
                                                       float* values) noexcept {
  char copy[16];
  const Source s = source_of(l, line, fields, copy);
  const std::size_t last = fields - 1;
  const __m256i in_order = _mm256_setr_epi32(0, 4, 2, 6, 1, 5, 3, 7);  // of 32-bit lanes 0, 2 | 1, 3 pairs
  unsigned decoded = 0;
  for (std::size_t k = 0; k < fields; k += 4) {
    // Fields past the last repeat it; their results are masked off.
    const Fields2 a = examine2(l, two_fields(l, s, k, k + 1 < last ? k + 1 : last));
    const Fields2 b = examine2(l, two_fields(l, s, k + 2 < last ? k + 2 : last, k + 3 < last ? k + 3 : last));

    // 16-bit lanes per field: two groups of four digits, the ninth digit,
    // the weighted exponent; then 32-bit: last eight digits, ninth digit.
    const __m256i words = _mm256_packs_epi32(a.groups, b.groups);
    const __m256i sums = _mm256_permutevar8x32_epi32(
        _mm256_madd_epi16(words, _mm256_setr_epi16(10000, 1, 1, 0, 10000, 1, 1, 0, 10000, 1, 1, 0, 10000, 1, 1, 0)),
        in_order);  // eight digits of fields 0-3, then their ninth digits
    __m256d significand = _mm256_cvtepi32_pd(_mm256_castsi256_si128(sums));
    if constexpr (kNine)
      significand = _mm256_add_pd(
          significand, _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(sums, 1)), _mm256_set1_pd(1e8)));
    const __m256i exponents = _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(words, _mm256_setr_epi8(6, 7, -1, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 6, 7,
                                                     -1, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
        _mm256_setr_epi32(0, 4, 1, 5, 2, 3, 6, 7));
    const __m128i index = _mm_and_si128(
        _mm_add_epi32(_mm256_castsi256_si128(exponents), _mm_set1_epi32(l.index_offset)), _mm_set1_epi32(0xFF));
    const __m256d d = _mm256_mul_pd(significand, _mm256_i32gather_pd(kPow10, index, 8));

    // As in round_pair, four at a time.
    const __m256i low = _mm256_and_si256(_mm256_castpd_si256(d), _mm256_set1_epi32(0x1FFFFFFF));
    const __m256i near = _mm256_cmpgt_epi32(_mm256_set1_epi32(4),
                                            _mm256_abs_epi32(_mm256_sub_epi32(low, _mm256_set1_epi32(0x10000000))));
    const __m256i misfit = _mm256_cmpgt_epi64(
        _mm256_permute4x64_epi64(_mm256_sad_epu8(_mm256_packs_epi16(a.fits, b.fits), _mm256_set1_epi8(-1)),
                                 _MM_SHUFFLE(3, 1, 2, 0)),
        _mm256_setzero_si256());
    const __m256i rejected = _mm256_or_si256(_mm256_shuffle_epi32(near, _MM_SHUFFLE(2, 2, 0, 0)), misfit);
    const __m256d tiny = _mm256_and_pd(_mm256_cmp_pd(d, _mm256_set1_pd(0x1p-126), _CMP_LT_OQ),
                                       _mm256_cmp_pd(d, _mm256_setzero_pd(), _CMP_GT_OQ));
    const auto undecided = static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_or_pd(tiny, _mm256_castsi256_pd(rejected))));
    const __m128i signs = _mm256_castsi256_si128(
        _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi32(a.minus, b.minus), _mm256_setr_epi32(0, 4, 1, 5, 2, 3, 6, 7)));
    const __m128 value = _mm_or_ps(_mm256_cvtpd_ps(d), _mm_castsi128_ps(_mm_slli_epi32(signs, 31)));
    _mm_storeu_ps(values + k, value);
    decoded |= (~undecided & 15u) << k;
  }
  return decoded & ((1u << fields) - 1);
}

#undef NOVREL_SSSE3
#undef NOVREL_AVX2

#endif  // NOVREL_LINE_KERNELS

}  // namespace

FixedLineDecoder FixedLineDecoder::for_width(std::size_t width) noexcept {
  return with_kernel(chosen_kernel(), width);
}

FixedLineDecoder FixedLineDecoder::with_kernel(Kernel kernel, std::size_t width) noexcept {
  FixedLineDecoder decoder;
  if (width < kMinWidth || width > kMaxWidth || !has_kernel(kernel)) return decoder;
#if defined(NOVREL_LINE_KERNELS)
  const bool nine = width == kMaxWidth;
  switch (kernel) {
    case Kernel::Ssse3:
      decoder.run_ = nine ? decode_ssse3<true> : decode_ssse3<false>;
      break;
    case Kernel::Avx2:
      decoder.run_ = nine ? decode_avx2<true> : decode_avx2<false>;
      break;
    case Kernel::Portable:
      return decoder;
  }
  decoder.layout_ = &kLayouts[width - kMinWidth];
  decoder.kernel_ = kernel;
#endif
  return decoder;
}

}  // namespace novrel::text
