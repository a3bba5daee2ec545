#include "failure/memory.hpp"

#include <atomic>
#include <cstdlib>

#include "failure/fatal_error.hpp"
#include "failure/report.hpp"

namespace novrel::failure {
namespace detail {
namespace {

// Set by the first exhaustion: a second one (another thread at the same
// moment, or an exhaustion inside the first one's report) must not try a
// backtrace again.
std::atomic<bool> memory_failure{false};

}  // namespace

void handle_alloc_error_at(std::size_t bytes, const void* site) noexcept {
  {
    Fd2Writer out;
    out.text("memory allocation of ").decimal(bytes).text(" bytes failed\n");
    if (memory_failure.exchange(true, std::memory_order_relaxed)) {
      out.text("skipping backtrace printing to avoid potential recursion\n");
      out.flush();
      abort_process();
    }
  }
  {
    ReportLock lock;
    Fd2Writer out;
    const Style style = backtrace_style();
    // The hint is printed here whatever the first-note flag says: this
    // report ends the process, so it is the last chance to show it.
    if (style == Style::off)
      out.text(kHintLine);
    else
      write_backtrace(out, style, site, /*demangle=*/false);
  }
  abort_process();
}

}  // namespace detail

[[gnu::noinline]] void capacity_overflow(Where where) {
  detail::raise_fixed("capacity overflow", where,
                      __builtin_return_address(0));
}

namespace {

[[noreturn, gnu::cold]] void out_of_memory(std::size_t bytes, const void* site) {
  if (failures_are_quiet()) throw OutOfMemory{bytes};
  detail::handle_alloc_error_at(bytes, site);
}

}  // namespace

[[gnu::noinline]] void* allocate_bytes(std::size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) out_of_memory(bytes, __builtin_return_address(0));
  return p;
}

[[gnu::noinline]] void* reallocate_bytes(void* block, std::size_t bytes) {
  void* p = std::realloc(block, bytes ? bytes : 1);
  if (!p) out_of_memory(bytes, __builtin_return_address(0));
  return p;
}

void release_bytes(void* block) noexcept { std::free(block); }

}  // namespace novrel::failure
