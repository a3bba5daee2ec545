/* A deliberately racy extension: bump(n) adds 1 to a global counter n times
 * with no synchronisation. tools/run-tsan loads it into the ThreadSanitizer
 * interpreter from two threads to show that the stage does report a data
 * race in an extension. Never part of the project's modules. */
#include <Python.h>

static long counter;

static PyObject *bump(PyObject *self, PyObject *arg) {
  long n = PyLong_AsLong(arg);
  if (n == -1 && PyErr_Occurred()) return NULL;
  for (long i = 0; i < n; ++i) counter++;
  return PyLong_FromLong(counter);
}

static PyMethodDef methods[] = {{"bump", bump, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "racy_counter", NULL, 0, methods, slots};

PyMODINIT_FUNC PyInit_racy_counter(void) { return PyModuleDef_Init(&module); }
