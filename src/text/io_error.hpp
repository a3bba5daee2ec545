// The error of opening or reading the plot file, and its one-line rendering.
#pragma once

#include <cstdint>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel::text {

// A closed set, rendered by exactly these names: one list makes both the
// enumerators and their text, so the two cannot drift apart.
#define NOVREL_ERROR_KINDS(X)                                                 \
  X(NotFound) X(PermissionDenied) X(ConnectionRefused) X(ConnectionReset)     \
  X(HostUnreachable) X(NetworkUnreachable) X(ConnectionAborted)               \
  X(NotConnected) X(AddrInUse) X(AddrNotAvailable) X(NetworkDown)             \
  X(BrokenPipe) X(AlreadyExists) X(WouldBlock) X(NotADirectory)               \
  X(IsADirectory) X(DirectoryNotEmpty) X(ReadOnlyFilesystem)                  \
  X(FilesystemLoop) X(StaleNetworkFileHandle) X(InvalidInput) X(InvalidData)  \
  X(TimedOut) X(WriteZero) X(StorageFull) X(NotSeekable) X(QuotaExceeded)     \
  X(FileTooLarge) X(ResourceBusy) X(ExecutableFileBusy) X(Deadlock)           \
  X(CrossesDevices) X(TooManyLinks) X(InvalidFilename) X(ArgumentListTooLong) \
  X(Interrupted) X(Unsupported) X(UnexpectedEof) X(OutOfMemory) X(InProgress) \
  X(TooManyOpenFiles) X(Other) X(Uncategorized)

enum class ErrorKind : std::uint8_t {
#define NOVREL_KIND_ENUMERATOR(name) name,
  NOVREL_ERROR_KINDS(NOVREL_KIND_ENUMERATOR)
#undef NOVREL_KIND_ENUMERATOR
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
