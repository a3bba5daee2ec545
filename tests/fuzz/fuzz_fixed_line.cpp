// Fuzz target: the whole-line decoder against the per-field parser.
//
// Input: a selector byte (width, and whether the rest is taken as the line
// itself or as the recipe for one), a byte for the field count, then bytes.
// A recipe builds fields of the fixed layout from its bytes and then
// overwrites single bytes of the line, so that near misses of the layout at
// every position are reached quickly. The line sits in a buffer of its exact
// size, so that AddressSanitizer sees any load past its end.
//
// For every kernel the machine has, each decoded field must hold the value
// parse_float32 (or, decoded to doubles, parse_float64) gives for the
// trimmed field, bit for bit, and the first failing field (the error the
// reader reports) must be the per-field path's. All kernels must decode the
// same fields.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "text/lines/fixed_line.hpp"
#include "text/number/number.hpp"
#include "text/tokens.hpp"
#include "text/lines/utf8.hpp"

namespace {

using novrel::text::FixedLineDecoder;
using novrel::text::Kernel;

[[noreturn]] void fail(const char* what, std::string_view line, std::size_t width, std::size_t field) {
  std::fprintf(stderr, "fuzz_fixed_line: %s (width %zu, field %zu) in '%.*s'\n", what, width, field,
               static_cast<int>(line.size()), line.data());
  std::abort();
}

std::string recipe_line(const std::uint8_t* data, std::size_t size, std::size_t width, std::size_t fields) {
  const std::size_t m = width > 7 ? width - 7 : 1;
  std::size_t at = 0;
  auto next = [&]() -> unsigned { return at < size ? data[at++] : 0u; };
  std::string line;
  for (std::size_t k = 0; k < fields; ++k) {
    line += " +-"[next() % 3];
    line += static_cast<char>('0' + next() % 10);
    line += '.';
    for (std::size_t i = 0; i < m; ++i) line += static_cast<char>('0' + next() % 10);
    const unsigned e = next();
    line += "eE"[e & 1];
    line += "+-"[(e >> 1) & 1];
    const unsigned exponent = next() % 100;
    line += static_cast<char>('0' + exponent / 10);
    line += static_cast<char>('0' + exponent % 10);
  }
  line += std::string(next() % 20, ' ');
  while (at + 1 < size && !line.empty()) {  // edits: position, byte
    const std::size_t position = next() % line.size();
    line[position] = static_cast<char>(next());
  }
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t selector = data[0];
  const std::size_t width = selector & 0x40 ? selector & 31u : 8 + (selector & 7u);
  std::size_t fields = 1 + data[1] % 10;
  data += 2;
  size -= 2;
  std::string text = selector & 0x80 ? std::string(reinterpret_cast<const char*>(data), size)
                                     : recipe_line(data, size, width, fields);
  // The decoder's precondition, as the reader meets it: a checked line that
  // holds every field it is asked for.
  if (!novrel::text::is_valid_utf8(text) || width == 0) return 0;
  if (fields * width > text.size()) fields = text.size() / width;
  if (fields == 0) return 0;

  const std::unique_ptr<char[]> exact(new char[text.size()]);
  std::copy(text.begin(), text.end(), exact.get());
  const std::string_view line(exact.get(), text.size());

  unsigned first_decoded = 0;
  bool first = true;
  for (Kernel kernel : {Kernel::Ssse3, Kernel::Avx2}) {
    if (!(novrel::text::available_kernels() >> static_cast<unsigned>(kernel) & 1)) continue;
    const FixedLineDecoder decoder = FixedLineDecoder::with_kernel(kernel, width);
    float values[novrel::text::kDecodedLineCapacity];
    const unsigned decoded = decoder.decode(line, fields, values);
    if (decoded >> fields != 0) fail("a field beyond the line's count decoded", line, width, fields);
    std::size_t scalar_error = fields, combined_error = fields;
    for (std::size_t k = 0; k < fields; ++k) {
      const auto parsed = novrel::text::parse_float32(novrel::text::trim_whitespace(line.substr(k * width, width)));
      if (!parsed.ok && scalar_error == fields) scalar_error = k;
      if (decoded >> k & 1) {
        if (!parsed.ok) fail("decoded a field the parser rejects", line, width, k);
        if (std::bit_cast<std::uint32_t>(values[k]) != std::bit_cast<std::uint32_t>(parsed.value))
          fail("decoded value differs from the parser's", line, width, k);
      } else if (!parsed.ok && combined_error == fields) {
        combined_error = k;
      }
    }
    if (combined_error != scalar_error) fail("the first failing field differs", line, width, scalar_error);
    double doubles[novrel::text::kDecodedLineCapacity];
    const unsigned decoded64 = decoder.decode(line, fields, doubles);
    if (decoded64 >> fields != 0) fail("a field beyond the line's count decoded to a double", line, width, fields);
    for (std::size_t k = 0; k < fields; ++k) {
      if (!(decoded64 >> k & 1)) continue;
      const auto parsed = novrel::text::parse_float64(novrel::text::trim_whitespace(line.substr(k * width, width)));
      if (!parsed.ok || std::bit_cast<std::uint64_t>(doubles[k]) != std::bit_cast<std::uint64_t>(parsed.value))
        fail("decoded double differs from the parser's", line, width, k);
    }
    if (!first && decoded != first_decoded) fail("kernels decode different fields", line, width, 0);
    first_decoded = decoded;
    first = false;
  }
  return 0;
}
