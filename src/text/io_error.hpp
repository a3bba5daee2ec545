// The error of opening or reading the plot file, and its one-line rendering.
#pragma once

#include <cstdint>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel::text {

// A closed set; rendered by exactly these names.
enum class ErrorKind : std::uint8_t {
  NotFound, PermissionDenied, ConnectionRefused, ConnectionReset,
  HostUnreachable, NetworkUnreachable, ConnectionAborted, NotConnected,
  AddrInUse, AddrNotAvailable, NetworkDown, BrokenPipe, AlreadyExists,
  WouldBlock, NotADirectory, IsADirectory, DirectoryNotEmpty,
  ReadOnlyFilesystem, FilesystemLoop, StaleNetworkFileHandle, InvalidInput,
  InvalidData, TimedOut, WriteZero, StorageFull, NotSeekable, QuotaExceeded,
  FileTooLarge, ResourceBusy, ExecutableFileBusy, Deadlock, CrossesDevices,
  TooManyLinks, InvalidFilename, ArgumentListTooLong, Interrupted,
  Unsupported, UnexpectedEof, OutOfMemory, InProgress, TooManyOpenFiles,
  Other, Uncategorized,
};

std::string_view kind_name(ErrorKind kind) noexcept;
ErrorKind kind_of_os_error(std::int32_t code) noexcept;

// Either an OS error (an errno code) or a fixed-message error. Cheap to copy:
// the fixed message is always a literal.
class IoError {
 public:
  static IoError os(std::int32_t code) noexcept { return IoError(code); }
  static IoError fixed(ErrorKind kind, std::string_view message) noexcept {
    return IoError(kind, message);
  }
  static IoError nul_in_path() noexcept {
    return fixed(ErrorKind::InvalidInput,
                 "file name contained an unexpected NUL byte");
  }
  static IoError invalid_utf8() noexcept {
    return fixed(ErrorKind::InvalidData, "stream did not contain valid UTF-8");
  }

  IoError() noexcept = default;
  bool is_os() const noexcept { return message_.empty(); }
  std::int32_t code() const noexcept { return code_; }  // OS errors only
  ErrorKind kind() const noexcept {
    return is_os() ? kind_of_os_error(code_) : kind_;
  }
  std::string_view message() const noexcept { return message_; }  // fixed only

 private:
  explicit IoError(std::int32_t code) noexcept : code_(code) {}
  IoError(ErrorKind kind, std::string_view message) noexcept
      : kind_(kind), message_(message) {}

  std::int32_t code_ = 0;
  ErrorKind kind_ = ErrorKind::Uncategorized;
  std::string_view message_;
};

// `Os { code: 2, kind: NotFound, message: "No such file or directory" }` or
// `Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }`.
// A negative result of strerror_r is the fatal error "strerror_r failure".
failure::String render_io_error(const IoError& error);

// "{message} (os error {code})": the short form used where a write fails.
failure::String render_os_error_short(std::int32_t code);

}  // namespace novrel::text
