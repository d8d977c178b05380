#include "ledger/mod.h"

#include <cmath>

#include "flags.h"

namespace kestro {

PathArray& Ledger::track_value(uint64_t track) {
  auto it = values_.find(track);
  if (it == values_.end()) it = values_.emplace(track, PathArray::filled(paths_, 0.0)).first;
  return it->second;
}

Result<const PathArray*, LedgerError> Ledger::find_track(uint64_t track) const {
  auto it = values_.find(track);
  if (it == values_.end()) return std::unexpected(LedgerError::TrackNotFound{track});
  return &it->second;
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
  double* tp = track_value(track).data();
  double* vp = value.data();
  const size_t vs = value.step();
  const size_t n = paths_;

  if (op.kind == Op::Kind::Add) {
    if (vs == 0) {
      const double v = vp[0];
      for (size_t i = 0; i < n; ++i) tp[i] += v;
    } else {
      for (size_t i = 0; i < n; ++i) tp[i] += vp[i];
    }
    if (flags & kFlagCashflow) record_cashflow(track, event, std::move(value));
    return {};
  }

  // Records compare against the track's value before the choice: where the alternative wins,
  // strictly (ties and NaN count as not taken).
  const bool max = op.kind == Op::Kind::Max;
  const bool records = flags & (kFlagCashflow | kFlagChoices);
  if (records) {
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
