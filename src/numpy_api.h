#pragma once
// NumPy's C API for every translation unit except module.cpp: they all share the one function
// table that module.cpp fills when `_kestro` is imported.

#include "py_ref.h"  // Python.h comes before NumPy's headers

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL kestro_ARRAY_API
#include <numpy/arrayobject.h>
