// Throughput of the plot-file reader alone, without Python, on generated
// ~100 MB files of both field widths, beside:
//   - a reference reader built the same way (same line source, same slicing)
//     but parsing with std::from_chars: what the reader's own number parser
//     is worth against the standard library's;
//   - the line source alone, and the line source plus field slicing and
//     trimming: subtracting these gives where the reader's time goes.
//
// The files come from tools/plotgen.py (see plot_files.hpp).
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "lib.hpp"
#include "plot_files.hpp"
#include "text/kernel.hpp"
#include "text/tokens.hpp"

namespace {

using novrel::bench::kFieldsPerLine;
using novrel::bench::kShapes;
using novrel::bench::plot_file;
using novrel::bench::Shape;

std::size_t file_size(const std::string& path) {
  return static_cast<std::size_t>(std::filesystem::file_size(path));
}

std::uint32_t skip_header(novrel::bench::Lines& source) {
  const std::string_view header = source.next_line().text;
  const auto tokens = novrel::text::split_whitespace(header);
  const std::uint32_t count = *novrel::text::parse_parameter_count(tokens.back());
  for (std::uint32_t i = 0; i < count; ++i) source.next_line();
  return count;
}

// The reference: the reader's structure with the standard library's parser.
// from_chars takes no leading whitespace, so fields lose their ASCII blanks
// first; that is all the trimming these files need.
novrel::PlotData read_with_from_chars(const std::string& path, std::size_t width) {
  novrel::bench::Lines source(path);
  const std::uint32_t count = skip_header(source);
  novrel::PlotData data;
  data.columns.resize(count - 1);
  while (source.next_line().status == novrel::text::LineStatus::Line) {
    for (std::uint32_t j = 0; j < count; j += kFieldsPerLine) {
      const std::string_view line = source.next_line().text;
      const std::size_t fields = std::min<std::size_t>(kFieldsPerLine, count - j);
      for (std::size_t k = 0; k < fields; ++k) {
        const char* first = line.data() + k * width;
        const char* const last = first + width;
        while (first < last && (*first == ' ' || *first == '\t')) ++first;
        float value = 0;
        std::from_chars(first, last, value);
        const std::size_t parameter = j + k;
        (parameter == 0 ? data.first_column : data.columns[parameter - 1]).push_back(value);
      }
    }
  }
  return data;
}

std::size_t value_count(const novrel::PlotData& data) {
  return data.first_column.size() * (data.columns.size() + 1);
}

void set_rates(benchmark::State& state, std::size_t bytes, std::size_t values) {
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
  state.counters["values/s"] = benchmark::Counter(static_cast<double>(values * state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

void BM_reader(benchmark::State& state, std::size_t index) {
  const Shape& shape = kShapes[index];
  const std::string& path = plot_file(shape);
  std::size_t values = 0;
  for (auto _ : state) {
    novrel::PlotData data = novrel::rust_read_torvask(path, shape.width);
    values = value_count(data);
    benchmark::DoNotOptimize(data.first_column.data());
  }
  set_rates(state, file_size(path), values);
}

// The reader with each SIMD kernel forced in turn, the portable code
// included: what the whole-line decoder and the line-end search are worth.
void BM_reader_kernel(benchmark::State& state, std::size_t index, novrel::text::Kernel kernel) {
  novrel::text::force_kernel(kernel);
  BM_reader(state, index);
  novrel::text::restore_kernel();
}

void BM_from_chars(benchmark::State& state, std::size_t index) {
  const Shape& shape = kShapes[index];
  const std::string& path = plot_file(shape);
  std::size_t values = 0;
  for (auto _ : state) {
    novrel::PlotData data = read_with_from_chars(path, shape.width);
    values = value_count(data);
    benchmark::DoNotOptimize(data.first_column.data());
  }
  set_rates(state, file_size(path), values);
  // Both parsers round correctly, so any value that differs is a finding.
  const novrel::PlotData ours = novrel::rust_read_torvask(path, shape.width);
  const novrel::PlotData theirs = read_with_from_chars(path, shape.width);
  std::size_t differ = 0;
  auto compare = [&](const novrel::Column& a, const novrel::Column& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
      differ += std::memcmp(&a[i], &b[i], sizeof(float)) != 0;
    differ += a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  };
  compare(ours.first_column, theirs.first_column);
  for (std::size_t c = 0; c < ours.columns.size() && c < theirs.columns.size(); ++c)
    compare(ours.columns[c], theirs.columns[c]);
  state.counters["differ"] = static_cast<double>(differ);
}

// Reading, line splitting and the UTF-8 check: everything before fields.
void BM_lines(benchmark::State& state, std::size_t index) {
  const Shape& shape = kShapes[index];
  const std::string& path = plot_file(shape);
  std::size_t lines = 0;
  for (auto _ : state) {
    novrel::bench::Lines source(path);
    lines = 0;
    std::size_t bytes = 0;
    for (auto line = source.next_line(); line.status == novrel::text::LineStatus::Line;
         line = source.next_line()) {
      bytes += line.text.size();
      ++lines;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["lines"] = static_cast<double>(lines);
  state.SetBytesProcessed(static_cast<std::int64_t>(file_size(path) * state.iterations()));
}

// Lines plus slicing and trimming every field, without parsing it.
void BM_fields(benchmark::State& state, std::size_t index) {
  const Shape& shape = kShapes[index];
  const std::string& path = plot_file(shape);
  std::size_t values = 0;
  for (auto _ : state) {
    novrel::bench::Lines source(path);
    const std::uint32_t count = skip_header(source);
    values = 0;
    std::size_t kept = 0;
    while (source.next_line().status == novrel::text::LineStatus::Line) {
      for (std::uint32_t j = 0; j < count; j += kFieldsPerLine) {
        const std::string_view line = source.next_line().text;
        const std::size_t fields = std::min<std::size_t>(kFieldsPerLine, count - j);
        for (std::size_t k = 0; k < fields; ++k)
          kept += novrel::text::trim_whitespace(line.substr(k * shape.width, shape.width)).size();
        values += fields;
      }
    }
    benchmark::DoNotOptimize(kept);
  }
  set_rates(state, file_size(path), values);
}

// Rates are per CPU second of the benchmark thread (read(2) included): on a
// shared machine that is steadier than wall time, and the reader never waits
// on the disk once the file is cached.
// Names read "reader/n200-w12"; the stages come first, the whole reader and
// its reference last, so the output reads as a breakdown.
const bool registered = [] {
  using Fn = void (*)(benchmark::State&, std::size_t);
  const std::pair<const char*, Fn> kinds[] = {
      {"lines", BM_lines}, {"fields", BM_fields}, {"reader", BM_reader}, {"from_chars", BM_from_chars}};
  for (const auto& [kind, fn] : kinds) {
    for (std::size_t i = 0; i < std::size(kShapes); ++i) {
      const std::string name = std::string(kind) + "/n" + std::to_string(kShapes[i].params) +
                               "-w" + std::to_string(kShapes[i].width);
      benchmark::RegisterBenchmark(name.c_str(), fn, i)
          ->Unit(benchmark::kMillisecond);
    }
  }
  using novrel::text::Kernel;
  const std::pair<const char*, Kernel> kernels[] = {
      {"portable", Kernel::Portable}, {"ssse3", Kernel::Ssse3}, {"avx2", Kernel::Avx2}};
  for (const auto& [label, kernel] : kernels) {
    if (!novrel::text::has_kernel(kernel)) continue;
    for (std::size_t i = 0; i < std::size(kShapes); ++i) {
      const std::string name = std::string("kernel/") + label + "/n" + std::to_string(kShapes[i].params) +
                               "-w" + std::to_string(kShapes[i].width);
      benchmark::RegisterBenchmark(name.c_str(), BM_reader_kernel, i, kernel)->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace
