#include "ledger/mod.h"

#include <cmath>

#include "core/flags.h"

namespace kestro {

namespace {

// x with the pending additions applied in order: ((x + a0) + a1) + ...
inline double with_pending(double x, const double* add, size_t count) {
  for (size_t k = 0; k < count; ++k) x += add[k];
  return x;
}

// One pass of a choice without records: the track's value, with its pending additions, against
// the alternative v; a NaN track value yields to it. Written per op and per count of pending
// additions so the loop has no branches left and vectorises.
template <bool Max, size_t K>
void choose_with(double* tp, const double* vp, size_t vs, size_t n, const double* add) {
  auto pick = [](double t, double v) { return std::isnan(t) || (Max ? v > t : v < t) ? v : t; };
  auto pending = [add](double t) {
    if constexpr (K >= 1) t += add[0];
    if constexpr (K >= 2) t += add[1];
    return t;
  };
  if (vs == 0) {
    const double v = vp[0];
    for (size_t i = 0; i < n; ++i) tp[i] = pick(pending(tp[i]), v);
  } else {
    for (size_t i = 0; i < n; ++i) tp[i] = pick(pending(tp[i]), vp[i]);
  }
}

template <bool Max>
void choose(double* tp, const double* vp, size_t vs, size_t n, const double* add, size_t count) {
  switch (count) {
    case 0: return choose_with<Max, 0>(tp, vp, vs, n, add);
    case 1: return choose_with<Max, 1>(tp, vp, vs, n, add);
    case 2: return choose_with<Max, 2>(tp, vp, vs, n, add);
    default:
      for (size_t i = 0; i < n; ++i) {
        const double t = with_pending(tp[i], add, count), v = vp[i * vs];
        tp[i] = std::isnan(t) || (Max ? v > t : v < t) ? v : t;
      }
  }
}

}  // namespace

PathArray& Ledger::track_value(uint64_t track) {
  auto it = values_.find(track);
  if (it == values_.end()) it = values_.emplace(track, PathArray::filled(paths_, 0.0)).first;
  apply_pending(track, it->second);
  return it->second;
}

Result<const PathArray*, LedgerError> Ledger::find_track(uint64_t track) const {
  auto it = values_.find(track);
  if (it == values_.end()) return std::unexpected(LedgerError::TrackNotFound{track});
  apply_pending(track, it->second);
  return &it->second;
}

ValueMap& Ledger::values() {
  for (auto& [track, array] : values_) apply_pending(track, array);
  return values_;
}

void Ledger::apply_pending(uint64_t track, PathArray& values) const {
  if (pending_.empty()) return;
  auto it = pending_.find(track);
  if (it == pending_.end()) return;
  const std::vector<double> add = std::move(it->second);
  pending_.erase(it);
  double* p = values.data();
  const size_t n = values.size();
  if (add.size() == 1) {
    const double a = add[0];
    for (size_t i = 0; i < n; ++i) p[i] += a;
  } else {
    for (size_t i = 0; i < n; ++i) p[i] = with_pending(p[i], add.data(), add.size());
  }
}

Result<void, EvaluationError> Ledger::check_length(const PathArray& a) const {
  if (a.size() == 1 || a.size() == paths_) return {};
  return std::unexpected(EvaluationError::message("Cannot book a path array of length " + std::to_string(a.size()) +
                                                  " on " + std::to_string(paths_) + " paths"));
}

Result<void, EvaluationError> Ledger::book(const Op& op, uint64_t track, PathArray value, uint64_t event,
                                           uint32_t flags) {
  if (op.kind != Op::Kind::Add && op.kind != Op::Kind::Max && op.kind != Op::Kind::Min) {
    return std::unexpected(LedgerError(SpecError{SpecError::UnknownOp{std::string(op.display())}}));
  }
  KESTRO_RETURN_IF_ERROR(check_length(value));
  KESTRO_CHECK(booking_ < UINT32_MAX, "booking count");
  ++booking_;
  const size_t n = paths_;
  auto slot = values_.find(track);
  if (slot == values_.end()) slot = values_.emplace(track, PathArray::filled(n, 0.0)).first;
  double* tp = slot->second.data();
  double* vp = value.data();
  const size_t vs = value.step();
  // Additions still pending on this track are folded into this booking's pass.
  std::vector<double> add;
  if (!pending_.empty()) {
    if (auto it = pending_.find(track); it != pending_.end()) {
      add = std::move(it->second);
      pending_.erase(it);
    }
  }
  const double* ap = add.data();
  const size_t ac = add.size();

  if (op.kind == Op::Kind::Add) {
    if (vs == 0 && n > 1) {
      add.push_back(vp[0]);
      pending_.emplace(track, std::move(add));
    } else if (vs == 0) {
      tp[0] = with_pending(tp[0], ap, ac) + vp[0];
    } else if (ac == 0) {
      for (size_t i = 0; i < n; ++i) tp[i] += vp[i];
    } else {
      for (size_t i = 0; i < n; ++i) tp[i] = with_pending(tp[i], ap, ac) + vp[i];
    }
    if (flags & kFlagCashflow) record_cashflow(track, event, std::move(value));
    return {};
  }
  const bool max = op.kind == Op::Kind::Max;
  const bool records = flags & (kFlagCashflow | kFlagChoices);
  if (!records) {  // the common case: one pass
    if (max) {
      choose<true>(tp, vp, vs, n, ap, ac);
    } else {
      choose<false>(tp, vp, vs, n, ap, ac);
    }
    return {};
  }
  if (ac != 0) {
    for (size_t i = 0; i < n; ++i) tp[i] = with_pending(tp[i], ap, ac);
  }

  // Records compare against the track's value before the choice: where the alternative wins,
  // strictly (ties and NaN count as not taken).
  {
    mask_.resize(n);
    for (size_t i = 0; i < n; ++i) mask_[i] = max ? vp[i * vs] > tp[i] : vp[i * vs] < tp[i];
    if (flags & kFlagCashflow) zero_cashflows(track, mask_);
    if (flags & kFlagChoices) record_choice(event, track, std::vector<uint64_t>(mask_.begin(), mask_.end()));
  }
  // A NaN track value yields to the alternative; a tie keeps the track's value.
  for (size_t i = 0; i < n; ++i) {
    const double v = vp[i * vs];
    if (std::isnan(tp[i]) || (max ? v > tp[i] : v < tp[i])) tp[i] = v;
  }
  if ((flags & kFlagCashflow) && !value.is_single_zero()) {
    PathArray taken = value.size() == n ? std::move(value) : PathArray::filled(n, value[0]);
    double* p = taken.data();
    for (size_t i = 0; i < n; ++i) p[i] = mask_[i] ? p[i] : 0.0;
    cashflows_[track].insert_or_assign(event, Cashflow{std::move(taken), booking_});
  }
  return {};
}

Result<void, EvaluationError> Ledger::book_weighted(uint64_t track, PathArray value, const PathArray& weight,
                                                    uint64_t event, uint32_t flags) {
  KESTRO_RETURN_IF_ERROR(check_length(value));
  KESTRO_RETURN_IF_ERROR(check_length(weight));
  KESTRO_CHECK(booking_ < UINT32_MAX, "booking count");
  ++booking_;
  const size_t n = paths_;
  double* vp = value.data();
  const double* wp = weight.data();
  const size_t vs = value.step(), ws = weight.step();
  if ((flags & kFlagCashflow) && cashflows_.contains(track)) {
    PathArray complement = PathArray::uninitialized(weight.size());
    for (size_t i = 0; i < weight.size(); ++i) complement[i] = 1.0 - wp[i];
    if (!defer_zero_one_scaling(track, complement)) scale_cashflows(track, complement);
  }
  double* tp = track_value(track).data();
  for (size_t i = 0; i < n; ++i) tp[i] = tp[i] * (1.0 - wp[i * ws]) + vp[i * vs] * wp[i * ws];
  if ((flags & kFlagCashflow) && !value.is_single_zero()) {
    PathArray weighted = value.size() == n ? std::move(value) : PathArray::filled(n, value[0]);
    double* p = weighted.data();
    for (size_t i = 0; i < n; ++i) p[i] *= wp[i * ws];
    cashflows_[track].insert_or_assign(event, Cashflow{std::move(weighted), booking_});
  }
  return {};
}

void Ledger::record_cashflow(uint64_t track, uint64_t event, PathArray flows) {
  if (flows.size() != paths_) flows = PathArray::filled(paths_, flows[0]);
  cashflows_[track].insert_or_assign(event, Cashflow{std::move(flows), booking_});
}

void Ledger::record_choice(uint64_t event, uint64_t track, std::vector<uint64_t> taken) {
  choices_[event].insert_or_assign(track, std::move(taken));
}

void Ledger::zero_cashflows(uint64_t track, const std::vector<uint8_t>& mask) {
  if (!cashflows_.contains(track)) return;
  std::vector<uint32_t>& voided = voided_at_[track];
  if (voided.empty()) voided.assign(paths_, 0);
  for (size_t i = 0; i < paths_; ++i) {
    if (mask[i]) voided[i] = booking_;
  }
}

bool Ledger::defer_zero_one_scaling(uint64_t track, const PathArray& factor) {
  const double* fp = factor.data();
  const size_t count = factor.size();
  for (size_t i = 0; i < count; ++i) {
    if (fp[i] != 0.0 && fp[i] != 1.0) return false;
  }
  std::vector<uint32_t>& zeroed = zeroed_at_[track];
  if (zeroed.empty()) zeroed.assign(paths_, 0);
  const size_t fs = factor.step();
  for (size_t i = 0; i < paths_; ++i) {
    if (fp[i * fs] == 0.0) zeroed[i] = booking_;
  }
  return true;
}

void Ledger::apply_voids(uint64_t track) {
  auto voided = voided_at_.find(track);
  auto zeroed = zeroed_at_.find(track);
  const bool voids = voided != voided_at_.end(), zeros = zeroed != zeroed_at_.end();
  if (!voids && !zeros) return;
  const uint32_t* void_at = voids ? voided->second.data() : nullptr;
  const uint32_t* zero_at = zeros ? zeroed->second.data() : nullptr;
  for (auto& [event, cashflow] : cashflows_[track]) {
    double* p = cashflow.flows.data();
    const uint32_t recorded = cashflow.booking;
    if (zeros) {
      for (size_t i = 0; i < paths_; ++i) p[i] = zero_at[i] > recorded ? p[i] * 0.0 : p[i];
    }
    if (voids) {
      for (size_t i = 0; i < paths_; ++i) p[i] = void_at[i] > recorded ? 0.0 : p[i];
    }
  }
  if (voids) voided_at_.erase(voided);
  if (zeros) zeroed_at_.erase(zeroed);
}

void Ledger::scale_cashflows(uint64_t track, const PathArray& factor) {
  auto it = cashflows_.find(track);
  if (it == cashflows_.end()) return;
  apply_voids(track);  // zeroing and scaling do not commute for non-finite factors
  const double* fp = factor.data();
  const size_t fs = factor.step();
  for (auto& [event, cashflow] : it->second) {
    double* p = cashflow.flows.data();
    for (size_t i = 0; i < paths_; ++i) p[i] *= fp[i * fs];
  }
}

CashflowMap Ledger::take_cashflows() {
  while (!voided_at_.empty()) apply_voids(voided_at_.begin()->first);
  while (!zeroed_at_.empty()) apply_voids(zeroed_at_.begin()->first);
  return std::exchange(cashflows_, {});
}

}  // namespace kestro
