// Many threads raising and catching fatal errors at once. Every report must
// reach fd 2 whole: the output is parsed back into reports, and each one must
// be well formed, carry the tid of the thread that raised it, and appear
// exactly once. Built also under ThreadSanitizer.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "failure/fatal_error.hpp"
#include "failure/test_support.hpp"
#include "scratch_file.hpp"

namespace failure = novrel::failure;

namespace {

constexpr int kThreads = 8;
constexpr int kRaisesPerThread = 150;
// Long enough that a report takes several writes.
const std::string kPadding(700, '.');

std::string message_of(int thread, int raise) {
  std::string text =
      "thread " + std::to_string(thread) + " failure " + std::to_string(raise);
  if (raise % 2 == 1) text += kPadding;
  return text;
}

struct Checker {
  std::vector<long> tids;
  std::vector<std::vector<int>> seen;
  int errors = 0;

  void fail(const std::string& why, const std::string& report) {
    if (++errors <= 5)
      std::printf("bad report (%s):\n%s\n----\n", why.c_str(), report.c_str());
  }

  bool is_frame_line(const std::string& line) {
    if (line.rfind("             at ", 0) == 0) return true;
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t digits = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
    return i > digits && line.compare(i, 2, ": ") == 0;
  }

  void check(const std::string& report) {
    const std::string head = "\nthread '<unnamed>' (";
    std::size_t at = head.size();
    const std::size_t close = report.find(") panicked at ", at);
    if (close == std::string::npos) return fail("header", report);
    const long tid = std::strtol(report.c_str() + at, nullptr, 10);
    at = report.find(":\n", close);
    if (at == std::string::npos) return fail("location", report);
    const std::string path = "tests/cpp/stress_failure.cpp:";
    if (report.compare(close + 14, path.size(), path) != 0)
      return fail("path", report);
    at += 2;
    const std::size_t message_end = report.find('\n', at);
    const std::string message = report.substr(at, message_end - at);
    int thread = -1, raise = -1;
    if (std::sscanf(message.c_str(), "thread %d failure %d", &thread, &raise) != 2 ||
        thread < 0 || thread >= kThreads || raise < 0 ||
        raise >= kRaisesPerThread || message != message_of(thread, raise))
      return fail("message", report);
    if (tids[thread] != tid) return fail("tid", report);
    if (seen[thread][raise]++ != 0) return fail("duplicate", report);

    std::size_t line_start = message_end + 1;
    const std::string trace = "stack backtrace:\n";
    if (report.compare(line_start, trace.size(), trace) != 0)
      return fail("backtrace start", report);
    line_start += trace.size();
    const std::string note =
        "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a "
        "verbose backtrace.\n";
    if (report.size() < note.size() ||
        report.compare(report.size() - note.size(), note.size(), note) != 0)
      return fail("closing note", report);
    const std::size_t frames_end = report.size() - note.size();
    while (line_start < frames_end) {
      const std::size_t end = report.find('\n', line_start);
      if (!is_frame_line(report.substr(line_start, end - line_start)))
        return fail("frame line", report);
      line_start = end + 1;
    }
  }
};

}  // namespace

int main() {
  ::setenv("RUST_BACKTRACE", "1", 1);

  novrel::testing_support::Fd2Capture capture;

  Checker checker;
  checker.tids.assign(kThreads, 0);
  checker.seen.assign(kThreads, std::vector<int>(kRaisesPerThread, 0));
  std::atomic<int> ready{0};
  std::atomic<int> bad_counts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      checker.tids[t] = ::syscall(SYS_gettid);
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      for (int i = 0; i < kRaisesPerThread; ++i) {
        const std::string text = message_of(t, i);
        failure::catch_fatal(
            [&] { failure::raise_formatted(failure::String(text.data(), text.size())); },
            [&](const failure::FatalError& error) {
              if (error.message() != text || failure::nesting_count() != 0)
                bad_counts.fetch_add(1);
            });
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string output = capture.text();

  const std::string head = "\nthread '<unnamed>' (";
  if (output.compare(0, head.size(), head) != 0) checker.fail("start", output.substr(0, 200));
  std::size_t reports = 0;
  for (std::size_t at = output.find(head); at != std::string::npos;) {
    const std::size_t next = output.find(head, at + 1);
    checker.check(output.substr(at, next - at));
    ++reports;
    at = next;
  }
  const std::size_t expected = std::size_t{kThreads} * kRaisesPerThread;
  if (reports != expected) ++checker.errors;
  if (failure::fatal_errors_in_flight() != 0) ++checker.errors;
  if (bad_counts.load() != 0) ++checker.errors;

  std::printf("%zu reports (%zu expected), %zu bytes, %d errors, %d bad counts\n",
              reports, expected, output.size(), checker.errors, bad_counts.load());
  return checker.errors == 0 ? 0 : 1;
}
