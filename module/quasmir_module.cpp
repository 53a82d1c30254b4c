#define PY_SSIZE_T_CLEAN
#include <Python.h>
static PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "quasmir", " ", -1, nullptr};
PyMODINIT_FUNC PyInit_quasmir(void) { return PyModule_Create(&moduledef); }
