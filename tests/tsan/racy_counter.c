/* A deliberately racy extension: race(n) starts two threads that each add 1
 * to a global counter n times with no synchronisation, and waits for them.
 * tools/run-tsan loads it into the ThreadSanitizer interpreter to show that
 * the stage reports a data race in an extension. The threads are the
 * extension's own: between two calls from Python threads, the interpreter's
 * atomic reference counting would order the accesses and hide the race
 * whenever the calls did not overlap. Never part of the project's modules. */
#include <Python.h>
#include <pthread.h>

static long counter;

static void *add(void *n) {
  for (long i = 0; i < *(long *)n; ++i) counter++;
  return NULL;
}

static PyObject *race(PyObject *self, PyObject *arg) {
  long n = PyLong_AsLong(arg);
  if (n == -1 && PyErr_Occurred()) return NULL;
  pthread_t threads[2];
  Py_BEGIN_ALLOW_THREADS
  for (int i = 0; i < 2; ++i) pthread_create(&threads[i], NULL, add, &n);
  for (int i = 0; i < 2; ++i) pthread_join(threads[i], NULL);
  Py_END_ALLOW_THREADS
  return PyLong_FromLong(counter);
}

static PyMethodDef methods[] = {{"race", race, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static PyModuleDef_Slot slots[] = {{Py_mod_gil, Py_MOD_GIL_NOT_USED}, {0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "racy_counter", NULL, 0, methods, slots};

PyMODINIT_FUNC PyInit_racy_counter(void) { return PyModuleDef_Init(&module); }
