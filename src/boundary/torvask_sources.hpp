// Reading for torvask._core with the interpreter released, from each kind of
// source: a path, a buffer (bytes in memory), or a stream object, whose
// chunks this thread reads through the object's own readinto() or read()
// while the reader parses the chunks before them on a thread of its own.
#pragma once

#include "boundary/py_ref.hpp"

#include <optional>
#include <span>

#include "reader/fingerprint.hpp"
#include "reader/rows.hpp"

namespace novrel::boundary {

// Thrown by the poll to abandon a read a signal handler raised in.
struct Interrupted {};

// Detaches the calling thread from the interpreter for its lifetime. While
// detached, check_signals() re-attaches just long enough to run the signal
// handlers, so that Ctrl-C stops a long read.
class Detached {
 public:
  Detached() noexcept : saved_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(saved_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  // False when a handler raised; its exception is then taken into `raised`.
  bool check_signals(Ref& raised) noexcept;

 private:
  PyThreadState* saved_;
};

// What RowOptions::poll needs to run the signal handlers.
struct PollState {
  Detached* detached = nullptr;
  Ref raised;  // what a signal handler raised
};
void poll_signals(void* context);

// Each reads as read_plot_rows does, and throws what it throws (ReadError
// among others; Interrupted after Ctrl-C, its exception left in `poll`).
// Nullopt with a Python exception set where the interpreter raised one in
// the stream's own read, or in exporting a buffer.
std::optional<PlotRows> read_path(std::string_view path, RowOptions options, PollState& poll);
// The same, checked against windows of earlier reads (reader::read_checked).
std::optional<reader::CheckedRead> read_path_checked(std::string_view path, RowOptions options,
                                                     std::span<const reader::Window> expected,
                                                     PollState& poll);
// `exporter`'s bytes (one C-contiguous buffer), held for the read.
std::optional<PlotRows> read_buffer(PyObject* exporter, RowOptions options, PollState& poll);
// Anything with readinto(buffer) or read(size), read from where it stands to
// its end or as far as the blocks chosen need.
std::optional<PlotRows> read_stream(PyObject* stream, RowOptions options);

}  // namespace novrel::boundary
