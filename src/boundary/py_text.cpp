#include "boundary/py_text.hpp"

#include "boundary/exception.hpp"
#include "text/lines/utf8.hpp"

namespace novrel::boundary {
namespace {

failure::String unprintable(PyObject* object) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    drop_pending_error();
    return "<unprintable object>";
  }
  return "<unprintable " + utf8_of_str(name.get()) + " object>";
}

// str() or repr() of an object as UTF-8 text for a message. A conversion
// that fails is reported as unraisable and "<unprintable ... object>"
// stands in for it.
failure::String converted_text(PyObject* object, PyObject* (*convert)(PyObject*)) {
  Ref text = Ref::steal(convert(object));
  if (!text) {
    PyErr_WriteUnraisable(object);
    return unprintable(object);
  }
  return utf8_of_str(text.get());
}

}  // namespace

void drop_pending_error() noexcept { Ref dropped = Ref::steal(PyErr_GetRaisedException()); }

failure::String text_of(PyObject* object) { return converted_text(object, PyObject_Str); }

failure::String repr_of(PyObject* object) { return converted_text(object, PyObject_Repr); }

failure::String utf8_of_str(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) {
    return failure::String(data, static_cast<std::size_t>(size));
  }
  drop_pending_error();
  // Each byte of a lone surrogate's three-byte form is one ill-formed
  // sequence, so it shows as three replacement characters.
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) panic_on_null();
  failure::String out;
  text::append_utf8_lossy(out, std::string_view(PyBytes_AS_STRING(bytes.get()),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  return out;
}

failure::String qualified_type_name(PyObject* object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    drop_pending_error();
    return "<failed to extract type name>";
  }
  return utf8_of_str(name.get());
}

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

}  // namespace novrel::boundary
