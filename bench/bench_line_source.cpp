// next_line over a large synthetic plot file: the read, LF search and UTF-8
// check of every line, nothing else.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "text/line_source.hpp"

namespace {

// Ten 14-byte fields per line, as a plot file's data lines are, with a
// leading line every few lines; written once per process.
const std::string& plot_file() {
  static const std::string path = [] {
    char pattern[] = "/tmp/novrel-bench-lines-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) std::abort();
    std::string chunk;
    for (int line = 0; line < 4096; ++line) {
      if (line % 5 == 0) {
        chunk += "  time step " + std::to_string(line) + "\n";
        continue;
      }
      for (int field = 0; field < 10; ++field) {
        char text[32];
        std::snprintf(text, sizeof text, "%14.6E", (line * 10 + field) * 1.0123e-3);
        chunk += text;
      }
      chunk += '\n';
    }
    constexpr std::size_t kTarget = 100u << 20;
    for (std::size_t written = 0; written < kTarget; written += chunk.size()) {
      if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
        std::abort();
      }
    }
    ::close(fd);
    return std::string(pattern);
  }();
  return path;
}

// The file is removed when the process ends, however the benchmarks went.
struct RemovePlotFile {
  ~RemovePlotFile() {
    if (!removed_path.empty()) ::unlink(removed_path.c_str());
  }
  std::string removed_path;
} remove_plot_file;

void BM_NextLine(benchmark::State& state) {
  const std::string& path = plot_file();
  remove_plot_file.removed_path = path;
  std::size_t bytes = 0;
  for (auto _ : state) {
    novrel::text::OpenResult opened = novrel::text::open_line_source(path);
    if (!opened.source) std::abort();
    std::size_t lines = 0;
    for (;;) {
      const novrel::text::NextLine next = opened.source->next_line();
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
