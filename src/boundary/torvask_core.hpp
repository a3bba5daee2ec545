// What the files of torvask._core share: the module's state, the making of
// its small result objects, and the one catch ladder every entry runs in.
#pragma once

#include "boundary/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>

#include "boundary/torvask_sources.hpp"
#include "failure/fatal_error.hpp"
#include "failure/memory.hpp"
#include "reader/rows.hpp"
#include "writer/plot_writer.hpp"

namespace novrel::boundary {

struct ModuleState {
  PyTypeObject* rows_type;
  PyTypeObject* result_type;
  PyObject* read_failure;
};

inline ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// A str of UTF-8 text, a malformed sequence replaced.
Ref str_of(std::string_view text);

template <class Int>
Ref int_or_none(std::optional<Int> value) {
  if (!value) return Ref::borrow(Py_None);
  return Ref::steal(PyLong_FromUnsignedLongLong(*value));
}

// A list of make(item) for each of `items`, each made a Ref, or with
// `as_tuple` a tuple; null with the exception set where one failed.
template <class Items, class Make>
Ref sequence_of(const Items& items, Make make, bool as_tuple = false) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    Ref value = make(item);
    if (!value) return {};
    PyList_SET_ITEM(list.get(), i++, value.release());
  }
  return as_tuple ? Ref::steal(PyList_AsTuple(list.get())) : std::move(list);
}

// None for 0: a line, a count or a width not known.
inline Ref int_or_none(std::uint64_t value) {
  return int_or_none(value != 0 ? std::optional<std::uint64_t>(value) : std::nullopt);
}

// The tuple (a, b, c), as offsets, sizes and digests are handed over.
inline Ref triple(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  return Ref::steal(Py_BuildValue("(KKK)", static_cast<unsigned long long>(a),
                                  static_cast<unsigned long long>(b),
                                  static_cast<unsigned long long>(c)));
}

// The attributes of a ReadFailure, in the order raise_read_error sets them;
// the module exports them as FAILURE_ATTRIBUTES.
inline constexpr const char* kFailureAttributes[] = {
    "problem", "wording", "option",          "line",  "block", "parameter",
    "name",    "text",    "suggested_width", "width", "count",
};

// What write() is told its failures with: its own arguments.
struct WriteArguments {
  PyObject* names;  // the tuple of the names
  PyObject* width;
  bool doubles;
};

// One call of an entry, for the ladder to say what failed: `file` is what
// an OSError names (a path's bytes, else the source object itself).
struct Call {
  const char* name;
  PyObject* file = nullptr;
  const ModuleState* state = nullptr;     // a read's: where ReadFailure is
  const WriteArguments* write = nullptr;  // a write's
  PollState poll{};                       // where Ctrl-C's exception waits
};

// Sets OSError (FileNotFoundError, ...) from `error` (errno; EIO for 0),
// naming `file`: bytes are decoded as a path, anything else named as is.
void raise_os_error(int error, PyObject* file);
// Sets the exception for a failure of a read or of a write.
void raise_read_error(const Call& call, const ReadError& error);
void raise_write_error(const Call& call, const WriteError& error);

// Runs `body` for an entry of torvask._core and returns what it returns:
// a new reference, or null with the exception set. Whatever it throws
// becomes the interpreter's exception here, and nothing escapes.
template <class Body>
PyObject* guard_call(Call& call, Body&& body) noexcept {
  try {
    return body();
  } catch (const ReadError& error) {
    raise_read_error(call, error);
  } catch (const WriteError& error) {
    raise_write_error(call, error);
  } catch (const Interrupted&) {
    PyErr_SetRaisedException(call.poll.raised.release());
  } catch (const failure::OutOfMemory&) {
    PyErr_NoMemory();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::system_error&) {
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "torvask._core.%s failed in an unexpected way", call.name);
  }
  return nullptr;
}

// The entries, each in the file of its concern.
extern PyType_Spec rows_spec;
extern PyStructSequence_Desc result_desc;
// Takes over the values of `plot`; null with the exception set on failure,
// the values then staying with `plot`.
Ref make_rows(PyTypeObject* type, PlotRows& plot);

PyObject* read_entry(PyObject* module, PyObject* args, PyObject* keywords) noexcept;
PyObject* check_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* write_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
extern const char kReadDoc[];
extern const char kCheckDoc[];
extern const char kWriteDoc[];

// Sets the TypeError "{what} must be {kind}, not {given's type}" unless `ok`;
// returns `ok`.
inline bool expect_type(bool ok, PyObject* given, const char* what, const char* kind) noexcept {
  if (!ok) PyErr_Format(PyExc_TypeError, "%s must be %s, not %T", what, kind, given);
  return ok;
}
// The path in `path`, argument `what`, which must be bytes (as os.fsencode
// gives) without a null byte; false with the exception set.
bool path_argument(const char* what, PyObject* path, std::string_view& out) noexcept;
// The UTF-8 text of a str, kept by the str itself; false with the exception
// set (a lone surrogate) or TypeError for anything else.
bool utf8_of(PyObject* text, const char* what, std::string_view& out) noexcept;

}  // namespace novrel::boundary
