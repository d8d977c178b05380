#pragma once
// The statistic a backtest hands to `py_state.set_stat`: its cashflows as pyarrow batches.

#include "core/errors.h"
#include "core/result.h"
#include "ledger/mod.h"

namespace kestro {

/// Sends "CASHFLOW": a dict from track number to a pyarrow RecordBatch with non-nullable
/// columns "index" (uint64 event index) and "value" (float64), tracks in ascending order and
/// rows by event index. Takes the cashflows out of the ledger. `set_stat` failures are discarded.
Result<void, EvaluationError> write_backtest_stats(Ledger& ledger, PyObject* py_state);

}  // namespace kestro
