#pragma once
// The timetable's record batch, imported from Python without copying its buffers.

#include <memory>

#include "core/result.h"
#include "interop/py_exception.h"

namespace arrow {
class RecordBatch;
}

namespace kestro {

/// The record batch behind `value`, zero-copy: the Arrow PyCapsule protocol
/// (`__arrow_c_array__`) first, then a `pyarrow.RecordBatch` through the C data interface.
/// The batch shares the exporter's buffers and keeps them alive.
Result<std::shared_ptr<arrow::RecordBatch>, PyException> to_record_batch(PyObject* value);

}  // namespace kestro
