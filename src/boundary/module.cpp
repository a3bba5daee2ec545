// The module: definition, slot table and the execution function that adds
// rust_read_torvask. The library exports PyInit_novrel and nothing else.
#include "boundary/call.hpp"
#include "boundary/exception.hpp"
#include "boundary/py_ref.hpp"

namespace novrel::boundary {
namespace {

// The first line and "--" form the interpreter's signature marker: it
// becomes __text_signature__ "(file_path, n_digits)", the rest __doc__.
// Its wording and spelling are kept as they are: callers match on it exactly.
constexpr const char kFunctionDoc[] =
    "rust_read_torvask(file_path, n_digits)\n"
    "--\n"
    "\n"
    "# Reads in the torvask file.\n"
    "\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n"
    "\n"
    "## TORVASK plot file shape\n"
    "The TORVASK data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the TORVASK plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "file_path: &str\n"
    "    the file path\n"
    "n_digits: usize\n"
    "    the width of a datafield\n"
    "\n"
    "Returns\n"
    "-------\n"
    "all_data: Vec<Vec<f32>>\n"
    "    the data stored in a vector of columns/vectors.\n";
static_assert(sizeof(kFunctionDoc) - 1 == 616);

// Static and never freed: every function object made from it refers to it
// for the rest of the process.
PyMethodDef rust_read_torvask_def = {
    "rust_read_torvask",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rust_read_torvask_entry)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    kFunctionDoc,
};
static_assert((METH_FASTCALL | METH_KEYWORDS | METH_STATIC) == 0xa2);

// The module's __all__ list, created empty when the module has none yet.
Ref all_list_of(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (!PyList_Check(all.get())) throw not_an_instance(all.get(), "list");
    return all;
  }
  PyErr error = PyErr::fetch();
  if (!PyErr_GivenExceptionMatches(error.value(), PyExc_AttributeError)) throw error;
  all = Ref::steal(PyList_New(0));
  if (!all) throw PyErr::fetch();
  if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyErr::fetch();
  return all;
}

void add_rust_read_torvask(PyObject* module) {
  if (module == nullptr) throw PyErr::fetch();
  if (!PyModule_Check(module)) throw not_an_instance(module, "module");

  Ref function;
  {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) throw PyErr::fetch();
    function = Ref::steal(PyCMethod_New(&rust_read_torvask_def, module, module_name.get(), nullptr));
  }
  if (!function) throw PyErr::fetch();

  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) throw PyErr::fetch();
  if (!PyUnicode_Check(name.get())) throw not_an_instance(name.get(), "str");

  Ref all = all_list_of(module);
  if (PyList_Append(all.get(), name.get()) < 0) {
    failure::raise_with_cause("could not append __name__ to __all__", PyErr::fetch().render());
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PyErr::fetch();
}

int exec_novrel(PyObject* module) noexcept {
  return guard_entry(-1, [module] {
    add_rust_read_torvask(module);
    return 0;
  });
}

PyModuleDef_Slot novrel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_novrel)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// Writable: the interpreter fills in m_base when the definition is handed
// over.
PyModuleDef novrel_module = {
    PyModuleDef_HEAD_INIT,
    "novrel",
    "",
    0,
    nullptr,
    novrel_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace novrel::boundary

// PyMODINIT_FUNC gives C linkage and default visibility.
PyMODINIT_FUNC PyInit_novrel(void) {
  return PyModuleDef_Init(&novrel::boundary::novrel_module);
}
