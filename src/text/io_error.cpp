#include "text/io_error.hpp"

#include <cerrno>
#include <cstring>

#include "failure/fatal_error.hpp"
#include "text/message_text.hpp"
#include "text/lines/utf8.hpp"

// The XSI strerror_r. Under _GNU_SOURCE (always on with g++) the name
// strerror_r is the GNU variant, which may return a static string instead of
// filling the buffer, so the XSI entry point is called by its own name.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen) noexcept;

namespace novrel::text {
namespace {

constexpr std::string_view kKindNames[] = {
#define NOVREL_KIND_NAME(name) #name,
    NOVREL_ERROR_KINDS(NOVREL_KIND_NAME)
#undef NOVREL_KIND_NAME
};

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
// whatever the C library's macros expand to. Each is checked against the
// macro of its name when compiling, so a mistyped number cannot build.
consteval std::int32_t linux_code(std::int32_t number, std::int32_t named) {
  if (number != named) throw "the C library numbers this error differently";
  return number;
}

ErrorKind kind_of_os_error(std::int32_t code) noexcept {
  using K = ErrorKind;
  switch (code) {
    case linux_code(1, EPERM): return K::PermissionDenied;
    case linux_code(2, ENOENT): return K::NotFound;
    case linux_code(4, EINTR): return K::Interrupted;
    case linux_code(7, E2BIG): return K::ArgumentListTooLong;
    case linux_code(11, EAGAIN): return K::WouldBlock;
    case linux_code(12, ENOMEM): return K::OutOfMemory;
    case linux_code(13, EACCES): return K::PermissionDenied;
    case linux_code(16, EBUSY): return K::ResourceBusy;
    case linux_code(17, EEXIST): return K::AlreadyExists;
    case linux_code(18, EXDEV): return K::CrossesDevices;
    case linux_code(20, ENOTDIR): return K::NotADirectory;
    case linux_code(21, EISDIR): return K::IsADirectory;
    case linux_code(22, EINVAL): return K::InvalidInput;
    case linux_code(23, ENFILE): return K::TooManyOpenFiles;
    case linux_code(24, EMFILE): return K::TooManyOpenFiles;
    case linux_code(26, ETXTBSY): return K::ExecutableFileBusy;
    case linux_code(27, EFBIG): return K::FileTooLarge;
    case linux_code(28, ENOSPC): return K::StorageFull;
    case linux_code(29, ESPIPE): return K::NotSeekable;
    case linux_code(30, EROFS): return K::ReadOnlyFilesystem;
    case linux_code(31, EMLINK): return K::TooManyLinks;
    case linux_code(32, EPIPE): return K::BrokenPipe;
    case linux_code(35, EDEADLK): return K::Deadlock;
    case linux_code(36, ENAMETOOLONG): return K::InvalidFilename;
    case linux_code(38, ENOSYS): return K::Unsupported;
    case linux_code(39, ENOTEMPTY): return K::DirectoryNotEmpty;
    case linux_code(40, ELOOP): return K::FilesystemLoop;
    case linux_code(95, EOPNOTSUPP): return K::Unsupported;
    case linux_code(98, EADDRINUSE): return K::AddrInUse;
    case linux_code(99, EADDRNOTAVAIL): return K::AddrNotAvailable;
    case linux_code(100, ENETDOWN): return K::NetworkDown;
    case linux_code(101, ENETUNREACH): return K::NetworkUnreachable;
    case linux_code(103, ECONNABORTED): return K::ConnectionAborted;
    case linux_code(104, ECONNRESET): return K::ConnectionReset;
    case linux_code(107, ENOTCONN): return K::NotConnected;
    case linux_code(110, ETIMEDOUT): return K::TimedOut;
    case linux_code(111, ECONNREFUSED): return K::ConnectionRefused;
    case linux_code(113, EHOSTUNREACH): return K::HostUnreachable;
    case linux_code(115, EINPROGRESS): return K::InProgress;
    case linux_code(116, ESTALE): return K::StaleNetworkFileHandle;
    case linux_code(122, EDQUOT): return K::QuotaExceeded;
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
