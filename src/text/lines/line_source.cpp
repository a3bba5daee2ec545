#include "text/lines/line_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "failure/memory.hpp"

namespace novrel::text {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) static_cast<void>(::close(fd_));
}

OpenedFile open_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return {std::nullopt, IoError::nul_in_path()};
  const failure::String terminated(path);
  int fd;
  do {
    fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {std::nullopt, IoError::os(errno)};
  return {FileDescriptor(fd), IoError()};
}

ssize_t read_some(int fd, char* into, std::size_t size) noexcept {
  for (;;) {
    const ssize_t got = ::read(fd, into, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

std::uint64_t regular_size(int fd) noexcept {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace novrel::text
