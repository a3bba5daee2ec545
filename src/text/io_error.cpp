#include "text/io_error.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

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

constexpr std::pair<std::int32_t, ErrorKind> kKindsOfCodes[] = {
    {linux_code(1, EPERM), ErrorKind::PermissionDenied},
    {linux_code(2, ENOENT), ErrorKind::NotFound},
    {linux_code(4, EINTR), ErrorKind::Interrupted},
    {linux_code(7, E2BIG), ErrorKind::ArgumentListTooLong},
    {linux_code(11, EAGAIN), ErrorKind::WouldBlock},
    {linux_code(12, ENOMEM), ErrorKind::OutOfMemory},
    {linux_code(13, EACCES), ErrorKind::PermissionDenied},
    {linux_code(16, EBUSY), ErrorKind::ResourceBusy},
    {linux_code(17, EEXIST), ErrorKind::AlreadyExists},
    {linux_code(18, EXDEV), ErrorKind::CrossesDevices},
    {linux_code(20, ENOTDIR), ErrorKind::NotADirectory},
    {linux_code(21, EISDIR), ErrorKind::IsADirectory},
    {linux_code(22, EINVAL), ErrorKind::InvalidInput},
    {linux_code(23, ENFILE), ErrorKind::TooManyOpenFiles},
    {linux_code(24, EMFILE), ErrorKind::TooManyOpenFiles},
    {linux_code(26, ETXTBSY), ErrorKind::ExecutableFileBusy},
    {linux_code(27, EFBIG), ErrorKind::FileTooLarge},
    {linux_code(28, ENOSPC), ErrorKind::StorageFull},
    {linux_code(29, ESPIPE), ErrorKind::NotSeekable},
    {linux_code(30, EROFS), ErrorKind::ReadOnlyFilesystem},
    {linux_code(31, EMLINK), ErrorKind::TooManyLinks},
    {linux_code(32, EPIPE), ErrorKind::BrokenPipe},
    {linux_code(35, EDEADLK), ErrorKind::Deadlock},
    {linux_code(36, ENAMETOOLONG), ErrorKind::InvalidFilename},
    {linux_code(38, ENOSYS), ErrorKind::Unsupported},
    {linux_code(39, ENOTEMPTY), ErrorKind::DirectoryNotEmpty},
    {linux_code(40, ELOOP), ErrorKind::FilesystemLoop},
    {linux_code(95, EOPNOTSUPP), ErrorKind::Unsupported},
    {linux_code(98, EADDRINUSE), ErrorKind::AddrInUse},
    {linux_code(99, EADDRNOTAVAIL), ErrorKind::AddrNotAvailable},
    {linux_code(100, ENETDOWN), ErrorKind::NetworkDown},
    {linux_code(101, ENETUNREACH), ErrorKind::NetworkUnreachable},
    {linux_code(103, ECONNABORTED), ErrorKind::ConnectionAborted},
    {linux_code(104, ECONNRESET), ErrorKind::ConnectionReset},
    {linux_code(107, ENOTCONN), ErrorKind::NotConnected},
    {linux_code(110, ETIMEDOUT), ErrorKind::TimedOut},
    {linux_code(111, ECONNREFUSED), ErrorKind::ConnectionRefused},
    {linux_code(113, EHOSTUNREACH), ErrorKind::HostUnreachable},
    {linux_code(115, EINPROGRESS), ErrorKind::InProgress},
    {linux_code(116, ESTALE), ErrorKind::StaleNetworkFileHandle},
    {linux_code(122, EDQUOT), ErrorKind::QuotaExceeded},
};

ErrorKind kind_of_os_error(std::int32_t code) noexcept {
  for (const auto& [known, kind] : kKindsOfCodes)
    if (known == code) return kind;
  return ErrorKind::Uncategorized;
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
