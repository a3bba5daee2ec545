// torvask._core.write: a table of float32 or float64 values written as a
// plot file, with the interpreter released.
#include <cstdint>
#include <span>
#include <vector>

#include "boundary/torvask_core.hpp"

namespace novrel::boundary {

void raise_write_error(const Call& call, const WriteError& error) {
  const WriteArguments& given = *call.write;
  switch (error.problem) {
    case WriteProblem::os_error:
      raise_os_error(error.os_error, call.file);
      return;
    case WriteProblem::bad_count:
      PyErr_Format(PyExc_ValueError,
                   "a plot file has from 1 to 4294967295 parameters, not %zd",
                   PyTuple_GET_SIZE(given.names));
      return;
    case WriteProblem::bad_width:
      PyErr_Format(PyExc_ValueError,
                   "width must be from %zu (one digit of every %s value) to %zu, not %R",
                   error.min_width, given.doubles ? "float64" : "float32", error.max_width,
                   given.width);
      return;
    case WriteProblem::line_break:
      if (error.name) {
        PyErr_Format(PyExc_ValueError, "name %zu %R holds a line break", *error.name,
                     PyTuple_GET_ITEM(given.names, static_cast<Py_ssize_t>(*error.name)));
      } else {
        PyErr_SetString(PyExc_ValueError, "the title holds a line break");
      }
      return;
    case WriteProblem::out_of_memory:
      PyErr_NoMemory();
      return;
  }
}

const char kWriteDoc[] =
    "write($module, path, title, names, values, width, /)\n"
    "--\n"
    "\n"
    "Write a plot file (see torvask/_core.pyi).";
PyObject* write_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 5)
    return PyErr_Format(PyExc_TypeError, "write() takes exactly 5 arguments (%zd given)", nargs);
  PyObject* path = args[0];
  std::string_view file_path;
  if (!path_argument("write() argument 1", path, file_path)) return nullptr;
  std::string_view title;
  if (!utf8_of(args[1], "write() argument 2", title)) return nullptr;
  if (!expect_type(PyList_Check(args[2]), args[2], "write() argument 3", "list")) return nullptr;
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
      static_cast<std::size_t>(view.shape[1]) != count)
    return PyErr_Format(PyExc_ValueError,
                        "write() argument 4 must be 2-D float32 or float64 values with one column "
                        "per name (%zu), not format '%s' with %d dimensions",
                        count, format.data(), view.ndim);
  if (!expect_type(PyLong_Check(args[4]), args[4], "write() argument 5", "int")) return nullptr;
  // A negative or huge width is refused below as any other out of range.
  int overflow = 0;
  const long long asked = PyLong_AsLongLongAndOverflow(args[4], &overflow);
  if (asked == -1 && PyErr_Occurred()) return nullptr;
  const std::size_t width =
      overflow != 0 || asked < 0 || static_cast<unsigned long long>(asked) > SIZE_MAX
          ? 0
          : static_cast<std::size_t>(asked);

  const WriteArguments given{.names = names.get(), .width = args[4], .doubles = doubles};
  Call call{.name = "write", .file = path, .write = &given};
  return guard_call(call, [&]() -> PyObject* {
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
    {
      Detached detached;
      call.poll.detached = &detached;
      write_plot(file_path, table, {.width = width, .threads = 0, .poll = poll_signals,
                                    .poll_context = &call.poll});
    }
    Py_RETURN_NONE;
  });
}

}  // namespace novrel::boundary
