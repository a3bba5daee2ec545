// The input layout that the plot-file fuzz targets share: a width selector,
// then the file, written into a memfd that the reader opens through
// /proc/self/fd, so that the real line source reads it with its own
// descriptor, buffer and refills. Sharing the layout lets the targets seed
// each other's corpora.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace plot_input {

[[noreturn]] inline void fail(const char* target, const char* what) {
  std::fprintf(stderr, "%s invariant broken: %s\n", target, what);
  std::abort();
}

// The width is chosen so that every size class that matters is reached:
// small widths (where fields actually fit), medium ones up to 65535, and
// values around SIZE_MAX / d for d = 1..10, where k * width and
// (k + 1) * width leave the size type. `mode` is the selector's first byte,
// whose high bits the targets may read for options of their own.
inline std::size_t take_width(const std::uint8_t*& data, std::size_t& size,
                              std::uint8_t* mode = nullptr) {
  if (size < 3) {
    const std::size_t w = size ? data[0] % 48 : 12;
    if (mode) *mode = size ? data[0] : 0;
    data += size;
    size = 0;
    return w;
  }
  const std::uint8_t m = data[0], a = data[1], b = data[2];
  if (mode) *mode = m;
  data += 3;
  size -= 3;
  switch (m % 8) {
    case 5:
      return std::size_t(a) << 8 | b;
    case 6:
    case 7:
      return SIZE_MAX / (1 + a % 10) + static_cast<std::int8_t>(b);
    default:
      return a % 48;
  }
}

// A memfd holding the current input, and the path that opens it.
class MemFile {
 public:
  explicit MemFile(const char* target) : target_(target), fd_(::memfd_create("plot", MFD_CLOEXEC)) {
    if (fd_ < 0) fail(target_, "memfd_create");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  ~MemFile() { ::close(fd_); }

  void hold(const std::uint8_t* data, std::size_t size) {
    if (::ftruncate(fd_, 0) != 0) fail(target_, "ftruncate");
    if (size && ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) fail(target_, "pwrite");
  }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  std::size_t size() const {
    struct stat st{};
    if (::fstat(fd_, &st) != 0) fail(target_, "fstat");
    return static_cast<std::size_t>(st.st_size);
  }

 private:
  const char* target_;
  int fd_;
  std::string path_;
};

inline int lowest_free_descriptor(const char* target) {
  const int fd = ::dup(0);
  if (fd < 0) fail(target, "dup");
  ::close(fd);
  return fd;
}

}  // namespace plot_input
