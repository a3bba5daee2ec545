// read_plot FILE [N_DIGITS]: read a plot file with the C++ reader alone (no
// Python) and print what it holds. Useful for timing the reader by itself.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "failure/fatal_error.hpp"
#include "lib.hpp"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FILE [N_DIGITS]\n", argv[0]);
    return 2;
  }
  const std::size_t width = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 12;
  const auto start = std::chrono::steady_clock::now();
  try {
    const novrel::PlotData data = novrel::rust_read_torvask(argv[1], width);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t blocks = data.first_column.size();
    const std::size_t values = blocks * (data.columns.size() + 1);
    std::printf("%s: %zu parameters, %zu blocks, %zu values in %.3f s (%.1f M values/s)\n",
                argv[1], data.columns.size() + 1, blocks, values, seconds,
                values / seconds / 1e6);
    if (blocks > 0) {
      std::printf("first column: %.9g .. %.9g\n", data.first_column.front(),
                  data.first_column.back());
      for (std::size_t i = 0; i < data.columns.size() && i < 4; ++i)
        std::printf("parameter %zu: first %.9g, last %.9g\n", i + 1,
                    data.columns[i].front(), data.columns[i].back());
    }
  } catch (const novrel::failure::FatalError& e) {
    std::fprintf(stderr, "error: %.*s\n", static_cast<int>(e.message().size()),
                 e.message().data());
    return 1;
  }
  return 0;
}
