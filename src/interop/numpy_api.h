#pragma once
// NumPy's C API for every translation unit but the module's own, which imports it.

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL kestro_ARRAY_API
#include <numpy/arrayobject.h>
