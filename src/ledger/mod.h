#pragma once
// The accounting book of one evaluation: each track's accumulated value per path, and, as
// FLAGS selects, the choices taken and the cashflows each event leaves.

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/errors.h"
#include "core/result.h"
#include "ledger/path_array.h"
#include "timetable/event.h"

namespace kestro {

using ValueMap = std::unordered_map<uint64_t, PathArray>;                        // track -> value
using ChoiceMap = std::unordered_map<uint64_t, std::unordered_map<uint64_t, std::vector<uint64_t>>>;  // event -> track -> 0/1
/// One event's recorded cashflow on a track, with the booking that recorded it.
struct Cashflow {
  PathArray flows;   // per path
  uint32_t booking;  // bookings are numbered from 1 in the order they are made
};
using CashflowMap = std::unordered_map<uint64_t, std::unordered_map<uint64_t, Cashflow>>;  // track -> event -> cashflow

class Ledger {
 public:
  explicit Ledger(uint64_t path_count) : paths_(path_count) {}

  uint64_t path_count() const { return paths_; }

  /// The track's array, inserted as zeros if the track has none yet.
  PathArray& track_value(uint64_t track);
  /// The track's array, or TrackNotFound; inserts nothing.
  Result<const PathArray*, LedgerError> find_track(uint64_t track) const;

  /// Books an event with op "+", ">" or "<" (any other op fails with Unknown Op). `value` has
  /// length 1 or the path count; its storage is reused for the recorded cashflow.
  Result<void, EvaluationError> book(const Op& op, uint64_t track, PathArray value, uint64_t event, uint32_t flags);
  /// Books an event with a named op: the track becomes track × (1 − weight) + value × weight.
  Result<void, EvaluationError> book_weighted(uint64_t track, PathArray value, const PathArray& weight,
                                              uint64_t event, uint32_t flags);

  /// CashflowMap[track][event] = `flows` (length 1 is spread to the path count), replacing an
  /// earlier record; the array's storage is kept, not copied.
  void record_cashflow(uint64_t track, uint64_t event, PathArray flows);
  /// ChoiceMap[event][track] = `taken`.
  void record_choice(uint64_t event, uint64_t track, std::vector<uint64_t> taken);
  /// Zeroes every cashflow recorded so far for `track` on the paths where `mask` is set.
  void zero_cashflows(uint64_t track, const std::vector<uint8_t>& mask);
  /// Multiplies every recorded cashflow of `track` by `factor` (length 1 or the path count).
  void scale_cashflows(uint64_t track, const PathArray& factor);

  /// Every track's array, with every pending addition applied.
  ValueMap& values();
  ChoiceMap take_choices() { return std::exchange(choices_, {}); }
  CashflowMap take_cashflows();

 private:
  Result<void, EvaluationError> check_length(const PathArray& a) const;
  // Applies the zeroing and the scaling by zero that were deferred for `track`.
  void apply_voids(uint64_t track);
  // Notes a scaling of `track`'s records by `factor` if every factor is exactly 0 or 1 (the
  // exercise weights of a rule), so that it can be deferred; false leaves nothing noted.
  bool defer_zero_one_scaling(uint64_t track, const PathArray& factor);

  // Adds the track's pending single values, in booking order, and forgets them.
  void apply_pending(uint64_t track, PathArray& values) const;

  uint64_t paths_;
  // A "+" of a single value is not a pass of its own: it waits in `pending_` and is added, in
  // order and with the same roundings, in the next pass over the track (a choice, a weighted
  // booking, an array "+") or when the track is read. Reads are logically const, hence mutable.
  mutable ValueMap values_;
  mutable std::unordered_map<uint64_t, std::vector<double>> pending_;
  ChoiceMap choices_;
  CashflowMap cashflows_;
  // Zeroing is deferred: a choice that voids a track's earlier records on some paths only
  // notes, per path, its booking number; a record is zeroed where a later booking voided it.
  // One pass per choice and one per record, instead of one per record at every choice.
  std::unordered_map<uint64_t, std::vector<uint32_t>> voided_at_;  // track -> per path: last voiding booking
  // Scaling by exactly 0 or 1 is deferred the same way: 1 changes nothing and 0 is noted per path.
  // A record is multiplied by 0.0 where a later weighted booking scaled it so (keeping the sign of
  // zero and NaN of a multiplication), and a later void still wins: both give the eager results.
  std::unordered_map<uint64_t, std::vector<uint32_t>> zeroed_at_;  // track -> per path: last scaling by 0
  uint32_t booking_ = 0;       // the number of the booking being made
  std::vector<uint8_t> mask_;  // workspace of the choice bookings, sized once
};

}  // namespace kestro
