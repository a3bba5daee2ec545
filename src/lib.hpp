// The list module's read: a plot file as lists, one per parameter.
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

// Reads one plot file whose data fields are `n_digits` bytes wide, as lists.
//
// A failure is a failure::FatalError raised at its site: its report is on
// fd 2 by then (and a rejected parameter count has printed its line on fd 1
// first); the frames it leaves close the file and free all storage on the
// way up. Running out of memory aborts the process.
PlotData rust_read_torvask(std::string_view file_path, std::size_t n_digits);

}  // namespace novrel
