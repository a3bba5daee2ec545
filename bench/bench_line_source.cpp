// The list module's lines over the first benchmark plot file: the read, LF
// search and UTF-8 check of every line, nothing else.
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "plot_files.hpp"

namespace {

void BM_NextLine(benchmark::State& state) {
  const std::string path = novrel::bench::plot_file(novrel::bench::kShapes[0]);
  std::size_t bytes = 0;
  for (auto _ : state) {
    novrel::bench::Lines source(path);
    std::size_t lines = 0;
    for (;;) {
      const novrel::text::NextLine next = source.next_line();
      if (next.status != novrel::text::LineStatus::Line) break;
      bytes += next.text.size() + 1;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_NextLine)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
