#pragma once
// Calling a user expression: inputs handed to Python as NumPy arrays that adopt the engine's
// buffers, outputs converted back to path arrays.

#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "ledger/path_array.h"
#include "timetable/expression.h"

namespace kestro {

/// Which of an expression's outputs the caller reads: the first `first` (a snapper's named
/// outputs) and, when `last`, the last one (a phrase's value).
struct OutputUse {
  size_t first = 0;
  bool last = false;
};

/// Calls `expr.fn([a_1, ..., a_k])` with one new float64 array per input (taking over the
/// inputs' memory) and converts each element of the returned list: 1-D float64 and bool
/// arrays are copied, anything `float()` accepts becomes a one-element array. Every element
/// is checked, in order, but only those `use` names are copied; the others are left empty.
Result<std::vector<PathArray>, PythonCallError> evaluate(const Expression& expr, std::vector<PathArray> inputs,
                                                         OutputUse use);

}  // namespace kestro
