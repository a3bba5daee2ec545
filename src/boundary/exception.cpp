#include "boundary/exception.hpp"

#include <atomic>
#include <mutex>

#include "boundary/py_text.hpp"
#include "text/message_text.hpp"

namespace novrel::boundary {

namespace {

constexpr std::string_view kPanicTypeName = "pyo3_runtime.PanicException";
constexpr const char kPanicTypeDoc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
static_assert(sizeof(kPanicTypeDoc) - 1 == 235);

std::atomic<PyObject*> panic_type_cell{nullptr};
std::mutex panic_type_once;

[[gnu::cold]] PyObject* create_panic_exception_type() {
  // Wait detached: the thread creating the type may need the interpreter
  // that this thread would otherwise keep from it.
  PyThreadState* state = PyEval_SaveThread();
  std::unique_lock once(panic_type_once);
  if (PyObject* type = panic_type_cell.load(std::memory_order_acquire)) {
    once.unlock();
    PyEval_RestoreThread(state);
    return type;
  }
  PyEval_RestoreThread(state);
  PyObject* type = PyErr_NewExceptionWithDoc(kPanicTypeName.data(), kPanicTypeDoc,
                                             PyExc_BaseException, nullptr);
  if (type == nullptr) {
    // Fetched without the identity check of PyErr::take, which would need
    // the very type that could not be made.
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyErr error = raised ? PyErr(std::move(raised)) : PyErr::failed_to_fetch();
    failure::raise_with_cause("Failed to initialize new exception type.", error.render());
  }
  // The cell keeps this reference for the rest of the process.
  panic_type_cell.store(type, std::memory_order_release);
  return type;
}

[[noreturn, gnu::cold]] void print_panic_and_unwind(Ref exception) {
  failure::String message;
  if (Ref text = Ref::steal(PyObject_Str(exception.get()))) {
    message = utf8_of_str(text.get());
  } else {
    drop_pending_error();
    message = "Unwrapped panic from Python code";
  }
  failure::write_diagnostic(
      "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
      "Python stack trace below:\n");
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  // The failure was reported where it first arose; say nothing more.
  failure::raise_without_report(std::move(message));
}

}  // namespace

std::optional<PyErr> PyErr::take() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return std::nullopt;
  PyObject* panic_type = panic_exception_type();
  if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_type) {
    print_panic_and_unwind(std::move(exception));
  }
  return PyErr(std::move(exception));
}

PyErr PyErr::fetch() {
  if (std::optional<PyErr> error = take()) return std::move(*error);
  return failed_to_fetch();
}

PyErr PyErr::failed_to_fetch() {
  return new_error(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyErr PyErr::new_error(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(),
                                                     static_cast<Py_ssize_t>(message.size())));
  if (!text) panic_on_null();
  Ref exception = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) return fetch();
  // Raised by the interpreter, an exception gets the one being handled as its
  // context; so does each of the module's own. A new object cannot be in the
  // handled exception's context chain, so this forms no cycle.
  if (Ref handled = Ref::steal(PyErr_GetHandledException()))
    PyException_SetContext(exception.get(), handled.release());
  return PyErr(std::move(exception));
}

void PyErr::restore() && {
  if (!exception_) failure::raise("PyErr state should never be invalid outside of normalization");
  PyErr_SetRaisedException(exception_.release());
}

failure::String PyErr::render() const {
  failure::String out = "PyErr { type: ";
  out += repr_of(reinterpret_cast<PyObject*>(Py_TYPE(value())));
  out += ", value: ";
  out += repr_of(value());
  out += ", traceback: ";
  Ref traceback = Ref::steal(PyException_GetTraceback(value()));
  if (!traceback) {
    out += "None";
  } else {
    out += "Some(";
    text::append_quoted(out, format_traceback(traceback.get()));
    out += ')';
  }
  out += " }";
  return out;
}

void panic_on_null(failure::Where where) {
  if (std::optional<PyErr> error = PyErr::take()) {
    std::move(*error).restore();
    PyErr_WriteUnraisable(nullptr);
  }
  failure::raise("PyObject pointer is null", where);
}

PyObject* panic_exception_type() {
  if (PyObject* type = panic_type_cell.load(std::memory_order_acquire)) return type;
  return create_panic_exception_type();
}

void PendingException::raise() && {
  // The type is always the one made above, a subclass of BaseException.
  PyObject* type = panic_exception_type();
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(text_.data(),
                                                     static_cast<Py_ssize_t>(text_.size())));
  if (!text) panic_on_null();
  Ref args = Ref::steal(PyTuple_New(1));
  if (!args) panic_on_null();
  PyTuple_SET_ITEM(args.get(), 0, text.release());
  PyErr_SetObject(type, args.get());
}

}  // namespace novrel::boundary
