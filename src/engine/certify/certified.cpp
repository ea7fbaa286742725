// Certified exact search (see certified.h for the bounds).
#include "engine/certify/certified.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/kernels/cpu_features.h"
#include "engine/kernels/kernels.h"
#include "engine/messages.h"
#include "engine/runtime/pool.h"
#include "engine/search/scan.h"
#include "engine/search/score_error.h"
#include "engine/search/topk.h"

namespace lumvero {

namespace certified {

std::string compile_flags() {
  // The module is only built for x86-64 Linux; the name is the target's.
  constexpr std::string_view kTarget = "x86_64";
  return "arch=" + std::string(kTarget);
}

}  // namespace certified

namespace {

using namespace certified;

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
inline double row_margin(const score_error::BlockScanMargin& margins, bool distance, double norm_sq,
                         double kth) {
  const double m =
      distance ? margins.certified_euclidean(norm_sq, kth) : margins.certified_similarity(norm_sq);
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

// What one query's scan needs, computed before the first row: the blocks in
// visiting order with the query energy left after each, and the margins.
struct ScanPlan {
  std::vector<Step> steps;
  std::vector<std::uint64_t> block_order;
  double query_energy = 0.0;
  score_error::BlockScanMargin margins;
};

ScanPlan plan_scan(const SearchEngine& e, const float* q, std::uint64_t bs) {
  const std::vector<DimBlock> blocks = make_blocks(e.dims, bs);
  const std::vector<double> energy = block_energies(q, blocks);
  double query_energy = 0.0;
  for (const double v : energy) query_energy += v;
  ScanPlan plan{
      .steps = {},
      .block_order = energy_order(energy),
      .query_energy = query_energy,
      .margins = score_error::BlockScanMargin(e.metric, e.dims, bs, blocks.size(), query_energy)};
  plan.steps.reserve(plan.block_order.size());
  double seen = 0.0;
  for (const std::uint64_t j : plan.block_order) {
    seen += energy[j];
    const double left = query_energy - seen;
    // max(left, 0) that maps NaN to 0, like a NaN-ignoring max would.
    plan.steps.push_back({blocks[j].first, blocks[j].second, std::sqrt(left > 0.0 ? left : 0.0)});
  }
  return plan;
}

// The bound that skips row r against the current k-th score, if any.
std::optional<double> skip_bound(const SearchEngine& e, const ScanPlan& plan, const float* q,
                                 std::uint64_t r, double kth) {
  const bool distance = is_distance(e.metric);
  const float* x = e.row(r);
  const double norm = static_cast<double>(e.norms[r]);
  const double norm_sq = e.norms_sq[r];
  const double margin = row_margin(plan.margins, distance, norm_sq, kth);
  double partial = 0.0;
  for (const Step& s : plan.steps) {
    partial += static_cast<double>(kernels::dot_range(q, x, s.start, s.end));
    // A block sum that overflowed bounds nothing: the kernel adds the terms
    // in another order and may still reach a finite score. Such a row is
    // scored in full.
    if (!std::isfinite(partial)) return std::nullopt;
    const BoundCheck c =
        check_bound(distance, norm, norm_sq, plan.query_energy, s.rem, partial, kth, margin);
    if (c.skip && std::isfinite(c.bound)) return c.bound;
  }
  return std::nullopt;
}

// One pass over the rows: scores in full while the heap fills (or always,
// without pruning), otherwise skips every row a bound rules out. Fills the
// results, counters and both logs of `out`.
void scan_rows(const SearchEngine& e, const ScanPlan& plan, const float* q, std::size_t k_eff,
               bool enable_pruning, CertifiedResult& out) {
  TopKHeap heap(k_eff, e.metric);
  double kth = 0.0;  // valid once the heap is full
  out.threshold_evolution.reserve(std::min<std::uint64_t>(kLogCap, e.rows));
  for (std::uint64_t r = 0; r < e.rows; ++r) {
    if (enable_pruning && heap.len() >= k_eff) {
      if (const auto bound = skip_bound(e, plan, q, r, kth)) {
        ++out.pruned_candidates;
        if (out.pruned_bound_values.size() < kLogCap)
          out.pruned_bound_values.push_back(static_cast<float>(*bound));
        continue;
      }
    }
    ++out.full_evaluated;
    const float score = kernels::compute_score(e.metric, q, e.row(r), e.dims);
    if (!is_usable(score)) continue;
    bool changed;
    if (heap.len() < k_eff) {
      heap.offer(r, score);
      changed = heap.len() == k_eff;  // this insertion filled the heap
    } else {
      changed = better(e.metric, ScoredRow{r, score}, heap.worst());
      if (changed) heap.offer(r, score);
    }
    if (changed) {
      kth = static_cast<double>(heap.worst().score);
      if (out.threshold_evolution.size() < kLogCap)
        out.threshold_evolution.push_back(heap.worst().score);
    }
  }
  out.results = heap.into_sorted();
}

// The certificate and the texts, once the scan is done.
void finish_record(Metric metric, bool enable_pruning, CertifiedResult& out) {
  const bool distance = is_distance(metric);
  out.kth_score = out.results.empty() ? 0.0f : out.results.back().score;
  out.safe = certificate_holds(out, distance);
  out.bound_rule = distance ? kRuleLowerL2 : kRuleUpper;
  out.bound_kind = distance ? kKindLower : kKindUpper;
  out.method_used = enable_pruning ? kMethodPruning : kMethodNoPruning;
}

}  // namespace

Result<CertifiedResult> SearchEngine::query_certified(std::span<const float> query, std::size_t k,
                                                      std::size_t block_width,
                                                      bool enable_pruning) const {
  if (query.size() != dims) return fail(msg::query_dimension(query.size(), dims));
  if (!all_finite(query)) return fail(std::string(msg::kCertifiedNonFinite));

  // The call's own blocks: the engine's block_size is not used here.
  const std::uint64_t bs = std::max<std::uint64_t>(block_width, 1);
  CertifiedResult out = base_record(*this, bs, enable_pruning);
  if (k == 0 || rows == 0) {
    out.method_used = kMethodEmpty;
    out.bound_rule = kRuleEmpty;
    out.bound_kind = kKindNone;
    return out;
  }

  const SearchClock::time_point start = SearchClock::now();
  const ScanPlan plan = plan_scan(*this, query.data(), bs);
  out.block_order = plan.block_order;
  const std::size_t k_eff = static_cast<std::size_t>(std::min<std::uint64_t>(k, rows));
  scan_rows(*this, plan, query.data(), k_eff, enable_pruning, out);
  finish_record(metric, enable_pruning, out);
  out.query_time_ms = elapsed_ms(start, SearchClock::now());
  return out;
}

Result<std::vector<CertifiedResult>> query_certified_batch(const SearchEngine& engine,
                                                           std::span<const float> queries,
                                                           std::size_t cols, std::size_t k,
                                                           std::size_t block_size,
                                                           bool enable_pruning) {
  if (cols == 0) return fail(std::string(msg::kZeroColumns));
  if (queries.size() % cols != 0) return fail(std::string(msg::kCertifiedNotMultiple));
  if (cols != engine.dims) return fail(msg::query_dimensions(cols, engine.dims));
  const std::size_t nq = queries.size() / cols;
  if (nq == 0) return std::vector<CertifiedResult>{};
  // pool::map reports the lowest failing index, i.e. the first failing query
  // in query order, whatever order the workers ran them in.
  return pool::map(nq, [&](std::size_t i) -> Result<CertifiedResult> {
    return engine.query_certified(queries.subspan(i * cols, cols), k, block_size, enable_pruning);
  });
}

}  // namespace lumvero
