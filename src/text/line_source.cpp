#include "text/line_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/utf8.hpp"

namespace novrel::text {
namespace {

// read(2) transfers at most this much in one call on every system; a larger
// request is never made.
constexpr std::size_t kMaxReadRequest = 0x7FFFFFFF;

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) static_cast<void>(::close(fd_));
}

LineSource::LineSource(FileDescriptor fd, std::size_t buffer_size)
    : fd_(std::move(fd)),
      buffer_(static_cast<char*>(failure::allocate_bytes(buffer_size))),
      capacity_(buffer_size),
      find_line_end_(line_end_finder(chosen_kernel())) {}

OpenResult open_line_source(std::string_view path, std::size_t buffer_size) {
  if (path.find('\0') != std::string_view::npos) {
    return {std::nullopt, IoError::nul_in_path()};
  }
  const failure::String terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {std::nullopt, IoError::os(errno)};

  // Owned before the buffer is allocated, so a failing allocation still
  // closes it.
  FileDescriptor owner(fd);
  if (buffer_size == 0) buffer_size = 1;
  if (buffer_size > kMaxReadRequest) buffer_size = kMaxReadRequest;
  return {LineSource(std::move(owner), buffer_size), IoError()};
}

NextLine LineSource::next_line() {
  line_.clear();
  std::string_view line;  // the bytes taken, LF included
  bool ascii = false;     // known to be ASCII, so well-formed
  for (;;) {
    if (pos_ >= filled_) {
      ssize_t got;
      for (;;) {
        got = ::read(fd_.get(), buffer_.get(), capacity_);
        if (got >= 0) break;
        const int code = errno;
        pos_ = filled_ = 0;
        if (code != EINTR) {
          line_.clear();
          return {LineStatus::Error, {}, IoError::os(code)};
        }
      }
      pos_ = 0;
      filled_ = static_cast<std::size_t>(got);
    }

    const char* const unread = buffer_.get() + pos_;
    const std::size_t available = filled_ - pos_;
    const LineEnd end = find_line_end_(unread, available);
    if (end.lf < available) {
      terminated_ = true;
      const std::size_t taken = end.lf + 1;
      pos_ += taken;
      if (line_.empty()) {
        line = std::string_view(unread, taken);
        ascii = end.ascii;
      } else {
        line_.append(unread, taken);
        line = line_;
      }
      break;
    }
    if (available == 0) {  // end of file
      terminated_ = false;
      line = line_;
      break;
    }
    line_.append(unread, available);
    pos_ = filled_;
  }

  bytes_taken_ += line.size();
  if (!ascii && !is_valid_utf8(line)) {
    return {LineStatus::Error, {}, IoError::invalid_utf8()};
  }
  if (line.empty()) return {LineStatus::EndOfInput, {}, IoError()};
  if (line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  return {LineStatus::Line, line, IoError()};
}

std::uint64_t LineSource::size_hint() const noexcept {
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace novrel::text
