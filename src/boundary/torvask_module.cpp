// The extension module torvask._core: its entries, its types and the state
// that holds them, and what the entries share.
//
// The module keeps its types in its own state, made anew for every
// interpreter that imports it, and nothing is mutated after import: it needs
// no global lock. The library exports PyInit__core and nothing else.
#include <cerrno>
#include <iterator>

#include "boundary/torvask_core.hpp"
#include "reader/format.hpp"

namespace novrel::boundary {

Ref str_of(std::string_view text) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise_os_error(int error, PyObject* file) {
  Ref filename = PyBytes_Check(file)
                     ? Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(file),
                                                                   PyBytes_GET_SIZE(file)))
                     : Ref::borrow(file);
  if (!filename) return;
  errno = error != 0 ? error : EIO;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
}

// The bytes object stays alive and unchanged through the call: the call
// holds it, and bytes are immutable. A null byte is refused: the operating
// system would stop at it, at another file.
bool path_argument(const char* what, PyObject* path, std::string_view& out) noexcept {
  if (!expect_type(PyBytes_Check(path), path, what, "bytes")) return false;
  out = std::string_view(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  if (out.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

bool utf8_of(PyObject* text, const char* what, std::string_view& out) noexcept {
  if (!expect_type(PyUnicode_Check(text), text, what, "str")) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

namespace {

constexpr const char kUniqueNamesDoc[] =
    "unique_names($module, names, /)\n"
    "--\n"
    "\n"
    "The list of str `names` made unique as the reader chooses parameters by\n"
    "them: a repeat of X becomes X.1, X.2, ..., passing over names the list\n"
    "holds anywhere.";

PyObject* unique_names(PyObject*, PyObject* names) noexcept {
  if (!expect_type(PyList_Check(names), names, "unique_names() argument", "list")) return nullptr;
  Call call{.name = "unique_names"};
  return guard_call(call, [&]() -> PyObject* {
    failure::QuietFailures quiet;
    failure::Vec<failure::String> given;
    given.reserve(static_cast<std::size_t>(PyList_GET_SIZE(names)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
      const Ref item = Ref::steal(PyList_GetItemRef(names, i));
      std::string_view name;
      if (!item || !utf8_of(item.get(), "a name", name)) return nullptr;
      given.emplace_back(name);
    }
    return sequence_of(reader::unique_names(given), str_of).release();
  });
}

constexpr const char kHeaderCountDoc[] =
    "header_count($module, line, /)\n"
    "--\n"
    "\n"
    "The parameter count that the str `line`, a header line without its line\n"
    "end, ends with, as the reader takes it; None where it ends with none.";

PyObject* header_count(PyObject*, PyObject* line) noexcept {
  std::string_view text;
  if (!utf8_of(line, "header_count() argument", text)) return nullptr;
  Call call{.name = "header_count"};
  return guard_call(call, [&]() -> PyObject* {
    failure::QuietFailures quiet;
    const reader::HeaderCount found = reader::count_of_header(text);
    if (found.count == 0) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(found.count);
  });
}

PyMethodDef core_methods[] = {
    {"unique_names", unique_names, METH_O, kUniqueNamesDoc},
    {"header_count", header_count, METH_O, kHeaderCountDoc},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_entry)),
     METH_VARARGS | METH_KEYWORDS, kReadDoc},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_entry)),
     METH_FASTCALL, kWriteDoc},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_entry)),
     METH_FASTCALL, kCheckDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kReadFailureDoc[] =
    "A plot file's contents do not fit the format. args: (problem,); attributes:\n"
    "those of FAILURE_ATTRIBUTES: problem, wording (a str.format template over\n"
    "the others), option (the keyword of read() that the wording suggests as\n"
    "{option}), line, block, parameter, name, text, suggested_width, width and\n"
    "count, each None where it does not apply.";

// The failures of a file whose header or names are still being written: a
// follower waits on them rather than failing.
constexpr ReadProblem kHeaderUnwritten[] = {ReadProblem::no_header, ReadProblem::header_cut,
                                            ReadProblem::names_missing};

// The vocabulary of ReadFailure, for the package to take rather than spell
// again: PROBLEMS maps each problem's name to its (wording, option), option
// None where the wording suggests none; OSError and MemoryError stand for
// the problems without a wording.
int add_vocabulary(PyObject* module) noexcept {
  Ref problems = Ref::steal(PyDict_New());
  if (!problems) return -1;
  for (std::size_t i = 0; i < kProblemCount; ++i) {
    const ProblemText& text = text_of(static_cast<ReadProblem>(i));
    if (text.wording.empty()) continue;
    Ref name = str_of(text.name);
    Ref wording = str_of(text.wording);
    Ref option = text.option.empty() ? Ref::borrow(Py_None) : str_of(text.option);
    if (!name || !wording || !option) return -1;
    Ref entry = Ref::steal(PyTuple_Pack(2, wording.get(), option.get()));
    if (!entry || PyDict_SetItem(problems.get(), name.get(), entry.get()) < 0) return -1;
  }
  Ref attributes = sequence_of(kFailureAttributes, str_of, true);
  Ref unwritten = sequence_of(
      kHeaderUnwritten, [](ReadProblem problem) { return str_of(text_of(problem).name); }, true);
  Ref shown = Ref::steal(PyDictProxy_New(problems.get()));  // read-only: shared by every thread
  if (!attributes || !unwritten || !shown ||
      PyModule_AddObjectRef(module, "PROBLEMS", shown.get()) < 0 ||
      PyModule_AddObjectRef(module, "FAILURE_ATTRIBUTES", attributes.get()) < 0 ||
      PyModule_AddObjectRef(module, "HEADER_UNWRITTEN", unwritten.get()) < 0)
    return -1;
  return 0;
}

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
  return add_vocabulary(module);
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
