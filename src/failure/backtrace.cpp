// Backtraces for failure reports: glibc's backtrace() for the frames, dladdr()
// for names. dladdr() sees only dynamic symbols, so in the Python module the
// module's own hidden functions print as "<unknown>"; the object and offset
// on the "at" line still locate them (addr2line -e OBJECT OFFSET).
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>

#include <cstdlib>

#include "failure/report.hpp"

namespace novrel::failure::detail {
namespace {

constexpr int kMaxFrames = 128;
constexpr int kAddressDigits = 2 * sizeof(void*);

void write_name(Fd2Writer& out, const char* mangled, bool demangle) noexcept {
  if (demangle) {
    int status = 0;
    // The one allocation of a report. It happens only for fatal errors, not
    // for memory exhaustion, and a failed allocation (status -1) falls back
    // to the mangled name.
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status == 0 && readable != nullptr) {
      out.text(readable);
      std::free(readable);
      return;
    }
    std::free(readable);
  }
  out.text(mangled);
}

void write_frame(Fd2Writer& out, int index, const void* pc, Style style,
                 bool demangle) noexcept {
  const char* padding = index < 10 ? "   " : index < 100 ? "  " : " ";
  out.text(padding).decimal(static_cast<unsigned>(index)).text(": ");
  if (style == Style::full)
    out.hex(reinterpret_cast<std::uintptr_t>(pc), kAddressDigits).text(" - ");

  // A return address may lie just past the end of its function (a call to a
  // noreturn function is often the last instruction), so the call
  // instruction itself, one byte back, names the frame.
  const void* lookup = static_cast<const char*>(pc) - 1;
  Dl_info info{};
  const bool found = ::dladdr(lookup, &info) != 0;
  if (found && info.dli_sname != nullptr)
    write_name(out, info.dli_sname, demangle);
  else
    out.text("<unknown>");
  out.text("\n");
  if (found && info.dli_fname != nullptr) {
    out.text("             at ").text(info.dli_fname).text("+");
    // Addresses inside an object as addr2line takes them: relative to the
    // load address for position-independent objects, absolute for a
    // fixed-address executable (whose ELF header sits at its load address).
    const auto* header = static_cast<const ElfW(Ehdr)*>(info.dli_fbase);
    const std::uintptr_t base =
        header->e_type == ET_EXEC
            ? 0
            : reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    out.hex(reinterpret_cast<std::uintptr_t>(pc) - base).text("\n");
  }
}

// The first call of backtrace() loads the unwinder (dlopen, which allocates);
// doing it at load time keeps later reports, the memory-exhaustion one
// included, from allocating for it.
[[gnu::constructor]] void prime_at_load() { prime_backtrace(); }

}  // namespace

void prime_backtrace() noexcept {
  void* frame[1];
  ::backtrace(frame, 1);
}

void write_backtrace(Fd2Writer& out, Style style, const void* site,
                     bool demangle) noexcept {
  void* frames[kMaxFrames];
  const int count = ::backtrace(frames, kMaxFrames);

  int first = 0;
  if (style != Style::full) {
    // The frames above the failing site's are the reporting machinery.
    for (int i = 0; i < count; ++i) {
      if (frames[i] == site) {
        first = i;
        break;
      }
    }
  }
  out.text("stack backtrace:\n");
  for (int i = first; i < count; ++i)
    write_frame(out, i - first, frames[i], style, demangle);
  if (style != Style::full)
    out.text(
        "note: Some details are omitted, run with `RUST_BACKTRACE=full` for "
        "a verbose backtrace.\n");
}

}  // namespace novrel::failure::detail
