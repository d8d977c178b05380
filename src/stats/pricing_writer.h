#pragma once
// The statistics a pricing call hands to `py_state.set_stat`, as FLAGS selects.

#include <cstdint>

#include "core/errors.h"
#include "core/result.h"
#include "ledger/mod.h"

namespace kestro {

/// Sends "PV_VEC" (a copy of track 0), "CHOICES" and "CASHFLOW" (taken out of the ledger, their
/// arrays handed to NumPy without copying), in that order. `set_stat` failures are discarded;
/// a missing track 0 with "PV_VEC" selected is an error.
Result<void, EvaluationError> write_pricing_stats(uint32_t flags, Ledger& ledger, PyObject* py_state);

}  // namespace kestro
