// The `_kestro` extension module: six functions, no per-module state, main interpreter only.

#define PY_ARRAY_UNIQUE_SYMBOL kestro_ARRAY_API
#include "entry/functions.h"

#include <numpy/arrayobject.h>

namespace {

#define KESTRO_WRAPS(module) \
  "This function is a thin wrapper around the native `calculate` function of the `" module "` module."
#define KESTRO_MC_DOC "Takes the timetable as a pyarrow record batch and calculates price using monte carlo simulation."
#define KESTRO_FD_DOC "Takes the timetable as a pyarrow record batch and calculates price using finite difference grid."

#define KESTRO_FUNCTION(name, signature, doc, module)                                             \
  {                                                                                               \
    #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kestro::name)),             \
        METH_FASTCALL | METH_KEYWORDS, #name signature "\n--\n\n" doc " " KESTRO_WRAPS(module)    \
  }

PyMethodDef kMethods[] = {
    KESTRO_FUNCTION(mc_price, "(events_rb, py_state, dataset, expressions)", KESTRO_MC_DOC, "mc"),
    KESTRO_FUNCTION(fixed_price, "(events_rb, py_state, dataset, expressions)", KESTRO_MC_DOC, "mc"),
    KESTRO_FUNCTION(fd_hullwhite_price, "(events_rb, py_state, dataset, expressions)", KESTRO_FD_DOC, "fd"),
    KESTRO_FUNCTION(fd_blackscholes_price, "(events_rb, py_state, dataset, expressions)", KESTRO_FD_DOC, "fd"),
    KESTRO_FUNCTION(backtest_csv, "(events_rb, py_state, _filename, base, expressions)", KESTRO_FD_DOC, "fd"),
    KESTRO_FUNCTION(backtest_py, "(events_rb, py_state, expressions, base)", KESTRO_FD_DOC, "fd"),
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: the interpreter then calls the init function for every import,
// so an import from a sub-interpreter reaches the check below instead of copying the module.
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_kestro", "basic", 0, kMethods, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;  // created once per process

}  // namespace

PyMODINIT_FUNC PyInit__kestro() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "_kestro cannot be imported in a sub-interpreter");
    return nullptr;
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  the_module = Py_NewRef(module);
  return module;
}
