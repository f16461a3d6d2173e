// Placeholder module until the argument layer lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef core_module = {PyModuleDef_HEAD_INIT, "_core", "", -1, nullptr};

PyMODINIT_FUNC PyInit__core(void) { return PyModule_Create(&core_module); }
