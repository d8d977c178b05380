#include "fd/tridiagonal.h"

#include <cmath>

namespace kestro {

std::optional<double> non_finite_edge_entry(const TridiagonalOperator& m) {
  const size_t n = m.size();
  // Row 0 reads no lower entry and row n−1 no upper one.
  const double entries[] = {m.diag[0],      m.upper[0],                      // row 0
                            m.lower[1],     m.diag[1],     m.upper[1],       // row 1
                            m.lower[n - 2], m.diag[n - 2], m.upper[n - 2],   // row n−2
                            m.lower[n - 1], m.diag[n - 1]};                  // row n−1
  for (const double entry : entries) {
    if (!std::isfinite(entry)) return entry;
  }
  return std::nullopt;
}

void implicit_from_explicit(const TridiagonalOperator& m, TridiagonalOperator& t) {
  const size_t n = m.size();
  t.resize(n);
  for (size_t i = 0; i < n; ++i) {
    t.lower[i] = -m.lower[i];
    t.diag[i] = -2.0 - m.diag[i];
    t.upper[i] = -m.upper[i];
  }
}

// Thomas algorithm: for i = 1 … n−1, m = lower_i / c_{i−1}, c_i = diag_i − upper_{i−1}·m,
// d_i = d_i − m·d_{i−1}; then x_{n−1} = d_{n−1} / c_{n−1} and x_{i−1} = (d_{i−1} − x_i·upper_{i−1}) / c_{i−1}.
// The steps on c and m are the same for every right-hand side, so they run once per step.
void factor_tridiagonal(const TridiagonalOperator& t, ThomasFactors& factors) {
  const size_t n = t.size();
  factors.c.resize(n);
  factors.m.resize(n);
  double* c = factors.c.data();
  double* m = factors.m.data();
  const double* lower = t.lower.data();
  const double* diag = t.diag.data();
  const double* upper = t.upper.data();
  c[0] = diag[0];
  for (size_t i = 1; i < n; ++i) {
    // On rows equal to the previous one the recurrence soon reaches a fixed point: once a
    // row's inputs repeat the previous row's exactly, so do its results, without the division.
    if (i >= 2 && c[i - 1] == c[i - 2] && lower[i] == lower[i - 1] && diag[i] == diag[i - 1] &&
        upper[i - 1] == upper[i - 2]) {
      m[i] = m[i - 1];
      c[i] = c[i - 1];
      continue;
    }
    m[i] = lower[i] / c[i - 1];
    c[i] = diag[i] - upper[i - 1] * m[i];
  }
}

void crank_nicolson_step(const TridiagonalOperator& m, const TridiagonalOperator& t, const ThomasFactors& factors,
                         const double* v, double* out) {
  const size_t n = m.size();
  const double* lower = m.lower.data();
  const double* diag = m.diag.data();
  const double* upper = m.upper.data();
  const double* c = factors.c.data();
  const double* mult = factors.m.data();
  const double* t_upper = t.upper.data();
  out[0] = upper[0] * v[1] + diag[0] * v[0];
  for (size_t i = 1; i + 1 < n; ++i) {
    out[i] = (upper[i] * v[i + 1] + (diag[i] * v[i] + lower[i] * v[i - 1])) - mult[i] * out[i - 1];
  }
  out[n - 1] = (diag[n - 1] * v[n - 1] + lower[n - 1] * v[n - 2]) - mult[n - 1] * out[n - 2];
  out[n - 1] = out[n - 1] / c[n - 1];
  for (size_t i = n - 1; i >= 1; --i) out[i - 1] = (out[i - 1] - out[i] * t_upper[i - 1]) / c[i - 1];
}

namespace {

// x = T⁻¹d by the factored Thomas algorithm: forward elimination, then back substitution.
void thomas_solve(const TridiagonalOperator& t, const ThomasFactors& factors, const double* d, double* x) {
  const size_t n = t.size();
  const double* c = factors.c.data();
  const double* mult = factors.m.data();
  const double* upper = t.upper.data();
  x[0] = d[0];
  for (size_t i = 1; i < n; ++i) x[i] = d[i] - mult[i] * x[i - 1];
  x[n - 1] = x[n - 1] / c[n - 1];
  for (size_t i = n - 1; i >= 1; --i) x[i - 1] = (x[i - 1] - x[i] * upper[i - 1]) / c[i - 1];
}

}  // namespace

void implicit_half_steps(const TridiagonalOperator& t, const ThomasFactors& factors, const double* v, double* out) {
  thomas_solve(t, factors, v, out);
  thomas_solve(t, factors, out, out);
}

}  // namespace kestro
