#pragma once
// Tridiagonal operators: the explicit step operator M and the implicit T of one
// Crank-Nicolson step, the product M·v and the Thomas solve of T·x = d.

#include <cstddef>
#include <optional>
#include <vector>

namespace kestro {

/// Row i reads value i−1 through lower[i], value i through diag[i], value i+1 through upper[i];
/// lower[0] and upper[n−1] are never read.
struct TridiagonalOperator {
  std::vector<double> lower, diag, upper;

  void resize(size_t n) {
    lower.resize(n);
    diag.resize(n);
    upper.resize(n);
  }
  size_t size() const { return diag.size(); }
};

/// The first entry of rows 0, 1, n−2 and n−1 that is not a finite number (n ≥ 2), if any. For
/// an operator whose interior rows are affine in a monotone node coordinate, as the models'
/// are, every interior entry lies between those of rows 1 and n−2: these rows stand for all.
std::optional<double> non_finite_edge_entry(const TridiagonalOperator& m);

/// T from M: T.lower = −M.lower, T.diag = −2 − M.diag, T.upper = −M.upper, every row.
void implicit_from_explicit(const TridiagonalOperator& m, TridiagonalOperator& t);

/// The part of the Thomas algorithm (no pivoting) that depends on T alone, computed once per
/// step and shared by every right-hand side: the eliminated diagonal c and the multipliers m.
struct ThomasFactors {
  std::vector<double> c, m;
};
void factor_tridiagonal(const TridiagonalOperator& t, ThomasFactors& factors);

/// out = T⁻¹(M·v) (n ≥ 2 nodes): the product M·v and the forward elimination of the Thomas
/// algorithm fused into one pass, then the back substitution.
void crank_nicolson_step(const TridiagonalOperator& m, const TridiagonalOperator& t, const ThomasFactors& factors,
                         const double* v, double* out);

/// out = T⁻¹(T⁻¹v) (n ≥ 2 nodes): two implicit Euler half steps in place of one Crank-Nicolson
/// step. With T = −(I − ½Δt·L), −T is the implicit operator of a step of Δt/2, and the two sign
/// changes cancel exactly. `v` and `out` may be the same array.
void implicit_half_steps(const TridiagonalOperator& t, const ThomasFactors& factors, const double* v, double* out);

}  // namespace kestro
