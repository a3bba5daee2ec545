// The rows sink's storage and plan: the block of values that numpy takes
// over, and which fields of a block go where in its row.
#include "reader/row_sink.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <variant>

#include "reader/rows.hpp"

namespace novrel {

namespace {

// Below this a block gains little from huge pages (numpy draws the line at
// the same size for its own arrays).
constexpr std::size_t kHugePagesFrom = 4u << 20;

// Asks for huge pages behind the whole pages of [data, data + bytes). The
// rows are written once, front to back, into memory the block has never
// touched: in 4 KiB pages every one is a fault of its own, 16,000 for a
// 64 MiB float64 read, which cost more system time than the file's own
// read(2) calls (0.07 s against 0.02 s on amd64). A refusal (no THP, or
// none to spare) only leaves the small pages.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t end = (start + bytes) & ~(page - 1);
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)data, (void)bytes;
#endif
}

}  // namespace

void ValueBlock::resize(std::size_t bytes) {
  const bool grows = bytes > bytes_;
  data_ = failure::reallocate_bytes(data_, bytes);
  bytes_ = bytes;
  // Growth moves a large block by remapping its pages, which keeps the advice;
  // a block that moved from the heap to a mapping of its own needs it anew.
  if (grows && bytes >= kHugePagesFrom) prefer_huge_pages(data_, bytes);
}

namespace reader {
namespace {

// The chosen parameters as indices, names looked up among the unique ones.
failure::Vec<std::int64_t> indices_of(const failure::Vec<ParameterChoice>& chosen,
                                      const failure::Vec<failure::String>& names) {
  failure::Vec<std::int64_t> indices;
  indices.reserve(chosen.size());
  failure::Vec<failure::String> unique;
  for (const ParameterChoice& parameter : chosen) {
    if (const auto* index = std::get_if<std::int64_t>(&parameter)) {
      indices.push_back(*index);
      continue;
    }
    const auto& name = std::get<failure::String>(parameter);
    if (unique.empty()) unique = unique_names(names);
    const auto found = std::find(unique.begin(), unique.end(), name);
    if (found == unique.end()) {
      throw ReadError(ReadProblem::no_name).showing(name);
    }
    indices.push_back(found - unique.begin());
  }
  return indices;
}

}  // namespace

Resolved resolve(const BlockChoice& choice, std::uint64_t blocks) {
  const auto n = static_cast<std::int64_t>(blocks);
  auto bound = [&](std::optional<std::int64_t> given, std::int64_t absent) {
    if (!given) return absent;
    return *given < 0 ? std::max<std::int64_t>(0, *given + n) : std::min(*given, n);
  };
  const auto start = static_cast<std::uint64_t>(bound(choice.start, 0));
  const auto stop = static_cast<std::uint64_t>(bound(choice.stop, n));
  const auto step = static_cast<std::uint64_t>(choice.step);
  return {start, stop, step, stop > start ? (stop - start + step - 1) / step : 0};
}

RowPlan plan_rows(const BlockGeometry& geometry, const failure::Vec<ParameterChoice>& parameters,
                  const failure::Vec<failure::String>& names) {
  const failure::Vec<std::int64_t> chosen = indices_of(parameters, names);
  RowPlan plan;
  const std::uint32_t count = geometry.count();
  if (chosen.empty()) {
    plan.lines.reserve(static_cast<std::size_t>(geometry.data_lines()));
    for (std::uint64_t d = 0; d < geometry.data_lines(); ++d)
      plan.lines.push_back({d, geometry.fields_on(d), true, static_cast<std::size_t>(d * kFieldsPerLine)});
    return plan;
  }
  plan.parameters.push_back(0);
  for (const std::int64_t given : chosen) {
    const std::int64_t index = given < 0 ? given + count : given;
    if (index < 0 || index >= std::int64_t{count}) {
      ReadError error(ReadProblem::no_parameter);
      error.count = count;
      char digits[24];
      const int length = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(given));
      throw error.showing(std::string_view(digits, static_cast<std::size_t>(length)));
    }
    const auto parameter = static_cast<std::uint32_t>(index);
    if (parameter == 0) continue;
    if (std::find(plan.parameters.begin(), plan.parameters.end(), parameter) != plan.parameters.end()) {
      ReadError error(ReadProblem::parameter_twice);
      error.parameter = parameter;
      throw error;
    }
    plan.parameters.push_back(parameter);
  }
  // The lines in file order, each with its chosen fields in line order, so
  // that the first failing field in the file decides a failure.
  failure::Vec<std::uint32_t> order(plan.parameters.size());
  for (std::uint32_t j = 0; j < order.size(); ++j) order[j] = j;
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return plan.parameters[a] < plan.parameters[b]; });
  for (const std::uint32_t column : order) {
    const std::uint32_t parameter = plan.parameters[column];
    const std::uint64_t d = BlockGeometry::data_line_of(parameter);
    if (plan.lines.empty() || plan.lines.back().data_line != d)
      plan.lines.push_back({d, geometry.fields_on(d), false, 0});
    RowPlan::Line& line = plan.lines.back();
    line.slot[line.chosen] = static_cast<std::uint8_t>(BlockGeometry::slot_of(parameter));
    line.to[line.chosen++] = column;
  }
  return plan;
}

}  // namespace reader
}  // namespace novrel
