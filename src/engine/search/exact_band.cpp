// Turns filter scores with a rigorous error bound into the per-row kernel's answer.
#include "engine/search/exact_band.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "engine/kernels/kernels.h"
#include "engine/runtime/tuning.h"

namespace lumvero {

namespace {

using score_error::Gap;

constexpr double kInf = std::numeric_limits<double>::infinity();

using tuning::kGapRows;

// One binary32 step towards -inf / +inf from a finite value (the cheap form
// of nextafter, which these hot conversions cannot afford as a call).
inline float step_down(float f) {
  if (f == 0.0f) return -std::numeric_limits<float>::denorm_min();
  const std::uint32_t b = std::bit_cast<std::uint32_t>(f);
  return std::bit_cast<float>(f > 0.0f ? b - 1 : b + 1);
}
inline float step_up(float f) { return -step_down(-f); }

// f32 conversions rounded away from the side a bound must not cross. An
// infinity or NaN passes through (it is never usable as a bound).
inline float float_down(double x) {
  const float f = static_cast<float>(x);
  return static_cast<double>(f) > x && std::isfinite(f) ? step_down(f) : f;
}
inline float float_up(double x) {
  const float f = static_cast<float>(x);
  return static_cast<double>(f) < x && std::isfinite(f) ? step_up(f) : f;
}

// A few f64 units of the magnitudes in play: how far the evaluation of an
// interval end may stray from its exact value.
inline double evaluation_error(double magnitude) { return 0x1p-50 * magnitude; }

// An optimistic end that cannot reach L: strictly worse under the metric.
inline bool beyond(bool distance, double reach, double limit) {
  return distance ? reach > limit : reach < limit;
}

// A key on the band's side of the cut.
template <bool kDistance>
inline bool within(std::int32_t key, std::int32_t cut) {
  return kDistance ? key <= cut : key >= cut;
}

}  // namespace

ExactBand::ExactBand(std::size_t k, Metric metric, bool finite_query)
    : sure_(k, metric),
      compact_at_(std::max<std::size_t>(2 * k, 64)),
      metric_(metric),
      distance_(is_distance(metric)),
      finite_query_(finite_query) {
  band_.reserve(compact_at_);
}

ExactBand::ExactBand(const Radius& radius, bool finite_query)
    : ExactBand(0, radius.metric, finite_query) {
  by_radius_ = true;
  radius_ = radius.bound;
}

ExactBand::ExactBand(const Want& want, std::uint64_t rows, Metric metric, bool finite_query)
    : ExactBand(static_cast<std::size_t>(std::min<std::uint64_t>(want.k, rows)), metric,
                finite_query) {
  if (want.radius) {
    by_radius_ = true;
    radius_ = want.radius->bound;
  }
}

double ExactBand::limit() const {
  return by_radius_ ? radius_ : static_cast<double>(sure_.worst().score);
}

bool ExactBand::out_of_reach(double reach) const { return beyond(distance_, reach, limit()); }

float ExactBand::cutoff(const Gap& gap) const {
  const double limit = this->limit();
  if (!distance_) {
    // Reach a + gap.a + gap.b |a| is increasing in a (gap.b < 1/2); the
    // smallest a whose reach is still >= limit:
    const double num = limit - gap.a;
    const double t = num >= 0.0 ? num / (1.0 + gap.b) : num / (1.0 - gap.b);
    const float cut = float_down(t - evaluation_error(std::fabs(t) + std::fabs(limit) + gap.a));
    return cut == 0.0f ? -0.0f : cut;  // keys put -0.0 below +0.0
  }
  // Reach a - gap.a - gap.b |a| is increasing in a (gap.b < 1/2); the largest
  // a whose reach is still <= limit:
  const double num = limit + gap.a;
  const double t = num >= 0.0 ? num / (1.0 - gap.b) : num / (1.0 + gap.b);
  const float cut = float_up(t + evaluation_error(std::fabs(t) + std::fabs(limit) + gap.a));
  return cut == 0.0f ? 0.0f : cut;
}

bool ExactBand::consider(std::uint64_t idx, float approx, const Gap& gap) {
  constexpr double kNoBound = kInf;
  if (!is_usable(approx)) {
    // An overflow in sgemm says nothing of the kernel's order of summation.
    if (!gap.bounded) band_.push_back({idx, distance_ ? -kNoBound : kNoBound});
    return false;
  }
  const double a = static_cast<double>(approx);
  const double half = gap.a + gap.b * std::fabs(a);
  const double err = evaluation_error(std::fabs(a) + half);
  const double reach = distance_ ? (a - half) - err : (a + half) + err;
  const bool full = sure_.full();
  if (limited() && out_of_reach(reach)) return false;
  band_.push_back({idx, reach});
  if (band_.size() >= compact_at_) compact();
  // Only a bounded row's kernel score is sure to be finite, so only then
  // does it count among the k that set L. A radius's L never moves.
  if (!gap.bounded || by_radius_) return false;
  const float sure = distance_ ? float_up((a + half) + err) : float_down((a - half) - err);
  if (full && !better(metric_, ScoredRow{idx, sure}, sure_.worst())) return false;
  sure_.offer(idx, sure);
  return sure_.full();  // L is defined, or it moved
}

void ExactBand::compact() {
  if (limited()) std::erase_if(band_, [&](const BandMember& m) { return out_of_reach(m.reach); });
  compact_at_ = std::max({compact_at_, 2 * band_.size()});
}

template <bool kDistance, class Idx>
void ExactBand::feed_bounded(const float* approx, std::size_t n, Idx idx, const Gap& gap) {
  std::size_t j = 0;
  for (; j < n && !limited(); ++j) consider(idx(j), approx[j], gap);
  if (j == n) return;
  // The cut only moves when L does: a considered row that joins the k.
  std::int32_t cut = order_key(cutoff(gap));
  // Sixteen at a time: on ordinary data almost no block holds a row that
  // can still reach the band, and the test is one integer compare per row.
  for (; j + 16 <= n; j += 16) {
    unsigned any = 0;
    for (std::size_t t = 0; t < 16; ++t) any |= within<kDistance>(order_key(approx[j + t]), cut);
    if (any == 0) continue;
    for (std::size_t t = 0; t < 16; ++t) {
      if (within<kDistance>(order_key(approx[j + t]), cut) &&
          consider(idx(j + t), approx[j + t], gap))
        cut = order_key(cutoff(gap));
    }
  }
  for (; j < n; ++j) {
    if (within<kDistance>(order_key(approx[j]), cut) && consider(idx(j), approx[j], gap))
      cut = order_key(cutoff(gap));
  }
}

template <class Idx>
void ExactBand::feed_with(const float* approx, std::size_t n, Idx idx, const Gap& gap) {
  if (!finite_query_ || (sure_.k() == 0 && !by_radius_)) return;
  if (!gap.bounded) {
    for (std::size_t j = 0; j < n; ++j) consider(idx(j), approx[j], gap);
  } else if (distance_) {
    feed_bounded<true>(approx, n, idx, gap);
  } else {
    feed_bounded<false>(approx, n, idx, gap);
  }
}

void ExactBand::feed(const float* approx, std::size_t n, std::uint64_t first, const Gap& gap) {
  feed_with(
      approx, n, [first](std::size_t j) { return first + j; }, gap);
}

void ExactBand::feed_at(const float* approx, const std::uint64_t* idx, std::size_t n,
                        const Gap& gap) {
  feed_with(
      approx, n, [idx](std::size_t j) { return idx[j]; }, gap);
}

std::size_t ExactBand::held() {
  if (limited()) std::erase_if(band_, [&](const BandMember& m) { return out_of_reach(m.reach); });
  return band_.size();
}

BandPart ExactBand::take() {
  BandPart part;
  if (sure_.k() == 0 && !by_radius_) return part;
  if (limited()) std::erase_if(band_, [&](const BandMember& m) { return out_of_reach(m.reach); });
  part.members = std::move(band_);
  band_.clear();
  if (!by_radius_) part.sure = sure_.into_sorted();
  return part;
}

std::vector<ScoredRow> ExactBand::finish(const float* query, const float* data, std::size_t dims) {
  const std::size_t k = sure_.k();
  std::vector<BandPart> parts;
  parts.push_back(take());
  return resolve_bands(std::move(parts), k, metric_, query, data, dims);
}

namespace {

// The band's rows that lie in file mappings, asked for in one pass before
// the first is read: one madvise(WILLNEED) per stretch of pages, so that the
// reads of rows not resident are in flight together rather than one page
// fault after another. A row in a sum block not checked yet is asked for
// with its whole block, which its check reads. Runs held in memory cost
// nothing here.
void prefetch_band(const std::vector<BandPart>& parts, bool bounded, bool distance, double limit,
                   const RowSet& set) {
  if (std::none_of(set.runs.begin(), set.runs.end(), [](const RowRun& r) { return r.mapped; }))
    return;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t row_bytes = static_cast<std::uintptr_t>(set.dims) * sizeof(float);
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> spans;
  for (const BandPart& p : parts) {
    for (const BandMember& m : p.members) {
      if (bounded && beyond(distance, m.reach, limit)) continue;
      const RowRun& run = set.run_of(m.idx);
      if (!run.mapped) continue;
      const float* row = set.row(m.idx);
      const auto at = reinterpret_cast<std::uintptr_t>(row);
      const auto [lo, hi] =
          run.sums != nullptr ? run.sums->wanted(row, row_bytes) : std::pair{at, at + row_bytes};
      spans.emplace_back(lo & ~(page - 1), hi);
    }
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 0; i < spans.size();) {
    std::uintptr_t lo = spans[i].first, hi = spans[i].second;
    for (++i; i < spans.size() && spans[i].first <= hi; ++i) hi = std::max(hi, spans[i].second);
    // Advice only: a refusal leaves the reads to fault in as before.
    (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_WILLNEED);
  }
}

}  // namespace

std::vector<ScoredRow> resolve_bands(std::vector<BandPart>&& parts, std::size_t k,
                                     const float* query, const RowSet& set, std::size_t* rescored) {
  if (rescored != nullptr) *rescored = 0;
  if (k == 0) return {};
  const Metric metric = set.metric;
  std::vector<std::vector<ScoredRow>> sure;
  sure.reserve(parts.size());
  for (BandPart& p : parts) sure.push_back(std::move(p.sure));
  const std::vector<ScoredRow> best = merge_chunk_lists(std::move(sure), k, metric);
  const bool distance = is_distance(metric);
  const bool bounded = best.size() == k;
  const double limit = bounded ? static_cast<double>(best.back().score) : 0.0;
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  prefetch_band(parts, bounded, distance, limit, set);
  std::vector<ScoredRow> scored;
  for (const BandPart& p : parts) {
    for (const BandMember& m : p.members) {
      if (bounded && beyond(distance, m.reach, limit)) continue;
      const float s = kernels::compute_score(metric, query, set.checked_row(m.idx), dims);
      if (rescored != nullptr) ++*rescored;
      if (is_usable(s)) scored.push_back({m.idx, s});
    }
  }
  select_top_k(scored, k, metric);
  return scored;
}

std::vector<ScoredRow> resolve_bands(std::vector<BandPart>&& parts, std::size_t k, Metric metric,
                                     const float* query, const float* data, std::size_t dims,
                                     std::size_t* rescored) {
  // One run holding every row, position = row.
  const RowRun run{data, nullptr, std::numeric_limits<std::uint64_t>::max() / 2, 0};
  RowSet set;
  set.runs = std::span<const RowRun>(&run, 1);
  set.dims = dims;
  set.metric = metric;
  return resolve_bands(std::move(parts), k, query, set, rescored);
}

std::vector<std::vector<ScoredRow>> radius_parts(std::vector<BandPart>&& parts,
                                                 const Radius& radius, const float* query,
                                                 const RowSet& set, std::size_t* rescored) {
  if (rescored != nullptr) *rescored = 0;
  prefetch_band(parts, true, is_distance(radius.metric), radius.bound, set);
  const std::size_t dims = static_cast<std::size_t>(set.dims);
  const auto by_position = [](const ScoredRow& a, const ScoredRow& b) { return a.idx < b.idx; };
  std::vector<std::vector<ScoredRow>> lists;
  lists.reserve(parts.size());
  for (BandPart& p : parts) {
    std::vector<ScoredRow> found;
    for (const BandMember& m : p.members) {
      const float s = kernels::compute_score(radius.metric, query, set.row(m.idx), dims);
      if (radius.admits(s)) found.push_back({m.idx, s});
    }
    if (rescored != nullptr) *rescored += p.members.size();
    if (found.empty()) {
      found = std::move(p.sure);
    } else if (!p.sure.empty()) {
      // Both in increasing position: one list in increasing position.
      std::vector<ScoredRow> both(found.size() + p.sure.size());
      std::merge(found.begin(), found.end(), p.sure.begin(), p.sure.end(), both.begin(),
                 by_position);
      found = std::move(both);
    }
    lists.push_back(std::move(found));
  }
  return lists;
}

std::vector<ScoredRow> resolve_radius(std::vector<BandPart>&& parts, const Radius& radius,
                                      const float* query, const RowSet& set,
                                      std::size_t* rescored) {
  return sort_found(radius_parts(std::move(parts), radius, query, set, rescored), radius.metric);
}

BandPart found_part(std::vector<ScoredRow>&& found) {
  BandPart part;
  part.sure = std::move(found);
  return part;
}

std::vector<ScoredRow> resolve_wanted(std::vector<BandPart>&& parts, const Want& want,
                                      const float* query, const RowSet& set,
                                      std::size_t* rescored) {
  if (want.radius) return resolve_radius(std::move(parts), *want.radius, query, set, rescored);
  return resolve_bands(std::move(parts), want.k, query, set, rescored);
}

BandPart collected_part(std::vector<ScoredRow>&& rows, const Want& want) {
  return want.radius ? found_part(std::move(rows)) : exact_part(std::move(rows));
}

BandPart exact_part(std::vector<ScoredRow>&& best) {
  BandPart part;
  part.members.reserve(best.size());
  for (const ScoredRow& s : best) part.members.push_back({s.idx, static_cast<double>(s.score)});
  part.sure = std::move(best);
  return part;
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
