// torvask._core.read and check: the arguments, the reader run with the
// interpreter released, and its result as a ReadResult, whose rows are a
// Rows object.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>

#include "boundary/torvask_core.hpp"
#include "reader/fingerprint.hpp"
#include "reader/source.hpp"

namespace novrel::boundary {

// A ReadFailure whose attributes say what and where, for the Python layer
// to put after the path; an OSError or MemoryError where that is what
// happened.
void raise_read_error(const Call& call, const ReadError& error) {
  if (error.problem == ReadProblem::out_of_memory) {
    PyErr_NoMemory();
    return;
  }
  if (error.problem == ReadProblem::os_error) {
    raise_os_error(error.os_error, call.file);
    return;
  }
  const ProblemText& problem = text_of(error.problem);
  // In the order of kFailureAttributes.
  const Ref values[] = {
      str_of(problem.name),
      str_of(problem.wording),
      problem.option.empty() ? Ref::borrow(Py_None) : str_of(problem.option),
      int_or_none(error.line),
      int_or_none(error.block),
      int_or_none(error.parameter),
      error.parameter ? str_of(error.name) : Ref::borrow(Py_None),
      error.text ? str_of(*error.text) : Ref::borrow(Py_None),
      int_or_none(error.suggested_width),
      int_or_none(error.width),
      int_or_none(error.count),
  };
  static_assert(std::size(values) == std::size(kFailureAttributes));
  if (std::any_of(std::begin(values), std::end(values), [](const Ref& value) { return !value; }))
    return;
  Ref exception = Ref::steal(PyObject_CallOneArg(call.state->read_failure, values[0].get()));
  if (!exception) return;
  for (std::size_t i = 0; i < std::size(values); ++i)
    if (PyObject_SetAttrString(exception.get(), kFailureAttributes[i], values[i].get()) < 0)
      return;
  PyErr_SetRaisedException(exception.release());
}

namespace {

// What read() returns, reached by name alone.
PyStructSequence_Field result_fields[] = {
    {"title", "the header line before the count"},
    {"names", "every name, as a list of str"},
    {"rows", "the values, a Rows"},
    {"width", "the field width, or None where no data line gave one"},
    {"parameters", "the file's index of each column, a tuple"},
    {"first_block", "the file's number of the first row's block"},
    {"block_step", "the difference of the file's block numbers between rows"},
    {"end", "(end_offset, end_line, end_block): where the blocks read whole end"},
    {"identity", "(size, device, inode) of the source when opened; 0 where it has none"},
    {"changed", "the index of the first window given whose bytes changed, or None"},
    {"fingerprints", "(offset, length, digest) windows over what was read, where windows "
                     "were given; else None"},
    {nullptr, nullptr},
};

}  // namespace

PyStructSequence_Desc result_desc = {
    "torvask._core.ReadResult",
    "The result of torvask._core.read, its fields reached by name.",
    result_fields,
    0,
};

namespace {

Ref windows_of(std::span<const reader::Window> windows) {
  return sequence_of(
      windows, [](const reader::Window& w) { return triple(w.offset, w.length, w.digest); }, true);
}

// The ReadResult of what the reader returned; `checked` where windows were
// given.
PyObject* result_of(const ModuleState& state, PlotRows& plot, const reader::CheckedRead* checked) {
  Ref names = sequence_of(plot.names, str_of);
  Ref parameters = sequence_of(
      plot.parameters, [](std::uint32_t j) { return Ref::steal(PyLong_FromUnsignedLong(j)); }, true);
  Ref rows = make_rows(state.rows_type, plot);
  Ref title = str_of(plot.title);
  Ref width = int_or_none(plot.width);
  Ref first = Ref::steal(PyLong_FromUnsignedLongLong(plot.first_block));
  Ref step = Ref::steal(PyLong_FromUnsignedLongLong(plot.block_step));
  Ref end = triple(plot.end_offset, plot.end_line, plot.end_block);
  Ref source = triple(plot.source_size, plot.source_device, plot.source_inode);
  Ref changed = checked != nullptr ? int_or_none(checked->changed) : Ref::borrow(Py_None);
  Ref fingerprints = checked != nullptr
                         ? windows_of({checked->taken.data(), checked->taken.size()})
                         : Ref::borrow(Py_None);
  Ref result = Ref::steal(PyStructSequence_New(state.result_type));
  // In the order of result_fields.
  Ref* items[] = {&title, &names, &rows, &width, &parameters, &first, &step, &end, &source,
                  &changed, &fingerprints};
  if (!result || std::any_of(std::begin(items), std::end(items), [](Ref* item) { return !*item; }))
    return nullptr;
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(items)); ++i)
    PyStructSequence_SetItem(result.get(), i, items[i]->release());
  return result.release();
}

// A windows argument (`what` names it): a tuple of (offset, length,
// digest); false with the exception set.
bool windows_argument(PyObject* given, const char* what, failure::Vec<reader::Window>& out) {
  if (!expect_type(PyTuple_Check(given), given, what, "tuple or None")) return false;
  failure::QuietFailures quiet;
  out.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(given)));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(given); ++i) {
    unsigned long long offset = 0, length = 0, digest = 0;
    PyObject* window = PyTuple_GET_ITEM(given, i);
    if (!PyTuple_Check(window) || !PyArg_ParseTuple(window, "KKK", &offset, &length, &digest)) {
      PyErr_Format(PyExc_TypeError, "%s must hold (offset, length, digest) tuples", what);
      return false;
    }
    out.push_back({offset, length, digest});
  }
  return true;
}

// Keyword argument `what` as an int64, or nullopt for None; false with the
// exception set otherwise.
bool int64_or_none(PyObject* value, const char* what, std::optional<std::int64_t>& out) noexcept {
  if (value == nullptr || value == Py_None) return true;
  if (!expect_type(PyLong_Check(value), value, what, "int or None")) return false;
  const long long got = PyLong_AsLongLong(value);
  if (got == -1 && PyErr_Occurred()) return false;
  out = got;
  return true;
}

bool bool_argument(PyObject* value, const char* what, bool& out) noexcept {
  if (value == nullptr) return true;
  if (!expect_type(PyBool_Check(value), value, what, "bool")) return false;
  out = value == Py_True;
  return true;
}

// The chosen parameters into `options`: indices and names; false with the
// exception set.
bool parameters_argument(PyObject* chosen, RowOptions& options) {
  failure::QuietFailures quiet;
  const Py_ssize_t count = PyTuple_GET_SIZE(chosen);
  options.parameters.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* parameter = PyTuple_GET_ITEM(chosen, i);
    if (PyUnicode_Check(parameter)) {
      std::string_view name;
      if (!utf8_of(parameter, "a parameter", name)) return false;
      options.parameters.emplace_back(failure::String(name));
      continue;
    }
    std::optional<std::int64_t> index;
    if (!PyLong_Check(parameter) || !int64_or_none(parameter, "a parameter", index)) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "read() argument 'parameters' must hold ints and strs");
      return false;
    }
    options.parameters.emplace_back(*index);
  }
  return true;
}

}  // namespace

// The signature for inspect; _core.pyi documents the rest.
const char kReadDoc[] =
    "read($module, source, /, *, width=None, complete_blocks=False, float64=True,\n"
    "     parameters=None, start=None, stop=None, step=None, threads=None,\n"
    "     resume=None, windows=None)\n"
    "--\n"
    "\n"
    "Read a plot file into a ReadResult (see torvask/_core.pyi).";

PyObject* read_entry(PyObject* module, PyObject* args, PyObject* keywords) noexcept {
  static const char* const kKeywords[] = {"",      "width", "complete_blocks", "float64",
                                          "parameters", "start", "stop", "step", "threads",
                                          "resume", "windows", nullptr};
  PyObject *source = nullptr, *width_given = nullptr, *complete_given = nullptr,
           *float64_given = nullptr, *chosen = Py_None, *start_given = nullptr,
           *stop_given = nullptr, *step_given = nullptr, *threads_given = nullptr,
           *resume_given = Py_None, *windows_given = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, keywords, "O|$OOOOOOOOOO:read",
                                   const_cast<char**>(kKeywords), &source, &width_given,
                                   &complete_given, &float64_given, &chosen, &start_given,
                                   &stop_given, &step_given, &threads_given, &resume_given,
                                   &windows_given))
    return nullptr;
  std::string_view file_path;
  if (PyBytes_Check(source) && !path_argument("read() argument 1", source, file_path))
    return nullptr;
  if (PyUnicode_Check(source))
    return PyErr_Format(PyExc_TypeError,
                        "read() argument 1 must be bytes, a buffer or a stream, not str");
  std::optional<std::int64_t> width, start, stop, step, threads;
  bool complete_blocks = false, float64 = true;
  if (!int64_or_none(width_given, "read() argument 'width'", width) ||
      !bool_argument(complete_given, "read() argument 'complete_blocks'", complete_blocks) ||
      !bool_argument(float64_given, "read() argument 'float64'", float64) ||
      !int64_or_none(start_given, "read() argument 'start'", start) ||
      !int64_or_none(stop_given, "read() argument 'stop'", stop) ||
      !int64_or_none(step_given, "read() argument 'step'", step) ||
      !int64_or_none(threads_given, "read() argument 'threads'", threads))
    return nullptr;
  if ((width && *width < 1) || (step && *step < 1) || (threads && *threads < 1))
    return PyErr_Format(PyExc_ValueError, "read() width, step and threads must be at least 1");
  if (chosen != Py_None &&
      !expect_type(PyTuple_Check(chosen), chosen, "read() argument 'parameters'", "tuple or None"))
    return nullptr;
  ResumePoint resume;
  const bool growing = resume_given != Py_None;
  if (growing &&
      !PyArg_ParseTuple(resume_given, "KKK;read() argument 'resume' must be (offset, line, block)",
                        &resume.offset, &resume.line, &resume.block))
    return nullptr;
  if (growing && (!PyBytes_Check(source) || !complete_blocks))
    return PyErr_Format(PyExc_ValueError, "read() resumes only files by path, with complete_blocks");
  const bool checking = windows_given != Py_None;
  if (checking && !PyBytes_Check(source))
    return PyErr_Format(PyExc_ValueError, "read() checks windows only of files by path");

  const ModuleState& state = state_of(module);
  Call call{.name = "read", .file = source, .state = &state};
  return guard_call(call, [&]() -> PyObject* {
    RowOptions options{
        .width = static_cast<std::size_t>(width.value_or(0)),
        .complete_blocks = complete_blocks,
        .dtype = float64 ? Dtype::float64 : Dtype::float32,
        .parameters = {},
        .blocks = {start, stop, step.value_or(1)},
        .growing = growing,
        .resume = resume,
        .refuse_text_after_fields = true,
        .threads = static_cast<unsigned>(std::min<std::int64_t>(threads.value_or(1), 1024)),
    };
    if (chosen != Py_None && !parameters_argument(chosen, options)) return nullptr;
    if (checking) {
      failure::Vec<reader::Window> expected;
      if (!windows_argument(windows_given, "read() argument 'windows'", expected)) return nullptr;
      std::optional<reader::CheckedRead> checked = read_path_checked(
          file_path, std::move(options), {expected.data(), expected.size()}, call.poll);
      if (!checked) return nullptr;
      return result_of(state, checked->rows, &*checked);
    }
    std::optional<PlotRows> plot;
    if (PyBytes_Check(source)) {
      plot = read_path(file_path, std::move(options), call.poll);
    } else if (PyObject_CheckBuffer(source)) {
      plot = read_buffer(source, std::move(options), call.poll);
    } else {
      plot = read_stream(source, std::move(options));
    }
    if (!plot) return nullptr;
    return result_of(state, *plot, nullptr);
  });
}

const char kCheckDoc[] =
    "check($module, path, windows, /)\n"
    "--\n"
    "\n"
    "Check a file's windows through one descriptor (see torvask/_core.pyi).";

PyObject* check_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 2)
    return PyErr_Format(PyExc_TypeError, "check() takes exactly 2 arguments (%zd given)", nargs);
  std::string_view path;
  if (!path_argument("check() argument 1", args[0], path)) return nullptr;
  Call call{.name = "check", .file = args[0], .state = &state_of(module)};
  return guard_call(call, [&]() -> PyObject* {
    failure::Vec<reader::Window> windows;
    if (!windows_argument(args[1], "check() argument 2", windows)) return nullptr;
    std::optional<std::size_t> changed;
    std::uint64_t size = 0, device = 0, inode = 0;
    {
      failure::QuietFailures quiet;
      Detached detached;
      const reader::PlotFile file(path);
      changed = reader::first_changed(file, {windows.data(), windows.size()});
      size = file.size();
      device = file.device();
      inode = file.inode();
    }
    Ref index = int_or_none(changed);
    Ref identity = triple(size, device, inode);
    if (!index || !identity) return nullptr;
    return PyTuple_Pack(2, index.get(), identity.get());
  });
}

}  // namespace novrel::boundary
