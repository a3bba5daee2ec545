#include "boundary/exception.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace novrel::boundary {

thread_local std::size_t AttachMark::depth_ = 0;

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

// Diagnostics go straight to the descriptor, not through sys.stderr, so that
// they survive a replaced or broken Python-level stream. A failed write is
// ignored: there is nowhere left to report it.
void write_to_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Drops whatever exception is pending, where a fixed fallback text stands in
// for the failed operation's result and the error itself is of no use.
void drop_pending_error() noexcept { Ref dropped = Ref::steal(PyErr_GetRaisedException()); }

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Decodes UTF-8, replacing each maximal ill-formed subsequence with one
// U+FFFD (the practice the Unicode Standard recommends), so a lone surrogate
// encoded with "surrogatepass" (three bytes) shows as three replacements.
void append_utf8_lossy(failure::String& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    std::size_t trail;
    unsigned char low = 0x80, high = 0xBF;  // range of the first trail byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
    } else if (lead == 0xE0) {
      trail = 2, low = 0xA0;
    } else if (lead == 0xED) {
      trail = 2, high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      trail = 2;
    } else if (lead == 0xF0) {
      trail = 3, low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      trail = 3;
    } else if (lead == 0xF4) {
      trail = 3, high = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    if (end < n && p[end] >= low && p[end] <= high) {
      ++end;
      while (end < i + 1 + trail && end < n && p[end] >= 0x80 && p[end] <= 0xBF) ++end;
    }
    if (end == i + 1 + trail) {
      out.append(bytes.substr(i, trail + 1));
    } else {
      out += kReplacement;
    }
    i = end;
  }
}

void append_unprintable(failure::String& out, PyObject* object) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    drop_pending_error();
    out += "<unprintable object>";
    return;
  }
  out += "<unprintable ";
  out += utf8_of_str(name.get());
  out += " object>";
}

// str() or repr() of an object as UTF-8 text for a message. A conversion
// that fails is reported as unraisable and "<unprintable ... object>"
// stands in for it.
failure::String converted_text(PyObject* object, PyObject* (*convert)(PyObject*)) {
  Ref text = Ref::steal(convert(object));
  if (!text) {
    PyErr_WriteUnraisable(object);
    failure::String out;
    append_unprintable(out, object);
    return out;
  }
  return utf8_of_str(text.get());
}

// repr() for the rendering of a Python error.
failure::String repr_of(PyObject* object) { return converted_text(object, PyObject_Repr); }

// A double-quoted literal with backslash escapes, so a multi-line traceback
// stays on the one line of the rendering.
void append_quoted(failure::String& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\u{";
          if (byte >= 0x10) out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
          out += '}';
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

// "Traceback (most recent call last):\n" and the frames as the traceback
// module formats them; empty when formatting itself fails.
failure::String format_traceback(PyObject* traceback) {
  failure::String out;
  Ref module = Ref::steal(PyImport_ImportModule("traceback"));
  Ref lines = module ? Ref::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback))
                     : Ref();
  Ref empty = lines ? Ref::steal(PyUnicode_FromStringAndSize("", 0)) : Ref();
  Ref joined = empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
  if (!joined) {
    drop_pending_error();
    return out;
  }
  out += "Traceback (most recent call last):\n";
  out += utf8_of_str(joined.get());
  return out;
}

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
  Ref base = Ref::borrow(PyExc_BaseException);
  PyObject* type =
      PyErr_NewExceptionWithDoc(kPanicTypeName.data(), kPanicTypeDoc, base.get(), nullptr);
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
  write_to_stderr("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
  write_to_stderr("Python stack trace below:\n");
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
    append_quoted(out, format_traceback(traceback.get()));
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

failure::String utf8_of_str(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
    return failure::String(data, static_cast<std::size_t>(size));
  }
  drop_pending_error();
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) panic_on_null();
  failure::String out;
  append_utf8_lossy(out, std::string_view(PyBytes_AS_STRING(bytes.get()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  return out;
}

failure::String text_of(PyObject* object) { return converted_text(object, PyObject_Str); }

failure::String qualified_type_name(PyObject* object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    drop_pending_error();
    return "<failed to extract type name>";
  }
  return utf8_of_str(name.get());
}

PyObject* panic_exception_type() {
  if (PyObject* type = panic_type_cell.load(std::memory_order_acquire)) return type;
  return create_panic_exception_type();
}

void PendingException::raise() && {
  Ref type = Ref::borrow(panic_exception_type());
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(text_.data(),
                                                     static_cast<Py_ssize_t>(text_.size())));
  if (!text) panic_on_null();
  Ref args = Ref::steal(PyTuple_New(1));
  if (!args) panic_on_null();
  PyTuple_SET_ITEM(args.get(), 0, text.release());
  if (PyType_Check(type.get()) &&
      PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type.get()),
                          Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
    PyErr_SetObject(type.get(), args.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PendingException from_panic_payload(const failure::FatalError& caught) noexcept {
  std::string_view message = caught.message();
  return PendingException(failure::String(message));
}

}  // namespace novrel::boundary
