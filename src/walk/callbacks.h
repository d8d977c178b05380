#pragma once
// Calling a user expression: inputs handed to Python as NumPy arrays that adopt the engine's
// buffers, outputs converted back to path arrays.

#include <vector>

#include "errors.h"
#include "ledger/path_array.h"
#include "result.h"
#include "timetable/expression.h"

namespace kestro {

/// Calls `expr.fn([a_1, ..., a_k])` with one new float64 array per input (taking over the
/// inputs' memory) and converts each element of the returned list: 1-D float64 and bool
/// arrays are copied, anything `float()` accepts becomes a one-element array.
Result<std::vector<PathArray>, PythonCallError> evaluate(const Expression& expr, std::vector<PathArray> inputs);

}  // namespace kestro
