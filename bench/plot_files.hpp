// Benchmark support: the plot files the benchmarks read. tools/plotgen.py
// writes them, as it does for the end-to-end benchmarks (bench/peers.py),
// under the same names, so the C++ and the Python figures are taken on the
// same bytes and each reuses the files the other wrote.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "reader/block_walker.hpp"
#include "reader/source.hpp"
#include "text/lines/line_source.hpp"

namespace novrel::bench {

constexpr std::size_t kFieldsPerLine = 10;

struct Shape {
  std::uint32_t params;
  std::size_t width;
};

// The two file versions in use: few parameters at 6 significant digits, many
// at 9.
constexpr Shape kShapes[] = {{200, 12}, {1000, 15}};

// The file of `shape`: about $NOVREL_BENCH_MB megabytes (default 100) in
// $NOVREL_BENCH_DIR (default: the temporary directory), written on first
// use and kept.
inline std::string plot_file(const Shape& shape) {
  const char* mb_env = std::getenv("NOVREL_BENCH_MB");
  const long mb = mb_env ? std::atol(mb_env) : 100;
  const std::size_t lines_per_block = (shape.params + kFieldsPerLine - 1) / kFieldsPerLine;
  const std::size_t block_bytes = 7 + shape.params * shape.width + lines_per_block;
  const std::size_t blocks = std::max<std::size_t>(1, (mb > 0 ? mb : 100) * 1000000 / block_bytes);
  const char* dir = std::getenv("NOVREL_BENCH_DIR");
  const std::filesystem::path folder = dir ? dir : std::filesystem::temp_directory_path().string();
  const std::string path = (folder / ("plot-n" + std::to_string(shape.params) + "-w" +
                                      std::to_string(shape.width) + "-b" + std::to_string(blocks) + ".plt"))
                               .string();
  std::error_code ignored;
  if (std::filesystem::exists(path, ignored)) return path;
  std::filesystem::create_directories(folder);
  const std::string partial = path + ".partial";
  const std::string command = "python3 '" NOVREL_PLOTGEN "' '" + partial + "' --params " +
                              std::to_string(shape.params) + " --blocks " + std::to_string(blocks) +
                              " --width " + std::to_string(shape.width) + " --seed 1";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "cannot write %s\n", partial.c_str());
    std::abort();
  }
  std::filesystem::rename(partial, path);
  return path;
}

// The lines of a plot file as the list module takes them: a walker over the
// sequential source.
class Lines {
 public:
  explicit Lines(const std::string& path)
      : file_(open_or_die(path)), walker_(file_, 0, reader::kNoEnd, text::kReadBufferSize) {}
  text::NextLine next_line() { return walker_.next_line(); }

 private:
  static text::FileDescriptor open_or_die(const std::string& path) {
    text::OpenedFile opened = text::open_file(path);
    if (!opened.fd) {
      std::fprintf(stderr, "cannot open %s\n", path.c_str());
      std::abort();
    }
    return std::move(*opened.fd);
  }

  reader::PlotFile file_;
  reader::LineWalker walker_;
};

}  // namespace novrel::bench
