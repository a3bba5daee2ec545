// torvask._core.Rows: the owner of a read's values, one block of floats
// that numpy wraps through the buffer protocol without a copy.
#include "boundary/torvask_core.hpp"

namespace novrel::boundary {
namespace {

struct RowsObject {
  PyObject_HEAD
  void* values;  // shape[0] * shape[1] values from the reader, freed with the object
  Py_ssize_t shape[2];    // blocks, parameters
  Py_ssize_t strides[2];  // C order
  Py_ssize_t itemsize;    // 4 for float32, 8 for float64
};

RowsObject* as_rows(PyObject* self) { return reinterpret_cast<RowsObject*>(self); }

void rows_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  failure::release_bytes(as_rows(self)->values);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// The values never move or change size while the object lives, so every
// export views the same memory and none needs releasing.
int rows_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  RowsObject* rows = as_rows(self);
  const bool fortran = (flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS;
  if (fortran && rows->shape[0] > 1 && rows->shape[1] > 1) {
    PyErr_SetString(PyExc_BufferError, "Rows are in C order, not Fortran order");
    view->obj = nullptr;
    return -1;
  }
  // An empty array still needs an address; its own field serves, never read.
  view->buf = rows->values != nullptr ? static_cast<void*>(rows->values)
                                      : static_cast<void*>(&rows->values);
  view->obj = Py_NewRef(self);
  view->len = rows->shape[0] * rows->strides[0];
  view->readonly = 0;
  view->itemsize = rows->itemsize;
  const char* format = rows->itemsize == 4 ? "f" : "d";
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(format) : nullptr;
  // Without PyBUF_ND the consumer asked for plain bytes: one dimension.
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? 2 : 1;
  view->shape = shaped ? rows->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? rows->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyObject* rows_shape(PyObject* self, void*) noexcept {
  const RowsObject* rows = as_rows(self);
  return Py_BuildValue("(nn)", rows->shape[0], rows->shape[1]);
}

PyGetSetDef rows_getset[] = {
    {"shape", rows_shape, nullptr, "(blocks, parameters)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The values of a plot file, block after block, as float32 or float64\n"
                    "in C order; numpy.asarray(rows) wraps them without a copy.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
    {Py_tp_getset, rows_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(rows_getbuffer)},
    {0, nullptr},
};

}  // namespace

PyType_Spec rows_spec = {
    "torvask._core.Rows",
    sizeof(RowsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    rows_slots,
};

Ref make_rows(PyTypeObject* type, PlotRows& plot) {
  Ref object = Ref::steal(type->tp_alloc(type, 0));
  if (!object) return object;
  RowsObject* rows = as_rows(object.get());
  // The reader never holds more than PTRDIFF_MAX bytes, so none of these
  // overflow.
  const auto parameters = static_cast<Py_ssize_t>(plot.parameters.size());
  const auto itemsize = static_cast<Py_ssize_t>(size_of(plot.dtype));
  rows->shape[0] = static_cast<Py_ssize_t>(plot.blocks);
  rows->shape[1] = parameters;
  rows->strides[0] = parameters * itemsize;
  rows->strides[1] = itemsize;
  rows->itemsize = itemsize;
  rows->values = plot.values.release();
  return object;
}

}  // namespace novrel::boundary
