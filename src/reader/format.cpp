#include "reader/format.hpp"

#include <cstdio>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "failure/memory.hpp"
#include "text/tokens.hpp"

namespace novrel::reader {
namespace {

std::size_t without_trailing_blanks(std::string_view line) noexcept {
  std::size_t end = line.size();
  while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  return end;
}

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

}  // namespace

failure::Vec<failure::String> unique_names(const failure::Vec<failure::String>& names) {
  std::unordered_set<std::string_view, NameHash, std::equal_to<>, failure::Allocator<std::string_view>> taken(
      names.begin(), names.end());
  std::unordered_map<failure::String, std::size_t, NameHash, std::equal_to<>,
                     failure::Allocator<std::pair<const failure::String, std::size_t>>>
      counts;
  auto count_of = [&](std::string_view name) {
    const auto found = counts.find(name);
    return found == counts.end() ? std::size_t{0} : found->second;
  };
  failure::Vec<failure::String> unique(names);
  for (failure::String& name : unique) {
    std::size_t count = count_of(name);
    const failure::String base = name;
    while (count != 0) {
      counts.insert_or_assign(base, count + 1);
      name = base;
      name += '.';
      char digits[24];
      name.append(digits, static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%zu", count)));
      count = taken.contains(name) ? count + 1 : count_of(name);
    }
    counts.insert_or_assign(name, count + 1);
  }
  return unique;
}

HeaderCount count_of_header(std::string_view header) {
  const failure::Vec<std::string_view> tokens = text::split_whitespace(header);
  if (tokens.empty()) return {};
  const auto count = text::parse_parameter_count(tokens.back());
  if (!count) return {0, tokens.back()};
  return {*count, std::nullopt};
}

std::optional<std::size_t> suggested_width(std::string_view line, std::size_t fields) noexcept {
  // Blanks after the fields are padding, so they count only where the line
  // without them is no whole number of fields (a last field written flush
  // left).
  for (const std::size_t length : {without_trailing_blanks(line), line.size()}) {
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
