#include "boundary/call.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <span>

#include "boundary/py_text.hpp"
#include "lib.hpp"
#include "text/message_text.hpp"

namespace novrel::boundary {

namespace {

PyErr type_error(const failure::String& message) {
  return PyErr::new_error(PyExc_TypeError, message);
}

// Appends 'a', 'a' and 'b', or 'a', 'b', and 'c'.
void push_parameter_list(failure::String& out, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
}

// The parameters of one function, and the TypeErrors of binding a call to
// them. Every message opens with the function's full name, "name()".
struct FunctionDescription {
  std::string_view func_name;
  std::span<const std::string_view> positional_parameter_names;
  std::size_t required_positional_parameters;

  failure::String full_name() const {
    failure::String out(func_name);
    out += "()";
    return out;
  }

  PyErr too_many_positional_arguments(Py_ssize_t nargs) const {
    failure::String message = full_name() + " takes ";
    text::append_decimal(message, positional_parameter_names.size());
    message += " positional arguments but ";
    text::append_decimal(message, static_cast<std::uint64_t>(nargs));
    message += nargs == 1 ? " was given" : " were given";
    return type_error(message);
  }

  PyErr unexpected_keyword_argument(PyObject* name) const {
    failure::String message = full_name() + " got an unexpected keyword argument '";
    message += text_of(name);
    message += '\'';
    return type_error(message);
  }

  PyErr multiple_values_for_argument(std::string_view name) const {
    failure::String message = full_name() + " got multiple values for argument '";
    message += name;
    message += '\'';
    return type_error(message);
  }

  PyErr missing_required_positional_arguments(std::span<PyObject* const> slots) const {
    failure::Vec<std::string_view> missing;
    for (std::size_t i = 0; i < required_positional_parameters; ++i) {
      if (slots[i] == nullptr) missing.push_back(positional_parameter_names[i]);
    }
    failure::String message = full_name() + " missing ";
    text::append_decimal(message, missing.size());
    message += " required positional ";
    message += missing.size() == 1 ? "argument: " : "arguments: ";
    push_parameter_list(message, missing);
    return type_error(message);
  }

  // Binds a fast call's arguments to `slots` (one per positional parameter,
  // all empty on entry) as borrowed references. Throws PyErr.
  void extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                  std::span<PyObject*> slots) const {
    const std::size_t positional = positional_parameter_names.size();
    if (args != nullptr) {
      const std::size_t given = std::min(static_cast<std::size_t>(nargs), positional);
      for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    }
    if (static_cast<std::size_t>(nargs) > positional) throw too_many_positional_arguments(nargs);

    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, i);
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(name, &size);
      if (data == nullptr) {
        // A name with lone surrogates matches no parameter.
        drop_pending_error();
        throw unexpected_keyword_argument(name);
      }
      const auto found = std::find(positional_parameter_names.begin(),
                                   positional_parameter_names.end(),
                                   std::string_view(data, static_cast<std::size_t>(size)));
      if (found == positional_parameter_names.end()) throw unexpected_keyword_argument(name);
      PyObject*& slot = slots[static_cast<std::size_t>(found - positional_parameter_names.begin())];
      if (slot != nullptr) throw multiple_values_for_argument(*found);
      slot = args[nargs + i];
    }

    for (std::size_t i = static_cast<std::size_t>(nargs); i < required_positional_parameters; ++i) {
      if (slots[i] == nullptr) throw missing_required_positional_arguments(slots);
    }
  }
};

constexpr std::array<std::string_view, 2> kParameterNames = {"file_path", "n_digits"};

constexpr FunctionDescription kDescription = {
    .func_name = "rust_read_torvask",
    .positional_parameter_names = kParameterNames,
    .required_positional_parameters = 2,
};

// The error of converting argument `name`: an exact TypeError is re-made
// with the argument's name in front; anything else passes unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error) {
  PyObject* value = error.value();
  if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyExc_TypeError) return error;
  failure::String message = "argument '";
  message += name;
  message += "': ";
  message += text_of(value);
  PyErr remade = PyErr::new_error(PyExc_TypeError, message);
  // Always set, even to nothing: that also suppresses the context, as for
  // any exception raised "from" another.
  PyException_SetCause(remade.value(), PyException_GetCause(value));
  return remade;
}

std::string_view extract_file_path(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    throw argument_extraction_error("file_path", not_an_instance(object, "str", /*argument=*/true));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw argument_extraction_error("file_path", PyErr::fetch());
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::size_t extract_n_digits(PyObject* object) {
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) throw argument_extraction_error("n_digits", PyErr::fetch());
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is also a valid value; only a pending exception makes it an error.
  if (value == ULLONG_MAX) {
    if (std::optional<PyErr> error = PyErr::take()) {
      throw argument_extraction_error("n_digits", std::move(*error));
    }
  }
  if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
    if (value > SIZE_MAX) {
      throw argument_extraction_error(
          "n_digits", PyErr::new_error(PyExc_OverflowError,
                                       "out of range integral type conversion attempted"));
    }
  }
  return static_cast<std::size_t>(value);
}

// Builds a list of floats from one column and frees the column's storage as
// soon as the list is complete, so the data is never held twice in full.
Ref list_of_floats(Column& column) {
  const auto size = static_cast<Py_ssize_t>(column.size());
  Ref list = Ref::steal(PyList_New(size));
  if (!list) panic_on_null();
  for (Py_ssize_t i = 0; i < size; ++i) {
    // float -> double is exact, whatever precision the FPU evaluates in.
    PyObject* value = PyFloat_FromDouble(static_cast<double>(column[static_cast<std::size_t>(i)]));
    if (value == nullptr) panic_on_null();
    PyList_SET_ITEM(list.get(), i, value);
  }
  Column().swap(column);
  return list;
}

Ref build_result(PlotData data) {
  Ref first = list_of_floats(data.first_column);
  const auto count = static_cast<Py_ssize_t>(data.columns.size());
  Ref columns = Ref::steal(PyList_New(count));
  if (!columns) panic_on_null();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(columns.get(), i,
                    list_of_floats(data.columns[static_cast<std::size_t>(i)]).release());
  }
  Ref result = Ref::steal(PyTuple_Pack(2, first.get(), columns.get()));
  if (!result) panic_on_null();
  return result;
}

PyObject* call_rust_read_torvask(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 2> slots{};
  kDescription.extract_arguments_fastcall(args, nargs, kwnames, slots);
  // file_path first: when both are wrong only its error is raised, and no
  // code of the n_digits object (its __index__) runs.
  const std::string_view file_path = extract_file_path(slots[0]);
  const std::size_t n_digits = extract_n_digits(slots[1]);
  return build_result(rust_read_torvask(file_path, n_digits)).release();
}

}  // namespace

PyErr not_an_instance(PyObject* object, std::string_view expected, bool argument) {
  failure::String message = "'";
  if (argument && object == Py_None) {
    message += "None'";
  } else {
    message += qualified_type_name(object);
    message += "' object";
  }
  message += " is not an instance of '";
  message += expected;
  message += '\'';
  return type_error(message);
}

PyObject* rust_read_torvask_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return guard_entry<PyObject*>(nullptr, [&] { return call_rust_read_torvask(args, nargs, kwnames); });
}

}  // namespace novrel::boundary
