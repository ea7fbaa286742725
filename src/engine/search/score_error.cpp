// Rounding-error bounds of the kernels and of sgemm (derivation in score_error.h).
#include "engine/search/score_error.h"

#include <cmath>
#include <limits>

#include "engine/kernels/kernels.h"

namespace lumvero::score_error {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double gamma_with(std::uint64_t m, double unit) {
  const double mu = static_cast<double>(m) * unit;
  if (!(mu < 0.5)) return kInf;
  return mu / (1.0 - mu);
}

// The largest magnitude any partial sum may reach, 2^126, stays a factor of
// four below FLT_MAX (2^128): the partial sums of a bounded row exceed its
// ||q|| ||x|| (or (||q|| + ||x||)^2) by at most a factor 1 + gamma < 2.
constexpr double kNoOverflow = 0x1p126;

}  // namespace

double gamma32(std::uint64_t m) { return gamma_with(m, kUnitRoundoff); }
double gamma64(std::uint64_t m) { return gamma_with(m, kUnitRoundoff64); }

std::uint64_t vector_roundings(std::uint64_t n) {
  if (n < 8) return 1 + n;
  return 5 + n / 8 + n % 8;
}

std::uint64_t kernel_roundings(Metric metric, std::uint64_t n) {
  const std::uint64_t dot = kernels::force_scalar() ? 1 + n : vector_roundings(n);
  return is_distance(metric) ? dot + 1 : dot;
}

std::uint64_t sgemm_roundings(std::uint64_t n) { return n + 1; }

double max_finite(const double* v, std::size_t n) {
  double m = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    if (v[i] > m && v[i] < kInf) m = v[i];  // NaN fails both tests
  return m;
}

MatrixGap::MatrixGap(Metric metric, std::uint64_t dims, double query_norm_sq)
    : distance_(is_distance(metric)),
      dims_(dims),
      query_norm_sq_(query_norm_sq),
      query_norm_(std::sqrt(query_norm_sq)),
      gamma_matrix_(gamma32(sgemm_roundings(dims))),
      gamma_kernel_(gamma32(kernel_roundings(metric, dims))),
      // sgemm's sum (twice for euclidean: it is doubled), the kernel's sum and
      // the final rounding of the euclidean identity.
      underflow_(static_cast<double>(3 * dims + 1) * kUnderflowPerTerm) {}

Gap MatrixGap::for_rows(double max_norm_sq) const {
  const double row_norm = std::sqrt(max_norm_sq);
  const double cross = query_norm_ * row_norm;  // bounds sum |q_i x_i|
  Gap gap;
  if (!distance_) {
    // |sgemm - exact| and |kernel - exact|, each gamma * sum |q_i x_i|.
    gap.a = kSlack * ((gamma_matrix_ + gamma_kernel_) * cross + underflow_);
    gap.bounded = cross < kNoOverflow && gap.a < kInf;
    return gap;
  }
  // approx = f32(v), v = f64(f64(norm_sq + qn) - 2 dot_sgemm). Against the
  // exact distance D2 = ||x||^2 + ||q||^2 - 2 q.x:
  //   |v - D2|      <= 2 gamma_m cross + gamma64(n + 4) (norm_sq + qn + 4 cross)
  //   |approx - v|  <= u / (1 - u) |approx|
  // and the kernel, whose terms are all non-negative:
  //   |kernel - D2| <= gamma_k D2 <= gamma_k (|approx| + |approx - D2|).
  const double u_rel = kUnitRoundoff / (1.0 - kUnitRoundoff);
  const double a1 = 2.0 * gamma_matrix_ * cross +
                    gamma64(dims_ + 4) * (max_norm_sq + query_norm_sq_ + 4.0 * cross);
  gap.a = kSlack * (a1 * (1.0 + gamma_kernel_) + underflow_);
  gap.b = kSlack * (u_rel + gamma_kernel_ * (1.0 + u_rel));
  const double reach = query_norm_ + row_norm;
  gap.bounded = reach * reach < kNoOverflow && cross < kNoOverflow && gap.a < kInf && gap.b < 0.5;
  return gap;
}

CompressedGap::CompressedGap(Metric metric, std::uint64_t dims, double query_norm_sq,
                             double query_error)
    : distance_(is_distance(metric)),
      dims_(dims),
      query_norm_sq_(query_norm_sq),
      query_norm_(std::sqrt(query_norm_sq) * (1.0 + gamma64(dims + 2))),
      query_error_(query_error),
      gamma_kernel_(gamma32(kernel_roundings(metric, dims))),
      // The kernel's sum (with its differences for euclidean) and the f32
      // rounding of the approximation.
      underflow_(static_cast<double>(2 * dims + 4) * kUnderflowPerTerm) {}

Gap CompressedGap::for_rows(double max_norm_sq, double resid, double code_norm) const {
  const double row_norm = std::sqrt(max_norm_sq) * (1.0 + gamma64(dims_ + 2));
  const double cross = query_norm_ * row_norm;
  const double quant = query_error_ * code_norm + query_norm_ * resid;  // B
  const double u_rel = kUnitRoundoff / (1.0 - kUnitRoundoff);
  Gap gap;
  if (!distance_) {
    gap.a = kSlack * (quant + gamma_kernel_ * cross + underflow_);
    gap.b = kSlack * (u_rel + 0x1p-52);
    gap.bounded = cross < kNoOverflow && gap.a < kInf;  // false for NaN too
    return gap;
  }
  const double quant64 = quant + 0x1p-53 * (cross + quant);  // B2
  const double a1 =
      2.0 * quant64 + gamma64(dims_ + 4) * (max_norm_sq + query_norm_sq_ + 4.0 * (cross + quant));
  gap.a = kSlack * (a1 * (1.0 + gamma_kernel_) + underflow_);
  gap.b = kSlack * (u_rel + gamma_kernel_ * (1.0 + u_rel));
  const double reach = query_norm_ + row_norm;
  gap.bounded = reach * reach < kNoOverflow && cross < kNoOverflow && gap.a < kInf && gap.b < 0.5;
  return gap;
}

BlockScanMargin::BlockScanMargin(Metric metric, std::uint64_t dims, std::uint64_t block_width,
                                 std::uint64_t blocks, double query_energy)
    : energy_(query_energy),
      query_norm_(std::sqrt(query_energy)),
      // rem_q = energy - (sum of visited block energies): every block energy
      // and the total are f64 sums of exact squares.
      sqrt_energy_error_(std::sqrt(gamma64(2 * dims + 2 * blocks + 4) * query_energy)),
      gamma_kernel_(gamma32(kernel_roundings(metric, dims))),
      gamma_partial_(gamma32(vector_roundings(block_width)) + 2.0 * gamma64(blocks + 1)),
      gamma_norm64_(gamma64(2 * dims + 2 * blocks + 4)),
      underflow_(static_cast<double>(2 * dims + 2) * kUnderflowPerTerm) {}

double BlockScanMargin::certified_similarity(double norm_sq) const {
  const double row_norm = std::sqrt(norm_sq);
  const double cross = query_norm_ * row_norm;
  // kernel vs exact, partial vs the exact visited dot, the f32 norm's
  // rounding (2u covers the f64 square root too), rem_q's error times ||x||,
  // and the f64 evaluation of the bound.
  return kSlack *
         ((gamma_kernel_ + gamma_partial_ + 2.0 * kUnitRoundoff + 8.0 * kUnitRoundoff64) * cross +
          row_norm * sqrt_energy_error_ + underflow_);
}

double BlockScanMargin::certified_euclidean(double norm_sq, double kth) const {
  const double row_norm = std::sqrt(norm_sq);
  const double cross = query_norm_ * row_norm;
  // err bounds |LB computed without margin - LB exact|, LB exact <= D2.
  const double err = gamma_norm64_ * (norm_sq + energy_) +
                     2.0 * (2.0 * kUnitRoundoff * cross + row_norm * sqrt_energy_error_) +
                     2.0 * gamma_partial_ * cross +
                     8.0 * kUnitRoundoff64 * (norm_sq + energy_ + 2.0 * cross) + underflow_;
  // The kernel may undershoot D2 by gamma_k D2: LB - 2 margin > kth must give
  // (1 - gamma_k) (LB - err) > kth.
  const double shortfall = (gamma_kernel_ * kth + underflow_) / (1.0 - gamma_kernel_);
  return kSlack * 0.5 * (err + shortfall);
}

double BlockScanMargin::pruned_similarity(double norm_sq) const {
  const double row_norm = std::sqrt(norm_sq);
  const double cross = query_norm_ * row_norm;
  // sqrt(rem_x) sqrt(rem_q) may undershoot ||x_rem|| ||q_rem|| by the errors
  // of both remainders: (sqrt(a) + sqrt(da)) (sqrt(b) + sqrt(db)).
  const double sqrt_norm_error = std::sqrt(gamma_norm64_ * norm_sq);
  return kSlack * ((gamma_kernel_ + gamma_partial_ + 8.0 * kUnitRoundoff64) * cross +
                   row_norm * sqrt_energy_error_ + query_norm_ * sqrt_norm_error +
                   sqrt_energy_error_ * sqrt_norm_error + underflow_);
}

}  // namespace lumvero::score_error
