#include "text/io_error.hpp"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace novrel::text {
namespace {

// The kind of each error code, written against the C library's own macros so
// that a wrong number in the implementation's table shows up.
TEST(IoErrorKind, OfEachErrorCode) {
  const std::pair<int, const char*> table[] = {
      {EPERM, "PermissionDenied"}, {ENOENT, "NotFound"}, {EINTR, "Interrupted"},
      {E2BIG, "ArgumentListTooLong"}, {EAGAIN, "WouldBlock"}, {ENOMEM, "OutOfMemory"},
      {EACCES, "PermissionDenied"}, {EBUSY, "ResourceBusy"}, {EEXIST, "AlreadyExists"},
      {EXDEV, "CrossesDevices"}, {ENOTDIR, "NotADirectory"}, {EISDIR, "IsADirectory"},
      {EINVAL, "InvalidInput"}, {ENFILE, "TooManyOpenFiles"}, {EMFILE, "TooManyOpenFiles"},
      {ETXTBSY, "ExecutableFileBusy"}, {EFBIG, "FileTooLarge"}, {ENOSPC, "StorageFull"},
      {ESPIPE, "NotSeekable"}, {EROFS, "ReadOnlyFilesystem"}, {EMLINK, "TooManyLinks"},
      {EPIPE, "BrokenPipe"}, {EDEADLK, "Deadlock"}, {ENAMETOOLONG, "InvalidFilename"},
      {ENOSYS, "Unsupported"}, {ENOTEMPTY, "DirectoryNotEmpty"}, {ELOOP, "FilesystemLoop"},
      {EOPNOTSUPP, "Unsupported"}, {EADDRINUSE, "AddrInUse"},
      {EADDRNOTAVAIL, "AddrNotAvailable"}, {ENETDOWN, "NetworkDown"},
      {ENETUNREACH, "NetworkUnreachable"}, {ECONNABORTED, "ConnectionAborted"},
      {ECONNRESET, "ConnectionReset"}, {ENOTCONN, "NotConnected"},
      {ETIMEDOUT, "TimedOut"}, {ECONNREFUSED, "ConnectionRefused"},
      {EHOSTUNREACH, "HostUnreachable"}, {EINPROGRESS, "InProgress"},
      {ESTALE, "StaleNetworkFileHandle"}, {EDQUOT, "QuotaExceeded"},
      {EIO, "Uncategorized"}, {ENXIO, "Uncategorized"}, {0, "Uncategorized"},
      {-1, "Uncategorized"}, {4000, "Uncategorized"}};
  for (const auto& [code, name] : table) {
    EXPECT_EQ(kind_name(kind_of_os_error(code)), name) << "code " << code;
  }
}

struct RenderCase {
  IoError error;
  const char* rendering;
};

TEST(IoErrorRendering, OnOneLine) {
  const RenderCase table[] = {
      {IoError::os(2), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
      {IoError::os(5), "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }"},
      {IoError::os(21), "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }"},
      // Codes the C library does not know still render its fallback text.
      {IoError::os(4000), "Os { code: 4000, kind: Uncategorized, message: \"Unknown error 4000\" }"},
      {IoError::os(-3), "Os { code: -3, kind: Uncategorized, message: \"Unknown error -3\" }"},
      {IoError::nul_in_path(),
       "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }"},
      {IoError::invalid_utf8(),
       "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }"},
      {IoError::fixed(ErrorKind::Other, "say \"hi\"\\\n\x01"),
       "Error { kind: Other, message: \"say \\\"hi\\\"\\\\\\n\\u{1}\" }"},
  };
  for (const RenderCase& c : table) {
    EXPECT_EQ(std::string_view(render_io_error(c.error)), c.rendering);
  }
}

TEST(IoErrorRendering, ShortFormForAFailedWrite) {
  EXPECT_EQ(std::string_view(render_os_error_short(32)), "Broken pipe (os error 32)");
  EXPECT_EQ(std::string_view(render_os_error_short(4000)), "Unknown error 4000 (os error 4000)");
}

}  // namespace
}  // namespace novrel::text
