// Certified exact search (see certified.h for the bounds).
#include "engine/certified.h"

#include <time.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "engine/cpu_features.h"
#include "engine/kernels.h"
#include "engine/pool.h"
#include "engine/score_error.h"
#include "engine/topk.h"

namespace lumvero {

namespace certified {

namespace {

// IEEE totalOrder key of a double, comparable as a signed integer.
std::int64_t total_order_key64(double v) {
  const std::int64_t s = std::bit_cast<std::int64_t>(v);
  return s >= 0 ? s : (s ^ std::int64_t{0x7fffffffffffffff});
}

}  // namespace

std::string compile_flags() {
  // The module is only built for x86-64 Linux; the name is the target's.
  constexpr std::string_view kTarget = "x86_64";
  return "arch=" + std::string(kTarget);
}

std::vector<std::uint64_t> energy_order(std::span<const double> energies) {
  std::vector<std::uint64_t> order(energies.size());
  std::iota(order.begin(), order.end(), std::uint64_t{0});
  // Stable sort on the key alone: equal energies keep ascending index.
  std::stable_sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
    return total_order_key64(energies[a]) > total_order_key64(energies[b]);
  });
  return order;
}

}  // namespace certified

namespace {

using namespace certified;

timespec monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

// Whole seconds plus nanoseconds, in milliseconds; 0 when the clock did not
// move forward.
double elapsed_ms(const timespec& start, const timespec& end) {
  if (end.tv_sec < start.tv_sec || (end.tv_sec == start.tv_sec && end.tv_nsec <= start.tv_nsec))
    return 0.0;
  std::int64_t secs = static_cast<std::int64_t>(end.tv_sec) - static_cast<std::int64_t>(start.tv_sec);
  std::int64_t nanos = static_cast<std::int64_t>(end.tv_nsec) - static_cast<std::int64_t>(start.tv_nsec);
  if (nanos < 0) {
    secs -= 1;
    nanos += 1'000'000'000;
  }
  return (static_cast<double>(secs) + static_cast<double>(nanos) / 1'000'000'000.0) * 1000.0;
}

bool all_finite(std::span<const float> v) {
  for (float x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// The fields shared by every answer, empty or not.
CertifiedResult base_record(const SearchEngine& engine, std::uint64_t bs, bool enable_pruning) {
  CertifiedResult out;
  out.simd_path = cpu::simd_path_name();
  out.compile_flags = compile_flags();
  out.total_candidates = engine.rows;
  out.block_size = bs;
  out.enable_pruning = enable_pruning;
  return out;
}

// One visiting step of the pruning walk, in block_order. seen and rem depend
// only on the query, so they are computed once per query, with the same
// additions in the same order as a per-row running sum would use.
struct Step {
  std::uint64_t start;
  std::uint64_t end;
  double rem;  // sqrt(max(query_energy - seen, 0)) after this block
};

// The bound after a step, and whether it lets the row be skipped.
struct BoundCheck {
  double bound;
  bool skip;
};

inline BoundCheck check_bound(bool distance, double norm, double norm_sq, double query_energy,
                              double rem, double partial, double kth, double margin) {
  const double upper = (norm * rem + partial) + margin;
  if (!distance) return {upper, kth > upper};
  const double lower = (norm_sq + query_energy) - 2.0 * upper;
  return {lower, lower > kth};
}

// The bound's widening for one row: never below the fixed minimum, and wide
// enough to cover every rounding between the bound and compute_score, so a
// skip never drops a row the unpruned scan would keep. A NaN norm (a row
// holding NaN) leaves the minimum: its partial sums are NaN and never skip.
inline double row_margin(const score_error::BlockScanMargin& margins, bool distance,
                         double norm_sq, double kth) {
  const double m = distance ? margins.certified_euclidean(norm_sq, kth)
                            : margins.certified_similarity(norm_sq);
  return std::max(kBoundMargin, m);
}

// The certificate check: every logged bound strictly on the losing side of
// the final k-th score (compared in f32), and every row accounted for.
bool certificate_holds(const CertifiedResult& r, bool distance) {
  if (r.full_evaluated + r.pruned_candidates != r.total_candidates) return false;
  for (float b : r.pruned_bound_values) {
    const bool losing = distance ? (b > r.kth_score) : (r.kth_score > b);
    if (!losing) return false;
  }
  return true;
}

}  // namespace

Result<CertifiedResult> SearchEngine::query_certified(std::span<const float> query, std::size_t k,
                                                      std::size_t block_size,
                                                      bool enable_pruning) const {
  if (query.size() != dims)
    return fail("Query dimension " + std::to_string(query.size()) + " != index dimension " +
                std::to_string(dims));
  if (!all_finite(query)) return fail(std::string(kNonFiniteQuery));

  const std::uint64_t bs = std::max<std::uint64_t>(block_size, 1);
  CertifiedResult out = base_record(*this, bs, enable_pruning);

  if (k == 0 || rows == 0) {
    out.method_used = kMethodEmpty;
    out.bound_rule = kRuleEmpty;
    out.bound_kind = kKindNone;
    return out;
  }

  const timespec clock_start = monotonic_now();

  const float* q = query.data();
  const std::size_t n = query.size();
  const bool distance = is_distance(metric);

  // Block tables.
  const std::vector<DimBlock> cert_blocks = make_blocks(dims, bs);
  std::vector<double> energy(cert_blocks.size(), 0.0);
  for (std::size_t j = 0; j < cert_blocks.size(); ++j) {
    double e = 0.0;
    for (std::uint64_t d = cert_blocks[j].first; d < cert_blocks[j].second; ++d) {
      const double v = static_cast<double>(q[d]);
      e += v * v;
    }
    energy[j] = e;
  }
  double query_energy = 0.0;
  for (double e : energy) query_energy += e;
  out.block_order = energy_order(energy);

  std::vector<Step> steps;
  steps.reserve(out.block_order.size());
  {
    double seen = 0.0;
    for (std::uint64_t j : out.block_order) {
      seen += energy[j];
      const double left = query_energy - seen;
      // max(left, 0) that maps NaN to 0, like a NaN-ignoring max would.
      const double rem = std::sqrt(left > 0.0 ? left : 0.0);
      steps.push_back({cert_blocks[j].first, cert_blocks[j].second, rem});
    }
  }

  const std::size_t k_eff = static_cast<std::size_t>(std::min<std::uint64_t>(k, rows));
  const score_error::BlockScanMargin margins(metric, dims, bs, cert_blocks.size(), query_energy);
  TopKHeap heap(k_eff, metric);
  double kth = 0.0;  // valid once the heap is full
  std::uint64_t full_evaluated = 0;
  std::uint64_t pruned = 0;
  out.threshold_evolution.reserve(std::min<std::uint64_t>(kLogCap, rows));

  for (std::uint64_t r = 0; r < rows; ++r) {
    const float* x = row(r);

    if (enable_pruning && heap.len() >= k_eff) {
      const double norm = static_cast<double>(norms[r]);
      const double norm_sq = norms_sq[r];
      const double margin = row_margin(margins, distance, norm_sq, kth);
      double partial = 0.0;
      bool skipped = false;
      for (const Step& s : steps) {
        partial += static_cast<double>(kernels::dot_range(q, x, s.start, s.end));
        const BoundCheck c = check_bound(distance, norm, norm_sq, query_energy, s.rem, partial, kth, margin);
        if (c.skip) {
          ++pruned;
          if (out.pruned_bound_values.size() < kLogCap)
            out.pruned_bound_values.push_back(static_cast<float>(c.bound));
          skipped = true;
          break;
        }
      }
      if (skipped) continue;
    }

    ++full_evaluated;
    const float score = kernels::compute_score(metric, q, x, n);
    if (!is_usable(score)) continue;
    bool changed;
    if (heap.len() < k_eff) {
      heap.offer(r, score);
      changed = heap.len() == k_eff;  // this insertion filled the heap
    } else {
      changed = better(metric, ScoredRow{r, score}, heap.worst());
      if (changed) heap.offer(r, score);
    }
    if (changed) {
      kth = static_cast<double>(heap.worst().score);
      if (out.threshold_evolution.size() < kLogCap)
        out.threshold_evolution.push_back(heap.worst().score);
    }
  }

  out.results = heap.into_sorted();
  out.kth_score = out.results.empty() ? 0.0f : out.results.back().score;
  out.full_evaluated = full_evaluated;
  out.pruned_candidates = pruned;
  out.safe = certificate_holds(out, distance);
  out.bound_rule = distance ? kRuleLowerL2 : kRuleUpper;
  out.bound_kind = distance ? kKindLower : kKindUpper;

  out.query_time_ms = elapsed_ms(clock_start, monotonic_now());
  out.method_used = enable_pruning ? kMethodPruning : kMethodNoPruning;
  return out;
}

Result<std::vector<CertifiedResult>> query_certified_batch(const SearchEngine& engine,
                                                           const float* queries, std::size_t nq,
                                                           std::size_t k, std::size_t block_size,
                                                           bool enable_pruning) {
  if (nq == 0) return std::vector<CertifiedResult>{};
  const std::size_t dims = static_cast<std::size_t>(engine.dims);
  // pool::map reports the lowest failing index, i.e. the first failing query
  // in query order, whatever order the workers ran them in.
  return pool::map(nq, [&](std::size_t i) -> Result<CertifiedResult> {
    return engine.query_certified(std::span<const float>(queries + i * dims, dims), k,
                                  block_size, enable_pruning);
  });
}

}  // namespace lumvero
