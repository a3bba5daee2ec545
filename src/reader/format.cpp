#include "reader/format.hpp"

#include "failure/memory.hpp"
#include "text/tokens.hpp"

namespace novrel::reader {
namespace {

std::size_t without_trailing_blanks(std::string_view line) noexcept {
  std::size_t end = line.size();
  while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  return end;
}

}  // namespace

HeaderCount count_of_header(std::string_view header) {
  const failure::Vec<std::string_view> tokens = text::split_whitespace(header);
  if (tokens.empty()) return {};
  const auto count = text::parse_parameter_count(tokens.back());
  if (!count) return {0, tokens.back()};
  return {*count, std::nullopt};
}

std::optional<std::size_t> suggested_width(std::string_view line, std::size_t fields) noexcept {
  for (const std::size_t length : {line.size(), without_trailing_blanks(line)}) {
    if (length != 0 && length % fields == 0) return length / fields;
  }
  return std::nullopt;
}

bool width_fits(std::string_view line, std::size_t fields, std::size_t width) noexcept {
  const WideIndex end = static_cast<WideIndex>(fields) * width;
  return end <= line.size() && without_trailing_blanks(line) <= end;
}

std::uint64_t blocks_like_the_first(std::uint64_t size, std::uint64_t taken,
                                    std::uint64_t first_block_bytes) noexcept {
  if (first_block_bytes == 0 || size <= taken) return 0;
  return (size - taken) / first_block_bytes + 1;
}

}  // namespace novrel::reader
