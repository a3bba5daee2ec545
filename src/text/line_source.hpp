// Lines of the plot file, one at a time, as checked UTF-8 without terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "failure/memory.hpp"
#include "text/io_error.hpp"
#include "text/line_end.hpp"

namespace novrel::text {

inline constexpr std::size_t kReadBufferSize = 8192;

enum class LineStatus : std::uint8_t { Line, EndOfInput, Error };

struct NextLine {
  LineStatus status;
  std::string_view text;  // Line only; valid until the next call of next_line
  IoError error;          // Error only
};

// Sole owner of an open descriptor: closes it on destruction and ignores the
// result, since nothing useful can be done about a failed close of a file
// that was only read.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
  }
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  FileDescriptor(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

struct OpenResult;

// Owns the descriptor and the read buffer; closing and freeing happen in the
// destructor, on success and on every failure path alike.
class LineSource {
 public:
  LineSource(LineSource&& other) noexcept = default;
  LineSource& operator=(LineSource&&) = delete;
  LineSource(const LineSource&) = delete;
  ~LineSource() = default;

  NextLine next_line();

  // Bytes of the lines handed out so far, terminators included.
  std::uint64_t bytes_taken() const noexcept { return bytes_taken_; }
  // Whether the last line taken ended with its terminator. Only the file's
  // last line can lack one: it was cut short, or the writer never ended it.
  bool last_line_terminated() const noexcept { return terminated_; }
  // The size of the file when it is a regular file, else 0. A hint only:
  // the file may grow or shrink while it is read.
  std::uint64_t size_hint() const noexcept;

 private:
  friend OpenResult open_line_source(std::string_view, std::size_t);
  LineSource(FileDescriptor fd, std::size_t buffer_size);

  struct Release {
    void operator()(char* block) const noexcept { failure::release_bytes(block); }
  };

  FileDescriptor fd_;
  std::unique_ptr<char[], Release> buffer_;
  std::size_t capacity_;
  std::size_t pos_ = 0;     // first unread byte of buffer_
  std::size_t filled_ = 0;  // valid bytes in buffer_
  std::uint64_t bytes_taken_ = 0;
  bool terminated_ = true;
  FindLineEnd find_line_end_;
  // Only a line that straddles refills is assembled here; a line that lies
  // inside the read buffer is handed out as a view of it. Kept across calls
  // so that steady-state reading allocates nothing.
  failure::String line_;
};

struct OpenResult {
  std::optional<LineSource> source;  // empty on failure
  IoError error;
};

// `buffer_size` is the read request per refill. The list reader keeps the
// default; tests shrink it, to make every boundary case happen on small
// inputs. (The row reader reads through reader::LineWalker, not this.)
OpenResult open_line_source(std::string_view path,
                            std::size_t buffer_size = kReadBufferSize);

}  // namespace novrel::text
