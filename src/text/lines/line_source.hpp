// The plot file as the list module reads it: opened as it stands, then read
// front to back with read(2), one request of kReadBufferSize at a time, until
// a read returns 0. A directory opens and fails at its first read; a file
// that grows while it is read is read to its new end. The lines themselves
// are found by reader::LineWalker, over this source or any other.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "text/io_error.hpp"

namespace novrel::text {

inline constexpr std::size_t kReadBufferSize = 8192;

enum class LineStatus : std::uint8_t { Line, EndOfInput, Error };

// One line as a walker hands it out.
struct NextLine {
  LineStatus status;
  std::string_view text;  // Line only; valid until the next line is taken
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

struct OpenedFile {
  std::optional<FileDescriptor> fd;  // empty on failure
  IoError error;
};

// Opens `path` read-only, verbatim (a path holding a NUL is refused without a
// system call) and with no check of what it names; an interrupted open is
// retried.
OpenedFile open_file(std::string_view path);

// One read(2) of up to `size` bytes, retried while it is interrupted: the
// bytes read, 0 at the end, -1 with errno set.
ssize_t read_some(int fd, char* into, std::size_t size) noexcept;

// The size of the file when it is a regular file, else 0. A hint only: the
// file may grow or shrink while it is read.
std::uint64_t regular_size(int fd) noexcept;

}  // namespace novrel::text
