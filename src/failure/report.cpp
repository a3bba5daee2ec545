// Process-wide and per-thread failure state, and the report itself.
#include "failure/report.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef NOVREL_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace novrel::failure::detail {
namespace {

std::atomic<int> style_state{static_cast<int>(Style::unread)};
// Cleared by the first report that prints the hint, so it appears once.
std::atomic<bool> first_note{true};

std::mutex report_mutex;
// Thread id of the lock's holder, 0 when free. Kept apart from thread_local
// state because the memory-exhaustion path must not touch thread_local
// storage: in a dlopen()ed module its first use on a thread may allocate.
std::atomic<long> report_owner{0};

thread_local bool in_report = false;

// QuietFailures scopes open over all threads. The memory-exhaustion path asks
// whether its thread is quiet; while no scope is open anywhere the answer
// needs no thread_local access, which that path must avoid (see above).
std::atomic<std::size_t> quiet_scopes{0};
thread_local bool quiet = false;

Style style_from_environment() noexcept {
  const char* value = std::getenv("RUST_BACKTRACE");
  if (value == nullptr || std::strcmp(value, "0") == 0) return Style::off;
  if (std::strcmp(value, "full") == 0) return Style::full;
  return Style::short_form;
}

[[noreturn]] void abort_in_report(std::string_view message, bool composed,
                                  const Where& where) noexcept {
  {
    Fd2Writer out;
    out.text("panicked at ").location(where).text(":\n");
    if (!composed) out.text(message);
    out.text("\nthread panicked while processing panic. aborting.\n");
  }
  abort_process();
}

}  // namespace

std::atomic<std::size_t> fatal_error_count{0};
constinit thread_local std::uint32_t nesting = 0;

Fd2Writer& Fd2Writer::text(std::string_view s) noexcept {
  if (s.size() > kCapacity - used_) {
    flush();
    if (s.size() >= kCapacity) {
      write_diagnostic(s);
      return *this;
    }
  }
  std::memcpy(buffer_ + used_, s.data(), s.size());
  used_ += s.size();
  return *this;
}

Fd2Writer& Fd2Writer::decimal(std::uint64_t value) noexcept {
  char digits[20];
  std::size_t n = sizeof digits;
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return text({digits + n, sizeof digits - n});
}

Fd2Writer& Fd2Writer::hex(std::uintptr_t value, int digits) noexcept {
  char out[2 + 2 * sizeof(std::uintptr_t)];
  std::size_t n = sizeof out;
  int written = 0;
  do {
    out[--n] = "0123456789abcdef"[value & 0xf];
    value >>= 4;
    ++written;
  } while (value != 0 || written < digits);
  out[--n] = 'x';
  out[--n] = '0';
  return text({out + n, sizeof out - n});
}

Fd2Writer& Fd2Writer::location(const Where& where) noexcept {
  return text(where.file_name()).text(":").decimal(where.line()).text(":").decimal(
      where.column());
}

void Fd2Writer::flush() noexcept {
  write_diagnostic({buffer_, used_});
  used_ = 0;
}

Style backtrace_style() noexcept {
  int seen = style_state.load(std::memory_order_acquire);
  if (seen != static_cast<int>(Style::unread)) return static_cast<Style>(seen);
  const int read = static_cast<int>(style_from_environment());
  // A racing thread may have read a different value (the environment changed
  // in between); everyone keeps whichever was stored first.
  if (style_state.compare_exchange_strong(seen, read,
                                          std::memory_order_acq_rel))
    return static_cast<Style>(read);
  return static_cast<Style>(seen);
}

long current_tid() noexcept { return ::syscall(SYS_gettid); }

void abort_process() noexcept {
#ifdef NOVREL_COVERAGE
  __gcov_dump();
#endif
  std::abort();
}

ReportLock::ReportLock() noexcept {
  const long self = current_tid();
  owner_ = report_owner.load(std::memory_order_relaxed) != self;
  if (owner_) {
    report_mutex.lock();
    report_owner.store(self, std::memory_order_relaxed);
  }
}

ReportLock::~ReportLock() {
  if (owner_) {
    report_owner.store(0, std::memory_order_relaxed);
    report_mutex.unlock();
  }
}

void count_failure() noexcept {
  fatal_error_count.fetch_add(1, std::memory_order_relaxed);
  ++nesting;
}

void report_failure(std::string_view message, bool composed,
                    const Where& where, Trace trace,
                    const void* site) noexcept {
  if (in_report) abort_in_report(message, composed, where);
  count_failure();
  in_report = true;

  Style style = Style::off;
  if (trace == Trace::by_style)
    style = nesting >= 2 ? Style::full : backtrace_style();

  {
    ReportLock lock;
    Fd2Writer out;
    out.text("\nthread '<unnamed>' (")
        .decimal(static_cast<std::uint64_t>(current_tid()))
        .text(") panicked at ")
        .location(where)
        .text(":\n")
        .text(message)
        .text("\n");
    if (trace == Trace::by_style) {
      if (style == Style::off) {
        if (first_note.exchange(false, std::memory_order_relaxed))
          out.text(kHintLine);
      } else {
        write_backtrace(out, style, site, /*demangle=*/true);
      }
    }
    out.flush();
  }
  in_report = false;
}

}  // namespace novrel::failure::detail

namespace novrel::failure {

void write_diagnostic(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

namespace detail {
void acknowledge_catch() noexcept {
  if (nesting == 0) return;
  --nesting;
  fatal_error_count.fetch_sub(1, std::memory_order_relaxed);
}
}  // namespace detail

QuietFailures::QuietFailures() noexcept : outer_(detail::quiet) {
  detail::quiet_scopes.fetch_add(1, std::memory_order_relaxed);
  detail::quiet = true;
}

QuietFailures::~QuietFailures() {
  detail::quiet = outer_;
  detail::quiet_scopes.fetch_sub(1, std::memory_order_relaxed);
}

bool failures_are_quiet() noexcept {
  return detail::quiet_scopes.load(std::memory_order_relaxed) != 0 && detail::quiet;
}

}  // namespace novrel::failure
