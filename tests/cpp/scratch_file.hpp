// Test support: plot files made and put on disk, the message of a failed
// read, the count of open descriptors, and fd 2 captured in a temporary file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "failure/fatal_error.hpp"
#include "lib.hpp"

namespace novrel::testing_support {

// The two-block, three-parameter example of the README, width 12.
constexpr const char* kWorkedExample =
    "Run 7 plot data                3\n"
    "TIME\nPRESSURE\nTEMPERATURE\n"
    "   1\n"
    " 0.00000E+00 1.01325E+05 2.93150E+02\n"
    "   2\n"
    " 1.00000E+01 1.02000E+05 2.95000E+02\n";

// printf's text of one value.
inline std::string printed(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A plot file of `count` parameters named P0, P1... and `blocks` blocks, each
// led by its number, with field(b, j) as parameter j of block b: ten fields
// to a data line.
template <typename Field>
std::string plot_text(std::size_t count, std::size_t blocks, Field field) {
  std::string text = "h " + std::to_string(count) + "\n";
  for (std::size_t j = 0; j < count; ++j) text += "P" + std::to_string(j) + "\n";
  for (std::size_t b = 0; b < blocks; ++b) {
    text += "   " + std::to_string(b) + "\n";
    for (std::size_t j = 0; j < count; ++j) text += field(b, j) + (j % 10 == 9 || j + 1 == count ? "\n" : "");
  }
  return text;
}

// A file in the temporary directory, removed however the test ends.
class ScratchFile {
 public:
  ScratchFile() {
    char name[] = "/tmp/novrel-test-XXXXXX";
    fd_ = ::mkstemp(name);
    if (fd_ < 0) std::abort();
    path_ = name;
  }
  explicit ScratchFile(const std::string& contents) : ScratchFile() { append(contents); }
  ~ScratchFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  void append(const std::string& text) const {
    if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  }
  void write_at(off_t offset, const std::string& text) const {
    if (::pwrite(fd_, text.data(), text.size(), offset) != static_cast<ssize_t>(text.size()))
      std::abort();
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// The message of the fatal error that reading `path` raises, or
// "<no error>".
inline std::string failure_of(const std::string& path, std::size_t width) {
  return failure::catch_fatal(
      [&] {
        rust_read_torvask(path, width);
        return std::string("<no error>");
      },
      [](const failure::FatalError& e) { return std::string(e.message()); });
}

// How many descriptors this process has open.
inline std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Points fd 2 at a temporary file for its lifetime, so that failure reports
// written in this process stay out of the test log and can be read back.
class Fd2Capture {
 public:
  Fd2Capture() : file_(std::tmpfile()), saved_(::dup(2)) {
    if (file_ == nullptr) std::abort();
    std::fflush(stderr);
    ::dup2(::fileno(file_), 2);
  }
  ~Fd2Capture() {
    ::dup2(saved_, 2);
    ::close(saved_);
    std::fclose(file_);
  }
  // Everything written to fd 2 so far.
  std::string text() {
    std::string all;
    std::rewind(file_);
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) all.append(chunk, n);
    return all;
  }

 private:
  std::FILE* file_;
  int saved_;
};

}  // namespace novrel::testing_support
