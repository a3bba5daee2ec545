// Exception conversion: the seam between fatal errors and the interpreter.
//
// Two kinds of failure leave a body that runs on behalf of the interpreter:
// a PyErr (an ordinary Python exception, thrown as a C++ exception so that
// every frame releases its references on the way out) and a
// failure::FatalError. `guard_entry` turns both into the interpreter's error
// convention: the PyErr is set as the current exception unchanged, the fatal
// error becomes pyo3_runtime.PanicException carrying its message.
#pragma once

#include <cstdlib>
#include <optional>
#include <string_view>

#include "boundary/py_ref.hpp"
#include "failure/fatal_error.hpp"
#include "failure/memory.hpp"

namespace novrel::boundary {

// A Python exception object held by the module until it is raised again
// into the interpreter or dropped. Never empty outside a moved-from state.
class PyErr {
 public:
  explicit PyErr(Ref exception) noexcept : exception_(std::move(exception)) {}
  // Copyable only because C++ requires it of thrown objects.
  PyErr(const PyErr& other) noexcept : exception_(Ref::borrow(other.value())) {}
  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(const PyErr&) = delete;
  PyErr& operator=(PyErr&&) noexcept = default;

  PyObject* value() const noexcept { return exception_.get(); }

  // Takes the interpreter's current exception, if any. A
  // pyo3_runtime.PanicException coming back from Python code is not an
  // error of the caller but a failure being resumed: it is printed and
  // propagated as a fatal error, and this function does not return.
  static std::optional<PyErr> take();
  // As take(), after a C API call has signalled failure: the interpreter is
  // expected to have set an exception, and failed_to_fetch() stands in when
  // it has not.
  static PyErr fetch();
  static PyErr failed_to_fetch();
  // A new exception of `type` whose one argument is `message`.
  static PyErr new_error(PyObject* type, std::string_view message);

  // Makes this the interpreter's current exception.
  void restore() &&;

  // "PyErr { type: <repr>, value: <repr>, traceback: None|Some(\"...\") }",
  // the form a Python error takes as the cause of a fatal error.
  failure::String render() const;

 private:
  Ref exception_;
};

// For a C API constructor that returned NULL: the interpreter's pending
// error, if any, goes to the unraisable hook, then the fatal error
// "PyObject pointer is null" is raised at the caller.
[[noreturn, gnu::cold]] void panic_on_null(
    failure::Where where = failure::Where::current());

// pyo3_runtime.PanicException, created on first need; borrowed from a
// process-wide cell that is never released.
PyObject* panic_exception_type();

// A caught fatal error waiting to be raised as pyo3_runtime.PanicException.
class PendingException {
 public:
  explicit PendingException(failure::String text) noexcept : text_(std::move(text)) {}
  // Sets the exception as the interpreter's current one. Failing to build
  // it is a fatal error outside any catching region.
  void raise() &&;

 private:
  failure::String text_;
};

// Runs `body` for an entry from the interpreter and returns its result, or
// `error_result` with the interpreter's current exception set. Nothing
// escapes: a fatal error outside the catching region (while
// raising into the interpreter) fires the trap, which reports it and aborts.
template <class Result, class Body>
Result guard_entry(Result error_result, Body&& body) noexcept {
  // Without a handler above the trap the unwinder may terminate before the
  // trap's destructor runs; this handler only makes the unwinding happen.
  try {
    failure::PanicTrap trap("uncaught panic at ffi boundary");
    Result result = error_result;
    std::optional<PendingException> pending;
    try {
      failure::catch_fatal([&] { result = body(); },
                           [&](const failure::FatalError& caught) {
                             pending.emplace(failure::String(caught.message()));
                           });
    } catch (PyErr& error) {
      std::move(error).restore();
    }
    // Raised only after the caught failure has been released.
    if (pending) std::move(*pending).raise();
    trap.disarm();
    return result;
  } catch (...) {
    std::abort();
  }
}

}  // namespace novrel::boundary
