#include "engine/exact_band.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/kernels.h"

namespace lumvero {

namespace {

using score_error::Gap;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Rows per gap: the gap is taken over the largest norm of a run of rows, so
// runs are short enough that one large row widens few others, and long enough
// that the maximum costs next to nothing against the scores themselves.
constexpr std::size_t kGapRows = 512;

// f32 conversions rounded away from the side a bound must not cross.
float float_down(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}
float float_up(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// A few f64 units of the magnitudes in play: how far the evaluation of an
// interval end may stray from its exact value.
inline double evaluation_error(double magnitude) { return 0x1p-50 * magnitude; }

}  // namespace

ExactBand::ExactBand(std::size_t k, Metric metric, bool finite_query)
    : sure_(k, metric),
      compact_at_(std::max<std::size_t>(2 * k, 64)),
      metric_(metric),
      distance_(is_distance(metric)),
      finite_query_(finite_query) {}

bool ExactBand::out_of_reach(double reach) const {
  const double limit = static_cast<double>(sure_.worst().score);
  return distance_ ? reach > limit : reach < limit;
}

float ExactBand::cutoff(const Gap& gap) const {
  const double limit = static_cast<double>(sure_.worst().score);
  if (!distance_) {
    // Reach a + gap.a < limit  <=>  a < limit - gap.a.
    const double t = limit - gap.a;
    const float cut = float_down(t - evaluation_error(std::fabs(limit) + gap.a));
    return cut == 0.0f ? -0.0f : cut;  // keys put -0.0 below +0.0
  }
  // Reach a - gap.a - gap.b |a| is increasing in a (gap.b < 1/2); the largest
  // a whose reach is still <= limit:
  const double num = limit + gap.a;
  const double t = num >= 0.0 ? num / (1.0 - gap.b) : num / (1.0 + gap.b);
  const float cut = float_up(t + evaluation_error(std::fabs(t) + std::fabs(limit) + gap.a));
  return cut == 0.0f ? 0.0f : cut;
}

void ExactBand::consider(std::uint64_t idx, float approx, const Gap& gap) {
  constexpr double kNoBound = kInf;
  if (!is_usable(approx)) {
    // An overflow in sgemm says nothing of the kernel's order of summation.
    if (!gap.bounded) band_.push_back({idx, distance_ ? -kNoBound : kNoBound});
    return;
  }
  const double a = static_cast<double>(approx);
  const double half = gap.a + gap.b * std::fabs(a);
  const double err = evaluation_error(std::fabs(a) + half);
  const double reach = distance_ ? (a - half) - err : (a + half) + err;
  if (sure_.full() && out_of_reach(reach)) return;
  band_.push_back({idx, reach});
  // Only a bounded row's kernel score is sure to be finite, so only then
  // does it count among the k that set L.
  if (gap.bounded)
    sure_.offer(idx, distance_ ? float_up((a + half) + err) : float_down((a - half) - err));
  if (band_.size() >= compact_at_) compact();
}

void ExactBand::compact() {
  if (sure_.full())
    std::erase_if(band_, [&](const Member& m) { return out_of_reach(m.reach); });
  compact_at_ = std::max({compact_at_, 2 * band_.size()});
}

template <bool kDistance>
static inline bool within(std::int32_t key, std::int32_t cut) {
  return kDistance ? key <= cut : key >= cut;
}

template <bool kDistance>
void ExactBand::feed_bounded(const float* approx, std::size_t n, std::uint64_t first,
                             const Gap& gap) {
  std::size_t j = 0;
  for (; j < n && !sure_.full(); ++j) consider(first + j, approx[j], gap);
  if (j == n) return;
  std::int32_t cut = order_key(cutoff(gap));
  // Sixteen at a time: on ordinary data almost no block holds a row that
  // can still reach the band, and the test is one integer compare per row.
  for (; j + 16 <= n; j += 16) {
    unsigned any = 0;
    for (std::size_t t = 0; t < 16; ++t) any |= within<kDistance>(order_key(approx[j + t]), cut);
    if (any == 0) continue;
    for (std::size_t t = 0; t < 16; ++t) {
      if (within<kDistance>(order_key(approx[j + t]), cut)) {
        consider(first + j + t, approx[j + t], gap);
        cut = order_key(cutoff(gap));
      }
    }
  }
  for (; j < n; ++j) {
    if (within<kDistance>(order_key(approx[j]), cut)) {
      consider(first + j, approx[j], gap);
      cut = order_key(cutoff(gap));
    }
  }
}

void ExactBand::feed(const float* approx, std::size_t n, std::uint64_t first, const Gap& gap) {
  if (!finite_query_ || sure_.k() == 0) return;
  if (!gap.bounded) {
    for (std::size_t j = 0; j < n; ++j) consider(first + j, approx[j], gap);
  } else if (distance_) {
    feed_bounded<true>(approx, n, first, gap);
  } else {
    feed_bounded<false>(approx, n, first, gap);
  }
}

std::vector<ScoredRow> ExactBand::finish(const float* query, const float* data, std::size_t dims) {
  if (sure_.k() == 0) return {};
  if (sure_.full())
    std::erase_if(band_, [&](const Member& m) { return out_of_reach(m.reach); });
  std::vector<ScoredRow> scored;
  scored.reserve(band_.size());
  for (const Member& m : band_) {
    const float s = kernels::compute_score(metric_, query, data + m.idx * dims, dims);
    if (is_usable(s)) scored.push_back({m.idx, s});
  }
  std::vector<Member>().swap(band_);
  select_top_k(scored, sure_.k(), metric_);
  return scored;
}

void feed_band(ExactBand& band, const score_error::MatrixGap& model, const float* approx,
               std::size_t n, std::uint64_t first, const double* norms_sq_first) {
  for (std::size_t j = 0; j < n; j += kGapRows) {
    const std::size_t len = std::min(kGapRows, n - j);
    band.feed(approx + j, len, first + j,
              model.for_rows(score_error::max_finite(norms_sq_first + j, len)));
  }
}

}  // namespace lumvero
