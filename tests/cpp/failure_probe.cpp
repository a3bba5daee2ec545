// A fresh process for each failure-reporting scenario: the backtrace style and
// the first-note flag are process-wide and change once, so every scenario
// that depends on them needs a process that has reported nothing yet.
//
//   failure_probe SCENARIO [ARG]
//
// Reports go to fd 2 as usual. Each failing site writes "site PATH:LINE:COL\n"
// to fd 1 first, so the caller can predict the report's header exactly.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "failure/fatal_error.hpp"
#include "failure/test_support.hpp"
#include "failure/memory.hpp"

using novrel::failure::FatalError;
using novrel::failure::String;
using novrel::failure::Where;
namespace failure = novrel::failure;

namespace probe {

void say(std::string_view text) { (void)!::write(1, text.data(), text.size()); }

void say_site(const Where& where) {
  char line[512];
  const int n = std::snprintf(line, sizeof line, "site %s:%u:%u\n",
                              where.file_name(),
                              static_cast<unsigned>(where.line()),
                              static_cast<unsigned>(where.column()));
  say({line, static_cast<std::size_t>(n)});
}

// Stands for a reader function failing: the frame a short backtrace starts at.
[[gnu::noinline]] void fail_here(std::string_view text,
                                 Where where = Where::current()) {
  say_site(where);
  failure::raise(text, where);
}

[[gnu::noinline]] void fail_formatted(String text,
                                      Where where = Where::current()) {
  say_site(where);
  failure::raise_formatted(std::move(text), where);
}

// Runs `site` and acknowledges its fatal error, as a failure guard would.
template <typename Site>
void catching(Site site) {
  failure::catch_fatal(site, [](const FatalError&) {});
}

void fail_and_catch(std::string_view text) { catching([text] { fail_here(text); }); }

// Points fd 2 at a pipe that nobody reads.
void break_pipe_at_fd2() {
  int broken[2];
  if (::pipe(broken) != 0) std::abort();
  ::close(broken[0]);
  ::dup2(broken[1], 2);
  ::close(broken[1]);
}

String long_message() {
  String text("The first line should end with the number of parameters:\n'");
  for (int i = 0; i < 150; ++i) text += "0123456789";
  text += "\nsecond line'";
  return text;
}

struct RaisesWhileUnwinding {
  ~RaisesWhileUnwinding() { fail_and_catch("inner failure"); }
};

void exhaust_memory() {
  // Leave room for the process as it is, not for a 256 MiB block.
  long pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const rlim_t limit =
      static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (64u << 20);
  const rlimit cap{limit, limit};
  ::setrlimit(RLIMIT_AS, &cap);
  failure::Vec<char> block;
  block.reserve(std::size_t{1} << 28);
}

// The second failure of the SIGPIPE scenarios below: the first report's
// write to a pipe without a reader raises SIGPIPE on the writing thread, so
// the handler runs in the middle of that report. It points fd 2 back at the
// caller's pipe and fails again.
int captured_fd2 = -1;
const char* second_kind = "";

void fail_inside_report(int) {
  ::dup2(captured_fd2, 2);
  if (std::strcmp(second_kind, "formatted") == 0)
    fail_formatted(String("formatted {}"));
  else if (std::strcmp(second_kind, "memory") == 0)
    failure::handle_alloc_error(77);
  else
    fail_here("second failure");
}

void break_fd2(const char* kind) {
  second_kind = kind;
  captured_fd2 = ::dup(2);
  break_pipe_at_fd2();
  struct sigaction action {};
  action.sa_handler = fail_inside_report;
  ::sigaction(SIGPIPE, &action, nullptr);
}

// A report that cannot be written (fd 2 closed, or a pipe without a reader
// with SIGPIPE ignored, as Python sets it) is dropped; the failure still
// propagates, and the next report goes out whole once fd 2 works again.
void fail_without_fd2(const char* how) {
  const int saved = ::dup(2);
  if (std::strcmp(how, "closed") == 0) {
    ::close(2);
  } else {
    break_pipe_at_fd2();
    ::signal(SIGPIPE, SIG_IGN);
  }
  fail_and_catch("lost failure");
  ::dup2(saved, 2);
  fail_and_catch("second failure");
}

// The report's write to a full pipe is interrupted by a signal again and
// again until a second thread starts draining the pipe into the real fd 2.
volatile sig_atomic_t interruptions = 0;
int drain_from = -1;
int drain_to = -1;
constexpr char kFiller = '\x01';

void count_interruption(int) { interruptions = interruptions + 1; }

// Copies the pipe to the real fd 2, without the filler bytes.
void* drain(void*) {
  ::usleep(200 * 1000);
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(drain_from, chunk, sizeof chunk);
    if (n <= 0) break;
    std::size_t kept = 0;
    for (ssize_t i = 0; i < n; ++i)
      if (chunk[i] != kFiller) chunk[kept++] = chunk[i];
    (void)!::write(drain_to, chunk, kept);
  }
  return nullptr;
}

void fail_with_interrupted_writes() {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) std::abort();
  drain_from = pipe_fds[0];
  drain_to = ::dup(2);
  ::dup2(pipe_fds[1], 2);
  ::close(pipe_fds[1]);
  ::fcntl(2, F_SETFL, ::fcntl(2, F_GETFL) | O_NONBLOCK);
  char filler[512];
  std::memset(filler, kFiller, sizeof filler);
  while (::write(2, filler, sizeof filler) > 0) {
  }
  while (::write(2, filler, 1) > 0) {
  }
  ::fcntl(2, F_SETFL, ::fcntl(2, F_GETFL) & ~O_NONBLOCK);

  struct sigaction action {};
  action.sa_handler = count_interruption;  // no SA_RESTART: write fails EINTR
  ::sigaction(SIGALRM, &action, nullptr);
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  // Only this thread takes the signal, so only the report's write sees it.
  ::pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  pthread_t drainer;
  ::pthread_create(&drainer, nullptr, drain, nullptr);
  ::pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
  const itimerval every_5ms{{0, 5000}, {0, 5000}};
  ::setitimer(ITIMER_REAL, &every_5ms, nullptr);

  fail_and_catch("interrupted failure");

  const itimerval stop{};
  ::setitimer(ITIMER_REAL, &stop, nullptr);
  ::dup2(drain_to, 2);  // closes the pipe's last writer: the drain ends
  ::pthread_join(drainer, nullptr);
  say(interruptions > 0 ? "interrupted\n" : "never interrupted\n");
}

int run(std::string_view scenario, const char* arg) {
  if (scenario == "raise") {
    fail_and_catch("Failed ot read line!");
  } else if (scenario == "raise_twice") {
    fail_and_catch("first failure");
    fail_and_catch("second failure");
  } else if (scenario == "raise_then_env") {
    fail_and_catch("first failure");
    if (std::strcmp(arg, "-") == 0)
      ::unsetenv("RUST_BACKTRACE");
    else
      ::setenv("RUST_BACKTRACE", arg, 1);
    fail_and_catch("second failure");
  } else if (scenario == "long") {
    catching([] { fail_formatted(long_message()); });
  } else if (scenario == "nested") {
    catching([] {
      RaisesWhileUnwinding cleanup;
      fail_here("outer failure");
    });
  } else if (scenario == "trap") {
    // Without a handler further out the exception would not unwind at all
    // (std::terminate may skip destructors), and the trap would never run.
    try {
      const Where armed_at = Where::current();
      say_site(armed_at);
      failure::PanicTrap trap("uncaught panic at ffi boundary", armed_at);
      fail_here("escaping failure");
    } catch (...) {
      say("unreachable: the trap aborts\n");
    }
  } else if (scenario == "cannot_unwind") {
    const Where where = Where::current();
    say_site(where);
    failure::abort_cannot_unwind("failure in a step that may not fail", where);
  } else if (scenario == "in_report") {
    break_fd2(arg);
    fail_and_catch("first failure");
  } else if (scenario == "fd2_fails") {
    fail_without_fd2(arg);
  } else if (scenario == "eintr") {
    fail_with_interrupted_writes();
  } else if (scenario == "memory") {
    exhaust_memory();
  } else if (scenario == "raise_then_memory") {
    fail_and_catch("first failure");
    exhaust_memory();
  } else if (scenario == "memory_twice") {
    break_fd2("memory");
    failure::handle_alloc_error(4096);
  } else {
    say("unknown scenario\n");
    return 2;
  }
  return 0;
}

}  // namespace probe

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  return probe::run(argv[1], argc > 2 ? argv[2] : "");
}
