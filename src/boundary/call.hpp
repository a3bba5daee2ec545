// The call boundary of rust_read_torvask: argument binding, conversion and
// the result objects.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "boundary/exception.hpp"
#include "boundary/py_ref.hpp"
#include "failure/memory.hpp"

namespace novrel::boundary {

// The parameters of one function, and the TypeErrors of binding a call to
// them. Every message opens with the function's full name, "name()".
struct FunctionDescription {
  std::string_view func_name;
  std::string_view cls_name;  // empty for a module-level function
  std::span<const std::string_view> positional_parameter_names;
  std::size_t positional_only_parameters;
  std::size_t required_positional_parameters;

  failure::String full_name() const;

  PyErr too_many_positional_arguments(Py_ssize_t nargs) const;
  PyErr unexpected_keyword_argument(PyObject* name) const;
  PyErr multiple_values_for_argument(std::string_view name) const;
  PyErr missing_required_positional_arguments(std::span<PyObject* const> slots) const;

  // Binds a fast call's arguments to `slots` (one per positional parameter,
  // all empty on entry) as borrowed references. Throws PyErr.
  void extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  std::span<PyObject*> slots) const;
};

// The TypeError "'{type}' object is not an instance of '{expected}'", with
// the qualified name of the object's type. An `argument` that is None itself
// reads "'None' is not an instance of '{expected}'".
PyErr not_an_instance(PyObject* object, std::string_view expected, bool argument = false);

// Appends 'a', 'a' and 'b', or 'a', 'b', and 'c'.
void push_parameter_list(failure::String& out, std::span<const std::string_view> names);

// The error of converting argument `name`: an exact TypeError is re-made
// with the argument's name in front; anything else passes unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// Conversions of the two arguments; each throws the PyErr of
// argument_extraction_error. The text views the str object's own UTF-8
// buffer and lives as long as the object.
std::string_view extract_file_path(PyObject* object);
std::size_t extract_n_digits(PyObject* object);

// The fast-call entry registered for rust_read_torvask.
PyObject* rust_read_torvask_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept;

}  // namespace novrel::boundary
