#include "timetable/expression.h"

#include "interop/py_values.h"

namespace kestro {

namespace {

// A sequence of str (not a str itself), copied in sequence order.
Result<std::vector<std::string>, PyException> str_list(PyObject* value) {
  if (PyUnicode_Check(value)) {
    return std::unexpected(PyException::make(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  }
  if (!PySequence_Check(value)) return std::unexpected(PyException::conversion(value, "Sequence"));
  PyRef iter = PyRef::steal(PyObject_GetIter(value));
  if (!iter) return std::unexpected(PyException::fetch());
  std::vector<std::string> out;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    KESTRO_ASSIGN_OR_RETURN(std::string text, to_string(item.get()));
    out.push_back(std::move(text));
  }
  if (PyErr_Occurred()) return std::unexpected(PyException::fetch());
  return out;
}

Result<Expression, InputError> read_expression(PyObject* entry) {
  KESTRO_ASSIGN_OR_RETURN(PyRef fn, required(entry, "fn"));
  KESTRO_ASSIGN_OR_RETURN(PyRef inp, required(entry, "inp"));
  KESTRO_ASSIGN_OR_RETURN(std::vector<std::string> inputs, typed("inp", str_list(inp.get())));
  return Expression{std::move(fn), std::move(inputs)};
}

// Steps inside one entry; every failure here is wrapped with the entry's name.
Result<void, InputError> read_entry(PyObject* entry, std::string name, ExpressionTables& tables) {
  KESTRO_ASSIGN_OR_RETURN(PyRef type_value, required(entry, "type"));
  KESTRO_ASSIGN_OR_RETURN(std::string type, typed("type", to_string(type_value.get())));
  if (type == "batch") return std::unexpected(InputError::Message{"Batch is not supported in this package"});
  if (type == "phrase") {
    KESTRO_ASSIGN_OR_RETURN(Expression expr, read_expression(entry));
    tables.phrases.insert_or_assign(std::move(name), std::move(expr));
    return {};
  }
  if (type == "snapper") {
    KESTRO_ASSIGN_OR_RETURN(Expression expr, read_expression(entry));
    KESTRO_ASSIGN_OR_RETURN(PyRef out, required(entry, "out"));
    KESTRO_ASSIGN_OR_RETURN(std::vector<std::string> outputs, typed("out", str_list(out.get())));
    tables.snappers.insert_or_assign(std::move(name), Snapper{std::move(expr), std::move(outputs)});
    return {};
  }
  return std::unexpected(InputError::InvalidValue{"type", std::move(type)});
}

}  // namespace

const Snapper* ExpressionTables::find_snapper(std::string_view name) const {
  auto it = snappers.find(name);
  return it == snappers.end() ? nullptr : &it->second;
}

const Expression* ExpressionTables::find_phrase(std::string_view name) const {
  auto it = phrases.find(name);
  return it == phrases.end() ? nullptr : &it->second;
}

Result<ExpressionTables, InputError> read_expressions(PyObject* expressions) {
  ExpressionTables tables;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *entry = nullptr;
  while (PyDict_Next(expressions, &pos, &key, &entry)) {
    // User code run below (str(), iteration) may change the dictionary: hold both.
    PyRef key_ref = PyRef::borrow(key), entry_ref = PyRef::borrow(entry);
    KESTRO_ASSIGN_OR_RETURN(std::string name, to_string(key));
    if (!PyDict_Check(entry)) return std::unexpected(InputError::WrongType{"n/a", bare_conversion(entry, "PyDict")});
    if (auto read = read_entry(entry, name, tables); !read) {
      return std::unexpected(InputError::in_expression(std::move(name), std::move(read).error()));
    }
  }
  return tables;
}

}  // namespace kestro
