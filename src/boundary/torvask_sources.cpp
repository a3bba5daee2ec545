#include "boundary/torvask_sources.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <span>
#include <thread>

#include "failure/fatal_error.hpp"
#include "reader/read_failure.hpp"
#include "reader/source.hpp"

namespace novrel::boundary {

bool Detached::check_signals(Ref& raised) noexcept {
  PyEval_RestoreThread(saved_);
  const bool quiet = PyErr_CheckSignals() == 0;
  if (!quiet) raised = Ref::steal(PyErr_GetRaisedException());
  saved_ = PyEval_SaveThread();
  return quiet;
}

void poll_signals(void* context) {
  auto* state = static_cast<PollState*>(context);
  if (!state->detached->check_signals(state->raised)) throw Interrupted{};
}

namespace {

// Runs `read` detached, Ctrl-C stopping it through `options.poll`: the
// Interrupted it then throws leaves the handler's exception in `poll`.
template <class Read>
auto run_detached(RowOptions& options, PollState& poll, Read read) {
  options.poll = poll_signals;
  options.poll_context = &poll;
  Detached detached;
  poll.detached = &detached;
  return read();
}

// A stream's chunks read through its readinto() (into the chunk itself) or
// read() (copied): -1 with the exception set, else the bytes, 0 at its end.
class StreamReader {
 public:
  bool open(PyObject* stream) noexcept {
    method_ = Ref::steal(PyObject_GetAttrString(stream, "readinto"));
    if (method_) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    method_ = Ref::steal(PyObject_GetAttrString(stream, "read"));
    if (method_) {
      copies_ = true;
      return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError))
      PyErr_Format(PyExc_TypeError, "a source to read is a path, a buffer or a binary file "
                                    "object (with readinto or read), not %T", stream);
    return false;
  }

  Py_ssize_t fill(std::span<char> chunk) noexcept {
    const auto size = static_cast<Py_ssize_t>(chunk.size());
    Py_ssize_t got = -1;
    if (copies_) {
      Ref data = Ref::steal(PyObject_CallFunction(method_.get(), "n", size));
      if (!data) return -1;
      HeldBuffer view;
      if (!view.get(data.get(), PyBUF_SIMPLE)) return -1;
      got = view.view().len;
      if (got > size) return too_much(got, size);
      std::memcpy(chunk.data(), view.view().buf, static_cast<std::size_t>(got));
      return got;
    }
    Ref into = Ref::steal(PyMemoryView_FromMemory(chunk.data(), size, PyBUF_WRITE));
    if (!into) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(method_.get(), into.get()));
    // The chunk is the reader's again once the call returns: a view kept
    // past it must not reach it. A failed call's exception is put aside for
    // the release, which must not run with one set, and comes first.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref released = Ref::steal(PyObject_CallMethod(into.get(), "release", nullptr));
    if (raised) {
      PyErr_SetRaisedException(raised.release());
      return -1;
    }
    if (!result || !released) return -1;
    if (result.get() == Py_None) {
      PyErr_SetString(PyExc_ValueError,
                      "readinto() returned None: a non-blocking stream has no data yet, "
                      "and cannot be read as a plot file");
      return -1;
    }
    got = PyLong_AsSsize_t(result.get());
    if (got == -1 && PyErr_Occurred()) return -1;
    if (got < 0 || got > size) return too_much(got, size);
    return got;
  }

 private:
  static Py_ssize_t too_much(Py_ssize_t got, Py_ssize_t size) noexcept {
    PyErr_Format(PyExc_ValueError, "the stream returned %zd bytes where %zd were asked for",
                 got, size);
    return -1;
  }

  Ref method_;
  bool copies_ = false;
};

// Fills the pipe's chunks from the stream until its end, or until the reader
// stops; false with the exception set when the stream or a signal handler
// raised, the pipe then abandoned.
bool pump(StreamReader& stream, reader::ChunkPipe& pipe) noexcept {
  for (;;) {
    std::span<char> chunk = pipe.free_chunk(0);
    if (chunk.empty() && !pipe.stopped()) {
      // The reader is behind: wait for it, running the signal handlers
      // every 50 ms.
      Ref raised;
      {
        Detached detached;
        while (chunk.empty() && !pipe.stopped()) {
          chunk = pipe.free_chunk(50);
          if (chunk.empty() && !detached.check_signals(raised)) break;
        }
      }
      if (raised) {
        PyErr_SetRaisedException(raised.release());
        pipe.abandon();
        return false;
      }
    }
    if (chunk.empty()) return true;  // the reader stopped
    const Py_ssize_t got = stream.fill(chunk);
    if (got < 0 || PyErr_CheckSignals() < 0) {
      pipe.abandon();
      return false;
    }
    if (got == 0) {
      pipe.finish();
      return true;
    }
    pipe.publish(static_cast<std::size_t>(got));
  }
}

}  // namespace

std::optional<PlotRows> read_path(std::string_view path, RowOptions options, PollState& poll) {
  return run_detached(options, poll, [&] { return read_plot_rows(path, options); });
}

std::optional<reader::CheckedRead> read_path_checked(std::string_view path, RowOptions options,
                                                     std::span<const reader::Window> expected,
                                                     PollState& poll) {
  return run_detached(options, poll,
                      [&] { return reader::read_checked(path, options, expected); });
}

std::optional<PlotRows> read_buffer(PyObject* exporter, RowOptions options, PollState& poll) {
  HeldBuffer held;
  if (!held.get(exporter, PyBUF_SIMPLE)) return std::nullopt;
  const Py_buffer& view = held.view();
  const reader::PlotFile file(
      std::span<const char>(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
  return run_detached(options, poll, [&] { return read_plot_rows(file, options); });
}

std::optional<PlotRows> read_stream(PyObject* stream, RowOptions options) {
  StreamReader reader;
  if (!reader.open(stream)) return std::nullopt;
  std::optional<reader::ChunkPipe> pipe;
  {
    failure::QuietFailures quiet;
    pipe.emplace();
  }
  const reader::PlotFile file(*pipe);
  options.poll = nullptr;  // the signals are this thread's, checked between chunks
  std::optional<PlotRows> plot;
  std::exception_ptr failed;
  // The parser's failure crosses back to this thread, to the entry's ladder.
  std::thread parser([&] {
    try {
      plot.emplace(read_plot_rows(file, options));
    } catch (...) {
      failed = std::current_exception();
    }
    pipe->stop();
  });
  const bool pumped = pump(reader, *pipe);
  {
    Detached detached;
    parser.join();
  }
  // The stream's own failure comes first: the reader only saw its pipe
  // abandoned.
  if (!pumped) return std::nullopt;
  if (failed) std::rethrow_exception(failed);
  return plot;
}

}  // namespace novrel::boundary
