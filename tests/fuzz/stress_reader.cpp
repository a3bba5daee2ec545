// Many threads reading valid and invalid plot files at once, built with
// ThreadSanitizer by tools/run-host-checks.
//
// Every call's outcome must equal the one a single-threaded call gave for the
// same file, the failure reports on fd 2 must come out whole (one header and
// message each, never spliced with another thread's), the hint line must
// appear at most once, and no descriptor may stay open. A data race is
// reported by the sanitizer itself.
//
// Usage: stress_reader [THREADS [ROUNDS]]
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "failure/fatal_error.hpp"
#include "lib.hpp"

namespace {

struct Outcome {
  bool ok = false;
  std::vector<std::vector<float>> values;  // first column, then the others
  std::string message;

  bool operator==(const Outcome& other) const {
    if (ok != other.ok || message != other.message || values.size() != other.values.size())
      return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto& a = values[i];
      const auto& b = other.values[i];
      if (a.size() != b.size() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) != 0)
        return false;
    }
    return true;
  }
};

struct Case {
  std::string path;
  std::size_t width;
  Outcome expected;
};

int g_out = -1;  // the original stderr, for this program's own messages

void say(const std::string& text) {
  if (::write(g_out, text.data(), text.size()) < 0) std::abort();
}

[[noreturn]] void fail(const std::string& what) {
  say("stress_reader: " + what + "\n");
  std::exit(1);
}

Outcome read_once(const std::string& path, std::size_t width) {
  Outcome out;
  novrel::failure::catch_fatal(
      [&] {
        const novrel::PlotData data = novrel::rust_read_torvask(path, width);
        out.ok = true;
        out.values.emplace_back(data.first_column.begin(), data.first_column.end());
        for (const auto& column : data.columns) out.values.emplace_back(column.begin(), column.end());
      },
      [&](const novrel::failure::FatalError& error) { out.message = error.message(); });
  return out;
}

std::string write_file(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string path = dir + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    fail("cannot write " + path);
  ::close(fd);
  return path;
}

// A file with `n` parameters and `blocks` blocks of distinct values, long
// enough that lines straddle the line source's buffer refills.
std::string generated(std::uint32_t n, std::uint32_t blocks, std::size_t width) {
  std::string text = "generated plot " + std::to_string(n) + "\n";
  for (std::uint32_t j = 0; j < n; ++j) text += "P" + std::to_string(j) + "\n";
  char field[64];
  for (std::uint32_t b = 0; b < blocks; ++b) {
    text += "   " + std::to_string(b) + "\n";
    for (std::uint32_t j = 0; j < n; ++j) {
      std::snprintf(field, sizeof field, "%*.*E", static_cast<int>(width),
                    static_cast<int>(width) - 8, b * 1.25 + j / 7.0);
      text += field;
      if (j % 10 == 9 || j + 1 == n) text += "\n";
    }
  }
  return text;
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  return text.replace(text.find(from), from.size(), to);
}

// Splits the captured fd 2 into reports and checks each is whole and names
// one of the messages that the failing calls carried.
std::size_t check_reports(std::string_view captured, const std::vector<std::string>& messages) {
  constexpr std::string_view kHead = "\nthread '<unnamed>' (";
  constexpr std::string_view kHint =
      "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
  std::size_t reports = 0, hints = 0, p = 0;
  auto broken = [&](const char* why) {
    fail(std::string("report ") + std::to_string(reports + 1) + " " + why + " at byte " +
         std::to_string(p) + ": " + std::string(captured.substr(p, 200)));
  };
  while (p < captured.size()) {
    if (captured.compare(p, kHead.size(), kHead) != 0) broken("does not start with a header");
    p += kHead.size();
    const std::size_t tid_end = captured.find(") panicked at ", p);
    if (tid_end == std::string_view::npos || tid_end == p) broken("has no thread id");
    for (std::size_t i = p; i < tid_end; ++i)
      if (captured[i] < '0' || captured[i] > '9') broken("has a malformed thread id");
    p = captured.find(":\n", tid_end);
    if (p == std::string_view::npos) broken("has no location");
    p += 2;
    bool matched = false;
    for (const std::string& m : messages) {
      if (captured.compare(p, m.size(), m) == 0 && captured.compare(p + m.size(), 1, "\n") == 0) {
        p += m.size() + 1;
        matched = true;
        break;
      }
    }
    if (!matched) broken("carries no expected message");
    if (captured.compare(p, kHint.size(), kHint) == 0) {
      p += kHint.size();
      ++hints;
    }
    ++reports;
  }
  if (hints > 1) fail("the backtrace hint was printed " + std::to_string(hints) + " times");
  return reports;
}

int lowest_free_descriptor() {
  const int fd = ::dup(0);
  ::close(fd);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
  ::unsetenv("RUST_BACKTRACE");

  char dir_template[] = "/tmp/novrel-stress-XXXXXX";
  if (!::mkdtemp(dir_template)) fail("mkdtemp");
  const std::string dir = dir_template;

  const std::string worked =
      "Run 7 plot data                3\nTIME\nPRESSURE\nTEMPERATURE\n"
      "   1\n 0.00000E+00 1.01325E+05 2.93150E+02\n"
      "   2\n 1.00000E+01 1.02000E+05 2.95000E+02\n";
  std::vector<Case> cases = {
      {write_file(dir, "worked", worked), 12, {}},
      {write_file(dir, "wide", generated(25, 300, 15)), 15, {}},
      {write_file(dir, "twelve", generated(12, 40, 12)), 12, {}},
      {write_file(dir, "empty", ""), 12, {}},
      {write_file(dir, "names", "x 3\nA\n"), 12, {}},
      {write_file(dir, "cut", worked.substr(0, worked.size() - 37)), 12, {}},
      {write_file(dir, "word", replaced(worked, "1.01325E+05", "1.5D+03    ")), 12, {}},
      {write_file(dir, "count", "Run 7 plot data three\n"), 12, {}},
      {write_file(dir, "utf8", "x 1\nA\n\xff\n 1.0\n"), 12, {}},
      {write_file(dir, "boundary", "x 2\nA\nB\n\n 1.0\xc3\xa9 2.0 \n"), 5, {}},
      {dir + "/missing", 12, {}},
      {write_file(dir, "narrow", worked), 40, {}},
  };

  // Single-threaded reference outcomes, and the messages the reports of the
  // threaded run may carry.
  const int saved = ::dup(2);
  g_out = saved;
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null_fd, 1);  // the rejected count's diagnostic line
  ::dup2(null_fd, 2);
  ::close(null_fd);
  std::vector<std::string> messages;
  for (Case& c : cases) {
    c.expected = read_once(c.path, c.width);
    if (!c.expected.ok) messages.push_back(c.expected.message);
  }
  if (!cases[0].expected.ok || cases[0].expected.values[2][0] != 293.15f)
    fail("the worked example does not read as expected: " + cases[0].expected.message);
  if (messages.size() + 3 != cases.size()) fail("a case meant to fail succeeded");

  const int capture = ::memfd_create("stderr", MFD_CLOEXEC);
  if (capture < 0) fail("memfd_create");
  ::dup2(capture, 2);
  const int free_before = lowest_free_descriptor();

  std::atomic<std::size_t> failing_calls{0}, mismatches{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      for (int r = 0; r < rounds; ++r) {
        const Case& c = cases[static_cast<std::size_t>(t * 5 + r) % cases.size()];
        const Outcome got = read_once(c.path, c.width);
        if (!got.ok) failing_calls.fetch_add(1);
        if (!(got == c.expected)) mismatches.fetch_add(1);
      }
    });
  }
  go.store(true, std::memory_order_release);
  for (auto& t : pool) t.join();
  ::dup2(saved, 2);

  if (lowest_free_descriptor() != free_before) fail("a plot file was left open");
  if (mismatches.load() != 0)
    fail(std::to_string(mismatches.load()) + " calls gave a different outcome than alone");

  std::string captured;
  char chunk[65536];
  ssize_t got;
  while ((got = ::pread(capture, chunk, sizeof chunk, static_cast<off_t>(captured.size()))) > 0)
    captured.append(chunk, static_cast<std::size_t>(got));
  const std::size_t reports = check_reports(captured, messages);
  if (reports != failing_calls.load())
    fail(std::to_string(reports) + " reports for " + std::to_string(failing_calls.load()) +
         " failing calls");

  for (const Case& c : cases) ::unlink(c.path.c_str());
  ::rmdir(dir.c_str());
  say("stress_reader: " + std::to_string(threads) + " threads x " + std::to_string(rounds) +
      " calls, " + std::to_string(failing_calls.load()) + " failing, every outcome and report whole\n");
  return 0;
}
