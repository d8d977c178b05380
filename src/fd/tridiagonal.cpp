#include "fd/tridiagonal.h"

namespace kestro {

void implicit_from_explicit(const TridiagonalOperator& m, TridiagonalOperator& t) {
  const size_t n = m.size();
  t.resize(n);
  for (size_t i = 0; i < n; ++i) {
    t.lower[i] = -m.lower[i];
    t.diag[i] = -2.0 - m.diag[i];
    t.upper[i] = -m.upper[i];
  }
}

void apply_tridiagonal(const TridiagonalOperator& m, const double* v, double* y) {
  const size_t n = m.size();
  const double* lower = m.lower.data();
  const double* diag = m.diag.data();
  const double* upper = m.upper.data();
  y[0] = upper[0] * v[1] + diag[0] * v[0];
  for (size_t i = 1; i + 1 < n; ++i) y[i] = upper[i] * v[i + 1] + (diag[i] * v[i] + lower[i] * v[i - 1]);
  y[n - 1] = diag[n - 1] * v[n - 1] + lower[n - 1] * v[n - 2];
}

void solve_tridiagonal(const TridiagonalOperator& t, double* d, double* c) {
  const size_t n = t.size();
  const double* lower = t.lower.data();
  const double* upper = t.upper.data();
  c[0] = t.diag[0];
  for (size_t i = 1; i < n; ++i) {
    const double m = lower[i] / c[i - 1];
    c[i] = t.diag[i] - upper[i - 1] * m;
    d[i] = d[i] - m * d[i - 1];
  }
  d[n - 1] = d[n - 1] / c[n - 1];
  for (size_t i = n - 1; i >= 1; --i) d[i - 1] = (d[i - 1] - d[i] * upper[i - 1]) / c[i - 1];
}

}  // namespace kestro
