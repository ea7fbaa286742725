// Rigorous bounds on how far a score computed one way can lie from the score
// the per-row kernel computes for the same row.
//
// Every search returns the per-row kernel's scores (kernels.h). Two kinds of
// path approximate them first and must never let the approximation change an
// answer:
//   * the matrix strategies take dot products from sgemm, which sums in an
//     order of its own, with or without FMA;
//   * the block scans (the pruned strategy and the certified search) bound a
//     row's score from a few partial dot products and the norms.
// This header states the error analysis once; the band filter (exact_band.h)
// and the block scans turn it into filters and margins.
//
// ---------------------------------------------------------------------------
// The model (Higham, "Accuracy and Stability of Numerical Algorithms", 3.1)
// ---------------------------------------------------------------------------
// binary32, round to nearest: fl(a op b) = (a op b)(1 + d) + e, |d| <= u =
// 2^-24, and e = 0 except for a product that lands in the subnormal range,
// where |e| <= 2^-150 (sums and differences of floats are exact there).
// gamma(m) = m u / (1 - m u) bounds the relative error of m successive
// roundings. A sum of n rounded products whose every term goes through at
// most m roundings (its product and each addition on its path to the root,
// in any tree shape) satisfies
//     |fl(sum q_i x_i) - sum q_i x_i| <= gamma(m) * sum |q_i x_i| + n 2^-149
// (each of the n underflow errors at most doubled on its way up), and
// sum |q_i x_i| <= ||q|| ||x|| (Cauchy-Schwarz). An FMA rounds a product
// and an addition once, so it only tightens this. No rounding can carry a
// finite sum past an infinity, so a finite result means the bound holds.
//
// Roundings per term:
//   * vector kernel layout, n >= 8: product, one addition per 8-element
//     chunk, three in the 4-lane horizontal sum, one joining A and B, one per
//     trailing element: 5 + n/8 + n%8. With n < 8, the plain sum: 1 + n.
//   * scalar layout (LUMVO_FORCE_SCALAR=1): 1 + n.
//   * sgemm: any summation tree has depth <= n - 1; with the product and a
//     possible final addition into C that makes n + 1.
//   * squared distance: one more, for the difference q_i - x_i.
//
// Everything here is evaluated in f64. The relative rounding of that
// evaluation (a few units of 2^-53) and of the f64 norms (at most n 2^-53)
// is covered by multiplying every bound by kSlack = 1 + 2^-20.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/format/index_format.h"

namespace lumvero::score_error {

inline constexpr double kUnitRoundoff = 0x1p-24;
inline constexpr double kUnitRoundoff64 = 0x1p-53;
// Twice the largest absolute error of a product rounded into the subnormal
// range: an upper bound on what one term's underflow contributes to a sum.
inline constexpr double kUnderflowPerTerm = 0x1p-149;
inline constexpr double kSlack = 1.0 + 0x1p-20;

// m u / (1 - m u) for binary32 and binary64; +inf once m u reaches 1/2.
double gamma32(std::uint64_t m);
double gamma64(std::uint64_t m);

// Roundings per term of the vector layout over n elements (dot product).
std::uint64_t vector_roundings(std::uint64_t n);
// Roundings per term of compute_score for the metric, whichever layout
// LUMVO_FORCE_SCALAR selects.
std::uint64_t kernel_roundings(Metric metric, std::uint64_t n);
// Roundings per term of an sgemm dot product of length n.
std::uint64_t sgemm_roundings(std::uint64_t n);

// |kernel score - approximate score| <= a + b * |approximate score| for every
// row the gap was computed for. When `bounded` is false some row's sums may
// overflow, so an infinite or NaN approximation says nothing about the kernel.
struct Gap {
  double a = 0.0;
  double b = 0.0;
  bool bounded = true;
};

// The gap between the sgemm score (for euclidean the f64 identity
// ||x||^2 + ||q||^2 - 2 q.x rounded to f32) and compute_score, for one
// finite query, over any run of rows whose squared norms are at most a given
// value.
class MatrixGap {
 public:
  MatrixGap(Metric metric, std::uint64_t dims, double query_norm_sq);

  // For rows whose f64 squared norms are all <= max_norm_sq (finite).
  Gap for_rows(double max_norm_sq) const;

 private:
  bool distance_;
  std::uint64_t dims_;
  double query_norm_sq_;
  double query_norm_;
  double gamma_matrix_;  // gamma32 of the sgemm roundings
  double gamma_kernel_;  // gamma32 of the kernel roundings
  double underflow_;     // absolute underflow allowance of both sums
};

// The gap of the compressed filter (compressed_rows.h) to compute_score.
//
// A row x is stored as int8 codes c with a scale s (f32) and residual
// r = x - s c (real arithmetic); the query q as int16 codes p with a power of
// two scale t and e = q - t p. The filter's approximation of q.x is
//   A = s t I,  I = sum_i p_i c_i,
// where I is an exact integer (the integer kernels never round or saturate).
// Exactly, with no rounding anywhere,
//   q.x = s (t p + e).c + q.r = s t I + s (e.c) + q.r,
// so Cauchy-Schwarz gives
//   |q.x - A| <= ||e|| (s ||c||) + ||q|| ||r||  =: B.
// The caller passes upper bounds of ||e|| (per query) and of ||r|| and
// s ||c|| (per run of rows); each was evaluated in f64 (s c_i and t p_i are
// exact there, e_i is exact and r_i within one rounding; then squares, sums
// and a square root round: a relative error below gamma64(n + 2)) and
// inflated by 1 + gamma64(n + 2) before use. ||q|| is taken from
// query_norm_sq the same way.
//
// Similarity: the filter computes A in f64 (s t is exact, times I rounds once:
// |A_64 - A| <= 2^-53 |A|) and rounds to f32 (u / (1 - u) of the result, plus
// 2^-150 in the subnormal range). The kernel is within gamma_k ||q|| ||x|| of
// q.x (top of this file). Hence, with a = the f32 approximation,
//   |kernel - a| <= B + gamma_k ||q|| ||x|| + (u / (1 - u) + 2^-52) |a| + underflow.
// Euclidean: the filter evaluates v = f64(f64(||x||^2 + ||q||^2) - 2 A_64)
// from the stored f64 norms, as MatrixGap does for sgemm, with |A_64 - q.x| <=
// B + 2^-53 (||q|| ||x|| + B) =: B2 in place of sgemm's error:
//   |v - D2| <= 2 B2 + gamma64(n + 4) (||x||^2 + ||q||^2 + 4 (||q|| ||x|| + B)),
// and the rest follows MatrixGap (f32 rounding of v, the kernel's relative
// error on the non-negative terms of D2). A non-finite bound, or norms whose
// sums could overflow, leave the gap unbounded: such rows are always
// rescored. kSlack covers the f64 evaluation of the bound itself.
class CompressedGap {
 public:
  // query_error: an upper bound of ||e||, the query's quantisation error.
  CompressedGap(Metric metric, std::uint64_t dims, double query_norm_sq, double query_error);

  // For rows whose f64 squared norms are <= max_norm_sq, residual norms
  // <= resid and scaled code norms s ||c|| <= code_norm (all upper bounds).
  Gap for_rows(double max_norm_sq, double resid, double code_norm) const;

 private:
  bool distance_;
  std::uint64_t dims_;
  double query_norm_sq_;
  double query_norm_;  // an upper bound of ||q||
  double query_error_;
  double gamma_kernel_;
  double underflow_;
};

// Largest finite value of v[0..n); 0 when there is none. Rows with a
// non-finite squared norm hold an infinity or a NaN, so every score of theirs
// is non-finite and needs no bound.
double max_finite(const double* v, std::size_t n);

// Margins of the block scans. A block scan bounds a row's score from
//   partial = f64 sum of dot_range over the visited blocks (each block at most
//             `block_width` wide, `blocks` blocks in all),
//   rem     = the f64 energy of the unvisited query dimensions,
// and the row's stored norms. The margin makes that bound hold for the row's
// compute_score, covering every rounding between the two: the block partials,
// the kernel's own layout, the f64 sums of energies and norms, the f32 norm
// and (for euclidean) the cancellation in ||q||^2 + ||x||^2 - 2 q.x.
class BlockScanMargin {
 public:
  BlockScanMargin(Metric metric, std::uint64_t dims, std::uint64_t block_width,
                  std::uint64_t blocks, double query_energy);

  // Certified search, similarity: UB = (norm_f32 * rem + partial) + margin
  // bounds compute_score from above.
  double certified_similarity(double norm_sq) const;
  // Certified search, euclidean: LB = (norm_sq + energy) - 2 ((norm_f32 * rem
  // + partial) + margin) > kth implies compute_score > kth, for kth >= 0.
  double certified_euclidean(double norm_sq, double kth) const;
  // Pruned strategy, similarity: (sqrt(rem_x) sqrt(rem_q) + partial) + margin
  // bounds compute_score from above, rem_x coming from the block norms.
  double pruned_similarity(double norm_sq) const;

 private:
  double energy_;
  double query_norm_;
  double sqrt_energy_error_;  // sqrt of the absolute error of rem_q
  double gamma_kernel_;       // gamma32 of compute_score's roundings
  double gamma_partial_;      // dot_range per block plus the f64 sum of blocks
  double gamma_norm64_;       // f64 error of a squared norm and its block sums
  double underflow_;
};

}  // namespace lumvero::score_error
