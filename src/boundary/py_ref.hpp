// The owners of what the boundary takes from Python: a reference, a buffer.
//
// Every PyObject* that the boundary owns lives in a Ref from the moment the
// C API call that produced it returns, so a fatal error or a Python error
// that leaves a frame early releases it on the way out. Whether a pointer is
// new or borrowed is said once, where the Ref is made (steal or borrow), not
// at every use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace novrel::boundary {

class Ref {
 public:
  Ref() noexcept = default;

  // Takes over a new reference (may be null: the caller checks).
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to an object someone else keeps alive.
  [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref dropped(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to a C API call that steals it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

// The one owner of a buffer an object exports: released with the owner.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  bool get(PyObject* exporter, int flags) noexcept {
    held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace novrel::boundary
