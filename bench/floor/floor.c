/* floor.c: the least a limited-API constructor can do, as the yardstick for kovel's leaf,
 * name and sym. Each function takes its arguments the way kovel's do (METH_FASTCALL with keywords:
 * an array of arguments and an optional tuple of keyword names), reads its str arguments with PyUnicode_AsUTF8AndSize, makes one malloc
 * block of a 40-byte header plus the texts, and returns a new object of a heap type owning it.
 * Beside them, copy(dst, src) copies the bytes src into the bytearray dst with one memcpy: the
 * floor of anything that reads or writes those bytes. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  PyObject_HEAD
  void *block;
} Node;

enum { HEADER = 40 };

static PyTypeObject *node_type;

static void node_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  free(((Node *)self)->block);
  PyObject_Free(self);
  Py_DECREF(type);
}

static PyType_Slot node_slots[] = {
    {Py_tp_dealloc, (void *)node_dealloc},
    {0, NULL},
};

static PyType_Spec node_spec = {"floor.Node", sizeof(Node), 0, Py_TPFLAGS_DEFAULT, node_slots};

/* Checks for exactly n positional arguments and no keywords; 0, or -1 with TypeError. */
static int exactly(Py_ssize_t nargs, PyObject *kwnames, Py_ssize_t n) {
  if (nargs != n || (kwnames && PyTuple_Size(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "wrong arguments");
    return -1;
  }
  return 0;
}

static const char *text(PyObject *o, Py_ssize_t *n) {
  if (!PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "not a str");
    return NULL;
  }
  return PyUnicode_AsUTF8AndSize(o, n);
}

/* One block of the header and the two texts, owned by a new Node. */
static PyObject *make(const char *a, Py_ssize_t na, const char *b, Py_ssize_t nb) {
  char *block = malloc(HEADER + (size_t)na + (size_t)nb);
  if (!block) return PyErr_NoMemory();
  memset(block, 0, HEADER);
  memcpy(block, &na, sizeof na);
  memcpy(block + 8, &nb, sizeof nb);
  memcpy(block + HEADER, a, (size_t)na);
  memcpy(block + HEADER + na, b, (size_t)nb);
  Node *self = PyObject_New(Node, node_type);
  if (!self) {
    free(block);
    return NULL;
  }
  self->block = block;
  return (PyObject *)self;
}

static PyObject *floor_leaf(PyObject *m, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
  (void)m;
  if (exactly(nargs, kwnames, 2) < 0) return NULL;
  Py_ssize_t nt, nc;
  const char *t = text(args[0], &nt);
  if (!t) return NULL;
  const char *c = text(args[1], &nc);
  if (!c) return NULL;
  return make(t, nt, c, nc);
}

/* The one str argument of name and sym; NULL with an exception set on failure. */
static const char *one_text(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                            Py_ssize_t *n) {
  return exactly(nargs, kwnames, 1) < 0 ? NULL : text(args[0], n);
}

/* name(s): the fixed tag "identifier" and s. */
static PyObject *floor_name(PyObject *m, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) {
  (void)m;
  Py_ssize_t n;
  const char *p = one_text(args, nargs, kwnames, &n);
  return p ? make("identifier", 10, p, n) : NULL;
}

/* sym(s): s as both texts. */
static PyObject *floor_sym(PyObject *m, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
  (void)m;
  Py_ssize_t n;
  const char *p = one_text(args, nargs, kwnames, &n);
  return p ? make(p, n, p, n) : NULL;
}

static PyObject *floor_copy(PyObject *m, PyObject *args) {
  (void)m;
  PyObject *dst, *src;
  if (!PyArg_ParseTuple(args, "O!O!", &PyByteArray_Type, &dst, &PyBytes_Type, &src)) return NULL;
  if (PyByteArray_Size(dst) < PyBytes_Size(src)) {
    PyErr_SetString(PyExc_ValueError, "dst is shorter than src");
    return NULL;
  }
  memcpy(PyByteArray_AsString(dst), PyBytes_AsString(src), (size_t)PyBytes_Size(src));
  Py_RETURN_NONE;
}

#define KW (METH_FASTCALL | METH_KEYWORDS)
static PyMethodDef floor_methods[] = {
    {"leaf", (PyCFunction)(void (*)(void))floor_leaf, KW, NULL},
    {"name", (PyCFunction)(void (*)(void))floor_name, KW, NULL},
    {"sym", (PyCFunction)(void (*)(void))floor_sym, KW, NULL},
    {"copy", floor_copy, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static int floor_exec(PyObject *m) {
  if (!node_type) {
    node_type = (PyTypeObject *)PyType_FromSpec(&node_spec);
    if (!node_type) return -1;
  }
  Py_INCREF(node_type);
  if (PyModule_AddObject(m, "Node", (PyObject *)node_type) < 0) {
    Py_DECREF(node_type);
    return -1;
  }
  return 0;
}

static PyModuleDef_Slot floor_module_slots[] = {{Py_mod_exec, (void *)floor_exec}, {0, NULL}};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "floor", NULL, 0, floor_methods, floor_module_slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_floor(void) { return PyModuleDef_Init(&floor_module); }
