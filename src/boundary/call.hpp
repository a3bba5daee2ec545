// The call boundary of rust_read_torvask: argument binding, conversion and
// the result objects.
#pragma once

#include <string_view>

#include "boundary/exception.hpp"
#include "boundary/py_ref.hpp"

namespace novrel::boundary {

// The TypeError "'{type}' object is not an instance of '{expected}'", with
// the qualified name of the object's type. An `argument` that is None itself
// reads "'None' is not an instance of '{expected}'".
PyErr not_an_instance(PyObject* object, std::string_view expected, bool argument = false);

// The fast-call entry registered for rust_read_torvask.
PyObject* rust_read_torvask_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

}  // namespace novrel::boundary
