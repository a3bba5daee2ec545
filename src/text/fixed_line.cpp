// Whole-line decoding of fixed-layout fields.
//
// Each field is one 16-byte vector (the field, then bytes that are ignored).
// Its layout is checked with one set of per-position byte patterns, its
// digits are gathered and summed with multiply-add instructions, and fields
// are finished two at a time in double precision:
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

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NOVREL_LINE_KERNELS 1
#endif

namespace novrel::text {

namespace {

constexpr std::size_t kMinWidth = 8;   // one fraction digit
constexpr std::size_t kMaxWidth = 15;  // nine significant digits, D < 2^31

constexpr double kPow10[] = {
#include "text/fixed_line_pow10.inc"
};
constexpr int kPow10Offset = 128;  // kPow10[q + 128] is 10^q
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
  // From the digit values: bytes 0-7 the significand's last eight digits
  // right-aligned with leading zeros, byte 9 a ninth digit in front of them,
  // bytes 12-13 the exponent's digits, zeros elsewhere.
  alignas(32) std::uint8_t gather[32];
  // Moves the last `width` of 16 bytes to the front, zeroing the rest: the
  // last fields of a line are loaded ending at their end, never past it.
  alignas(16) std::uint8_t tail[16];
  std::uint32_t width;
  std::uint32_t exponent_sign;  // position of the exponent's sign byte
  std::int32_t index_offset;    // kPow10Offset - fraction digits
};

namespace {

using Layout = FixedLineDecoder::Layout;

constexpr Layout make_layout(unsigned width) {
  Layout l{};
  const unsigned m = width - 7;  // fraction digits
  const unsigned digits = m + 1;
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
    // Digit j of the significand (0 the leading one) is at byte 1 for j = 0
    // and at byte j + 2 after it.
    auto digit_at = [&](int j) -> std::uint8_t {
      return j < 0 ? 0x80 : static_cast<std::uint8_t>(j == 0 ? 1 : j + 2);
    };
    std::uint8_t gather = 0x80;  // a zero
    if (i < 8) {
      gather = digit_at(static_cast<int>(i + digits) - 8);  // the last eight digits
    } else if (i == 9) {
      gather = digit_at(static_cast<int>(digits) - 9);      // a ninth one, in front
    } else if (i == 12 || i == 13) {
      gather = static_cast<std::uint8_t>(m + 5 + (i - 12));
    }
    for (unsigned lane : {0u, 16u}) {
      l.base[lane + i] = base;
      l.fold[lane + i] = fold;
      l.pair[lane + i] = pair;
      l.limit[lane + i] = limit;
      l.space[lane + i] = space;
      l.gather[lane + i] = gather;
    }
    l.tail[i] = static_cast<std::uint8_t>(i < width ? i + 16 - width : 0x80);
  }
  l.width = width;
  l.exponent_sign = m + 4;
  l.index_offset = kPow10Offset - static_cast<std::int32_t>(m);
  return l;
}

constexpr Layout kLayouts[] = {make_layout(8),  make_layout(9),  make_layout(10), make_layout(11),
                               make_layout(12), make_layout(13), make_layout(14), make_layout(15)};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == kMaxWidth - kMinWidth + 1);

#if defined(NOVREL_LINE_KERNELS)

#define NOVREL_SSSE3 __attribute__((target("ssse3"), always_inline)) inline
#define NOVREL_AVX2 __attribute__((target("avx2"), always_inline)) inline

NOVREL_SSSE3 __m128i pattern(const std::uint8_t* p) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

// Field k of the line, in the low `width` bytes.
NOVREL_SSSE3 __m128i load_field(const Layout& l, const char* line, std::size_t k, std::size_t direct) {
  if (k < direct) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + k * l.width));
  const __m128i end = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + (k + 1) * l.width - 16));
  return _mm_shuffle_epi8(end, pattern(l.tail));
}

// One field's share of the work before its pair is finished.
struct Field {
  __m128i groups;  // 32-bit lanes: two groups of four digits, a ninth digit, |exponent|
  __m128i minus;   // 0xFF where the byte is '-'
  unsigned minus_bits;
  unsigned valid;  // 1 when every byte fits the layout
};

// Digit values (bytes of b - '0') to 32-bit groups: pairs 10a + b, then
// fours 100 (10a + b) + (10c + d); the ninth digit and the exponent's pair
// are carried over as they are.
NOVREL_SSSE3 __m128i digit_groups(__m128i values) {
  const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi16(0x010A));
  return _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 1, 0, 1, 0));
}

NOVREL_SSSE3 Field examine(const Layout& l, __m128i b) {
  const __m128i limit = pattern(l.limit);
  const __m128i y = _mm_and_si128(_mm_sub_epi8(_mm_or_si128(b, pattern(l.fold)), pattern(l.base)), pattern(l.pair));
  const __m128i fits = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(y, limit), limit),
                                    _mm_cmpeq_epi8(b, pattern(l.space)));
  const __m128i minus = _mm_cmpeq_epi8(b, _mm_set1_epi8('-'));
  const __m128i values = _mm_shuffle_epi8(_mm_sub_epi8(b, _mm_set1_epi8('0')), pattern(l.gather));
  return {digit_groups(values), minus, static_cast<unsigned>(_mm_movemask_epi8(minus)),
          static_cast<unsigned>(_mm_movemask_epi8(fits)) == 0xFFFFu};
}

NOVREL_SSSE3 unsigned power_index(const Layout& l, unsigned minus_bits, int exponent_digits) {
  const int negative = static_cast<int>((minus_bits >> l.exponent_sign) & 1);
  const int exponent = (exponent_digits ^ -negative) + negative;
  // Masked so that the garbage of a field that does not fit stays in the table.
  return static_cast<unsigned>(exponent + l.index_offset) & 0xFFu;
}

// Values of fields f and g into out[0] and out[1]; bit 0 (f) and bit 1 (g)
// set where the value is decided.
NOVREL_SSSE3 unsigned finish_pair(const Layout& l, const Field& f, const Field& g, float* out) {
  // 16-bit lanes: f's groups, ninth digit and |exponent|, then g's (all
  // below 10^4, so the signed saturation changes nothing that is used).
  const __m128i w = _mm_packs_epi32(f.groups, g.groups);
  // 32-bit lanes: f's last eight digits, its ninth, then g's.
  const __m128i h = _mm_shuffle_epi32(_mm_madd_epi16(w, _mm_setr_epi16(10000, 1, 1, 0, 10000, 1, 1, 0)),
                                      _MM_SHUFFLE(3, 1, 2, 0));
  const __m128d significand = _mm_add_pd(_mm_cvtepi32_pd(h),  // exact: below 10^9
                                         _mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(h, h)), _mm_set1_pd(1e8)));
  const unsigned fi = power_index(l, f.minus_bits, _mm_extract_epi16(w, 3));
  const unsigned gi = power_index(l, g.minus_bits, _mm_extract_epi16(w, 7));
  const __m128d power = _mm_loadh_pd(_mm_load_sd(&kPow10[fi]), &kPow10[gi]);
  const __m128d d = _mm_mul_pd(significand, power);

  const __m128i low = _mm_and_si128(_mm_castpd_si128(d), _mm_set1_epi32(0x1FFFFFFF));
  const __m128i near = _mm_cmplt_epi32(_mm_abs_epi32(_mm_sub_epi32(low, _mm_set1_epi32(0x10000000))),
                                       _mm_set1_epi32(4));
  const __m128d tiny = _mm_and_pd(_mm_cmplt_pd(d, _mm_set1_pd(0x1p-126)), _mm_cmpgt_pd(d, _mm_setzero_pd()));
  const unsigned undecided = static_cast<unsigned>(_mm_movemask_pd(
      _mm_or_pd(tiny, _mm_castsi128_pd(_mm_shuffle_epi32(near, _MM_SHUFFLE(2, 2, 0, 0))))));

  // The sign: bit 0 of each field's first byte test, moved to bit 31.
  const __m128i sign = _mm_slli_epi32(_mm_unpacklo_epi32(f.minus, g.minus), 31);
  const __m128 value = _mm_or_ps(_mm_cvtpd_ps(d), _mm_castsi128_ps(sign));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(value));
  return (f.valid | g.valid << 1) & ~undecided;
}

// Lines shorter than one vector are copied, so that no load leaves them.
struct Source {
  const char* bytes;
  std::size_t direct;  // fields that can be loaded from their start
};

NOVREL_SSSE3 Source source_of(const Layout& l, std::string_view line, char (&copy)[16]) {
  const char* bytes = line.data();
  std::size_t length = line.size();
  if (length < 16) {
    std::memset(copy, 0, sizeof copy);
    std::memcpy(copy, bytes, length);
    bytes = copy;
    length = 16;
  }
  // Field k can be loaded from its start while k * width + 16 <= length;
  // later ones end at (k + 1) * width >= 2 * width >= 16, within the line.
  return {bytes, (length - 16) / l.width + 1};
}

__attribute__((target("ssse3"))) unsigned decode_ssse3(const Layout& l, std::string_view line,
                                                          std::size_t fields, float* values) noexcept {
  char copy[16];
  const Source s = source_of(l, line, copy);
  unsigned decoded = 0;
  for (std::size_t k = 0; k < fields; k += 2) {
    const std::size_t next = k + 1 < fields ? k + 1 : k;  // an odd last field pairs with itself
    const Field f = examine(l, load_field(l, s.bytes, k, s.direct));
    const Field g = examine(l, load_field(l, s.bytes, next, s.direct));
    decoded |= finish_pair(l, f, g, values + k) << k;
  }
  return decoded & ((1u << fields) - 1);
}

NOVREL_AVX2 __m256i pattern2(const std::uint8_t* p) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

// Both fields of a pair in one 256-bit vector, one per lane.
__attribute__((target("avx2"))) unsigned decode_avx2(const Layout& l, std::string_view line,
                                                       std::size_t fields, float* values) noexcept {
  char copy[16];
  const Source s = source_of(l, line, copy);
  unsigned decoded = 0;
  for (std::size_t k = 0; k < fields; k += 2) {
    const std::size_t next = k + 1 < fields ? k + 1 : k;
    const __m256i b = _mm256_inserti128_si256(
        _mm256_castsi128_si256(load_field(l, s.bytes, k, s.direct)), load_field(l, s.bytes, next, s.direct), 1);
    const __m256i limit = pattern2(l.limit);
    const __m256i y = _mm256_and_si256(
        _mm256_sub_epi8(_mm256_or_si256(b, pattern2(l.fold)), pattern2(l.base)), pattern2(l.pair));
    const __m256i fits = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(y, limit), limit),
                                         _mm256_cmpeq_epi8(b, pattern2(l.space)));
    const __m256i minus = _mm256_cmpeq_epi8(b, _mm256_set1_epi8('-'));
    const __m256i values2 = _mm256_shuffle_epi8(_mm256_sub_epi8(b, _mm256_set1_epi8('0')), pattern2(l.gather));
    const __m256i pairs = _mm256_maddubs_epi16(values2, _mm256_set1_epi16(0x010A));
    const __m256i groups =
        _mm256_madd_epi16(pairs, _mm256_setr_epi16(100, 1, 100, 1, 1, 0, 1, 0, 100, 1, 100, 1, 1, 0, 1, 0));
    const auto fit_bits = static_cast<unsigned>(_mm256_movemask_epi8(fits));
    const auto minus_bits = static_cast<unsigned>(_mm256_movemask_epi8(minus));
    const Field f{_mm256_castsi256_si128(groups), _mm256_castsi256_si128(minus), minus_bits & 0xFFFFu,
                  (fit_bits & 0xFFFFu) == 0xFFFFu};
    const Field g{_mm256_extracti128_si256(groups, 1), _mm256_extracti128_si256(minus, 1), minus_bits >> 16,
                  (fit_bits >> 16) == 0xFFFFu};
    decoded |= finish_pair(l, f, g, values + k) << k;
  }
  return decoded & ((1u << fields) - 1);
}

#undef NOVREL_SSSE3
#undef NOVREL_AVX2

#endif  // NOVREL_LINE_KERNELS

bool has_kernel(LineKernel kernel) noexcept {
  return (available_line_kernels() >> static_cast<unsigned>(kernel) & 1u) != 0;
}

LineKernel best_kernel() noexcept {
  if (has_kernel(LineKernel::Avx2)) return LineKernel::Avx2;
  if (has_kernel(LineKernel::Ssse3)) return LineKernel::Ssse3;
  return LineKernel::None;
}

constexpr int kNotForced = -1;
std::atomic<int> g_forced{kNotForced};

}  // namespace

unsigned available_line_kernels() noexcept {
  static const unsigned kernels = [] {
    unsigned k = 1u << static_cast<unsigned>(LineKernel::None);
#if defined(NOVREL_LINE_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("ssse3")) k |= 1u << static_cast<unsigned>(LineKernel::Ssse3);
    if (__builtin_cpu_supports("avx2")) k |= 1u << static_cast<unsigned>(LineKernel::Avx2);
#endif
    return k;
  }();
  return kernels;
}

void force_line_kernel(LineKernel kernel) noexcept {
  g_forced.store(static_cast<int>(kernel), std::memory_order_relaxed);
}

void restore_line_kernel() noexcept { g_forced.store(kNotForced, std::memory_order_relaxed); }

FixedLineDecoder FixedLineDecoder::for_width(std::size_t width) noexcept {
  const int forced = g_forced.load(std::memory_order_relaxed);
  return with_kernel(forced == kNotForced ? best_kernel() : static_cast<LineKernel>(forced), width);
}

FixedLineDecoder FixedLineDecoder::with_kernel(LineKernel kernel, std::size_t width) noexcept {
  FixedLineDecoder decoder;
  if (width < kMinWidth || width > kMaxWidth || !has_kernel(kernel)) return decoder;
#if defined(NOVREL_LINE_KERNELS)
  switch (kernel) {
    case LineKernel::Ssse3:
      decoder.run_ = decode_ssse3;
      break;
    case LineKernel::Avx2:
      decoder.run_ = decode_avx2;
      break;
    case LineKernel::None:
      return decoder;
  }
  decoder.layout_ = &kLayouts[width - kMinWidth];
  decoder.kernel_ = kernel;
#endif
  return decoder;
}

}  // namespace novrel::text
