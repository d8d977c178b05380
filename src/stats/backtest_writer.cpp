#include "stats/backtest_writer.h"

#include <arrow/api.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

#include <algorithm>

#include "interop/py_state.h"
#include "interop/signal_check.h"
#include "stats/stats_internal.h"

namespace kestro {

namespace {

EvaluationError arrow_failure(const arrow::Status& status) {
  return EvaluationError::ArrowCreation{"cashflows", status.ToString()};
}

// One track's cashflows (event -> one-path array) as an Arrow batch, rows by event index.
arrow::Result<std::shared_ptr<arrow::RecordBatch>> cashflow_batch(
    const std::unordered_map<uint64_t, Cashflow>& flows) {
  std::vector<std::pair<uint64_t, double>> rows;
  rows.reserve(flows.size());
  for (const auto& [event, cashflow] : flows) {
    rows.emplace_back(event, cashflow.flows.size() > 0 ? cashflow.flows[0] : 0.0);
  }
  std::sort(rows.begin(), rows.end());

  arrow::UInt64Builder index;
  arrow::DoubleBuilder value;
  ARROW_RETURN_NOT_OK(index.Reserve(static_cast<int64_t>(rows.size())));
  ARROW_RETURN_NOT_OK(value.Reserve(static_cast<int64_t>(rows.size())));
  for (const auto& [event, amount] : rows) {
    index.UnsafeAppend(event);
    value.UnsafeAppend(amount);
  }
  ARROW_ASSIGN_OR_RAISE(auto index_array, index.Finish());
  ARROW_ASSIGN_OR_RAISE(auto value_array, value.Finish());
  auto schema = arrow::schema({arrow::field("index", arrow::uint64(), /*nullable=*/false),
                               arrow::field("value", arrow::float64(), /*nullable=*/false)});
  return arrow::RecordBatch::Make(std::move(schema), static_cast<int64_t>(rows.size()),
                                  {std::move(index_array), std::move(value_array)});
}

// Hands `batch` to pyarrow as a one-batch stream through the C stream interface.
Result<PyRef, EvaluationError> to_pyarrow(std::shared_ptr<arrow::RecordBatch> batch, PyObject* reader_class) {
  auto reader = arrow::RecordBatchReader::Make({batch}, batch->schema());
  if (!reader.ok()) return std::unexpected(arrow_failure(reader.status()));
  ArrowArrayStream stream{};
  if (auto exported = arrow::ExportRecordBatchReader(*reader, &stream); !exported.ok()) {
    return std::unexpected(arrow_failure(exported));
  }
  PyRef address = PyRef::steal(PyLong_FromVoidPtr(&stream));
  PyRef py_reader;
  if (address) py_reader = PyRef::steal(PyObject_CallMethod(reader_class, "_import_from_c", "O", address.get()));
  // pyarrow moves the stream out when it imports it; release it here if it did not.
  if (stream.release != nullptr) stream.release(&stream);
  if (!py_reader) return std::unexpected(python_failure());
  PyRef py_batch = PyRef::steal(PyObject_CallMethod(py_reader.get(), "read_next_batch", nullptr));
  if (!py_batch) return std::unexpected(python_failure());
  return py_batch;
}

}  // namespace

Result<void, EvaluationError> write_backtest_stats(Ledger& ledger, PyObject* py_state) {
  CashflowMap cashflows = ledger.take_cashflows();
  std::vector<uint64_t> tracks;
  tracks.reserve(cashflows.size());
  for (const auto& [track, flows] : cashflows) tracks.push_back(track);
  std::sort(tracks.begin(), tracks.end());

  PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
  PyRef reader_class = pyarrow ? PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader")) : PyRef();
  PyRef stats = PyRef::steal(PyDict_New());
  if (!reader_class || !stats) return std::unexpected(python_failure());
  SignalPacer pacer;
  for (uint64_t track : tracks) {
    KESTRO_RETURN_IF_ERROR(pacer.step(20'000 + 100 * cashflows[track].size()));  // estimated: a batch through pyarrow
    auto batch = cashflow_batch(cashflows[track]);
    if (!batch.ok()) return std::unexpected(arrow_failure(batch.status()));
    KESTRO_ASSIGN_OR_RETURN(PyRef py_batch, to_pyarrow(std::move(batch).ValueUnsafe(), reader_class.get()));
    PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(track));
    if (!key || PyDict_SetItem(stats.get(), key.get(), py_batch.get()) < 0) return std::unexpected(python_failure());
  }
  KESTRO_RETURN_IF_ERROR(set_stat(py_state, "CASHFLOW", stats.get()));
  return {};
}

}  // namespace kestro
