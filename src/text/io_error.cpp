#include "text/io_error.hpp"

#include <array>
#include <cstring>

#include "failure/fatal_error.hpp"
#include "text/message_text.hpp"
#include "text/utf8.hpp"

// The XSI strerror_r. Under _GNU_SOURCE (always on with g++) the name
// strerror_r is the GNU variant, which may return a static string instead of
// filling the buffer, so the XSI entry point is called by its own name.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen) noexcept;

namespace novrel::text {
namespace {

constexpr std::array<std::string_view, 43> kKindNames = {
    "NotFound",         "PermissionDenied",   "ConnectionRefused",
    "ConnectionReset",  "HostUnreachable",    "NetworkUnreachable",
    "ConnectionAborted", "NotConnected",      "AddrInUse",
    "AddrNotAvailable", "NetworkDown",        "BrokenPipe",
    "AlreadyExists",    "WouldBlock",         "NotADirectory",
    "IsADirectory",     "DirectoryNotEmpty",  "ReadOnlyFilesystem",
    "FilesystemLoop",   "StaleNetworkFileHandle", "InvalidInput",
    "InvalidData",      "TimedOut",           "WriteZero",
    "StorageFull",      "NotSeekable",        "QuotaExceeded",
    "FileTooLarge",     "ResourceBusy",       "ExecutableFileBusy",
    "Deadlock",         "CrossesDevices",     "TooManyLinks",
    "InvalidFilename",  "ArgumentListTooLong", "Interrupted",
    "Unsupported",      "UnexpectedEof",      "OutOfMemory",
    "InProgress",       "TooManyOpenFiles",   "Other",
    "Uncategorized",
};
static_assert(static_cast<std::size_t>(ErrorKind::Uncategorized) + 1 ==
              kKindNames.size());

// The C library's text for `code`, lossily decoded.
void append_os_message(failure::String& out, std::int32_t code) {
  char buffer[128] = {};
  if (__xpg_strerror_r(code, buffer, sizeof buffer) < 0) {
    failure::raise("strerror_r failure");
  }
  append_utf8_lossy(out, std::string_view(buffer, ::strnlen(buffer, sizeof buffer)));
}

}  // namespace

std::string_view kind_name(ErrorKind kind) noexcept {
  return kKindNames[static_cast<std::size_t>(kind)];
}

// Linux error numbers, written out: the kinds belong to these values, not to
// whatever the C library's macros expand to.
ErrorKind kind_of_os_error(std::int32_t code) noexcept {
  using K = ErrorKind;
  switch (code) {
    case 1: return K::PermissionDenied;       // EPERM
    case 2: return K::NotFound;               // ENOENT
    case 4: return K::Interrupted;            // EINTR
    case 7: return K::ArgumentListTooLong;    // E2BIG
    case 11: return K::WouldBlock;            // EAGAIN
    case 12: return K::OutOfMemory;           // ENOMEM
    case 13: return K::PermissionDenied;      // EACCES
    case 16: return K::ResourceBusy;          // EBUSY
    case 17: return K::AlreadyExists;         // EEXIST
    case 18: return K::CrossesDevices;        // EXDEV
    case 20: return K::NotADirectory;         // ENOTDIR
    case 21: return K::IsADirectory;          // EISDIR
    case 22: return K::InvalidInput;          // EINVAL
    case 23: return K::TooManyOpenFiles;      // ENFILE
    case 24: return K::TooManyOpenFiles;      // EMFILE
    case 26: return K::ExecutableFileBusy;    // ETXTBSY
    case 27: return K::FileTooLarge;          // EFBIG
    case 28: return K::StorageFull;           // ENOSPC
    case 29: return K::NotSeekable;           // ESPIPE
    case 30: return K::ReadOnlyFilesystem;    // EROFS
    case 31: return K::TooManyLinks;          // EMLINK
    case 32: return K::BrokenPipe;            // EPIPE
    case 35: return K::Deadlock;              // EDEADLK
    case 36: return K::InvalidFilename;       // ENAMETOOLONG
    case 38: return K::Unsupported;           // ENOSYS
    case 39: return K::DirectoryNotEmpty;     // ENOTEMPTY
    case 40: return K::FilesystemLoop;        // ELOOP
    case 95: return K::Unsupported;           // EOPNOTSUPP
    case 98: return K::AddrInUse;             // EADDRINUSE
    case 99: return K::AddrNotAvailable;      // EADDRNOTAVAIL
    case 100: return K::NetworkDown;          // ENETDOWN
    case 101: return K::NetworkUnreachable;   // ENETUNREACH
    case 103: return K::ConnectionAborted;    // ECONNABORTED
    case 104: return K::ConnectionReset;      // ECONNRESET
    case 107: return K::NotConnected;         // ENOTCONN
    case 110: return K::TimedOut;             // ETIMEDOUT
    case 111: return K::ConnectionRefused;    // ECONNREFUSED
    case 113: return K::HostUnreachable;      // EHOSTUNREACH
    case 115: return K::InProgress;           // EINPROGRESS
    case 116: return K::StaleNetworkFileHandle;  // ESTALE
    case 122: return K::QuotaExceeded;        // EDQUOT
    default: return K::Uncategorized;
  }
}

failure::String render_io_error(const IoError& error) {
  failure::String out;
  if (error.is_os()) {
    out.append("Os { code: ");
    append_decimal(out, error.code());
    out.append(", kind: ");
    out.append(kind_name(error.kind()));
    out.append(", message: \"");
    append_os_message(out, error.code());
    out.append("\" }");
  } else {
    out.append("Error { kind: ");
    out.append(kind_name(error.kind()));
    out.append(", message: ");
    append_quoted(out, error.message());
    out.append(" }");
  }
  return out;
}

failure::String render_os_error_short(std::int32_t code) {
  failure::String out;
  append_os_message(out, code);
  out.append(" (os error ");
  append_decimal(out, code);
  out.push_back(')');
  return out;
}

}  // namespace novrel::text
