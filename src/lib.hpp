// The plot-file reader.
#pragma once

#include <cstddef>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel {

using Column = failure::Vec<float>;

struct PlotData {
  Column first_column;            // parameter 0 of every block
  failure::Vec<Column> columns;   // N-1 lists: parameter i+1 of every block
};

// Reads one plot file whose data fields are `n_digits` bytes wide. Every
// failure is a failure::FatalError, raised after the file has been closed
// and all storage released on the way up.
PlotData rust_read_torvask(std::string_view file_path, std::size_t n_digits);

}  // namespace novrel
