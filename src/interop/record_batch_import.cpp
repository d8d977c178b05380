// Import of the timetable's record batch from Python, zero-copy, through the Arrow C data
// interface. Ownership: on success the batch owns the exported buffers (the exporter's
// release callbacks run when the batch dies); on failure every struct taken from the
// exporter has been released, and structs never taken stay with their capsules.

#include "interop/record_batch_import.h"

#include <arrow/api.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

namespace kestro {

namespace {

PyException type_error(const char* text) { return PyException::make(PyExc_TypeError, text); }

// Arrow's own failure as the closest Python exception type.
PyException arrow_error(const arrow::Status& status) {
  PyObject* type = status.IsTypeError() ? PyExc_TypeError
                   : status.IsInvalid() || status.IsIndexError() ? PyExc_ValueError
                   : status.IsOutOfMemory() ? PyExc_MemoryError
                                            : PyExc_RuntimeError;
  return PyException::make(type, "Arrow error: " + status.message());
}

std::string str_attr(PyObject* obj, const char* name) {
  PyRef attr = PyRef::steal(PyObject_GetAttrString(obj, name));
  std::string out;
  if (!attr || !str_of(attr.get(), out)) {
    PyErr_Clear();
    return "?";
  }
  return out;
}

// The named capsule's pointer, or the error a consumer of the protocol reports.
Result<void*, PyException> capsule_pointer(PyObject* capsule, const char* name) {
  if (!PyCapsule_CheckExact(capsule)) return std::unexpected(PyException::conversion(capsule, "PyCapsule"));
  const char* found = PyCapsule_GetName(capsule);
  if (found == nullptr || std::string_view(found) != name) {
    return std::unexpected(PyException::make(
        PyExc_ValueError, std::string("Expected name '") + name + "' in PyCapsule, instead got '" +
                              (found == nullptr ? "None" : found) + "'"));
  }
  void* pointer = PyCapsule_GetPointer(capsule, name);
  if (pointer == nullptr) return std::unexpected(PyException::fetch());
  return pointer;
}

// A struct array (no top-level nulls) becomes a batch whose columns are its children.
Result<std::shared_ptr<arrow::RecordBatch>, PyException> batch_from_struct(
    arrow::Result<std::shared_ptr<arrow::Array>> imported) {
  if (!imported.ok()) return std::unexpected(arrow_error(imported.status()));
  const std::shared_ptr<arrow::Array>& array = *imported;
  if (array->null_count() != 0) {
    return std::unexpected(PyException::make(PyExc_ValueError,
                                             "Expected a struct array without top-level nulls."));
  }
  auto batch = arrow::RecordBatch::FromStructArray(array);
  if (!batch.ok()) return std::unexpected(arrow_error(batch.status()));
  // Structural checks (lengths, buffer sizes) before any column is read.
  if (arrow::Status valid = (*batch)->Validate(); !valid.ok()) return std::unexpected(arrow_error(valid));
  // The structural check leaves a string array's inner offsets and its UTF-8 unread; the
  // timetable reads every value of its dictionaries, so those are checked in full (their
  // size, not the row count, sets the cost).
  for (const std::shared_ptr<arrow::Array>& column : (*batch)->columns()) {
    if (column->type_id() != arrow::Type::DICTIONARY) continue;
    const auto& dictionary = static_cast<const arrow::DictionaryArray&>(*column).dictionary();
    if (arrow::Status valid = dictionary->ValidateFull(); !valid.ok()) return std::unexpected(arrow_error(valid));
  }
  return std::move(batch).ValueUnsafe();
}

Result<std::shared_ptr<arrow::RecordBatch>, PyException> import_capsules(PyObject* exported) {
  if (!PyTuple_Check(exported)) return std::unexpected(type_error("Expected __arrow_c_array__ to return a tuple."));
  if (PyTuple_GET_SIZE(exported) != 2) {
    return std::unexpected(
        type_error("Expected __arrow_c_array__ to return a tuple of two PyCapsules (schema, array)."));
  }
  KESTRO_ASSIGN_OR_RETURN(void* schema_ptr, capsule_pointer(PyTuple_GET_ITEM(exported, 0), "arrow_schema"));
  KESTRO_ASSIGN_OR_RETURN(void* array_ptr, capsule_pointer(PyTuple_GET_ITEM(exported, 1), "arrow_array"));
  auto* schema = static_cast<ArrowSchema*>(schema_ptr);
  auto* array = static_cast<ArrowArray*>(array_ptr);

  // Importing consumes the schema struct; the capsule then finds it released and skips it.
  auto type = arrow::ImportType(schema);
  if (!type.ok()) return std::unexpected(arrow_error(type.status()));
  if ((*type)->id() != arrow::Type::STRUCT) {
    return std::unexpected(type_error("Expected Struct type from __arrow_c_array."));
  }
  return batch_from_struct(arrow::ImportArray(array, *type));
}

Result<std::shared_ptr<arrow::RecordBatch>, PyException> import_pyarrow_batch(PyObject* value) {
  PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!pyarrow) return std::unexpected(PyException::fetch());
  PyRef record_batch = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatch"));
  if (!record_batch) return std::unexpected(PyException::fetch());
  const int is_batch = PyObject_IsInstance(value, record_batch.get());
  if (is_batch < 0) return std::unexpected(PyException::fetch());
  if (is_batch == 0) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    return std::unexpected(type_error(("Expected instance of " + str_attr(record_batch.get(), "__module__") + "." +
                                       str_attr(record_batch.get(), "__name__") + ", got " +
                                       str_attr(type, "__module__") + "." + str_attr(type, "__name__"))
                                          .c_str()));
  }

  ArrowSchema schema{};
  ArrowArray array{};
  PyRef result = PyRef::steal(PyObject_CallMethod(value, "_export_to_c", "NN", PyLong_FromVoidPtr(&array),
                                                  PyLong_FromVoidPtr(&schema)));
  if (!result) {
    if (array.release != nullptr) array.release(&array);
    if (schema.release != nullptr) schema.release(&schema);
    return std::unexpected(PyException::fetch());
  }
  auto type = arrow::ImportType(&schema);
  if (!type.ok()) {
    if (array.release != nullptr) array.release(&array);
    return std::unexpected(arrow_error(type.status()));
  }
  return batch_from_struct(arrow::ImportArray(&array, *type));
}

}  // namespace

Result<std::shared_ptr<arrow::RecordBatch>, PyException> to_record_batch(PyObject* value) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(value, "__arrow_c_array__"));
  if (method) {
    PyRef exported = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!exported) return std::unexpected(PyException::fetch());
    return import_capsules(exported.get());
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return std::unexpected(PyException::fetch());
  PyErr_Clear();
  return import_pyarrow_batch(value);
}

}  // namespace kestro
