// Python objects as text for messages: str(), repr(), a type's name, a
// traceback. Each has a fixed fallback, so building a message never fails
// because an object cannot be shown.
#pragma once

#include "boundary/py_ref.hpp"
#include "failure/memory.hpp"

namespace novrel::boundary {

// The text of str(object) for a message. A str without a UTF-8 form (lone
// surrogates) shows U+FFFD for each ill-formed byte sequence; a failing
// str() is reported as unraisable and replaced by "<unprintable T object>".
failure::String text_of(PyObject* object);
// repr(object), with the same fallbacks as text_of.
failure::String repr_of(PyObject* object);
// The UTF-8 text of a str object, with the same fallback as text_of.
failure::String utf8_of_str(PyObject* str);
// The qualified name of an object's type, or "<failed to extract type name>".
failure::String qualified_type_name(PyObject* object);
// "Traceback (most recent call last):\n" and the frames as the traceback
// module formats them; empty when formatting itself fails.
failure::String format_traceback(PyObject* traceback);

// Drops whatever exception is pending, where a fixed fallback text stands in
// for the failed operation's result and the error itself is of no use.
void drop_pending_error() noexcept;

}  // namespace novrel::boundary
