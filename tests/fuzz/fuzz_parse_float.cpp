// Fuzz target: parse_float32 and parse_float64 against the C library's
// strtof and strtod.
//
// Two checks per input, each in both formats:
//  1. The raw bytes as a field: parse_float must accept exactly the texts
//     of the field grammar (checked here by an independent matcher), report
//     Empty only for the empty text, and on an accepted decimal text agree
//     bit for bit with strtof or strtod, which round correctly.
//  2. A grammar-valid text built from the bytes (sign, digit runs of up to a
//     few thousand digits, point, exponent), so that every input exercises
//     the conversion paths, the long-digit one included.
// strtof and strtod accept more syntax (hex, "nan(...)", leading space), so
// they are only ever asked about texts that the grammar accepts.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "text/number/number.hpp"

namespace {

using novrel::text::FloatErrorKind;
using novrel::text::parse_float;

// Exponents are saturated at 65536 by the parser; with fewer digits than this
// a saturated exponent still gives the same infinity or zero.
constexpr std::size_t kMaxText = 16384;

template <class T>
[[noreturn]] void fail(std::string_view text, const char* what) {
  std::fprintf(stderr, "parse_float%d(\"%.*s\"): %s\n", static_cast<int>(8 * sizeof(T)),
               static_cast<int>(text.size()), text.data(), what);
  std::abort();
}

template <class T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

template <class T>
Bits<T> bits_of(T f) {
  Bits<T> b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

enum class Form { Rejected, Decimal, Infinity, Nan };

// The field grammar, written out independently of the parser.
Form classify(std::string_view text) {
  std::size_t i = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) i = 1;
  const std::string_view body = text.substr(i);
  if (body.empty()) return Form::Rejected;
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
    return Form::Infinity;
  if (equals_ignoring_case(body, "nan")) return Form::Nan;
  std::size_t p = 0, digits = 0;
  while (p < body.size() && is_digit(body[p])) ++p, ++digits;
  if (p < body.size() && body[p] == '.') {
    ++p;
    while (p < body.size() && is_digit(body[p])) ++p, ++digits;
  }
  if (digits == 0) return Form::Rejected;
  if (p < body.size() && (body[p] == 'e' || body[p] == 'E')) {
    ++p;
    if (p < body.size() && (body[p] == '+' || body[p] == '-')) ++p;
    const std::size_t exponent_start = p;
    while (p < body.size() && is_digit(body[p])) ++p;
    if (p == exponent_start) return Form::Rejected;
  }
  return p == body.size() ? Form::Decimal : Form::Rejected;
}

template <class T>
void check(std::string_view text, Form form) {
  const auto parsed = parse_float<T>(text);
  if (form == Form::Rejected) {
    if (parsed.ok) fail<T>(text, "accepted a text outside the grammar");
    const FloatErrorKind want = text.empty() ? FloatErrorKind::Empty : FloatErrorKind::Invalid;
    if (parsed.error != want) fail<T>(text, "wrong error kind");
    return;
  }
  if (!parsed.ok) fail<T>(text, "rejected a text of the grammar");
  const bool negative = text[0] == '-';
  T want;
  if (form == Form::Nan) {
    want = negative ? -__builtin_nan("") : __builtin_nan("");
  } else if (form == Form::Infinity) {
    want = negative ? -__builtin_inf() : __builtin_inf();
  } else {
    const std::string terminated(text);
    char* end = nullptr;
    errno = 0;
    if constexpr (sizeof(T) == 4)
      want = std::strtof(terminated.c_str(), &end);
    else
      want = std::strtod(terminated.c_str(), &end);
    if (end != terminated.c_str() + terminated.size()) fail<T>(text, "strtof or strtod stopped early");
  }
  if (bits_of(parsed.value) != bits_of(want)) {
    std::fprintf(stderr, "got %a, want %a\n", static_cast<double>(parsed.value), static_cast<double>(want));
    fail<T>(text, "value differs");
  }
}

void check(std::string_view text) {
  const Form form = classify(text);
  check<float>(text, form);
  check<double>(text, form);
}

// Reads the bytes as a recipe for one grammar-valid text.
class Builder {
 public:
  Builder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::string build() {
    std::string out;
    const std::uint8_t flags = next();
    if (flags & 1) out += (flags & 2) ? '-' : '+';
    if ((flags & 0x1C) == 0) {
      static constexpr const char* kSpecial[] = {"inf", "infinity", "nan", "INF",
                                                 "Infinity", "NaN", "iNf", "nAN"};
      out += kSpecial[(flags >> 5) & 7];
      return out;
    }
    digits(out, length());
    const bool point = flags & 0x20;
    if (point) {
      out += '.';
      digits(out, length());
    }
    if (out.find_first_of("0123456789") == std::string::npos) out += '0';
    if (flags & 0x40) {
      out += (flags & 0x80) ? 'E' : 'e';
      const std::uint8_t e = next();
      if (e & 1) out += (e & 2) ? '-' : '+';
      for (std::uint8_t zeros = (e >> 2) & 3; zeros > 0; --zeros) out += '0';
      // Mostly exponents that keep a float32 value finite and non-zero,
      // then those of float64, sometimes far beyond, where the parser's
      // saturation takes over.
      const std::uint32_t value = (e & 0x80) ? next() * 1000u + next() : (e & 0x40) ? next() * 2u : next() % 64u;
      out += std::to_string(value);
    }
    return out;
  }

 private:
  std::uint8_t next() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }

  // Mostly short runs; a run byte with the top bit set asks for a long one
  // that reaches the many-digit path.
  std::size_t length() {
    const std::uint8_t b = next();
    return (b & 0x80) ? (b & 0x7F) * 16u + next() % 16u : b % 24u;
  }

  // A digit byte >= 250 starts a run of repeated zeros or nines, which is
  // how halfway and near-halfway values are spelled.
  void digits(std::string& out, std::size_t count) {
    while (count > 0 && out.size() < kMaxText / 2) {
      const std::uint8_t b = next();
      if (b >= 250) {
        const char fill = (b & 1) ? '9' : '0';
        std::size_t run = 1 + next() % 64u;
        for (; run > 0 && count > 0; --run, --count) out += fill;
        continue;
      }
      out += static_cast<char>('0' + b % 10);
      --count;
    }
  }

  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxText) return 0;
  check(std::string_view(reinterpret_cast<const char*>(data), size));
  Builder builder(data, size);
  check(builder.build());
  return 0;
}
