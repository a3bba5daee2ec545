// Lines of the plot file, one at a time, as checked UTF-8 without terminator.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "failure/memory.hpp"
#include "text/io_error.hpp"

namespace novrel::text {

inline constexpr std::size_t kReadBufferSize = 8192;

enum class LineStatus : std::uint8_t { Line, EndOfInput, Error };

struct NextLine {
  LineStatus status;
  std::string_view text;  // Line only; valid until the next call of next_line
  IoError error;          // Error only
};

class LineSource;

struct OpenResult {
  std::optional<LineSource> source;  // empty on failure
  IoError error;
};

// Owns the descriptor and the read buffer; closing and freeing happen in the
// destructor, on success and on every failure path alike.
class LineSource {
 public:
  LineSource(LineSource&& other) noexcept;
  LineSource& operator=(LineSource&&) = delete;
  LineSource(const LineSource&) = delete;
  ~LineSource();

  NextLine next_line();

 private:
  friend OpenResult open_line_source(std::string_view, std::size_t);
  LineSource(int fd, std::size_t buffer_size);

  int fd_;
  // ... implementation-defined members (buffer, pos, filled, line storage)
};

// `buffer_size` is the read request per refill; only tests change it, to make
// every boundary case happen on small inputs.
OpenResult open_line_source(std::string_view path,
                            std::size_t buffer_size = kReadBufferSize);

}  // namespace novrel::text
