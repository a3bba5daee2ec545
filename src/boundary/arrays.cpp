// The extension module torvask._core: read() runs the row reader with the
// interpreter released and returns the rows as a Rows object, whose one
// block of floats numpy wraps through the buffer protocol without a copy.
//
// The module keeps its two types in its own state, made anew for every
// interpreter that imports it, and nothing is mutated after import: it needs
// no global lock. The library exports PyInit__core and nothing else.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "boundary/py_ref.hpp"
#include "boundary/sources.hpp"
#include "failure/fatal_error.hpp"
#include "failure/memory.hpp"
#include "reader/rows.hpp"
#include "writer/plot_writer.hpp"
#include "reader/fingerprint.hpp"
#include "reader/format.hpp"
#include "reader/source.hpp"

namespace novrel::boundary {
namespace {

struct ModuleState {
  PyTypeObject* rows_type;
  PyTypeObject* result_type;
  PyObject* read_failure;
};

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// ---------------------------------------------------------------------------
// Rows: the owner of the values.

struct RowsObject {
  PyObject_HEAD
  void* values;  // shape[0] * shape[1] values from the reader, freed with the object
  Py_ssize_t shape[2];    // blocks, parameters
  Py_ssize_t strides[2];  // C order
  Py_ssize_t itemsize;    // 4 for float32, 8 for float64
};

RowsObject* as_rows(PyObject* self) { return reinterpret_cast<RowsObject*>(self); }

void rows_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  failure::release_bytes(as_rows(self)->values);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The values never move or change size while the object lives, so every
// export views the same memory and none needs releasing.
int rows_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  RowsObject* rows = as_rows(self);
  const bool fortran = (flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS;
  if (fortran && rows->shape[0] > 1 && rows->shape[1] > 1) {
    PyErr_SetString(PyExc_BufferError, "Rows are in C order, not Fortran order");
    view->obj = nullptr;
    return -1;
  }
  // An empty array still needs an address; its own field serves, never read.
  view->buf = rows->values != nullptr ? static_cast<void*>(rows->values)
                                      : static_cast<void*>(&rows->values);
  view->obj = Py_NewRef(self);
  view->len = rows->shape[0] * rows->strides[0];
  view->readonly = 0;
  view->itemsize = rows->itemsize;
  const char* format = rows->itemsize == 4 ? "f" : "d";
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(format) : nullptr;
  // Without PyBUF_ND the consumer asked for plain bytes: one dimension.
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? 2 : 1;
  view->shape = shaped ? rows->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? rows->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyObject* rows_shape(PyObject* self, void*) noexcept {
  const RowsObject* rows = as_rows(self);
  return Py_BuildValue("(nn)", rows->shape[0], rows->shape[1]);
}

PyGetSetDef rows_getset[] = {
    {"shape", rows_shape, nullptr, "(blocks, parameters)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The values of a plot file, block after block, as float32 or float64\n"
                    "in C order;"
                    "numpy.asarray(rows) wraps them without a copy.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
    {Py_tp_getset, rows_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(rows_getbuffer)},
    {0, nullptr},
};

PyType_Spec rows_spec = {
    "torvask._core.Rows",
    sizeof(RowsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    rows_slots,
};

// Takes over the values of `plot`; null with the exception set on failure,
// the values then staying with `plot`.
Ref make_rows(PyTypeObject* type, PlotRows& plot) {
  Ref object = Ref::steal(type->tp_alloc(type, 0));
  if (!object) return object;
  RowsObject* rows = as_rows(object.get());
  // The reader never holds more than PTRDIFF_MAX bytes, so none of these
  // overflow.
  const auto parameters = static_cast<Py_ssize_t>(plot.parameters.size());
  const auto itemsize = static_cast<Py_ssize_t>(size_of(plot.dtype));
  rows->shape[0] = static_cast<Py_ssize_t>(plot.blocks);
  rows->shape[1] = parameters;
  rows->strides[0] = parameters * itemsize;
  rows->strides[1] = itemsize;
  rows->itemsize = itemsize;
  rows->values = plot.values.release();
  return object;
}

// ---------------------------------------------------------------------------
// Reading with the interpreter released.

// ---------------------------------------------------------------------------
// Failures as Python exceptions.

// A str of UTF-8 text, a malformed sequence replaced.
Ref str_of(std::string_view text) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

template <class Int>
Ref int_or_none(std::optional<Int> value) {
  if (!value) return Ref::borrow(Py_None);
  return Ref::steal(PyLong_FromUnsignedLongLong(*value));
}

Ref width_or_none(std::size_t width) {
  return int_or_none(width != 0 ? std::optional<std::size_t>(width) : std::nullopt);
}

// Sets the exception for `error`: the OSError that errno picks (naming the
// path, or the source object), MemoryError, or a ReadFailure whose attributes
// say what and where, for the Python layer to put after the path.
void raise_read_error(const ModuleState& state, const ReadError& error, PyObject* source) {
  if (error.problem == ReadProblem::out_of_memory) {
    PyErr_NoMemory();
    return;
  }
  if (error.problem == ReadProblem::os_error) {
    Ref filename = PyBytes_Check(source)
                       ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(source),
                                                                     PyBytes_GET_SIZE(source)))
                       : Ref::borrow(source);
    if (!filename) return;
    errno = error.os_error != 0 ? error.os_error : EIO;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    return;
  }
  const ProblemText& problem = text_of(error.problem);
  const std::pair<const char*, Ref> attributes[] = {
      {"problem", str_of(problem.name)},
      {"wording", str_of(problem.wording)},
      {"option", problem.option.empty() ? Ref::borrow(Py_None) : str_of(problem.option)},
      {"line", error.line != 0 ? Ref::steal(PyLong_FromUnsignedLongLong(error.line)) : Ref::borrow(Py_None)},
      {"block", int_or_none(error.block)},
      {"parameter", int_or_none(error.parameter)},
      {"name", error.parameter ? str_of(error.name) : Ref::borrow(Py_None)},
      {"text", error.text ? str_of(*error.text) : Ref::borrow(Py_None)},
      {"width", width_or_none(error.width)},
      {"suggested_width", width_or_none(error.suggested_width)},
      {"count", int_or_none(error.count != 0 ? std::optional<std::uint32_t>(error.count) : std::nullopt)},
  };
  Ref exception = Ref::steal(PyObject_CallOneArg(state.read_failure, attributes[0].second.get()));
  if (!exception) return;
  for (const auto& [name, value] : attributes)
    if (!value || PyObject_SetAttrString(exception.get(), name, value.get()) < 0) return;
  PyErr_SetRaisedException(exception.release());
}

// What read() returns. The first nine fields are also its items, as the
// tuple it was before; the others are reached by name alone.
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

PyStructSequence_Desc result_desc = {
    "torvask._core.ReadResult",
    "The result of torvask._core.read, by name; its items are its first nine fields.",
    result_fields,
    9,
};

Ref windows_of(std::span<const reader::Window> windows) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(windows.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    PyObject* window = Py_BuildValue("(KKK)", static_cast<unsigned long long>(windows[i].offset),
                                     static_cast<unsigned long long>(windows[i].length),
                                     static_cast<unsigned long long>(windows[i].digest));
    if (window == nullptr) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), window);
  }
  return tuple;
}

// The ReadResult of what the reader returned; `checked` where windows were
// given.
PyObject* result_of(const ModuleState& state, PlotRows& plot, const reader::CheckedRead* checked) {
  const auto count = static_cast<Py_ssize_t>(plot.names.size());
  Ref names = Ref::steal(PyList_New(count));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref name = str_of(plot.names[static_cast<std::size_t>(i)]);
    if (!name) return nullptr;
    PyList_SET_ITEM(names.get(), i, name.release());
  }
  Ref parameters = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(plot.parameters.size())));
  if (!parameters) return nullptr;
  for (std::size_t j = 0; j < plot.parameters.size(); ++j) {
    PyObject* index = PyLong_FromUnsignedLong(plot.parameters[j]);
    if (index == nullptr) return nullptr;
    PyTuple_SET_ITEM(parameters.get(), static_cast<Py_ssize_t>(j), index);
  }
  Ref width = width_or_none(plot.width);
  Ref first = Ref::steal(PyLong_FromUnsignedLongLong(plot.first_block));
  Ref step = Ref::steal(PyLong_FromUnsignedLongLong(plot.block_step));
  if (!width || !first || !step) return nullptr;
  Ref rows = make_rows(state.rows_type, plot);
  if (!rows) return nullptr;
  Ref title = str_of(plot.title);
  if (!title) return nullptr;
  Ref end = Ref::steal(Py_BuildValue("(KKK)", static_cast<unsigned long long>(plot.end_offset),
                                     static_cast<unsigned long long>(plot.end_line),
                                     static_cast<unsigned long long>(plot.end_block)));
  Ref source = Ref::steal(Py_BuildValue("(KKK)", static_cast<unsigned long long>(plot.source_size),
                                        static_cast<unsigned long long>(plot.source_device),
                                        static_cast<unsigned long long>(plot.source_inode)));
  if (!end || !source) return nullptr;
  Ref changed = checked != nullptr && checked->changed
                    ? Ref::steal(PyLong_FromSize_t(*checked->changed))
                    : Ref::borrow(Py_None);
  Ref fingerprints = checked != nullptr
                         ? windows_of({checked->taken.data(), checked->taken.size()})
                         : Ref::borrow(Py_None);
  if (!changed || !fingerprints) return nullptr;
  Ref result = Ref::steal(PyStructSequence_New(state.result_type));
  if (!result) return nullptr;
  Ref* items[] = {&title, &names, &rows, &width, &parameters, &first, &step, &end, &source,
                  &changed, &fingerprints};
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(items)); ++i)
    PyStructSequence_SetItem(result.get(), i, items[i]->release());
  return result.release();
}

// A windows argument (`what` names it): a tuple of (offset, length,
// digest); false with the exception set.
bool windows_argument(PyObject* given, const char* what, failure::Vec<reader::Window>& out) {
  if (!PyTuple_Check(given)) {
    PyErr_Format(PyExc_TypeError, "%s must be tuple or None, not %T", what, given);
    return false;
  }
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

// ---------------------------------------------------------------------------
// read(source, width, complete_blocks, float64, parameters, start, stop, step,
//      threads[, resume[, windows]], /)

constexpr const char kReadDoc[] =
    "read($module, source, width, complete_blocks, float64, parameters, start, stop,\n"
    "     step, threads, resume=None, windows=None, /)\n"
    "--\n"
    "\n"
    "Read a plot file into a ReadResult: title, names, rows, width, parameters,\n"
    "first_block, block_step, end (end_offset, end_line, end_block), identity\n"
    "(size, device, inode), changed and fingerprints.\n"
    "`source` is a path (bytes, as os.fsencode gives), a buffer of the file's\n"
    "bytes, or a binary stream, read through its readinto() or read() on this\n"
    "thread while another parses. `width` None takes the field width from the\n"
    "first data line; the returned width is None when no data line gave one.\n"
    "`parameters` is None (all) or a tuple of indices (negative from the end)\n"
    "and names; parameter 0 always comes first. The blocks are those of\n"
    "slice(start, stop, step), split among `threads` threads. With\n"
    "`complete_blocks`, a file that ends inside a block gives the blocks before\n"
    "it. `resume` reads a file by path that is still growing: (0, 0, 0) from its\n"
    "start, or (end_offset, end_line, end_block) of an earlier read from there;\n"
    "a block counts only once its last line has ended. `windows`, for a file\n"
    "by path, is a tuple of (offset, length, digest) from the fingerprints of\n"
    "earlier reads: they are checked through the read's own descriptor before\n"
    "it reads and again after; `changed` is the index of the first whose bytes\n"
    "changed, and then nothing is read and no error of the read raised. With\n"
    "`windows` (even empty) the result's `fingerprints` vouch for what it read.\n"
    "A file that cannot be read raises its OSError; contents that do not fit\n"
    "the format raise ReadFailure.";

// Argument `number` (from 1) as an int64, or nullopt for None; false with
// the exception set otherwise.
bool int64_or_none(PyObject* value, int number, std::optional<std::int64_t>& out) noexcept {
  if (value == Py_None) return true;
  if (!PyLong_Check(value)) {
    PyErr_Format(PyExc_TypeError, "read() argument %d must be int or None, not %T", number, value);
    return false;
  }
  const long long got = PyLong_AsLongLong(value);
  if (got == -1 && PyErr_Occurred()) return false;
  out = got;
  return true;
}

bool bool_argument(PyObject* value, int number, bool& out) noexcept {
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "read() argument %d must be bool, not %T", number, value);
    return false;
  }
  out = value == Py_True;
  return true;
}

// The path in `path`, which must be bytes (as os.fsencode gives) without a
// null byte: the operating system would stop at the first one, at another
// file. The bytes object stays alive and unchanged through the call: the
// call holds it, and bytes are immutable.
bool path_argument(const char* function, PyObject* path, std::string_view& out) noexcept {
  if (!PyBytes_Check(path)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 1 must be bytes, not %T", function, path);
    return false;
  }
  out = std::string_view(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  if (out.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

PyObject* read(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs < 9 || nargs > 11) {
    PyErr_Format(PyExc_TypeError, "read() takes from 9 to 11 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* source = args[0];
  std::string_view file_path;
  if (PyBytes_Check(source) && !path_argument("read", source, file_path)) return nullptr;
  if (PyUnicode_Check(source)) {
    PyErr_SetString(PyExc_TypeError, "read() argument 1 must be bytes, a buffer or a stream, not str");
    return nullptr;
  }
  std::optional<std::int64_t> width, start, stop, step, threads;
  bool complete_blocks = false, float64 = false;
  if (!int64_or_none(args[1], 2, width) || !bool_argument(args[2], 3, complete_blocks) ||
      !bool_argument(args[3], 4, float64) || !int64_or_none(args[5], 6, start) ||
      !int64_or_none(args[6], 7, stop) || !int64_or_none(args[7], 8, step) ||
      !int64_or_none(args[8], 9, threads))
    return nullptr;
  if ((width && *width < 1) || (step && *step < 1) || (threads && *threads < 1)) {
    PyErr_SetString(PyExc_ValueError, "read() width, step and threads must be at least 1");
    return nullptr;
  }
  PyObject* chosen = args[4];
  if (chosen != Py_None && !PyTuple_Check(chosen)) {
    PyErr_Format(PyExc_TypeError, "read() argument 5 must be tuple or None, not %T", chosen);
    return nullptr;
  }
  ResumePoint resume;
  const bool growing = nargs >= 10 && args[9] != Py_None;
  if (growing && !PyArg_ParseTuple(args[9], "KKK;read() argument 10 must be (offset, line, block)",
                                   &resume.offset, &resume.line, &resume.block))
    return nullptr;
  if (growing && (!PyBytes_Check(source) || !complete_blocks)) {
    PyErr_SetString(PyExc_ValueError, "read() resumes only files by path, with complete_blocks");
    return nullptr;
  }

  const bool checking = nargs == 11 && args[10] != Py_None;
  if (checking && !PyBytes_Check(source)) {
    PyErr_SetString(PyExc_ValueError, "read() checks windows only of files by path");
    return nullptr;
  }

  const ModuleState& state = state_of(module);
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
  try {
    if (chosen != Py_None) {
      failure::QuietFailures quiet;
      const Py_ssize_t count = PyTuple_GET_SIZE(chosen);
      options.parameters.reserve(static_cast<std::size_t>(count));
      for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* parameter = PyTuple_GET_ITEM(chosen, i);
        std::string_view name;
        if (PyUnicode_Check(parameter)) {
          Py_ssize_t size = 0;
          const char* utf8 = PyUnicode_AsUTF8AndSize(parameter, &size);
          if (utf8 == nullptr) return nullptr;
          options.parameters.emplace_back(failure::String(utf8, static_cast<std::size_t>(size)));
          continue;
        }
        std::optional<std::int64_t> index;
        if (!PyLong_Check(parameter) || !int64_or_none(parameter, 5, index)) {
          if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "read() argument 5 must hold ints and strs");
          return nullptr;
        }
        options.parameters.emplace_back(*index);
      }
    }
    if (checking) {
      failure::Vec<reader::Window> expected;
      if (!windows_argument(args[10], "read() argument 11", expected)) return nullptr;
      std::optional<reader::CheckedRead> checked =
          read_path_checked(file_path, std::move(options), {expected.data(), expected.size()});
      if (!checked) return nullptr;
      return result_of(state, checked->rows, &*checked);
    }
    std::optional<PlotRows> plot;
    if (PyBytes_Check(source)) {
      plot = read_path(file_path, std::move(options));
    } else if (PyObject_CheckBuffer(source)) {
      plot = read_buffer(source, std::move(options));
    } else {
      plot = read_stream(source, std::move(options));
    }
    if (!plot) return nullptr;
    return result_of(state, *plot, nullptr);
  } catch (const ReadError& error) {
    raise_read_error(state, error, source);
  } catch (const failure::OutOfMemory&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "torvask._core.read failed in an unexpected way");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// check(path, windows, /)

constexpr const char kCheckDoc[] =
    "check($module, path, windows, /)\n"
    "--\n"
    "\n"
    "Open the file at `path` (bytes, as os.fsencode gives) and check `windows`,\n"
    "(offset, length, digest) tuples from read()'s fingerprints, through that\n"
    "one descriptor without reading the rest: (changed, (size, device, inode)),\n"
    "`changed` the index of the first window whose bytes changed, or None. A\n"
    "file that cannot be read raises its OSError.";

PyObject* check(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "check() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  std::string_view path;
  if (!path_argument("check", args[0], path)) return nullptr;
  std::optional<std::size_t> changed;
  std::uint64_t size = 0, device = 0, inode = 0;
  try {
    failure::Vec<reader::Window> windows;
    if (!windows_argument(args[1], "check() argument 2", windows)) return nullptr;
    failure::QuietFailures quiet;
    Detached detached;
    const reader::PlotFile file(path);
    changed = reader::first_changed(file, {windows.data(), windows.size()});
    size = file.size();
    device = file.device();
    inode = file.inode();
  } catch (const ReadError& error) {
    raise_read_error(state_of(module), error, args[0]);
    return nullptr;
  } catch (const failure::OutOfMemory&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "torvask._core.check failed in an unexpected way");
    return nullptr;
  }
  Ref index = changed ? Ref::steal(PyLong_FromSize_t(*changed)) : Ref::borrow(Py_None);
  if (!index) return nullptr;
  return Py_BuildValue("(O(KKK))", index.get(), static_cast<unsigned long long>(size),
                       static_cast<unsigned long long>(device),
                       static_cast<unsigned long long>(inode));
}

// ---------------------------------------------------------------------------
// write(path, title, names, values, width, /)

constexpr const char kWriteDoc[] =
    "write($module, path, title, names, values, width, /)\n"
    "--\n"
    "\n"
    "Write a plot file at `path` (bytes, as os.fsencode gives): the header\n"
    "line with `title` (str) and the count, the `names` (list of str), and a\n"
    "block per row of `values`, a buffer of float32 or float64 (format 'f' or\n"
    "'d'), 2-D and C-contiguous with one column per name, in fields `width`\n"
    "bytes wide. The file is written under a temporary name beside the target\n"
    "and renamed over it. A file that cannot be written raises its OSError;\n"
    "a width, a count or a line break the format cannot hold, ValueError.";

// A buffer held for as long as the object lives.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  bool get(PyObject* exporter, int flags) noexcept {
    held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The UTF-8 text of a str, kept by the str itself; false with the exception
// set (a lone surrogate) or TypeError for anything else.
bool utf8_of(PyObject* text, const char* what, std::string_view& out) noexcept {
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %T", what, text);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

void raise_write_error(const WriteError& error, PyObject* path, PyObject* names,
                       PyObject* width, bool doubles) {
  switch (error.problem) {
    case WriteProblem::os_error: {
      Ref filename = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path),
                                                                 PyBytes_GET_SIZE(path)));
      if (!filename) return;
      errno = error.os_error != 0 ? error.os_error : EIO;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
      return;
    }
    case WriteProblem::bad_count:
      PyErr_Format(PyExc_ValueError,
                   "a plot file has from 1 to 4294967295 parameters, not %zd",
                   PyTuple_GET_SIZE(names));
      return;
    case WriteProblem::bad_width:
      PyErr_Format(PyExc_ValueError,
                   "width must be from %zu (one digit of every %s value) to %zu, not %R",
                   error.min_width, doubles ? "float64" : "float32", error.max_width, width);
      return;
    case WriteProblem::line_break:
      if (error.name) {
        PyErr_Format(PyExc_ValueError, "name %zu %R holds a line break", *error.name,
                     PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(*error.name)));
      } else {
        PyErr_SetString(PyExc_ValueError, "the title holds a line break");
      }
      return;
    case WriteProblem::out_of_memory:
      PyErr_NoMemory();
      return;
  }
}

PyObject* write(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 5) {
    PyErr_Format(PyExc_TypeError, "write() takes exactly 5 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* path = args[0];
  std::string_view file_path;
  if (!path_argument("write", path, file_path)) return nullptr;
  std::string_view title;
  if (!utf8_of(args[1], "write() argument 2", title)) return nullptr;
  if (!PyList_Check(args[2])) {
    PyErr_Format(PyExc_TypeError, "write() argument 3 must be list, not %T", args[2]);
    return nullptr;
  }
  // A tuple of the names keeps every str, and with it its UTF-8, alive
  // whatever another thread does to the list meanwhile.
  Ref names = Ref::steal(PyList_AsTuple(args[2]));
  if (!names) return nullptr;
  const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(names.get()));
  HeldBuffer values;
  if (!values.get(args[3], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
  const Py_buffer& view = values.view();
  const std::string_view format = view.format != nullptr ? view.format : "B";
  const bool doubles = format == "d";
  if (view.ndim != 2 || (format != "f" && !doubles) ||
      static_cast<std::size_t>(view.shape[1]) != count) {
    PyErr_Format(PyExc_ValueError,
                 "write() argument 4 must be 2-D float32 or float64 values with one column "
                 "per name (%zu), not format '%s' with %d dimensions",
                 count, view.format != nullptr ? view.format : "B", view.ndim);
    return nullptr;
  }
  if (!PyLong_Check(args[4])) {
    PyErr_Format(PyExc_TypeError, "write() argument 5 must be int, not %T", args[4]);
    return nullptr;
  }
  // A negative or huge width is refused below as any other out of range.
  int overflow = 0;
  const long long asked = PyLong_AsLongLongAndOverflow(args[4], &overflow);
  if (asked == -1 && PyErr_Occurred()) return nullptr;
  const std::size_t width =
      overflow != 0 || asked < 0 || static_cast<unsigned long long>(asked) > SIZE_MAX
          ? 0
          : static_cast<std::size_t>(asked);

  PollState poll;
  try {
    std::vector<std::string_view> name_texts(count);
    for (std::size_t i = 0; i < count; ++i) {
      if (!utf8_of(PyTuple_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i)), "a name",
                   name_texts[i]))
        return nullptr;
    }
    // The exporter may not resize or free the values while they are
    // exported, so they stay put through the write.
    const auto blocks = static_cast<std::size_t>(view.shape[0]);
    const std::size_t size = blocks * count;
    PlotTable table{.title = title, .names = name_texts, .values = {}, .blocks = blocks};
    if (doubles) {
      table.values = std::span<const double>(static_cast<const double*>(view.buf), size);
    } else {
      table.values = std::span<const float>(static_cast<const float*>(view.buf), size);
    }
    Detached detached;
    poll.detached = &detached;
    write_plot(file_path, table,
               {.width = width, .threads = 0, .poll = poll_signals, .poll_context = &poll});
  } catch (const WriteError& error) {
    raise_write_error(error, path, names.get(), args[4], doubles);
    return nullptr;
  } catch (const Interrupted&) {
    PyErr_SetRaisedException(poll.raised.release());
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "torvask._core.write failed in an unexpected way");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// unique_names(names, /)

constexpr const char kUniqueNamesDoc[] =
    "unique_names($module, names, /)\n"
    "--\n"
    "\n"
    "The list of str `names` made unique as the reader chooses parameters by\n"
    "them: a repeat of X becomes X.1, X.2, ..., passing over names the list\n"
    "holds anywhere.";

PyObject* unique_names(PyObject*, PyObject* names) noexcept {
  if (!PyList_Check(names)) {
    PyErr_Format(PyExc_TypeError, "unique_names() argument must be list, not %T", names);
    return nullptr;
  }
  try {
    failure::QuietFailures quiet;
    failure::Vec<failure::String> given;
    given.reserve(static_cast<std::size_t>(PyList_GET_SIZE(names)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
      const Ref item = Ref::steal(PyList_GetItemRef(names, i));
      std::string_view name;
      if (!item || !utf8_of(item.get(), "a name", name)) return nullptr;
      given.emplace_back(name);
    }
    const failure::Vec<failure::String> unique = reader::unique_names(given);
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(unique.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < unique.size(); ++i) {
      Ref name = str_of(unique[i]);
      if (!name) return nullptr;
      PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return result.release();
  } catch (const failure::OutOfMemory&) {
    PyErr_NoMemory();
    return nullptr;
  }
}

PyMethodDef core_methods[] = {
    {"unique_names", unique_names, METH_O, kUniqueNamesDoc},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     kReadDoc},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write)), METH_FASTCALL,
     kWriteDoc},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check)), METH_FASTCALL,
     kCheckDoc},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module.

constexpr const char kReadFailureDoc[] =
    "A plot file's contents do not fit the format. args: (problem,); attributes:\n"
    "problem, wording (a str.format template over the others), option (the\n"
    "keyword of read() that the wording suggests as {option}), line, block,\n"
    "parameter, name, text, width, suggested_width and count, each None where\n"
    "it does not apply.";

int exec_core(PyObject* module) noexcept {
  ModuleState& state = state_of(module);
  state.rows_type = reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &rows_spec, nullptr));
  if (state.rows_type == nullptr || PyModule_AddType(module, state.rows_type) < 0) return -1;
  state.result_type = PyStructSequence_NewType(&result_desc);
  if (state.result_type == nullptr || PyModule_AddType(module, state.result_type) < 0) return -1;
  state.read_failure = PyErr_NewExceptionWithDoc("torvask._core.ReadFailure", kReadFailureDoc,
                                                 PyExc_Exception, nullptr);
  if (state.read_failure == nullptr ||
      PyModule_AddObjectRef(module, "ReadFailure", state.read_failure) < 0)
    return -1;
  return 0;
}

int traverse_core(PyObject* module, visitproc visit, void* arg) noexcept {
  ModuleState& state = state_of(module);
  Py_VISIT(state.rows_type);
  Py_VISIT(state.result_type);
  Py_VISIT(state.read_failure);
  return 0;
}

int clear_core(PyObject* module) noexcept {
  ModuleState& state = state_of(module);
  Py_CLEAR(state.rows_type);
  Py_CLEAR(state.result_type);
  Py_CLEAR(state.read_failure);
  return 0;
}

void free_core(void* module) noexcept { clear_core(static_cast<PyObject*>(module)); }

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_core)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// Writable: the interpreter fills in m_base when the definition is handed
// over.
PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "torvask._core",
    "The reader of the torvask package: plot files as float32 or float64 rows.",
    sizeof(ModuleState),
    core_methods,
    core_slots,
    traverse_core,
    clear_core,
    free_core,
};

}  // namespace
}  // namespace novrel::boundary

// PyMODINIT_FUNC gives C linkage and default visibility.
PyMODINIT_FUNC PyInit__core(void) {
  return PyModuleDef_Init(&novrel::boundary::core_module);
}
