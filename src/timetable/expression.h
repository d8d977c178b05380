#pragma once
// User expressions from the `expressions` dictionary: snappers (outputs stored under names
// for later events) and phrases (evaluated whenever referred to).

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/errors.h"
#include "core/result.h"

namespace kestro {

struct Expression {
  PyRef fn;                         // the user function; called by the expression callbacks
  std::vector<std::string> inputs;  // input names, in the order the function receives them
};

struct Snapper {
  Expression expr;
  std::vector<std::string> outputs;  // names the outputs are stored under, in output order
};

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

template <class V>
using NameMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

struct ExpressionTables {
  NameMap<Snapper> snappers;
  NameMap<Expression> phrases;

  const Snapper* find_snapper(std::string_view name) const;
  const Expression* find_phrase(std::string_view name) const;
};

/// Reads the `expressions` dictionary (borrowed; a dict) in its own iteration order. The first
/// failing entry ends the reading and nothing read so far is kept.
Result<ExpressionTables, InputError> read_expressions(PyObject* expressions);

}  // namespace kestro
